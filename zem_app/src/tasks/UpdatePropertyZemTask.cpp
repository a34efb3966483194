#include "tasks/UpdatePropertyZemTask.h"

#include "jobs/TaskTypeRegistration.h"
#include "properties/ProvisioningAdapterMap.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

const TaskTypeRegistration<UpdatePropertyZemTask> registration("UpdatePropertyZemTaskDescription");

constexpr int kPropertyUpdateError = 7;

}  // namespace

UpdatePropertyZemTask::UpdatePropertyZemTask(const ZipArchive& archive, DescriptionPtr description)
    : ZemTask(archive, std::move(description)),
      updateDescription_(dynamic_cast<const Types::UpdatePropertyZemTaskDescription*>(getDescription())) {}

UpdatePropertyZemTask::~UpdatePropertyZemTask() = default;

bool UpdatePropertyZemTask::execute() { return finish(updateProperties()); }

int UpdatePropertyZemTask::getPriority() const { return Task::HIGHEST; }

void UpdatePropertyZemTask::createTaskResults(const File& folder, bool success) {
  ZemTask::createTaskResults<Types::UpdatePropertyZemTaskResult>(folder, success);
}

bool UpdatePropertyZemTask::updateProperties() {
  bool outcome = false;
  const Types::PersistedMapValue* properties =
      updateDescription_ != nullptr ? updateDescription_->element_properties() : nullptr;
  if (properties == nullptr) return outcome;
  ProvisioningAdapterMap adapterMap;
  for (const auto& entry : properties->elements_entry()) {
    // An entry without a value is offered as null: the map refuses it like any unfit value.
    outcome = adapterMap.updateProperty(entry->element_value(), entry->get_key());
    if (!outcome) {
      errorType = kPropertyUpdateError;
      errorMessage = "Impossible to update property " + entry->get_key();
    }
  }
  return outcome;
}
