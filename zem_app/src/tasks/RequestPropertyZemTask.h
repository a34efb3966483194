// Task kind "RequestPropertyZemTaskDescription": answers the description's property names with
// their current values, as a map of typed values in the result.
// Thread safety: run by the queue's worker thread only.
#pragma once

#include "jobs/ZemTask.h"

class RequestPropertyZemTask : public ZemTask {
 public:
  // Keeps the description as a RequestPropertyZemTaskDescription (none when it is of another
  // type) and creates the empty result document.
  RequestPropertyZemTask(const ZipArchive& archive, DescriptionPtr description);
  ~RequestPropertyZemTask() override;

  // Adds each named property's value to the result map, in document order; a name asked again is
  // answered once. Returns the outcome of the last name (false for an empty list or no
  // description), after reporting the result and deleting the container.
  bool execute() override;
  // Task::HIGHEST: a property read must not wait behind long jobs.
  int getPriority() const override;
  // Writes the result document (taskId, errorInfo, properties) as "result.xml" into `folder`. A
  // document error is logged at ERROR; nothing is thrown.
  void createTaskResults(const File& folder, bool success) override;

 private:
  const Sarnet_Configuration::Types::RequestPropertyZemTaskDescription* requestDescription_;  // owned by the base
  const xmldoc::DocumentPtr<Sarnet_Configuration::Types::RequestPropertyZemTaskResult> result_;
  Sarnet_Configuration::Types::PersistedMapValue* const properties_;  // owned by result_
};
