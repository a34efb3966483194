#include "tasks/UpdateBackendConfigZemTask.h"

#include <exception>
#include <memory>

#include "app/ZemApp.h"
#include "jobs/TaskTypeRegistration.h"
#include "kest/ExtensionServices.h"
#include "kest/PlatformService.h"
#include "kest/security/SecurityService.h"
#include "kolconfig/XSDEnumException.h"
#include "properties/ProvisioningAdapterMap.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

const TaskTypeRegistration<UpdateBackendConfigZemTask> registration("UpdateBackendConfigZemTaskDescription");

constexpr int kCertificateError = 6;
constexpr int kPropertyUpdateError = 7;
constexpr size_t kMaxLoggedText = 128;

// Tells the platform that a client certificate is about to be provisioned; a unit without a
// platform service has nothing to keep up.
void signalPlatform(PlatformService* platform, int code) {
  if (platform != nullptr) platform->request(code);
}

// The text of a string value; empty for any other kind or no value.
std::string textOf(const Types::PersistedValue* value) {
  const auto* text = Types::exactly<Types::PersistedStringValue>(value);
  return text != nullptr ? text->get_stringValue() : std::string();
}

}  // namespace

UpdateBackendConfigZemTask::UpdateBackendConfigZemTask(const ZipArchive& archive, DescriptionPtr description)
    : ZemTask(archive, std::move(description)),
      backendDescription_(dynamic_cast<const Types::UpdateBackendConfigZemTaskDescription*>(getDescription())) {}

UpdateBackendConfigZemTask::~UpdateBackendConfigZemTask() = default;

int UpdateBackendConfigZemTask::getPriority() const { return Task::HIGHEST; }

void UpdateBackendConfigZemTask::createTaskResults(const File& folder, bool success) {
  ZemTask::createTaskResults<Types::UpdateBackendConfigZemTaskResult>(folder, success);
}

bool UpdateBackendConfigZemTask::execute() {
  ZEM_INFO("Backend provisioning request has been received");
  const Types::PersistedMapEntry* profileEntry = nullptr;
  bool outcome = writeProperties(&profileEntry);
  if (outcome && profileEntry == nullptr) {
    ZEM_WARN("Backend configuration has been updated but no switch of active config set was done");
  } else if (outcome) {
    outcome = switchProfile(*profileEntry);
  }
  return finish(outcome);
}

bool UpdateBackendConfigZemTask::writeProperties(const Types::PersistedMapEntry** profileEntry) {
  *profileEntry = nullptr;
  const Types::PersistedMapValue* properties =
      backendDescription_ != nullptr ? backendDescription_->element_properties() : nullptr;
  if (properties == nullptr) return true;
  ProvisioningAdapterMap adapterMap;
  for (const auto& entry : properties->elements_entry()) {
    if (entry->get_key() == kActiveProfileProperty) {
      *profileEntry = entry.get();
      continue;
    }
    if (!adapterMap.updateProperty(entry->element_value(), entry->get_key())) {
      errorType = kPropertyUpdateError;
      errorMessage = "Impossible to update property " + entry->get_key();
      ZEM_ERROR("Backend config update request has failed");
      return false;
    }
  }
  return true;
}

bool UpdateBackendConfigZemTask::switchProfile(const Types::PersistedMapEntry& profileEntry) {
  ProvisioningAdapterMap adapterMap;
  const std::string profile = textOf(profileEntry.element_value());
  const std::string previous = adapterMap.getPropertyValue(kActiveProfileProperty);
  const CertificateRequest request = certificateRequestFor(adapterMap, profile);

  const std::shared_ptr<ExtensionServices> services = getApp()->getExtensionServices().lock();
  Security::SecurityService* const security = services ? services->getSecurityService() : nullptr;
  signalPlatform(services ? services->getPlatformService() : nullptr, kPlatformProvisioningCode);
  if (!provisionCertificate(security, request, profile)) return false;
  if (!setActiveProfile(adapterMap, profileEntry, profile)) return false;
  // A provisioned certificate means there is a security service.
  return reloadConnectivity(*security, adapterMap, profile, previous);
}

