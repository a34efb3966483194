#include "tasks/UpdateBusPropertiesZemTask.h"

#include "TaskTypeRegistration.h"
#include "ValueUtils.h"
#include "kest/BusMonitoringService.h"
#include "kest/ExtensionServices.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

const TaskTypeRegistration<UpdateBusPropertiesZemTask> registration("UpdateBusPropertiesZemTaskDescription");

constexpr int kBusConfigurationError = 7;
constexpr const char* kUnknownErrorText = "Bus configuration not applied - unknown error occurred";

}  // namespace

UpdateBusPropertiesZemTask::UpdateBusPropertiesZemTask(const ZipArchive& archive, DescriptionPtr description)
    : UpdatePropertyZemTask(archive, std::move(description)),
      busDescription_(dynamic_cast<const Types::UpdateBusPropertiesZemTaskDescription*>(getDescription())) {}

UpdateBusPropertiesZemTask::~UpdateBusPropertiesZemTask() = default;

bool UpdateBusPropertiesZemTask::execute() {
  bool outcome = updateProperties();
  if (outcome) {
    ZEM_DEBUG("Updating bus configuration based on received configuration");
    printValue("Properties", busDescription_ != nullptr ? busDescription_->element_properties() : nullptr);
    const int status = applyBusConfiguration();
    if (status == BusMonitoringService::kApplied) {
      ZEM_DEBUG("Bus configuration applied correctly");
    } else if (status == BusMonitoringService::kNotSupported) {
      ZEM_WARN("Bus configuration feature not supported by the current platform");
    } else if (status == BusMonitoringService::kSourceFailed) {
      ZEM_ERROR(kUnknownErrorText);
      outcome = false;
      errorType = kBusConfigurationError;
      errorMessage = kUnknownErrorText;
    } else {
      ZEM_ERROR("Bus configuration not applied - unsupported error");
    }
  }
  reportResults(outcome);
  cleanUpZipContainer();
  return outcome;
}

void UpdateBusPropertiesZemTask::createTaskResults(const File& folder, bool success) {
  ZemTask::createTaskResults<Types::UpdateBusPropertiesZemTaskResult>(folder, success);
}

int UpdateBusPropertiesZemTask::applyBusConfiguration() const {
  ExtensionServices* const services = getExtensionServices();
  BusMonitoringService* const bus = services != nullptr ? services->getBusMonitoringService() : nullptr;
  // A unit that offers no bus monitoring cannot apply a bus configuration: not supported.
  return bus != nullptr ? bus->apply() : BusMonitoringService::kNotSupported;
}
