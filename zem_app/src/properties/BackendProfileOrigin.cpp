// Value access of the backend-profile origin. The backend configuration file is a link to the
// active profile's file (<profile>.prs beside it); switching the profile saves the current
// configuration under the current profile's name, points the new profile's file at the new
// profile's backend address ("CONNECTIVITY.<profile>.BACKEND_URL" of the property map), swaps
// the link atomically, stores the new name and tells the security service which link its
// connectivity reload must check.
//
// The new profile's file is created as a copy of the configuration even when the configuration is
// still a plain file, not a link: that is the state of a fresh unit before its first switch, and
// without the copy the first switch could never produce the link that every later switch and the
// connectivity reload rely on. The plain file's content is first saved under the current profile's
// name, so nothing of it is lost.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/ZemApp.h"
#include "database/Database.h"
#include "kest/DevicePaths.h"
#include "kest/ExtensionServices.h"
#include "kest/File.h"
#include "kest/Utils.h"
#include "kest/security/SecurityService.h"
#include "properties/OriginValues.h"
#include "properties/PropertyException.h"
#include "properties/ProvisioningAdapterMap.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

constexpr size_t kMaxProfileNameBytes = 64;

[[noreturn]] void fail(const std::string& text) {
  ZEM_ERROR(text);
  throw PropertyException(text);
}

// A profile name becomes a file name in the configuration's folder: only a short, plain name is
// accepted, so no name can reach another folder or a hidden file.
bool isSafeProfileName(const std::string& name) {
  if (name.empty() || name.size() > kMaxProfileNameBytes || name[0] == '.') return false;
  for (const char c : name) {
    const bool plain =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
    if (!plain) return false;
  }
  return true;
}

// A relative configPath is under the backend application's folder; an absolute one takes the
// device prefix (ZEM_SYSROOT) once, like every device path.
std::string configFilePath(const std::string& configPath) {
  if (configPath.empty() || configPath[0] != '/') return DevicePaths::backendApplicationFolder() + "/" + configPath;
  const std::string& sysroot = DevicePaths::sysroot();
  if (!sysroot.empty() && configPath.compare(0, sysroot.size() + 1, sysroot + "/") == 0) return configPath;
  return sysroot + configPath;
}

// Replaces `link` by a symbolic link to `targetName` (a name in the same folder) in one rename.
bool relink(const File& link, const std::string& targetName) {
  const File temporary(link.getParentFile(), "." + link.getName() + ".relink");
  temporary.remove();
  if (::symlink(targetName.c_str(), temporary.getPath().c_str()) != 0) return false;
  if (std::rename(temporary.getPath().c_str(), link.getPath().c_str()) != 0) {
    temporary.remove();
    return false;
  }
  return true;
}

}  // namespace

template <>
PropertyValue getValue(const Types::TqlBackendConfigPropertyOrigin& origin) {
  ZEM_TRACE("Read from database " << origin.get_key());
  return Database::getInstance()->getString(origin.get_key());
}

template <>
bool setValue(const Types::TqlBackendConfigPropertyOrigin& origin, const Types::PersistedValue* value) {
  const auto* node = Types::exactly<Types::PersistedStringValue>(value);
  if (node == nullptr) fail("Backend profile value should be a string");
  const std::string& profile = node->get_stringValue();
  if (!isSafeProfileName(profile)) {
    fail("Invalid backend profile name: " + ApplicationLogger::shortened(profile, kMaxProfileNameBytes));
  }
  const std::string path = configFilePath(origin.get_configPath());
  const std::unique_ptr<StringValue> stored = Database::getInstance()->getString(origin.get_key());
  const std::string current = stored ? stored->str() : std::string();
  ZEM_DEBUG("Update tQL configuration for backend profile " << profile << " : " << path << " (current = " << current
                                                            << ")");
  const File config(path);
  if (!config.exists()) fail("tQL config file cannot be found: " + path);

  const File folder = config.getParentFile();
  // A stored name that could not be a file name is not used as one; its configuration is then
  // not saved.
  if (isSafeProfileName(current) && !config.copyTo(File(folder, current + ".prs"))) {
    fail("Impossible to save the tQL configuration of backend profile " + current);
  }
  const std::string profileFileName = profile + ".prs";
  const File profileFile(folder, profileFileName);
  // Also from a plain configuration file (see the top of this file).
  if (!profileFile.exists() && !config.copyTo(profileFile)) {
    fail("Impossible to create the tQL configuration of backend profile " + profile);
  }

  const std::string address = ProvisioningAdapterMap().getPropertyValue("CONNECTIVITY." + profile + ".BACKEND_URL");
  // One line each: an address holding a line break would add lines to the file.
  if (address.find_first_of("\r\n") != std::string::npos ||
      !Utils::replaceLineInPropertiesFile(profileFile.getPath(), "prm.manager.url=.*", "prm.manager.url=" + address)) {
    fail("Impossible to change the backend URL in tQL configuration");
  }
  if (!relink(config, profileFileName)) {
    fail("Impossible to link the tQL configuration to backend profile " + profile + ": " + std::strerror(errno));
  }
  if (!Database::getInstance()->setString(origin.get_key(), value)) {
    fail("Impossible to store the new backend profile in configuration");
  }
  // The reload that follows a switch checks this link, not a fixed file name.
  const std::shared_ptr<ExtensionServices> services = getApp()->getExtensionServices().lock();
  if (services && services->getSecurityService() != nullptr) {
    services->getSecurityService()->setConnectivityConfigFile(path);
  }
  return true;
}
