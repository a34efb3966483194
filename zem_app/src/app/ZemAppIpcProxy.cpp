#include "app/ZemAppIpcProxy.h"

#include <memory>

#include "ipc/IpcDefinitions.h"
#include "ipc/IpcMessageMonitorPropertyHandler.h"
#include "ipc/IpcMessagePropertyRequestHandler.h"
#include "ipc/IpcMessagePropertyUpdateHandler.h"
#include "ipc/PingZemIpcHandler.h"
#include "ipc/ReadStringPropertyHandler.h"
#include "kest/ExtensionServices.h"
#include "kest/ipc/IpcService.h"

namespace {

template <class Servlet>
void registerServlet(ExtensionServices& services, const Ipc::IpcMessageDefinition& definition) {
  services.getIpcService()->registerServlet(definition, std::make_unique<Servlet>(definition, &services));
}

}  // namespace

ZemAppIpcProxy::ZemAppIpcProxy(ExtensionServices& services)
    : BackendAdapterIpcCommunicator(services, IpcDefinitions::jobAppeared()) {
  if (services.getIpcService() == nullptr) throw Ipc::IpcException("The host offers no IPC service");
  registerServlet<IpcMessagePropertyRequestHandler>(services, IpcDefinitions::zemPropertyRequest());
  registerServlet<IpcMessagePropertyUpdateHandler>(services, IpcDefinitions::zemPropertyUpdate());
  registerServlet<PingZemIpcHandler>(services, IpcDefinitions::ping());
  registerServlet<IpcMessageMonitorPropertyHandler>(services, IpcDefinitions::monitorProperty());
  // Building this servlet loads the installed configuration into the property map.
  registerServlet<ReadStringPropertyHandler>(services, IpcDefinitions::readStringProperty());
}
