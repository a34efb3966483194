// The documents of the property calls, built and read with the schema classes: the request
// ("ZemPropertyRequest"), the update ("ZemPropertyUpdate") and the result that answers both.
// Nothing is assembled from text, so a name or value can never change a document's structure.
// Thread safety: stateless; every function may be called from any thread.
#pragma once

#include <memory>
#include <string>

#include "PropertyCommand.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

class PropertyDocuments {
 public:
  // The IpcMessage*PropertyRequest document of `kind` for `name` (the propertyName, or the
  // vehicleProperty for RequestKind::Vehicle; ignored by the fixed kinds).
  // Throws XPlus::Exception("Serialisation error: ...") when `name` holds bytes that XML cannot
  // carry (control characters, invalid UTF-8).
  static std::string request(PropertyCommand::RequestKind kind, const std::string& name);

  // The IpcMessagePropertyUpdate document that sets `name` to the Persisted*Value of `kind` with
  // `text` (as PropertyCommand::parseTypedValue gives it).
  // Throws XPlus::Exception as request() does.
  // REQUIRES: `text` was checked by PropertyCommand::parseTypedValue for `kind`.
  static std::string update(const std::string& name, PropertyCommand::ValueKind kind, const std::string& text);

  // The Persisted*Value of `kind` holding `text`, owned by the caller.
  // REQUIRES: `text` was checked by PropertyCommand::parseTypedValue for `kind`.
  static std::unique_ptr<Sarnet_Configuration::Types::PersistedValue> value(PropertyCommand::ValueKind kind,
                                                                            const std::string& text);

  // Reads an answer document. Returns it, owned by the caller; its value() is null when the
  // application refused the request. Throws XPlus::Exception when `xml` is not an
  // IpcMessagePropertyResult document.
  static xmldoc::DocumentPtr<Sarnet_Configuration::Types::IpcMessagePropertyResult> result(const std::string& xml);
};
