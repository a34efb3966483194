// Internal to libkolconfig: the one way documents enter libxml2, for parsing and for schema
// validation alike, so every untrusted document (container entries, IPC payloads, files on disk)
// passes here. No network, no entity substitution, no DTD loading (a document type declaration is
// refused), and libxml2's size limits stay on (XML_PARSE_HUGE is never set).
// Thread safety: safe to call from any thread concurrently.
//
// Before libxml2 sees a byte, a linear pre-scan refuses documents whose shape would make parsing or
// validation expensive (libxml2's cost grows quadratically with the attributes of one element):
//   - more than kMaxDocumentBytes (32 MiB) in all; a TaskIndex more than kMaxIndexBytes (2 MiB);
//   - more than kMaxElements (250,000) elements (comments, processing instructions and CDATA
//     sections counted with them) or kMaxAttributes (250,000) attributes in all;
//   - more than kMaxAttributesPerElement (32) attributes (namespace declarations included) on one
//     element;
//   - elements nested deeper than kMaxDepth (128);
//   - an element name longer than kMaxNameBytes (1,024) or an attribute value longer than
//     kMaxAttributeValueBytes (64 KiB).
// The schema's documents stay well within these caps (a database of 50,000 properties does);
// within them a document of 16 MiB is parsed and validated well under a second. A refusal is XPlus::Exception("Parse
// error: refused: ...").
#pragma once

#include <libxml/tree.h>

#include <cstddef>
#include <memory>

namespace xmldoc {
namespace detail {

constexpr std::size_t kMaxDocumentBytes = 32u * 1024 * 1024;
constexpr std::size_t kMaxIndexBytes = 2u * 1024 * 1024;
constexpr std::size_t kMaxElements = 250000;
constexpr std::size_t kMaxAttributes = 250000;
constexpr std::size_t kMaxAttributesPerElement = 32;
constexpr std::size_t kMaxDepth = 128;
constexpr std::size_t kMaxNameBytes = 1024;
constexpr std::size_t kMaxAttributeValueBytes = 64u * 1024;

struct XmlDocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocDeleter>;

// Parses `size` bytes at `data` into a DOM the caller owns; never returns null. `maxBytes` lowers
// the size cap for one kind of document (never raises it above kMaxDocumentBytes). Throws
// XPlus::Exception: "DTD and entity declarations are not allowed", "Parse error: refused: " + the
// cap exceeded (with its line), or "Parse error: " + libxml2's reason.
XmlDocPtr readXmlDocument(const char* data, std::size_t size, std::size_t maxBytes = kMaxDocumentBytes);

// The cheap pre-scan alone (see above). Returns normally when the document is within the caps.
void checkDocumentShape(const char* data, std::size_t size, std::size_t maxBytes = kMaxDocumentBytes);

}  // namespace detail
}  // namespace xmldoc
