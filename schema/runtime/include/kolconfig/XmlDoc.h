// Configuration documents: reading, writing and durably saving the wrapper
// <k:config><k:content xsi:type="k:T">...</k:content></k:config> around one content node.
// Thread safety: every function is safe to call concurrently on different nodes; a node must not
// be modified while it is being serialised.
#pragma once

#include <cstddef>
#include <istream>
#include <memory>
#include <ostream>
#include <string>

#include "kolconfig/FileIo.h"
#include "kolconfig/XPlusException.h"
#include "kolconfig/XSDEnumException.h"
#include "kolconfig/XmlNode.h"

namespace xmldoc {

// Releases a document: the content node owns the whole tree.
struct DocumentDeleter {
  void operator()(Sarnet_Configuration::Types::XmlNode* p) const;
};

template <class T>
using DocumentPtr = std::unique_ptr<T, DocumentDeleter>;

namespace detail {
// Parses a whole document and returns its content, which is of type `expectedType` or derived
// from it. Throws XPlus::Exception: "Parse error: ...", "DTD and entity declarations are not
// allowed", or "Root element is not the expected one" (context "expected", "actual").
std::unique_ptr<Sarnet_Configuration::Types::XmlNode> parseDocument(const char* data, std::size_t size,
                                                                    const std::string& expectedType);
// Reads a whole file; throws XPlus::Exception("IO error: ...").
std::string readFile(const std::string& path);
// Reads a whole stream; throws XPlus::Exception("IO error: ...").
std::string readStream(std::istream& in);

template <class T>
DocumentPtr<T> adopt(std::unique_ptr<Sarnet_Configuration::Types::XmlNode> node) {
  T* typed = dynamic_cast<T*>(node.get());
  if (typed == nullptr) {
    throw XPlus::Exception("Root element is not the expected one",
                           {{"expected", T::staticTypeName()}, {"actual", node ? node->typeName() : ""}});
  }
  (void)node.release();  // ownership moves to the typed pointer
  return DocumentPtr<T>(typed);
}
}  // namespace detail

// A new empty document whose content is a default-constructed T. The caller owns it.
template <class T>
DocumentPtr<T> createDocument() {
  return DocumentPtr<T>(std::make_unique<T>().release());
}

// Parses `xml`. Succeeds when the content's xsi:type (prefix ignored, but it must be declared) is
// T or derived from T. Every document goes through the runtime's safe reader: no network, no
// entity expansion, no DTD, and caps on size and shape checked before libxml2 parses (32 MiB,
// 2 MiB for a TaskIndex; 250,000 elements and attributes; 32 attributes per element; depth 128).
// Throws XPlus::Exception on any failure ("Parse error: refused: ..." over a cap); nothing is
// returned half-read.
template <class T>
DocumentPtr<T> parseString(const std::string& xml) {
  return detail::adopt<T>(detail::parseDocument(xml.data(), xml.size(), T::staticTypeName()));
}

// As parseString, reading the file at `path`; "IO error: ..." when it cannot be read. A file over
// the size cap is refused before it is read.
template <class T>
DocumentPtr<T> parseFile(const std::string& path) {
  const std::string xml = detail::readFile(path);
  return parseString<T>(xml);
}

// As parseString, reading `in` to its end; "IO error: ..." when the stream fails.
template <class T>
DocumentPtr<T> parseStream(std::istream& in) {
  const std::string xml = detail::readStream(in);
  return parseString<T>(xml);
}

// The whole document (XML declaration, wrapper, `content` with its xsi:type) as UTF-8 text.
// Throws XPlus::Exception("Serialisation error: ...") when a required child is missing or a
// text holds bytes that XML cannot carry (invalid UTF-8, control characters).
std::string toString(const Sarnet_Configuration::Types::XmlNode& content);

// Writes toString(content) to `out`; throws XPlus::Exception("IO error: ...") when the stream
// fails.
void writeStream(const Sarnet_Configuration::Types::XmlNode& content, std::ostream& out);

// Durably replaces the file at `path` with the document through the one durable writer
// (replaceFile in kolconfig/FileIo.h): temporary file beside it, write, fsync, rename, fsync of the
// folder. On failure `path` keeps its previous content (or stays absent) and XPlus::Exception
// ("IO error: ..." or "Serialisation error: ...") is thrown; "IO error: ..." is also thrown when the
// file was replaced but the folder could not be flushed. A new file gets mode 0644; a replaced file
// keeps its mode. Durability::Volatile skips both fsyncs (atomic, not durable): for files in
// temporary folders that a power cut may lose anyway.
void saveFile(const Sarnet_Configuration::Types::XmlNode& content, const std::string& path,
              Durability durability = Durability::Durable);

}  // namespace xmldoc
