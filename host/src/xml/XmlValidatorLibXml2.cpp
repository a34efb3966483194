// Schema validation with libxml2. Compiled schemas are cached per path for the life of the
// process: compiling the configuration schema is far more expensive than validating a document,
// and a compiled xmlSchema may be shared by concurrent validation contexts.
// Documents and schemas are read the same way: no network, no entity substitution, and a document
// type declaration stops the parse. libxml2's messages are collected into the exception text and
// never printed to stderr.
#include "kest/XmlValidatorLibXml2.h"

#include <libxml/parser.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlschemas.h>

#include <map>
#include <memory>
#include <mutex>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"

namespace {

struct ParserCtxtDeleter {
  void operator()(xmlParserCtxt* p) const { xmlFreeParserCtxt(p); }
};
struct DocDeleter {
  void operator()(xmlDoc* p) const { xmlFreeDoc(p); }
};
struct SchemaParserCtxtDeleter {
  void operator()(xmlSchemaParserCtxt* p) const { xmlSchemaFreeParserCtxt(p); }
};
struct SchemaDeleter {
  void operator()(xmlSchema* p) const { xmlSchemaFree(p); }
};
struct ValidCtxtDeleter {
  void operator()(xmlSchemaValidCtxt* p) const { xmlSchemaFreeValidCtxt(p); }
};
using ParserCtxtPtr = std::unique_ptr<xmlParserCtxt, ParserCtxtDeleter>;
using DocPtr = std::unique_ptr<xmlDoc, DocDeleter>;
using SchemaParserCtxtPtr = std::unique_ptr<xmlSchemaParserCtxt, SchemaParserCtxtDeleter>;
using ValidCtxtPtr = std::unique_ptr<xmlSchemaValidCtxt, ValidCtxtDeleter>;

// A compiled schema with the schema document it was compiled from (kept alive as long as the
// schema, which may refer to it).
struct CompiledSchema {
  DocPtr document;
  std::unique_ptr<xmlSchema, SchemaDeleter> schema;  // declared last: released before the document
};
using SchemaPtr = std::shared_ptr<const CompiledSchema>;

// Gathers libxml2's structured errors.
struct ErrorCollector {
  std::string text;
  static void collect(void* userData, xmlErrorPtr error) {
    auto* self = static_cast<ErrorCollector*>(userData);
    if (error == nullptr || error->message == nullptr) return;
    std::string message = error->message;
    while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) message.pop_back();
    if (!self->text.empty()) self->text += "; ";
    if (error->line > 0) self->text += "line " + std::to_string(error->line) + ": ";
    self->text += message;
  }
};

// Routes every libxml2 message of this thread into `collector` for the lifetime of the object
// (libxml2 keeps the structured handler per thread) and restores the previous handler afterwards.
class ScopedErrorRouting {
 public:
  explicit ScopedErrorRouting(ErrorCollector* collector)
      : savedHandler_(xmlStructuredError), savedContext_(xmlStructuredErrorContext) {
    xmlSetStructuredErrorFunc(collector, &ErrorCollector::collect);
  }
  ~ScopedErrorRouting() { xmlSetStructuredErrorFunc(savedContext_, savedHandler_); }
  ScopedErrorRouting(const ScopedErrorRouting&) = delete;
  ScopedErrorRouting& operator=(const ScopedErrorRouting&) = delete;

 private:
  xmlStructuredErrorFunc savedHandler_;
  void* savedContext_;
};

void initLibXml() {
  static std::once_flag once;
  std::call_once(once, [] { xmlInitParser(); });
}

// Set while this thread parses a file: the SAX hook records a document type declaration here.
// (Thread-local rather than the context's _private field, which a context reset may clear.)
thread_local bool* t_dtdSeen = nullptr;

// Stops the parse at the first document type declaration: no DTD, internal or external, and so no
// entity declaration ever reaches the parser's tables.
void refuseInternalSubset(void* ctx, const xmlChar*, const xmlChar*, const xmlChar*) {
  if (t_dtdSeen != nullptr) *t_dtdSeen = true;
  xmlStopParser(static_cast<xmlParserCtxt*>(ctx));
}

