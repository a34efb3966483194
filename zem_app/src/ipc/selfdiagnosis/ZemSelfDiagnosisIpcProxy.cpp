#include "ipc/selfdiagnosis/ZemSelfDiagnosisIpcProxy.h"

#include "ipc/IpcDefinitions.h"
#include "ipc/selfdiagnosis/GetComponentLogLevelZemIpcHandler.h"
#include "ipc/selfdiagnosis/GetSwVersionZemIpcHandler.h"
#include "ipc/selfdiagnosis/SetComponentLogLevelZemIpcHandler.h"
#include "kest/ApplicationLogger.h"
#include "kest/ExtensionServices.h"
#include "kest/ipc/IpcService.h"

ZemSelfDiagnosisIpcProxy::ZemSelfDiagnosisIpcProxy(const std::weak_ptr<ExtensionServices>& weakServices) {
  const std::shared_ptr<ExtensionServices> services = weakServices.lock();
  Ipc::IpcService* ipc = services ? services->getIpcService() : nullptr;
  if (ipc == nullptr) {
    ZEM_ERROR("Self-diagnosis is not available: no IPC service");
    return;
  }
  ipc->registerServlet(IpcDefinitions::getSwVersion(),
                       std::make_unique<GetSwVersionZemIpcHandler>(IpcDefinitions::getSwVersion(), services.get()));
  ipc->registerServlet(
      IpcDefinitions::getComponentLogLevel(),
      std::make_unique<GetComponentLogLevelZemIpcHandler>(IpcDefinitions::getComponentLogLevel(), services.get()));
  ipc->registerServlet(
      IpcDefinitions::setComponentLogLevel(),
      std::make_unique<SetComponentLogLevelZemIpcHandler>(IpcDefinitions::setComponentLogLevel(), services.get()));
}
