// Internal to libkolconfig: the one way documents enter libxml2. No network, no entity
// substitution, no DTD loading, and any document type declaration is refused.
// Thread safety: safe to call from any thread concurrently.
#pragma once

#include <libxml/tree.h>

#include <cstddef>
#include <memory>

namespace xmldoc {
namespace detail {

struct XmlDocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocDeleter>;

// Parses `size` bytes at `data` into a DOM the caller owns; never returns null. Throws
// XPlus::Exception: "DTD and entity declarations are not allowed" or "Parse error: " + reason.
XmlDocPtr readXmlDocument(const char* data, std::size_t size);

}  // namespace detail
}  // namespace xmldoc
