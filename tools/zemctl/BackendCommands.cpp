#include "BackendCommands.h"

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <exception>
#include <sstream>

#include "ContainerBuilder.h"
#include "JobCommands.h"
#include "ResultPackage.h"
#include "ResultTree.h"
#include "Zemctl.h"
#include "kest/File.h"
#include "kest/TempFile.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

std::string freshTaskId() {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  return "zemctl-backend-switch-" + std::to_string(ms) + "-" + std::to_string(::getpid());
}

void addEntry(Types::PersistedMapValue* map, const std::string& name, PropertyCommand::ValueKind kind,
              const std::string& text) {
  auto* entry = map->add_node_entry();
  entry->set_key(name);
  switch (kind) {
    case PropertyCommand::ValueKind::String:
      entry->add_node_value<Types::PersistedStringValue>()->set_stringValue(text);
      break;
    case PropertyCommand::ValueKind::Integer:
      entry->add_node_value<Types::PersistedIntegerValue>()->set_integerValue(
          static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10)));
      break;
    case PropertyCommand::ValueKind::Float:
      entry->add_node_value<Types::PersistedFloatValue>()->set_floatValue(std::strtod(text.c_str(), nullptr));
      break;
    case PropertyCommand::ValueKind::Boolean:
      entry->add_node_value<Types::PersistedBooleanValue>()->set_booleanValue(text == "true");
      break;
    case PropertyCommand::ValueKind::ByteField:
      entry->add_node_value<Types::PersistedByteFieldValue>()->set_byteFieldValue(text);
      break;
  }
}

}  // namespace

std::string BackendCommands::description(const PropertyCommand& command, const std::string& taskId) {
  const auto document = xmldoc::createDocument<Types::UpdateBackendConfigZemTaskDescription>();
  document->set_taskId(taskId);
  auto* properties = document->add_node_properties();
  for (const PropertyCommand::TypedEntry& entry : command.entries) {
    addEntry(properties, entry.name, entry.kind, entry.text);
  }
  addEntry(properties, kActiveProfileProperty, PropertyCommand::ValueKind::String, command.profile);
  return xmldoc::toString(*document);
}

int BackendCommands::run(const ZemctlCommand& command) {
  const PropertyCommand& p = command.property;
  const std::string taskId = p.taskId.empty() ? freshTaskId() : p.taskId;
  try {
    const TempFile folder("zemctl-backend");
    const File descriptionFile(folder.getFile(), "backend-switch.xml");
    const File container(folder.getFile(), "backend-job.zip");
    std::string error;
    ContainerBuilder builder;
    if (!descriptionFile.writeAtomically(description(p, taskId)) ||
        !builder.setDescriptionFile(descriptionFile.getPath(), &error) ||
        !builder.build(container.getPath(), p.keyFile, &error)) {
      err_ << "zemctl: backend switch: " << (error.empty() ? "cannot write the description" : error) << "\n";
      return Zemctl::kExitFailed;
    }
    std::ostringstream progress;  // the submission's own lines; the outcome is printed below
    JobCommands jobs(progress, err_);
    if (const int rc = jobs.submit(command, container.getPath()); rc != Zemctl::kExitOk) return rc;
    ResultPackage package;
    if (const int rc = jobs.findResult(taskId, p.wait, &package); rc != Zemctl::kExitOk) return rc;
    out_ << "task " << taskId << "\n";
    if (!package.hasResult) {
      err_ << "zemctl: the package " << package.path << " holds no readable result.xml\n";
      return Zemctl::kExitFailed;
    }
    out_ << "success " << (package.success ? "true" : "false") << "\n";
    if (package.errorType != 0) out_ << "errorType " << package.errorType << "\n";
    if (!package.errorMessage.empty()) out_ << "errorMessage " << ResultTree::oneLine(package.errorMessage) << "\n";
    return package.success ? Zemctl::kExitOk : Zemctl::kExitFailed;
  } catch (const std::exception& e) {
    err_ << "zemctl: backend switch: " << e.what() << "\n";
    return Zemctl::kExitFailed;
  }
}
