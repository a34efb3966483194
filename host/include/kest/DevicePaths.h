// Device folders and fixed file names, composed once per process from their literal pieces and
// prefixed by the environment variable ZEM_SYSROOT (empty when unset). "/proc" is never prefixed.
// Thread safety: every function returns a reference to an immutable value built on first use.
#pragma once

#include <string>


// Every declaration of the namespace is public API.
#pragma GCC visibility push(default)
namespace DevicePaths {

const std::string& sysroot();                   // value of ZEM_SYSROOT read at first use
const std::string& deviceRoot();                // sysroot + "/media/olvane"
const std::string& dataFolder();                // deviceRoot + "/data"
const std::string& configurationFolder();       // deviceRoot + "/configs"
const std::string& readOnlyDataFolder();        // deviceRoot + "/ro-data"
const std::string& applicationDataFolder();     // dataFolder + "/zem_app"
const std::string& inboxFolder();               // applicationDataFolder + "/INBOX"
const std::string& outboxFolder();              // applicationDataFolder + "/OUTBOX"
const std::string& installedConfigFolder();     // applicationDataFolder + "/CONFIGS"
const std::string& storeFolder();               // applicationDataFolder + "/STORE"
const std::string& queueFolderSuffix();         // "/QUEUE"
const std::string& defaultConfigFolder();       // configurationFolder + "/zem_app"
const std::string& obuApplicationFolder();      // dataFolder + "/obu_app"
const std::string& backendApplicationFolder();  // dataFolder + "/tql_app"
const std::string& backendInboxFolder();        // backendApplicationFolder + "/INBOX"
const std::string& certificateFolder();         // deviceRoot + "/certs"
const std::string& kernelRandomFolder();        // "/proc/sys/kernel/random/" (never prefixed)
const std::string&
loggingConfigFile();  // sysroot + "/extdata/" + "/media/olvane/configs" + "/log4cplus/log4cplus.kro.properties"
const std::string& configurationSchema();  // deviceRoot + "/usr/local/share/genxml_kolconfig/kolconfig.xsd"
const std::string& programFolder();        // deviceRoot + "/usr/bin/"
const std::string& systemLogFile();        // sysroot + "/cache/var/log/messages"

extern const char* const kMetaDataFileName;  // "MetaData.xml"
extern const char* const kConfigFileName;    // "config.xml"
extern const char* const kDatabaseFileName;  // "database.xml"
extern const char* const kSettingsFileName;  // "settings.xml"
extern const char* const kUuidFileName;      // "uuid"
extern const char* const kIndexFileName;     // "index.xml"
extern const char* const kResultFileName;    // "result.xml"
extern const char* const kLogsFolderName;    // "LOGS": collected logs in the application data folder
// "QUARANTINE": refused task containers that carry no usable task id, in the application data folder
extern const char* const kQuarantineFolderName;

}  // namespace DevicePaths
#pragma GCC visibility pop
