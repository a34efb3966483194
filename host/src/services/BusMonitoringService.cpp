#include "kest/BusMonitoringService.h"

#include <algorithm>
#include <exception>
#include <iterator>
#include <utility>

#include "kest/ApplicationLogger.h"
#include "kest/vehiclebus/BusDispatcher.h"
#include "kest/vehiclebus/FrameSource.h"
#include "vehiclebus/BusDispatcherImpl.h"

BusMonitoringService::BusMonitoringService(RestartSources restartSources,
                                           std::shared_ptr<VehicleBus::BusDispatcher> dispatcher)
    : restartSources_(std::move(restartSources)), dispatcher_(std::move(dispatcher)) {}

BusMonitoringService::~BusMonitoringService() = default;

bool BusMonitoringService::isSupportedBitrate(std::int64_t bitsPerSecond) {
  static constexpr std::int64_t kSupported[] = {10'000,    20'000,    33'333,    50'000,    83'333,
                                                100'000,   125'000,   250'000,   500'000,   800'000,
                                                1'000'000, 2'000'000, 4'000'000, 5'000'000, 8'000'000};
  return std::find(std::begin(kSupported), std::end(kSupported), bitsPerSecond) != std::end(kSupported);
}

int BusMonitoringService::apply() {
  applyCalls_.fetch_add(1);
  const std::lock_guard<std::mutex> lock(applyMutex_);
  if (forced_) return *forced_;
  if (!restartSources_) return kNotSupported;
  std::vector<std::string> failures;
  std::size_t dropped = 0;
  try {
    failures = restartSources_([this, &dropped] { dropped = dispatcher_->impl().dropTransfers(); });
  } catch (const std::exception& e) {
    failures.emplace_back(e.what());
  }
  for (const std::string& reason : failures) {
    ZEM_ERROR("A frame source could not restart: " << ApplicationLogger::shortened(reason, 256));
  }
  if (!failures.empty()) return kSourceFailed;
  ZEM_INFO("Bus configuration re-applied: frame sources restarted, " << dropped << " open J1939 transfers dropped");
  return kApplied;
}

void BusMonitoringService::forceStatus(std::optional<int> status) {
  const std::lock_guard<std::mutex> lock(applyMutex_);
  forced_ = status;
}

std::vector<std::string> BusMonitoringService::restartAll(const std::vector<VehicleBus::FrameSource*>& sources,
                                                          const std::function<void()>& whileStopped) {
  for (VehicleBus::FrameSource* source : sources) source->stop();
  whileStopped();
  std::vector<std::string> failures;
  for (VehicleBus::FrameSource* source : sources) {
    try {
      source->start();
    } catch (const std::exception& e) {
      failures.emplace_back(e.what());
    }
  }
  return failures;
}
