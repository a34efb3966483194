// Task kind "UpdateBackendConfigZemTaskDescription": writes backend-connectivity properties and,
// when the request names a new active backend profile, provisions that profile's client
// certificate, switches the profile and has the connectivity configuration reloaded, reverting
// the switch when the reload fails. Thread safety: run by the queue's worker thread only.
#pragma once

#include <string>

#include "jobs/ZemTask.h"

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
  // Provisions, switches and reloads for the profile entry `profileEntry`. Returns the outcome.
  bool switchProfile(const Sarnet_Configuration::Types::PersistedMapEntry& profileEntry);

  const Sarnet_Configuration::Types::UpdateBackendConfigZemTaskDescription* backendDescription_;  // owned by the base
};
