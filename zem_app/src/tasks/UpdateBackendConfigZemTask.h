// Task kind "UpdateBackendConfigZemTaskDescription": writes backend-connectivity properties and,
// when the request names a new active backend profile, provisions that profile's client
// certificate, switches the profile and has the connectivity configuration reloaded, reverting
// the switch when the reload fails. Thread safety: run by the queue's worker thread only.
#pragma once

#include <string>

#include "jobs/ZemTask.h"

class ProvisioningAdapterMap;
namespace Security {
class SecurityService;
}

class UpdateBackendConfigZemTask : public ZemTask {
 public:
  // The property naming the active backend profile; held back until the rest is written.
  static constexpr const char* kActiveProfileProperty = "CONNECTIVITY.ACTIVE_BACKEND_PROFILE";
  // The code handed to the platform service before a certificate is provisioned.
  static constexpr int kPlatformProvisioningCode = 15;

  // Keeps the description as an UpdateBackendConfigZemTaskDescription (none when of another type).
  UpdateBackendConfigZemTask(const ZipArchive& archive, DescriptionPtr description);
  ~UpdateBackendConfigZemTask() override;

  // Writes the properties, then switches the profile when one is named (see the class comment),
  // reports the result and deletes the container. Returns the outcome. Error type 7: a property
  // write or the switch failed; 6: the certificate could not be provisioned or the reload failed.
  bool execute() override;
  // Task::HIGHEST: connectivity must not wait behind long jobs.
  int getPriority() const override;
  // Writes "result.xml" (UpdateBackendConfigZemTaskResult).
  void createTaskResults(const File& folder, bool success) override;

 private:
  // Writes every entry but the active profile, in document order, stopping at the first failure.
  // Points `profileEntry` at the last active-profile entry (null when none). Returns false on
  // failure. REQUIRES: profileEntry != nullptr.
  bool writeProperties(const Sarnet_Configuration::Types::PersistedMapEntry** profileEntry);
  // What the security service needs to provision a profile's client certificate.
  struct CertificateRequest {
    std::string certificateId;   // empty when the profile names no certificate
    int certificateNumber = -1;  // -1: no certificate, or an id that is no known slot
    std::string rootCa, requestUrl, renewalUrl;
  };

  // Provisions, switches and reloads for the profile entry `profileEntry`. Returns the outcome.
  bool switchProfile(const Sarnet_Configuration::Types::PersistedMapEntry& profileEntry);
  // The certificate settings of `profile` ("CONNECTIVITY.<profile>.*") as the map holds them.
  static CertificateRequest certificateRequestFor(ProvisioningAdapterMap& adapterMap, const std::string& profile);
  // Has `security` (may be null: fails) provision the certificate; on failure sets error type 6 and
  // the message, logs it and returns false.
  bool provisionCertificate(Security::SecurityService* security, const CertificateRequest& request,
                            const std::string& profile);
  // Writes the profile entry's value as the active profile; on failure (also a throwing write) sets
  // error type 7 and the message and returns false.
  bool setActiveProfile(ProvisioningAdapterMap& adapterMap,
                        const Sarnet_Configuration::Types::PersistedMapEntry& profileEntry, const std::string& profile);
  // Has `security` reload the connectivity configuration. True when it reloaded or the network is
  // unreachable for now (the reload comes later); otherwise sets error type 6, writes `previous`
  // back as the active profile and returns false.
  bool reloadConnectivity(Security::SecurityService& security, ProvisioningAdapterMap& adapterMap,
                          const std::string& profile, const std::string& previous);

  const Sarnet_Configuration::Types::UpdateBackendConfigZemTaskDescription* backendDescription_;  // owned by the base
};
