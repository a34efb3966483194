#include "tasks/UpdateBusPropertiesZemTask.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <optional>
#include <string_view>

#include "jobs/TaskTypeRegistration.h"
#include "kest/ApplicationLogger.h"
#include "kest/BusMonitoringService.h"
#include "kest/ExtensionServices.h"
#include "values/ValueUtils.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

const TaskTypeRegistration<UpdateBusPropertiesZemTask> registration("UpdateBusPropertiesZemTaskDescription");

constexpr int kBusConfigurationError = 7;
constexpr const char* kUnknownErrorText = "Bus configuration not applied - unknown error occurred";

// True for a key whose last dotted component ends in "bitrate", in any case ("BUS.Bitrate",
// "CAN0.DATA_BITRATE").
bool isBitrateKey(const std::string& key) {
  static constexpr std::string_view kSuffix = "bitrate";
  const std::string_view last =
      std::string_view(key).substr(key.rfind('.') == std::string::npos ? 0 : key.rfind('.') + 1);
  if (last.size() < kSuffix.size()) return false;
  const std::string_view tail = last.substr(last.size() - kSuffix.size());
  return std::equal(tail.begin(), tail.end(), kSuffix.begin(),
                    [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
}

// The bitrate a value names when it is a supported one: an integer, or a string of 1 to 9 decimal
// digits. nullopt for anything else.
std::optional<std::int64_t> bitrateOf(const Types::PersistedValue* value) {
  std::int64_t rate = -1;
  if (const auto* integer = Types::exactly<Types::PersistedIntegerValue>(value)) {
    rate = integer->get_integerValue();
  } else if (const auto* text = Types::exactly<Types::PersistedStringValue>(value)) {
    const std::string& digits = text->get_stringValue();
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos) {
      return std::nullopt;
    }
    rate = std::stoll(digits);
  }
  if (!BusMonitoringService::isSupportedBitrate(rate)) return std::nullopt;
  return rate;
}

}  // namespace

UpdateBusPropertiesZemTask::UpdateBusPropertiesZemTask(const ZipArchive& archive, DescriptionPtr description)
    : UpdatePropertyZemTask(archive, std::move(description)),
      busDescription_(dynamic_cast<const Types::UpdateBusPropertiesZemTaskDescription*>(getDescription())) {}

UpdateBusPropertiesZemTask::~UpdateBusPropertiesZemTask() = default;

bool UpdateBusPropertiesZemTask::execute() {
  const std::string refused = unsupportedBitrateKey();
  if (!refused.empty()) {
    errorType = kBusConfigurationError;
    errorMessage = "Impossible to update property " + refused;
    ZEM_ERROR("Bus configuration refused: property " << ApplicationLogger::shortened(refused, 256)
                                                     << " names no bitrate the bus supports");
    return finish(false);
  }
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
  return finish(outcome);
}

void UpdateBusPropertiesZemTask::createTaskResults(const File& folder, bool success) {
  ZemTask::createTaskResults<Types::UpdateBusPropertiesZemTaskResult>(folder, success);
}

std::string UpdateBusPropertiesZemTask::unsupportedBitrateKey() const {
  const Types::PersistedMapValue* properties =
      busDescription_ != nullptr ? busDescription_->element_properties() : nullptr;
  if (properties == nullptr) return {};
  for (const auto& entry : properties->elements_entry()) {
    const std::string& key = entry->get_key();
    if (!isBitrateKey(key)) continue;
    if (!bitrateOf(entry->element_value()).has_value()) return key;
  }
  return {};
}

int UpdateBusPropertiesZemTask::applyBusConfiguration() const {
  ExtensionServices* const services = getExtensionServices();
  BusMonitoringService* const bus = services != nullptr ? services->getBusMonitoringService() : nullptr;
  // A unit that offers no bus monitoring cannot apply a bus configuration: not supported.
  return bus != nullptr ? bus->apply() : BusMonitoringService::kNotSupported;
}
