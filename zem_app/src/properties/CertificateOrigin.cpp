// Value access of the certificate origin: the slot's bytes travel as Base64 text.
#include <exception>
#include <memory>
#include <string>

#include "app/ZemApp.h"
#include "kest/ExtensionServices.h"
#include "kest/security/SecurityService.h"
#include "kolconfig/XSDEnumException.h"
#include "properties/OriginValues.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

// The application's security service, kept alive by the returned bundle; null (logged) when the
// application has no services.
std::shared_ptr<ExtensionServices> servicesWithSecurity() {
  std::shared_ptr<ExtensionServices> services = getApp()->getExtensionServices().lock();
  if (!services || services->getSecurityService() == nullptr) {
    ZEM_ERROR("No security service available for certificates");
    return nullptr;
  }
  return services;
}

// Parses the certificate id; false (logged) for an id outside the enumeration.
bool slotOf(const Types::CertificatePropertyOrigin& origin, Security::SecurityService::CertificateSlot* slot) {
  try {
    *slot = Types::CertificateIdType::parse(origin.get_certificateId());
    return true;
  } catch (const XSDEnumException& e) {
    ZEM_ERROR("Unknown certificate id: " << e.what());
    return false;
  }
}

}  // namespace

template <>
PropertyValue getValue(const Types::CertificatePropertyOrigin& origin) {
  const std::string& id = origin.get_certificateId();
  ZEM_TRACE("Read certificate " << id);
  Security::SecurityService::CertificateSlot slot;
  const std::shared_ptr<ExtensionServices> services = servicesWithSecurity();
  if (!services || !slotOf(origin, &slot)) return std::make_shared<StringValue>();
  const std::string bytes = services->getSecurityService()->readCertificate(slot);
  if (bytes.empty()) {
    ZEM_WARN("Certificate " << id << " is empty, it might be normal if no certificate was installed yet");
    return std::make_shared<StringValue>();
  }
  return std::make_shared<StringValue>(Security::SecurityService::base64Encode(bytes));
}

template <>
bool setValue(const Types::CertificatePropertyOrigin& origin, const Types::PersistedValue* value) {
  const std::string& id = origin.get_certificateId();
  ZEM_DEBUG("Store certificate " << id);
  const auto* text = Types::exactly<Types::PersistedStringValue>(value);
  if (text == nullptr) {
    ZEM_ERROR("Certificate " << id << " must be given as a Base64 string");
    return false;
  }
  std::string bytes;
  if (!Security::SecurityService::base64Decode(text->get_stringValue(), &bytes)) {
    ZEM_ERROR("Certificate " << id << " is not valid Base64");
    return false;
  }
  Security::SecurityService::CertificateSlot slot;
  const std::shared_ptr<ExtensionServices> services = servicesWithSecurity();
  if (!services || !slotOf(origin, &slot)) return false;
  return services->getSecurityService()->storeCertificate(slot, bytes);
}

template <>
const Types::PropertyOrigin* getConfig(const Types::CertificatePropertyOrigin& origin) {
  return &origin;
}
