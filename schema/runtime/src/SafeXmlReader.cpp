#include "SafeXmlReader.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>

#include <climits>
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

std::string trimmedMessage(const char* message) {
  std::string out = message != nullptr ? message : "unknown error";
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) {
    out.pop_back();
  }
  return out;
}

}  // namespace

XmlDocPtr readXmlDocument(const char* data, std::size_t size) {
  initialiseLibxml();
  if (size > static_cast<std::size_t>(INT_MAX)) {
    throw XPlus::Exception("Parse error: document too large");
  }
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
  if (!doc || !context->wellFormed) {
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
