#include "SafeXmlReader.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "kolconfig/XPlusException.h"

namespace xmldoc {
namespace detail {
namespace {

struct ParserContextDeleter {
  void operator()(xmlParserCtxt* context) const { xmlFreeParserCtxt(context); }
};

// Set by the SAX hook below when the document being parsed on this thread declares a DTD.
thread_local bool t_sawDocumentTypeDeclaration = false;

// Called by libxml2 for any <!DOCTYPE ...>, with or without an internal subset: stop at once,
// before any entity declaration is read.
void refuseDocumentType(void* context, const xmlChar* /*name*/, const xmlChar* /*externalId*/,
                        const xmlChar* /*systemId*/) {
  t_sawDocumentTypeDeclaration = true;
  xmlStopParser(static_cast<xmlParserCtxt*>(context));
}

void initialiseLibxml() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

void ignoreError(void* /*context*/, xmlErrorPtr /*error*/) {}

// libxml2 reports some failures outside the parser context (bytes that break the document's
// declared encoding, I/O errors of the conversion), through the calling thread's global handler,
// which prints them to stderr. They fail the parse anyway and their reason travels in the
// exception, so that channel is silenced, once per thread: a document must not write to stderr.
void silenceGlobalErrors() {
  thread_local bool silenced = false;
  if (!silenced) {
    xmlSetStructuredErrorFunc(nullptr, &ignoreError);
    silenced = true;
  }
}

std::string trimmedMessage(const char* message) {
  std::string out = message != nullptr ? message : "unknown error";
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) {
    out.pop_back();
  }
  return out;
}

// One linear pass over the bytes that counts what libxml2 would build: elements, attributes and
// nesting. It understands exactly as much XML as it needs to count right for a well-formed
// document (comments, processing instructions, CDATA, quoted attribute values); on malformed input
// it may stop counting early, and libxml2 then refuses the document at the same place.
class ShapeScanner {
 public:
  ShapeScanner(const char* data, std::size_t size) : data_(data), size_(size) {}

  void run() {
    std::size_t i = 0;
    while (i < size_) {
      const void* lt = std::memchr(data_ + i, '<', size_ - i);
      if (lt == nullptr) return;
      i = static_cast<std::size_t>(static_cast<const char*>(lt) - data_) + 1;
      if (i >= size_) return;
      if (data_[i] == '?') {
        countNode(i);
        i = skipPast(i, "?>");
      } else if (data_[i] == '!') {
        if (startsWith(i, "!--")) {
          countNode(i);
          i = skipPast(i + 3, "-->");
        } else if (startsWith(i, "![CDATA[")) {
          countNode(i);
          i = skipPast(i + 8, "]]>");
        } else if (startsWith(i, "!DOCTYPE")) {
          throw XPlus::Exception("DTD and entity declarations are not allowed");
        } else {
          return;
        }
      } else if (data_[i] == '/') {
        if (depth_ > 0) --depth_;
        i = skipPast(i, ">");
      } else {
        i = startTag(i);
      }
    }
  }

 private:
  bool startsWith(std::size_t at, const char* text) const {
    const std::size_t n = std::strlen(text);
    return size_ - at >= n && std::memcmp(data_ + at, text, n) == 0;
  }

  // The index just after the next `terminator` at or after `from`, or size_ when there is none.
  std::size_t skipPast(std::size_t from, const char* terminator) const {
    const std::size_t n = std::strlen(terminator);
    const char* end = data_ + size_;
    const char* found = std::search(data_ + from, end, terminator, terminator + n);
    return found == end ? size_ : static_cast<std::size_t>(found - data_) + n;
  }

  [[noreturn]] void refuse(const std::string& what, std::size_t at) const {
    const auto line = 1 + std::count(data_, data_ + std::min(at, size_), '\n');
    throw XPlus::Exception("Parse error: refused: " + what + " (line " + std::to_string(line) + ")");
  }

