#include "BusCommands.h"

#include <unistd.h>

#include <chrono>
#include <exception>
#include <fstream>
#include <sstream>

#include "ContainerBuilder.h"
#include "JobCommands.h"
#include "PropertyDocuments.h"
#include "ResultPackage.h"
#include "Zemctl.h"
#include "kest/ApplicationLogger.h"
#include "kest/File.h"
#include "kest/TempFile.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

// The longest error message printed: the unit's text is untrusted.
constexpr size_t kMaxPrintedMessage = 512;

// A task id of its own for every run: the time in milliseconds and the process id.
std::string freshTaskId() {
  const auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count();
  return "zemctl-bus-update-" + std::to_string(ms) + "-" + std::to_string(::getpid());
}

}  // namespace

std::string BusCommands::description(const BusCommand& bus, const std::string& taskId) {
  const auto document = xmldoc::createDocument<Types::UpdateBusPropertiesZemTaskDescription>();
  document->set_taskId(taskId);
  Types::PersistedMapValue* properties = document->add_node_properties();
  for (const BusCommand::Entry& entry : bus.entries) {
    Types::PersistedMapEntry* item = properties->add_node_entry();
    item->set_key(entry.name);
    item->set_element_value(PropertyDocuments::value(entry.kind, entry.text));
  }
  return xmldoc::toString(*document);
}

int BusCommands::run(const ZemctlCommand& command) {
  const BusCommand& bus = command.bus;
  const std::string taskId = bus.taskId.empty() ? freshTaskId() : bus.taskId;
  try {
    const TempFile folder("zemctl-bus");
    const File descriptionFile(folder.getFile(), "bus-update.xml");
    {
      std::ofstream stream(descriptionFile.getPath(), std::ios::binary | std::ios::trunc);
      stream << description(bus, taskId);
      if (!stream.flush()) {
        err_ << "zemctl: bus update: cannot write " << descriptionFile.getPath() << "\n";
        return Zemctl::kExitFailed;
      }
    }
    ContainerBuilder builder;
    std::string error;
    const std::string container = File(folder.getFile(), "bus-job.zip").getPath();
    if (!builder.setDescriptionFile(descriptionFile.getPath(), &error) ||
        !builder.build(container, bus.keyFile, &error)) {
      err_ << "zemctl: bus update: " << error << "\n";
      return Zemctl::kExitFailed;
    }
    std::ostringstream progress;  // the submission's own lines; the outcome is printed below
    JobCommands jobs(progress, err_);
    if (const int rc = jobs.submit(command, container); rc != Zemctl::kExitOk) return rc;
    ResultPackage package;
    if (const int rc = jobs.findResult(taskId, bus.wait, &package); rc != Zemctl::kExitOk) return rc;
    out_ << "task " << taskId << "\n";
    if (!package.hasResult) {
      err_ << "zemctl: the package " << package.path << " holds no readable result.xml\n";
      return Zemctl::kExitFailed;
    }
    out_ << "success " << (package.success ? "true" : "false") << "\n";
    if (package.errorType != 0) out_ << "errorType " << package.errorType << "\n";
    if (!package.errorMessage.empty())
      out_ << "errorMessage " << ApplicationLogger::shortened(package.errorMessage, kMaxPrintedMessage) << "\n";
    return package.success ? Zemctl::kExitOk : Zemctl::kExitFailed;
  } catch (const std::exception& e) {
    err_ << "zemctl: bus update: " << e.what() << "\n";
    return Zemctl::kExitFailed;
  }
}
