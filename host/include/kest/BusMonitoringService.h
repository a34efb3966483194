// The host's bus monitoring service: re-applies the vehicle-bus configuration on request by
// restarting the host's frame sources and dropping every open J1939 transfer.
// Thread safety: every method may be called from any thread; apply() calls are serialised under
// applyMutex_ and may run while frames are dispatched.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "kest/Export.h"

namespace VehicleBus {
class BusDispatcher;
class FrameSource;
}  // namespace VehicleBus

class KEST_EXPORT BusMonitoringService {
 public:
  // Statuses of apply().
  static constexpr int kApplied = 0;         // every source restarted, every open transfer dropped
  static constexpr int kNotSupported = -1;   // the host has no vehicle bus
  static constexpr int kSourceFailed = 255;  // a source could not restart (logged at ERROR)

  // Restarts the host's frame sources: stops those it restarts, calls `whileStopped` once (with
  // none of them delivering), starts them again. Returns the reason of each source that could not
  // start again (empty: all running); the others keep running.
  using RestartSources = std::function<std::vector<std::string>(const std::function<void()>& whileStopped)>;

  // `restartSources` is how the host restarts its sources; an empty function means the host was
  // built without a vehicle bus, and apply() then answers kNotSupported. `dispatcher` is the bus
  // whose open transfers apply() drops, kept for the service's lifetime.
  // REQUIRES: dispatcher != nullptr when restartSources is not empty.
  BusMonitoringService(RestartSources restartSources, std::shared_ptr<VehicleBus::BusDispatcher> dispatcher);
  virtual ~BusMonitoringService();
  BusMonitoringService(const BusMonitoringService&) = delete;
  BusMonitoringService& operator=(const BusMonitoringService&) = delete;

  // Re-applies the bus configuration: restarts the frame sources (a reconfigured SocketCAN
  // interface is read again) and, while they are stopped, drops every open J1939 transfer of the
  // service's dispatcher. Returns kApplied; kSourceFailed when a source could not restart, each
  // reason logged at ERROR; kNotSupported on a host without a vehicle bus. While a status is
  // forced (forceStatus) returns it and touches nothing. Never throws.
  virtual int apply();

  // Test seam: from now on every apply() returns `status` without touching the bus; std::nullopt
  // restores the real behaviour.
  void forceStatus(std::optional<int> status);
  // How many times apply() was called, forced or not.
  std::size_t applyCalls() const { return applyCalls_.load(); }

  // The bitrates, in bits per second, that the unit's CAN controllers can be set to: the classic
  // nominal rates 10k, 20k, 33.333k, 50k, 83.333k, 100k, 125k, 250k, 500k, 800k and 1M, and the
  // CAN FD data-phase rates 2M, 4M, 5M and 8M. A bus configuration naming any other rate is refused
  // before it is written, since a controller set to it would leave the bus.
  static bool isSupportedBitrate(std::int64_t bitsPerSecond);

  // The restart that RestartSources implementations share: stops every source of `sources` (not
  // owned), calls `whileStopped`, then starts each again. Returns the reason (the exception's
  // message) of each source that could not start; the others run.
  static std::vector<std::string> restartAll(const std::vector<VehicleBus::FrameSource*>& sources,
                                             const std::function<void()>& whileStopped);

 private:
  const RestartSources restartSources_;
  const std::shared_ptr<VehicleBus::BusDispatcher> dispatcher_;
  std::mutex applyMutex_;  // serialises apply(); guards forced_
  std::optional<int> forced_;
  std::atomic<std::size_t> applyCalls_{0};
};
