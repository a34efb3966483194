// Validates files against the configuration schema. A thin wrapper over the schema runtime's
// xmldoc::SchemaValidator (and so its safe reader: no network, no entity expansion, no DTD, caps
// on size and shape); the schema is compiled once per process and path, on first use, and shared.
// Thread safety: validate() may run concurrently (each call has its own validation context).
#pragma once

#include <stdexcept>
#include <string>

#include "kest/Export.h"

class KEST_EXPORT XmlValidationException : public std::runtime_error {
 public:
  explicit XmlValidationException(const std::string& what) : std::runtime_error(what) {}
};

class KEST_EXPORT XmlValidatorLibXml2 {
 public:
  // Uses the schema at `schemaPath` (default: DevicePaths::configurationSchema()).
  XmlValidatorLibXml2();
  explicit XmlValidatorLibXml2(std::string schemaPath);
  // Returns normally when the file is a well-formed document valid against the schema.
  // Throws XmlValidationException with the reason otherwise (unreadable file, parse error, DTD
  // present, document over the reader's caps, schema missing or invalid, validation error).
  void validate(const std::string& filePath) const;
  // As validate, for the document `text`; `name` stands for it in the reason as the path does.
  void validateText(const std::string& text, const std::string& name) const;

 private:
  std::string schemaPath_;
};
