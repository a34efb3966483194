#include "properties/IpcChangeNotification.h"

#include <exception>
#include <memory>

#include "ipc/IpcDefinitions.h"
#include "kest/ApplicationLogger.h"
#include "kest/ipc/IpcService.h"

void IpcChangeNotification::sendChangeNotification(const std::string& text) const {
  try {
    Ipc::IpcService* service = Ipc::IpcService::getInstance();
    if (service == nullptr) throw Ipc::IpcException("no IPC service");
    Ipc::IpcParameterSet parameters;
    parameters.add(std::make_unique<Ipc::IpcByteFieldParameter>("property", text));
    service->sendSignal(IpcDefinitions::zemVehicleProperty(), parameters);
  } catch (const std::exception& e) {
    ZEM_ERROR("failed with error " << e.what() << text);
  }
}
