// Device folders and file names. Every value is a function-local static so that it is composed
// exactly once, on first use, after the environment (ZEM_SYSROOT) has been set by the host or a test.
#include "kest/DevicePaths.h"

#include <cstdlib>

namespace DevicePaths {

namespace {
constexpr const char* kDeviceRoot = "/media/olvane";
constexpr const char* kConfigs = "/configs";

std::string readSysroot() {
  const char* value = std::getenv("ZEM_SYSROOT");
  std::string root = value == nullptr ? std::string() : std::string(value);
  // "/tmp/x/" and "/tmp/x" name the same sysroot; "/" is the real device.
  while (!root.empty() && root.back() == '/') root.pop_back();
  return root;
}
}  // namespace

const std::string& sysroot() {
  static const std::string value = readSysroot();
  return value;
}
const std::string& deviceRoot() {
  static const std::string value = sysroot() + kDeviceRoot;
  return value;
}
const std::string& dataFolder() {
  static const std::string value = deviceRoot() + "/data";
  return value;
}
const std::string& configurationFolder() {
  static const std::string value = deviceRoot() + kConfigs;
  return value;
}
const std::string& readOnlyDataFolder() {
  static const std::string value = deviceRoot() + "/ro-data";
  return value;
}
const std::string& applicationDataFolder() {
  static const std::string value = dataFolder() + "/zem_app";
  return value;
}
const std::string& inboxFolder() {
  static const std::string value = applicationDataFolder() + "/INBOX";
  return value;
}
const std::string& outboxFolder() {
  static const std::string value = applicationDataFolder() + "/OUTBOX";
  return value;
}
const std::string& installedConfigFolder() {
  static const std::string value = applicationDataFolder() + "/CONFIGS";
  return value;
}
const std::string& storeFolder() {
  static const std::string value = applicationDataFolder() + "/STORE";
  return value;
}
const std::string& queueFolderSuffix() {
  static const std::string value = "/QUEUE";
  return value;
}
const std::string& defaultConfigFolder() {
  static const std::string value = configurationFolder() + "/zem_app";
  return value;
}
const std::string& obuApplicationFolder() {
  static const std::string value = dataFolder() + "/obu_app";
  return value;
}
const std::string& backendApplicationFolder() {
  static const std::string value = dataFolder() + "/tql_app";
  return value;
}
const std::string& backendInboxFolder() {
  static const std::string value = backendApplicationFolder() + "/INBOX";
  return value;
}
const std::string& certificateFolder() {
  static const std::string value = deviceRoot() + "/certs";
  return value;
}
const std::string& kernelRandomFolder() {
  static const std::string value = "/proc/sys/kernel/random/";
  return value;
}
const std::string& loggingConfigFile() {
  // The unprefixed configuration folder is embedded below "/extdata/"; the sysroot prefixes the
  // whole path once. The double slash after "extdata" is part of the device's path.
  static const std::string value =
      sysroot() + "/extdata/" + std::string(kDeviceRoot) + kConfigs + "/log4cplus/log4cplus.kro.properties";
  return value;
}
const std::string& configurationSchema() {
  static const std::string value = deviceRoot() + "/usr/local/share/genxml_kolconfig/kolconfig.xsd";
  return value;
}
const std::string& programFolder() {
  static const std::string value = deviceRoot() + "/usr/bin/";
  return value;
}
const std::string& systemLogFile() {
  static const std::string value = sysroot() + "/cache/var/log/messages";
  return value;
}

const char* const kMetaDataFileName = "MetaData.xml";
const char* const kConfigFileName = "config.xml";
const char* const kDatabaseFileName = "database.xml";
const char* const kSettingsFileName = "settings.xml";
const char* const kUuidFileName = "uuid";
const char* const kIndexFileName = "index.xml";
const char* const kResultFileName = "result.xml";
const char* const kLogsFolderName = "LOGS";
const char* const kQuarantineFolderName = "QUARANTINE";

}  // namespace DevicePaths
