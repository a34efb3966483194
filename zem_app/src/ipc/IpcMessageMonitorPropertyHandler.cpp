#include "ipc/IpcMessageMonitorPropertyHandler.h"

#include <memory>
#include <string>

#include "ProvisioningAdapterMap.h"
#include "kest/ApplicationLogger.h"

void IpcMessageMonitorPropertyHandler::processMethodCall(const Ipc::IpcMessageDefinition& /*definition*/,
                                                         const Ipc::IpcMethodCallRequest& request,
                                                         Ipc::IpcMethodCallResponse& response) {
  try {
    const std::string& name = request.getParameter<Ipc::IpcStringParameter>("property").getValue();
    if (name.size() > kMaxPropertyNameBytes) {
      ZEM_WARN("Property name too long to be monitored: " << ApplicationLogger::shortened(name, 64));
    } else {
      ProvisioningAdapterMap().addPropertyMonitor(name);
    }
    response.addParameter(std::make_unique<Ipc::IpcIntegerParameter>("result", 0));
  } catch (const Ipc::IpcException& e) {
    // The first line names the request message: other components' log filters rely on this text.
    ZEM_ERROR("Problem during reception of message ZemPropertyRequest");
    ZEM_ERROR(e.what());
  }
}
