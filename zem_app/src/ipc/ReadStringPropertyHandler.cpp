#include "ipc/ReadStringPropertyHandler.h"

#include <chrono>
#include <memory>
#include <string>

#include "ipc/IpcMessagePropertyRequestHandler.h"
#include "kest/ApplicationLogger.h"
#include "properties/ProvisioningAdapterMap.h"

ReadStringPropertyHandler::ReadStringPropertyHandler(const Ipc::IpcMessageDefinition& definition,
                                                     ExtensionServices* services)
    : Ipc::IpcMethodServlet(definition, services) {
  ProvisioningAdapterMap().initialise();
}

void ReadStringPropertyHandler::processMethodCall(const Ipc::IpcMessageDefinition& /*definition*/,
                                                  const Ipc::IpcMethodCallRequest& request,
                                                  Ipc::IpcMethodCallResponse& response) {
  const auto start = std::chrono::system_clock::now();
  try {
    const std::string& name = request.getParameter<Ipc::IpcStringParameter>("property").getValue();
    response.addParameter(
        std::make_unique<Ipc::IpcStringParameter>("value", ProvisioningAdapterMap().getPropertyValue(name)));
  } catch (const Ipc::IpcException& e) {
    ZEM_ERROR("Problem during reception of message ReadStringProperty");
    ZEM_ERROR(e.what());
  }
  IpcMessagePropertyRequestHandler::logProcessingTime(start);
}

bool ReadStringPropertyHandler::processMethodCallAtOnce(const Ipc::IpcMessageDefinition& /*definition*/,
                                                        const Ipc::IpcMethodCallRequest& request,
                                                        Ipc::IpcMethodCallResponse& response) {
  const auto start = std::chrono::system_clock::now();
  const auto* name = dynamic_cast<const Ipc::IpcStringParameter*>(request.getParameters().find("property"));
  std::string value;
  if (name == nullptr || !ProvisioningAdapterMap().tryGetPropertyValueAtOnce(name->getValue(), &value)) return false;
  response.addParameter(std::make_unique<Ipc::IpcStringParameter>("value", std::move(value)));
  IpcMessagePropertyRequestHandler::logProcessingTime(start);
  return true;
}
