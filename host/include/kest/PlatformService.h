// The unit's platform hooks: requests by code that the application makes of the platform around
// operations the platform must know about. The host records and logs each request.
// Thread safety: every method may be called from any thread; the history is guarded by mutex_.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <vector>

#include "kest/Export.h"

class KEST_EXPORT PlatformService {
 public:
  // A client certificate is about to be provisioned: keep the data connection up until it is done.
  static constexpr int kClientCertificateProvisioning = 15;
  // How many of the last requests lastCodes() keeps.
  static constexpr std::size_t kHistorySize = 16;

  PlatformService() = default;
  virtual ~PlatformService() = default;
  PlatformService(const PlatformService&) = delete;
  PlatformService& operator=(const PlatformService&) = delete;

  // Takes the platform request `code`: records it and logs it at INFO with its meaning. Returns 0
  // for a known code; -1 for an unknown code, which is recorded too and logged at WARN.
  virtual int request(int code);

  // The codes of the last kHistorySize requests, oldest first.
  std::vector<int> lastCodes() const;

 private:
  mutable std::mutex mutex_;
  std::deque<int> codes_;  // guarded by mutex_
};
