// SchemaValidator: checks documents against the configuration schema (kolconfig.xsd), which it
// compiles once, at construction.
// Thread safety: validateString/validateFile may run concurrently on one validator; each call
// uses its own validation context over the shared, read-only compiled schema.
#pragma once

#include <memory>
#include <string>

#include "kolconfig/XPlusException.h"

struct _xmlSchema;  // libxml2's compiled schema

namespace xmldoc {

class SchemaValidator {
 public:
  // Compiles the schema file at `xsdPath`. Throws XPlus::Exception: "IO error: ..." when the
  // file cannot be read, "Schema validation error: ..." when it is not a usable schema.
  explicit SchemaValidator(const std::string& xsdPath);
  ~SchemaValidator();
  SchemaValidator(const SchemaValidator&) = delete;
  SchemaValidator& operator=(const SchemaValidator&) = delete;

  // Returns when `xml` is well-formed and valid. Throws XPlus::Exception: "Parse error: ...",
  // "DTD and entity declarations are not allowed", or "Schema validation error: " followed by
  // the validator's first messages.
  void validateString(const std::string& xml) const;

  // As validateString for the file at `path`; "IO error: ..." when it cannot be read.
  void validateFile(const std::string& path) const;

 private:
  struct SchemaDeleter {
    void operator()(_xmlSchema* schema) const;
  };
  std::unique_ptr<_xmlSchema, SchemaDeleter> m_schema;  // immutable after construction
};

}  // namespace xmldoc
