#include "kolconfig/SchemaValidator.h"

#include <libxml/xmlschemas.h>

#include "SafeXmlReader.h"
#include "kolconfig/XmlDoc.h"

namespace xmldoc {
namespace {

struct SchemaParserDeleter {
  void operator()(xmlSchemaParserCtxt* parser) const { xmlSchemaFreeParserCtxt(parser); }
};
struct ValidationContextDeleter {
  void operator()(xmlSchemaValidCtxt* context) const { xmlSchemaFreeValidCtxt(context); }
};

// Keeps the first few messages of a run; more would only repeat the cause.
struct ErrorCollector {
  std::string text;
  int count = 0;
};

void collect(void* userData, xmlError* error) {
  auto* collector = static_cast<ErrorCollector*>(userData);
  if (error == nullptr || error->message == nullptr || ++collector->count > 3) {
    return;
  }
  std::string message = error->message;
  while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
    message.pop_back();
  }
  if (!collector->text.empty()) {
    collector->text += "; ";
  }
  collector->text += message;
  if (error->line > 0) {
    collector->text += " (line " + std::to_string(error->line) + ")";
  }
}

}  // namespace

void SchemaValidator::SchemaDeleter::operator()(_xmlSchema* schema) const { xmlSchemaFree(schema); }
void SchemaValidator::DocDeleter::operator()(_xmlDoc* doc) const { xmlFreeDoc(doc); }

SchemaValidator::SchemaValidator(const std::string& xsdPath) {
  const std::string text = detail::readFile(xsdPath);
  // The schema text itself goes through the hardened reader, then is compiled from the DOM.
  m_schemaDocument.reset(detail::readXmlDocument(text.data(), text.size()).release());
  std::unique_ptr<xmlSchemaParserCtxt, SchemaParserDeleter> parser(xmlSchemaNewDocParserCtxt(m_schemaDocument.get()));
  if (!parser) {
    throw XPlus::Exception("Schema validation error: cannot create a schema parser for " + xsdPath);
  }
  ErrorCollector errors;
  xmlSchemaSetParserStructuredErrors(parser.get(), &collect, &errors);
  m_schema.reset(xmlSchemaParse(parser.get()));
  if (!m_schema) {
    throw XPlus::Exception("Schema validation error: " + xsdPath + " is not a usable schema: " + errors.text);
  }
}

SchemaValidator::~SchemaValidator() = default;

void SchemaValidator::validateString(const std::string& xml) const {
  const detail::XmlDocPtr doc = detail::readXmlDocument(xml.data(), xml.size());
  std::unique_ptr<xmlSchemaValidCtxt, ValidationContextDeleter> context(xmlSchemaNewValidCtxt(m_schema.get()));
  if (!context) {
    throw XPlus::Exception("Schema validation error: cannot create a validation context");
  }
  ErrorCollector errors;
  xmlSchemaSetValidStructuredErrors(context.get(), &collect, &errors);
  const int rc = xmlSchemaValidateDoc(context.get(), doc.get());
  if (rc != 0) {
    throw XPlus::Exception("Schema validation error: " +
                           (errors.text.empty() ? "validation failed with code " + std::to_string(rc) : errors.text));
  }
}

void SchemaValidator::validateFile(const std::string& path) const { validateString(detail::readFile(path)); }

}  // namespace xmldoc
