#include "ConfigCommands.h"

#include <chrono>
#include <exception>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ContainerBuilder.h"
#include "DbcConfigWriter.h"
#include "JobCommands.h"
#include "ResultPackage.h"
#include "Zemctl.h"
#include "kest/File.h"
#include "kest/TempFile.h"
#include "kest/vehiclebus/DbcParser.h"
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
  if (p.kind == PropertyCommand::Kind::ConfigFromDbc) return fromDbc(p);
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

int ConfigCommands::fromDbc(const PropertyCommand& command) {
  constexpr const char* kWhat = "zemctl: config from-dbc: ";
  VehicleBus::DbcFile file;
  std::string error;
  if (!VehicleBus::DbcParser::parseFile(command.dbcFile, &file, &error)) {
    err_ << kWhat << error << "\n";
    return Zemctl::kExitUsage;
  }
  const DbcConfigWriter::Options options{command.prefix, command.busInterface, command.messages};
  std::string document;
  std::set<std::string> names;
  std::vector<std::string> leftOut;
  if (!DbcConfigWriter(file, options).write(&document, &names, &leftOut, &error)) {
    err_ << kWhat << command.dbcFile << ": " << error << "\n";
    return Zemctl::kExitUsage;
  }
  for (const std::string& line : leftOut) err_ << kWhat << "left out " << line << "\n";
  if (!command.intoFile.empty()) {
    try {
      // Read and checked as the unit reads a configuration (a file over the cap is refused unread)
      // before anything is added.
      const std::string existing = xmldoc::detail::readFile(command.intoFile);
      std::vector<std::string> clashes;
      for (const std::string& name : DbcConfigWriter::propertyNames(existing)) {
        if (names.count(name) != 0) clashes.push_back(name);
      }
      if (!clashes.empty()) {
        err_ << kWhat << command.intoFile << " already defines " << clashes.size() << " of the properties:\n";
        for (const std::string& name : clashes) err_ << "  " << name << "\n";
        return Zemctl::kExitUsage;
      }
      document = DbcConfigWriter::merge(existing, document);
    } catch (const std::exception& e) {
      err_ << kWhat << "--into " << command.intoFile << ": " << e.what() << "\n";
      return Zemctl::kExitUsage;
    }
  }
  if (command.output.empty()) {
    out_ << document;
    return Zemctl::kExitOk;
  }
  const xmldoc::ReplaceResult written = xmldoc::replaceFile(command.output, document.data(), document.size());
  if (written.outcome == xmldoc::ReplaceOutcome::kFailed) {
    err_ << kWhat << written.error << "\n";
    return Zemctl::kExitFailed;
  }
  out_ << "wrote " << command.output << "\n";
  return Zemctl::kExitOk;
}
