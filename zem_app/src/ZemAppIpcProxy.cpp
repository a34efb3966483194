#include "ZemAppIpcProxy.h"

#include <memory>

#include "IpcDefinitions.h"
#include "PingZemIpcHandler.h"
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
  registerServlet<PingZemIpcHandler>(services, IpcDefinitions::ping());
}
