#include "ipc/IpcMessageMonitorPropertyHandler.h"

#include <cstdint>
#include <memory>
#include <string>

#include "kest/ApplicationLogger.h"
#include "properties/ProvisioningAdapterMap.h"

void IpcMessageMonitorPropertyHandler::processMethodCall(const Ipc::IpcMessageDefinition& /*definition*/,
                                                         const Ipc::IpcMethodCallRequest& request,
                                                         Ipc::IpcMethodCallResponse& response) {
  try {
    const std::string& name = request.getParameter<Ipc::IpcStringParameter>("property").getValue();
    const MonitorTable::Result result =
        ProvisioningAdapterMap().addPropertyMonitor(name, request.getConnection(), request.getSender());
    response.addParameter(std::make_unique<Ipc::IpcIntegerParameter>("result", static_cast<int64_t>(result)));
  } catch (const Ipc::IpcException& e) {
    // The first line names the request message: other components' log filters rely on this text.
    ZEM_ERROR("Problem during reception of message ZemPropertyRequest");
    ZEM_ERROR(e.what());
  }
}
