// Task kind "UpdateBusPropertiesZemTaskDescription": writes bus-related properties like a property
// update, then has the host's bus monitoring service apply the new bus configuration.
// Thread safety: run by the queue's worker thread only.
#pragma once

#include <string>

#include "tasks/UpdatePropertyZemTask.h"

class UpdateBusPropertiesZemTask : public UpdatePropertyZemTask {
 public:
  // Keeps the description as an UpdateBusPropertiesZemTaskDescription (none when of another type).
  UpdateBusPropertiesZemTask(const ZipArchive& archive, DescriptionPtr description);
  ~UpdateBusPropertiesZemTask() override;

  // First checks every bitrate entry (a key whose last dotted component ends in "bitrate", in any
  // case): its value must be an integer, or a string of decimal digits, that the bus monitoring
  // service supports (BusMonitoringService::isSupportedBitrate). One that is not fails the task with
  // error type 7 and "Impossible to update property " + its key before anything is written or
  // applied. Otherwise updateProperties(); only when it succeeds, logs the properties and calls the bus monitoring
  // service's apply(). Status 255 makes the outcome false with error type 7; 0, -1 and any other
  // status keep it true (logged at DEBUG, WARN and ERROR). A unit without a bus monitoring service
  // is taken as status -1 (not supported). Then reports the result and deletes the container.
  // Returns the outcome.
  bool execute() override;
  // Writes "result.xml" (UpdateBusPropertiesZemTaskResult).
  void createTaskResults(const File& folder, bool success) override;

 private:
  // The key of the first bitrate entry whose value is not a supported bitrate; empty when none.
  std::string unsupportedBitrateKey() const;
  // The bus monitoring service's status for the new configuration (-1 when there is none).
  int applyBusConfiguration() const;

  const Sarnet_Configuration::Types::UpdateBusPropertiesZemTaskDescription* busDescription_;  // owned by the base
};
