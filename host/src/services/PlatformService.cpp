#include "kest/PlatformService.h"

#include "kest/ApplicationLogger.h"

int PlatformService::request(int code) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    codes_.push_back(code);
    if (codes_.size() > kHistorySize) codes_.pop_front();
  }
  if (code == kClientCertificateProvisioning) {
    ZEM_INFO("Platform request " << code
                                 << ": a client certificate is about to be provisioned; the data connection "
                                    "stays up until it is done");
    return 0;
  }
  ZEM_WARN("Platform request " << code << ": unknown code, nothing done");
  return -1;
}

std::vector<int> PlatformService::lastCodes() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<int>(codes_.begin(), codes_.end());
}
