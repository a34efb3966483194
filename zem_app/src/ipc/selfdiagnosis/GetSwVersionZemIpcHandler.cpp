#include "ipc/selfdiagnosis/GetSwVersionZemIpcHandler.h"

#include <memory>

#include "app/ZemVersion.h"
#include "kest/ApplicationLogger.h"
#include "kest/Utils.h"

void GetSwVersionZemIpcHandler::processMethodCall(const Ipc::IpcMessageDefinition& /*definition*/,
                                                  const Ipc::IpcMethodCallRequest& /*request*/,
                                                  Ipc::IpcMethodCallResponse& response) {
  try {
    ZEM_DEBUG("Reading software version through self-diagnosis");
    Utils::checkSoftwareVersion(kZemSoftwareVersion, response);
  } catch (const Ipc::IpcException& e) {
    ZEM_ERROR("Problem during reception of the GetSwVersion message");
    ZEM_ERROR(e.what());
    for (const char* name : {"major", "minor", "patch"}) {
      response.addParameter(std::make_unique<Ipc::IpcIntegerParameter>(name, 0));
    }
  }
}
