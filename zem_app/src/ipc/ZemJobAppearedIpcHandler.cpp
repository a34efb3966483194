#include "ipc/ZemJobAppearedIpcHandler.h"

#include <exception>
#include <memory>
#include <string>

#include "ipc/IpcDefinitions.h"
#include "jobs/Inbox.h"
#include "kest/ApplicationLogger.h"
#include "kest/File.h"
#include "kest/ipc/IpcListener.h"

namespace {

const char* const kRefused = "Refused the announced task container ";

}  // namespace

ZemJobAppearedIpcHandler::ZemJobAppearedIpcHandler(const Ipc::IpcMessageDefinition& definition,
                                                   ExtensionServices* services)
    : Ipc::IpcMethodServlet(definition, services) {}

ZemJobAppearedIpcHandler::~ZemJobAppearedIpcHandler() = default;

Ipc::IpcMethodServlet* ZemJobAppearedIpcHandler::getServlet() { return this; }

void ZemJobAppearedIpcHandler::processMethodCall(const Ipc::IpcMessageDefinition& definition,
                                                 const Ipc::IpcMethodCallRequest& request,
                                                 Ipc::IpcMethodCallResponse& response) {
  int64_t status = 1;
  try {
    const std::string& path = request.getParameter<Ipc::IpcStringParameter>("jobLocation").getValue();
    ZEM_LOG_ESCAPED(log4cplus::DEBUG_LOG_LEVEL, "got install location: " << Inbox::forLog(path));
    // A relative path is taken against the current folder, like every other file access.
    const File folder = File(File(path).getAbsolutePath()).getParentFile();
    if (!folder.isDirectory()) {
      ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL, "The containing folder for the incoming package at "
                                                      << Inbox::forLog(path) << " does not exist.");
    } else {
      // Any bus client may call: only a regular file directly inside the inbox is handed on; any
      // other path is logged and left untouched.
      const std::string name = Inbox::entryName(path);
      if (name.empty() || !Inbox::isRegularFile(name)) {
        ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL,
                        kRefused << Inbox::forLog(path) << " (not a regular file directly inside the inbox)");
      } else {
        // Before the application listens, the announcement is held and delivered once it does;
        // one beyond the bound is dropped (the container waits for the next start-up scan).
        deliverOrHold(definition, Inbox::pathOf(name));
      }
    }
  } catch (const Ipc::IpcException& e) {
    ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL, "Problem during reception of the JobAppeared message");
    ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL, e.what());
    status = 0;
  }
  response.addParameter(std::make_unique<Ipc::IpcIntegerParameter>("status", status));
}

extern "C" Ipc::IpcMethodServlet* zemCreateJobAppearedServlet(ExtensionServices* services) {
  try {
    // Ownership crosses the plug-in boundary; the host hands the servlet to its IPC service.
    return std::make_unique<ZemJobAppearedIpcHandler>(IpcDefinitions::jobAppeared(), services).release();
  } catch (const std::exception& e) {
    ZEM_ERROR("Unable to build the JobAppeared servlet: " << e.what());
    return nullptr;
  }
}