// Reads a well-formed XML file without a document type declaration. Throws XmlValidationException.
DocPtr readXmlFile(const std::string& filePath) {
  ParserCtxtPtr parser(xmlNewParserCtxt());
  if (!parser) throw XmlValidationException("Cannot create an XML parser");
  parser->sax->internalSubset = &refuseInternalSubset;
  ErrorCollector errors;
  bool dtdSeen = false;
  DocPtr doc;
  {
    const ScopedErrorRouting routing(&errors);
    t_dtdSeen = &dtdSeen;
    // No network, no entity substitution, no DTD loading.
    const int options = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    doc.reset(xmlCtxtReadFile(parser.get(), filePath.c_str(), nullptr, options));
    t_dtdSeen = nullptr;
  }
  if (dtdSeen || (doc && (doc->intSubset != nullptr || doc->extSubset != nullptr))) {
    throw XmlValidationException(filePath + ": DTD and entity declarations are not allowed");
  }
  if (!doc || !parser->wellFormed) {
    std::string reason = errors.text;
    if (reason.empty()) {
      const xmlError* last = xmlCtxtGetLastError(parser.get());
      reason = last != nullptr && last->message != nullptr ? last->message : "cannot read or parse the file";
      while (!reason.empty() && reason.back() == '\n') reason.pop_back();
    }
    throw XmlValidationException(filePath + ": " + reason);
  }
  return doc;
}

// Process-wide cache of compiled schemas; g_schemaMutex guards g_schemas.
std::mutex g_schemaMutex;
std::map<std::string, SchemaPtr> g_schemas;

// Returns the compiled schema at `path`, compiling it on first use. A schema that fails to compile
// is not cached, so a schema installed later is picked up. Throws XmlValidationException.
SchemaPtr compiledSchema(const std::string& path) {
  const std::lock_guard<std::mutex> lock(g_schemaMutex);
  const auto found = g_schemas.find(path);
  if (found != g_schemas.end()) return found->second;

  auto compiled = std::make_shared<CompiledSchema>();
  try {
    compiled->document = readXmlFile(path);
  } catch (const XmlValidationException& e) {
    throw XmlValidationException("Cannot read schema " + std::string(e.what()));
  }
  SchemaParserCtxtPtr parser(xmlSchemaNewDocParserCtxt(compiled->document.get()));
  if (!parser) throw XmlValidationException("Cannot create a schema parser for " + path);
  ErrorCollector errors;
  xmlSchemaSetParserStructuredErrors(parser.get(), &ErrorCollector::collect, &errors);
  {
    const ScopedErrorRouting routing(&errors);
    compiled->schema.reset(xmlSchemaParse(parser.get()));
  }
  if (!compiled->schema) {
    throw XmlValidationException("Cannot compile schema " + path + (errors.text.empty() ? "" : ": " + errors.text));
  }
  g_schemas.emplace(path, compiled);
  ZEM_DEBUG("Compiled XML schema " << path);
  return compiled;
}

}  // namespace

XmlValidatorLibXml2::XmlValidatorLibXml2() : schemaPath_(DevicePaths::configurationSchema()) {}

XmlValidatorLibXml2::XmlValidatorLibXml2(std::string schemaPath) : schemaPath_(std::move(schemaPath)) {}

void XmlValidatorLibXml2::validate(const std::string& filePath) const {
  initLibXml();
  const SchemaPtr compiled = compiledSchema(schemaPath_);
  const DocPtr doc = readXmlFile(filePath);

  ValidCtxtPtr validation(xmlSchemaNewValidCtxt(compiled->schema.get()));
  if (!validation) throw XmlValidationException("Cannot create a validation context for " + schemaPath_);
  ErrorCollector errors;
  xmlSchemaSetValidStructuredErrors(validation.get(), &ErrorCollector::collect, &errors);
  int rc = 0;
  {
    const ScopedErrorRouting routing(&errors);
    rc = xmlSchemaValidateDoc(validation.get(), doc.get());
  }
  if (rc != 0) {
    throw XmlValidationException(
        filePath + " is not valid against " + schemaPath_ + ": " +
        (errors.text.empty() ? "validation failed (" + std::to_string(rc) + ")" : errors.text));
  }
}
