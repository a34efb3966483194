#include "kest/LogCollector.h"

#include <chrono>

#include "kest/LogFilter.h"

LogCollector::LogCollector(std::weak_ptr<ExtensionServices> services, BackendAdapterCommunicatorIF* communicator)
    : services_(std::move(services)), communicator_(communicator) {}

bool LogCollector::collect(const std::string& target, const std::set<std::string>& components,
                           const std::string& minimumLevel) const {
  return LogFilter::backupSysLog(target, components, minimumLevel, std::chrono::system_clock::time_point());
}
