// Schema validation through the configuration-schema runtime's one validator and one safe reader
// (xmldoc::SchemaValidator): no network, no entity expansion, no DTD, and the reader's caps on size
// and shape. Compiled schemas are cached per path for the life of the process: compiling the
// configuration schema costs far more than validating a document, and a compiled schema is shared
// by concurrent validations.
#include "kest/XmlValidatorLibXml2.h"

#include <map>
#include <memory>
#include <mutex>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kolconfig/SchemaValidator.h"

namespace {

using SchemaPtr = std::shared_ptr<const xmldoc::SchemaValidator>;

// Process-wide cache of compiled schemas; g_schemaMutex guards g_schemas.
std::mutex g_schemaMutex;
std::map<std::string, SchemaPtr> g_schemas;

// Returns the compiled schema at `path`, compiling it on first use. A schema that fails to compile
// is not cached, so a schema installed later is picked up. Throws XmlValidationException.
SchemaPtr compiledSchema(const std::string& path) {
  const std::lock_guard<std::mutex> lock(g_schemaMutex);
  const auto found = g_schemas.find(path);
  if (found != g_schemas.end()) return found->second;
  SchemaPtr compiled;
  try {
    compiled = std::make_shared<const xmldoc::SchemaValidator>(path);
  } catch (const XPlus::Exception& e) {
    throw XmlValidationException("Cannot compile schema " + path + ": " + e.what());
  }
  g_schemas.emplace(path, compiled);
  ZEM_DEBUG("Compiled XML schema " << path);
  return compiled;
}

}  // namespace

XmlValidatorLibXml2::XmlValidatorLibXml2() : schemaPath_(DevicePaths::configurationSchema()) {}

XmlValidatorLibXml2::XmlValidatorLibXml2(std::string schemaPath) : schemaPath_(std::move(schemaPath)) {}

void XmlValidatorLibXml2::validate(const std::string& filePath) const {
  const SchemaPtr schema = compiledSchema(schemaPath_);
  try {
    schema->validateFile(filePath);
  } catch (const XPlus::Exception& e) {
    throw XmlValidationException(filePath + ": " + e.what());
  }
}

void XmlValidatorLibXml2::validateText(const std::string& text, const std::string& name) const {
  const SchemaPtr schema = compiledSchema(schemaPath_);
  try {
    schema->validateString(text);
  } catch (const XPlus::Exception& e) {
    throw XmlValidationException(name + ": " + e.what());
  }
}
