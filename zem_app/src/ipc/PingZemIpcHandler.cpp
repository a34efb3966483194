#include "ipc/PingZemIpcHandler.h"

#include <memory>

#include "app/ZemApp.h"
#include "kest/ApplicationLogger.h"

void PingZemIpcHandler::processMethodCall(const Ipc::IpcMessageDefinition& /*definition*/,
                                          const Ipc::IpcMethodCallRequest& /*request*/,
                                          Ipc::IpcMethodCallResponse& response) {
  int64_t status = 0;
  try {
    status = getApp()->getInitializationStatus()->getState();
  } catch (const Ipc::IpcException& e) {
    ZEM_ERROR("Problem during reception of the Ping message");
    ZEM_ERROR(e.what());
    status = 0;
  }
  response.addParameter(std::make_unique<Ipc::IpcIntegerParameter>("status", status));
}
