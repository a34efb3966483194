#include "ConfigCommands.h"

#include <chrono>
#include <exception>
#include <memory>
#include <sstream>

#include "ContainerBuilder.h"
#include "JobCommands.h"
#include "ResultPackage.h"
#include "Zemctl.h"
#include "kest/File.h"
#include "kest/TempFile.h"
#include "kest/zip/ZipArchive.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

constexpr const char* kConfigEntryType = "PROVISIONING_CONFIG";
constexpr const char* kConfigEntryName = "config.xml";

// A task id of its own for every run: the kind, the time in milliseconds and the process id.
std::string freshTaskId(PropertyCommand::Kind kind) {
  const char* const word = kind == PropertyCommand::Kind::ConfigInstall   ? "install"
                           : kind == PropertyCommand::Kind::ConfigRequest ? "request"
                                                                          : "delete";
  return JobCommands::freshTaskId(std::string("config-") + word);
}

}  // namespace

std::string ConfigCommands::descriptionType(PropertyCommand::Kind kind) {
  switch (kind) {
    case PropertyCommand::Kind::ConfigInstall:
      return Types::InstallProvisioningConfigTaskDescription::staticTypeName();
    case PropertyCommand::Kind::ConfigRequest:
      return Types::RequestProvisioningConfigTaskDescription::staticTypeName();
    case PropertyCommand::Kind::ConfigDelete:
      return Types::DeleteProvisioningConfigTaskDescription::staticTypeName();
    default:
      return std::string();
  }
}

int ConfigCommands::run(const ZemctlCommand& command) {
  const PropertyCommand& p = command.property;
  const std::string taskId = p.taskId.empty() ? freshTaskId(p.kind) : p.taskId;
  const bool configOnStdout = p.kind == PropertyCommand::Kind::ConfigRequest && p.output.empty();
  std::ostream& summary = configOnStdout ? err_ : out_;
  try {
    const TempFile folder("zemctl-config");
    ContainerBuilder builder;
    std::string error;
    bool ok = builder.generateDescription(descriptionType(p.kind), taskId, p.force, &error);
    if (ok && p.kind == PropertyCommand::Kind::ConfigInstall) {
      // The payload is the document as read here, so the unit gets exactly what was checked.
      const File copy(folder.getFile(), kConfigEntryName);
      try {
        const auto config = xmldoc::parseFile<Types::ProvisioningConfig>(p.configFile);
        xmldoc::saveFile(*config, copy.getPath(), xmldoc::Durability::Volatile);
      } catch (const std::exception& e) {
        err_ << "zemctl: config install: " << p.configFile << " is not a provisioning configuration: " << e.what()
             << "\n";
        return Zemctl::kExitFailed;
      }
      ok = builder.addPayload(kConfigEntryType, copy.getPath(), &error);
    }
    const std::string container = File(folder.getFile(), "config-job.zip").getPath();
    if (!ok || !builder.build(container, p.keyFile, &error)) {
      err_ << "zemctl: config: " << error << "\n";
      return Zemctl::kExitFailed;
    }
    std::ostringstream progress;  // the submission's own lines; the outcome is printed below
    JobCommands jobs(progress, err_);
    if (const int rc = jobs.submit(command, container); rc != Zemctl::kExitOk) return rc;
    ResultPackage package;
    if (const int rc = jobs.findResult(taskId, p.wait, &package); rc != Zemctl::kExitOk) return rc;
    summary << "task " << taskId << "\n";
    if (!package.hasResult) {
      err_ << "zemctl: the package " << package.path << " holds no readable result.xml\n";
      return Zemctl::kExitFailed;
    }
    summary << "success " << (package.success ? "true" : "false") << "\n";
    if (!package.success) {
      err_ << "zemctl: the unit reported a failure of task " << taskId << " (its log tells why)\n";
      return Zemctl::kExitFailed;
    }
    if (p.kind != PropertyCommand::Kind::ConfigRequest) return Zemctl::kExitOk;
    for (const ResultPackage::Entry& entry : package.entries) {
      if (entry.type == kConfigEntryType) return deliverConfig(p, package.path, entry.file);
    }
    err_ << "zemctl: the package " << package.path << " holds no provisioning configuration\n";
    return Zemctl::kExitFailed;
  } catch (const std::exception& e) {
    err_ << "zemctl: config: " << e.what() << "\n";
    return Zemctl::kExitFailed;
  }
}

int ConfigCommands::deliverConfig(const PropertyCommand& command, const std::string& packagePath,
                                  const std::string& entryName) {
  xmldoc::DocumentPtr<Types::ProvisioningConfig> config;
  try {
    // The entry is read like any untrusted document: bounded in size, refused when malformed.
    const ZipArchive archive = ZipArchive::openForReading(packagePath);
    config = archive.extractXML<Types::ProvisioningConfig>(entryName, ZipArchive::nonDecryptor(),
                                                           ZipArchive::nonValidator());
  } catch (const std::exception& e) {
    err_ << "zemctl: the configuration in " << packagePath << " cannot be read: " << e.what() << "\n";
    return Zemctl::kExitFailed;
  }
  if (config == nullptr) {
    err_ << "zemctl: the configuration in " << packagePath << " cannot be read\n";
    return Zemctl::kExitFailed;
  }
  try {
    if (command.output.empty()) {
      out_ << xmldoc::toString(*config);
    } else {
      xmldoc::saveFile(*config, command.output);
      out_ << "wrote " << command.output << "\n";
    }
  } catch (const std::exception& e) {
    err_ << "zemctl: cannot write the configuration: " << e.what() << "\n";
    return Zemctl::kExitFailed;
  }
  return Zemctl::kExitOk;
}
