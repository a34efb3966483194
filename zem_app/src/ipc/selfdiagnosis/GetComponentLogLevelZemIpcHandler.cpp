#include "ipc/selfdiagnosis/GetComponentLogLevelZemIpcHandler.h"

#include <memory>

#include "app/ZemApp.h"
#include "kest/ApplicationLogger.h"
#include "kest/ZemSettings.h"

namespace Types = Sarnet_Configuration::Types;

namespace {
constexpr int64_t kNoLevelStored = 255;
}

void GetComponentLogLevelZemIpcHandler::processMethodCall(const Ipc::IpcMessageDefinition& /*definition*/,
                                                          const Ipc::IpcMethodCallRequest& /*request*/,
                                                          Ipc::IpcMethodCallResponse& response) {
  try {
    ZEM_TRACE("Reading ComponentLogLevel through self-diagnosis");
    int64_t level = kNoLevelStored;
    ZemSettings* settings = getApp()->getGlobalSettings();
    if (settings != nullptr) {
      settings->ensureLoaded();
      const std::string text = settings->read([](const Types::ZemGlobalSettings* document) {
        return document != nullptr && document->has_componentLogLevel() ? document->get_componentLogLevel()
                                                                        : std::string();
      });
      // A stored text outside the table throws XSDEnumException to the IPC layer.
      if (!text.empty()) level = Types::LogLevelType::parse(text);
    }
    response.addParameter(std::make_unique<Ipc::IpcIntegerParameter>("level", level));
  } catch (const Ipc::IpcException& e) {
    ZEM_ERROR("Problem during reception of the GetComponentLogLevel message");
    ZEM_ERROR(e.what());
    response.addParameter(std::make_unique<Ipc::IpcIntegerParameter>("level", kNoLevelStored));
  }
}
