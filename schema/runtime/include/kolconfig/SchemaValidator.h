// SchemaValidator: checks documents against an XML Schema (the configuration schema,
// kolconfig.xsd), which it compiles once, at construction. The one schema validator of the
// system: documents go through the runtime's safe reader (no network, no entity expansion, no
// DTD, caps on size and shape; see SafeXmlReader.h) before libxml2 validates them.
// Thread safety: validateString/validateFile may run concurrently on one validator; each call
// uses its own validation context over the shared, read-only compiled schema.
#pragma once

#include <memory>
#include <string>

#include "kolconfig/XPlusException.h"

struct _xmlSchema;  // libxml2's compiled schema
struct _xmlDoc;     // libxml2's document

namespace xmldoc {

class SchemaValidator {
 public:
  // Compiles the schema file at `xsdPath`. Throws XPlus::Exception: "IO error: ..." when the
  // file cannot be read, "Schema validation error: ..." when it is not a usable schema.
  explicit SchemaValidator(const std::string& xsdPath);
  ~SchemaValidator();
  SchemaValidator(const SchemaValidator&) = delete;
  SchemaValidator& operator=(const SchemaValidator&) = delete;

  // Returns when `xml` is well-formed and valid. Throws XPlus::Exception: "Parse error: ..."
  // (including "Parse error: refused: ..." for a document over the reader's caps),
  // "DTD and entity declarations are not allowed", or "Schema validation error: " followed by
  // the validator's first messages.
  void validateString(const std::string& xml) const;

  // As validateString for the file at `path`; "IO error: ..." when it cannot be read.
  void validateFile(const std::string& path) const;

 private:
  struct SchemaDeleter {
    void operator()(_xmlSchema* schema) const;
  };
  struct DocDeleter {
    void operator()(_xmlDoc* doc) const;
  };
  // The schema document, kept as long as the compiled schema that may point into it.
  std::unique_ptr<_xmlDoc, DocDeleter> m_schemaDocument;
  std::unique_ptr<_xmlSchema, SchemaDeleter> m_schema;  // immutable after construction; freed first
};

}  // namespace xmldoc
