#include "ipc/IpcMessagePropertyUpdateHandler.h"

#include <memory>
#include <string>

#include "kest/ApplicationLogger.h"
#include "properties/ProvisioningAdapterMap.h"

void IpcMessagePropertyUpdateHandler::processMethodCall(const Ipc::IpcMessageDefinition& /*definition*/,
                                                        const Ipc::IpcMethodCallRequest& request,
                                                        Ipc::IpcMethodCallResponse& response) {
  try {
    const std::string& text = request.getParameter<Ipc::IpcByteFieldParameter>("request").getValueAsString();
    ZEM_TRACE("Received an incoming request of size (in bytes): " << text.size());
    std::string answer = ProvisioningAdapterMap().setXmlPropertyResult(text, request.getSenderNames());
    ZEM_TRACE("Sending out going response of size (in bytes): " << answer.size());
    response.addParameter(std::make_unique<Ipc::IpcByteFieldParameter>("response", std::move(answer)));
  } catch (const Ipc::IpcException& e) {
    ZEM_ERROR("Problem during reception of message ZemPropertyUpdate");
    ZEM_ERROR(e.what());
  }
}