UpdateBackendConfigZemTask::CertificateRequest UpdateBackendConfigZemTask::certificateRequestFor(
    ProvisioningAdapterMap& adapterMap, const std::string& profile) {
  const std::string prefix = "CONNECTIVITY." + profile;
  CertificateRequest request;
  // The configuration element is shared: it stays valid while `origin` holds it.
  const std::shared_ptr<const Types::PropertyOrigin> origin =
      adapterMap.getPropertyConfig(prefix + ".TLS_CLIENT_CERTIFICATE");
  const auto* certificate = Types::exactly<Types::CertificatePropertyOrigin>(origin.get());
  if (certificate != nullptr) {
    request.certificateId = certificate->get_certificateId();
    try {
      request.certificateNumber = static_cast<int>(Types::CertificateIdType::parse(request.certificateId));
    } catch (const XSDEnumException&) {
      request.certificateNumber = -1;  // the security service refuses an unknown slot
    }
    ZEM_DEBUG("Client certificate for profile " << profile << " = " << request.certificateId << " ("
                                                << request.certificateNumber << ")");
  }
  request.rootCa = adapterMap.getPropertyValue(prefix + ".ROOT_CA_IDENTIFIER");
  request.requestUrl = adapterMap.getPropertyValue(prefix + ".KMS_URL_CERTIFICATE_REQUEST");
  request.renewalUrl = adapterMap.getPropertyValue(prefix + ".KMS_URL_RENEWAL_REQUEST");
  return request;
}

bool UpdateBackendConfigZemTask::provisionCertificate(Security::SecurityService* security,
                                                      const CertificateRequest& request, const std::string& profile) {
  ZEM_INFO("Starting certificate provisioning for backend profile " << profile);
  const Security::SecurityService::ProvisioningResult provisioned =
      security != nullptr ? security->provisionClientCertificate(request.certificateId, request.certificateNumber,
                                                                 request.rootCa, request.requestUrl, request.renewalUrl)
                          : Security::SecurityService::ProvisioningResult{false, "no security service"};
  if (provisioned.success) return true;
  errorType = kCertificateError;
  errorMessage = "Impossible to provision a client certificate for CA " + request.rootCa + " (profile " + profile + ")";
  ZEM_ERROR(errorMessage << ": " << ApplicationLogger::shortened(provisioned.reason, kMaxLoggedText));
  return false;
}

bool UpdateBackendConfigZemTask::setActiveProfile(ProvisioningAdapterMap& adapterMap,
                                                  const Types::PersistedMapEntry& profileEntry,
                                                  const std::string& profile) {
  try {
    if (adapterMap.updateProperty(profileEntry.element_value(), kActiveProfileProperty)) return true;
    errorType = kPropertyUpdateError;
    errorMessage = "Impossible to switch backend configuration to profile " + profile;
  } catch (const std::exception& e) {
    errorType = kPropertyUpdateError;
    errorMessage = "Impossible to switch backend configuration to profile " + profile + " (" + e.what() + ")";
  }
  return false;
}

bool UpdateBackendConfigZemTask::reloadConnectivity(Security::SecurityService& security,
                                                    ProvisioningAdapterMap& adapterMap, const std::string& profile,
                                                    const std::string& previous) {
  const int status = security.reloadConnectivityConfiguration();
  if (status == Security::SecurityService::kReloadOk) {
    ZEM_INFO("Backend profile is now set to " << profile);
    return true;
  }
  if (status == Security::SecurityService::kReloadUnreachable) {
    ZEM_DEBUG(
        "Connectivity configuration could not be reloaded because of temporary missing connectivity, dispatching "
        "process will be restarted later");
    return true;
  }
  errorType = kCertificateError;
  errorMessage =
      "Backend configuration and/or certificates could not be reloaded, connectivity configuration will be "
      "reverted (status=" +
      std::to_string(status) + ")";
  ZEM_ERROR(errorMessage);
  Types::PersistedStringValue previousValue;
  previousValue.set_stringValue(previous);
  if (!adapterMap.updateProperty(&previousValue, kActiveProfileProperty)) {
    ZEM_WARN("Impossible to revert the connectivity configuration");
  }
  return false;
}
