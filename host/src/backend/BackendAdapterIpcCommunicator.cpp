#include "kest/BackendAdapterIpcCommunicator.h"

#include <memory>

#include "kest/ApplicationLogger.h"
#include "kest/ExtensionServices.h"
#include "kest/ipc/IpcService.h"

namespace {

bool sendSignal(ExtensionServices& services, const Ipc::IpcMessageDefinition& definition,
                const Ipc::IpcParameterSet& parameters) {
  Ipc::IpcService* ipc = services.getIpcService();
  if (ipc == nullptr) {
    ZEM_ERROR("Cannot send " << definition.getName() << ": no IPC service");
    return false;
  }
  try {
    ipc->sendSignal(definition, parameters);
    return true;
  } catch (const Ipc::IpcException& e) {
    ZEM_ERROR("Cannot send " << definition.getName());
    ZEM_ERROR(e.what());
    return false;
  }
}

const Ipc::IpcMessageDefinition& taskStatusDefinition() {
  static const Ipc::ZemMessageDefinition definition(
      "TaskStatus", {{"taskId", Ipc::IpcParameterType::String, Ipc::IpcParameterDirection::Out},
                     {"status", Ipc::IpcParameterType::Integer, Ipc::IpcParameterDirection::Out}});
  return definition;
}

const Ipc::IpcMessageDefinition& resultPlacedDefinition() {
  static const Ipc::ZemMessageDefinition definition(
      "ResultPlaced", {{"location", Ipc::IpcParameterType::String, Ipc::IpcParameterDirection::Out}});
  return definition;
}

}  // namespace

BackendAdapterIpcCommunicator::BackendAdapterIpcCommunicator(ExtensionServices& services,
                                                             const Ipc::IpcMessageDefinition& jobDefinition)
    : services_(services), jobDefinition_(jobDefinition) {}

bool BackendAdapterIpcCommunicator::sendTaskStatus(const std::string& taskId, int64_t status) {
  Ipc::IpcParameterSet parameters;
  parameters.add(std::make_unique<Ipc::IpcStringParameter>("taskId", taskId));
  parameters.add(std::make_unique<Ipc::IpcIntegerParameter>("status", status));
  return sendSignal(services_, taskStatusDefinition(), parameters);
}

bool BackendAdapterIpcCommunicator::sendResultPlaced(const std::string& location) {
  Ipc::IpcParameterSet parameters;
  parameters.add(std::make_unique<Ipc::IpcStringParameter>("location", location));
  return sendSignal(services_, resultPlacedDefinition(), parameters);
}