  // Elements, comments, processing instructions and CDATA sections each become a node.
  void countNode(std::size_t at) {
    if (++nodes_ > kMaxElements) {
      refuse("more than " + std::to_string(kMaxElements) + " elements (comments and the like included)", at);
    }
  }

  // Counts the start tag whose name begins at `i`; returns the index after its '>'.
  std::size_t startTag(std::size_t i) {
    countNode(i);
    std::size_t nameEnd = i;
    while (nameEnd < size_ && std::strchr(" \t\r\n/>", data_[nameEnd]) == nullptr) ++nameEnd;
    if (nameEnd - i > kMaxNameBytes)
      refuse("an element name longer than " + std::to_string(kMaxNameBytes) + " bytes", i);
    std::size_t attributes = 0;
    char previous = '\0';
    for (std::size_t k = nameEnd; k < size_; ++k) {
      const char c = data_[k];
      if (c == '"' || c == '\'') {
        const void* close = std::memchr(data_ + k + 1, c, size_ - k - 1);
        if (close == nullptr) return size_;
        const auto end = static_cast<std::size_t>(static_cast<const char*>(close) - data_);
        if (end - k - 1 > kMaxAttributeValueBytes) {
          refuse("an attribute value longer than " + std::to_string(kMaxAttributeValueBytes) + " bytes", k);
        }
        if (++attributes > kMaxAttributesPerElement) {
          refuse("more than " + std::to_string(kMaxAttributesPerElement) + " attributes on one element", k);
        }
        if (++attributesTotal_ > kMaxAttributes)
          refuse("more than " + std::to_string(kMaxAttributes) + " attributes", k);
        k = end;
      } else if (c == '>') {
        if (previous != '/' && ++depth_ > kMaxDepth) {
          refuse("elements nested deeper than " + std::to_string(kMaxDepth), i);
        }
        return k + 1;
      }
      previous = c;
    }
    return size_;
  }

  const char* data_;
  std::size_t size_;
  std::size_t nodes_ = 0;
  std::size_t attributesTotal_ = 0;
  std::size_t depth_ = 0;
};

}  // namespace

void checkDocumentShape(const char* data, std::size_t size, std::size_t maxBytes) {
  const std::size_t cap = std::min(maxBytes, kMaxDocumentBytes);
  if (size > cap) {
    throw XPlus::Exception("Parse error: refused: the document has " + std::to_string(size) + " bytes, more than " +
                           std::to_string(cap));
  }
  ShapeScanner(data, size).run();
}

XmlDocPtr readXmlDocument(const char* data, std::size_t size, std::size_t maxBytes) {
  initialiseLibxml();
  silenceGlobalErrors();
  checkDocumentShape(data, size, maxBytes);
  std::unique_ptr<xmlParserCtxt, ParserContextDeleter> context(xmlNewParserCtxt());
  if (!context || context->sax == nullptr) {
    throw XPlus::Exception("Parse error: cannot create an XML parser");
  }
  context->sax->internalSubset = &refuseDocumentType;
  t_sawDocumentTypeDeclaration = false;
  // No network, no entity substitution, no DTD loading; errors travel in the exception instead
  // of being printed.
  const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING | XML_PARSE_BIG_LINES;
  XmlDocPtr doc(xmlCtxtReadMemory(context.get(), data, static_cast<int>(size), nullptr, nullptr, options));
  if (t_sawDocumentTypeDeclaration || (doc && (doc->intSubset != nullptr || doc->extSubset != nullptr))) {
    throw XPlus::Exception("DTD and entity declarations are not allowed");
  }
  // A prefix used without a declaration makes the document ill-formed in the namespace sense.
  if (!doc || !context->wellFormed || !context->nsWellFormed) {
    const xmlError* error = xmlCtxtGetLastError(context.get());
    std::string reason = trimmedMessage(error != nullptr ? error->message : nullptr);
    if (error != nullptr && error->line > 0) {
      reason += " (line " + std::to_string(error->line) + ")";
    }
    throw XPlus::Exception("Parse error: " + reason);
  }
  return doc;
}

}  // namespace detail
}  // namespace xmldoc
