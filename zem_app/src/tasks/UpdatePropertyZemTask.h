// Task kind "UpdatePropertyZemTaskDescription": writes the description's map of property names to
// new values into the property map (no permission check: the backend may write every property).
// Thread safety: run by the queue's worker thread only.
#pragma once

#include "jobs/ZemTask.h"

class UpdatePropertyZemTask : public ZemTask {
 public:
  // Keeps the description as an UpdatePropertyZemTaskDescription (none when of another type).
  UpdatePropertyZemTask(const ZipArchive& archive, DescriptionPtr description);
  ~UpdatePropertyZemTask() override;

  // updateProperties(), then reports the result and deletes the container. Returns the outcome.
  bool execute() override;
  // Task::HIGHEST: a property write must not wait behind long jobs.
  int getPriority() const override;
  // Writes "result.xml" (UpdatePropertyZemTaskResult).
  void createTaskResults(const File& folder, bool success) override;

  // Writes every entry in document order, whatever the earlier ones gave. Returns the outcome of
  // the last entry (false for an empty map or no description). Each failed entry sets error type 7
  // and "Impossible to update property " + its key (a later failure replaces the text).
  bool updateProperties();

 private:
  const Sarnet_Configuration::Types::UpdatePropertyZemTaskDescription* updateDescription_;  // owned by the base
};
