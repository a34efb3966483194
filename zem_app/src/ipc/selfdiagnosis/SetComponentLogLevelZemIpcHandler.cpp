#include "ipc/selfdiagnosis/SetComponentLogLevelZemIpcHandler.h"

#include <memory>

#include "app/ZemApp.h"
#include "kest/ApplicationLogger.h"
#include "kest/ZemSettings.h"

namespace Types = Sarnet_Configuration::Types;

void SetComponentLogLevelZemIpcHandler::processMethodCall(const Ipc::IpcMessageDefinition& /*definition*/,
                                                          const Ipc::IpcMethodCallRequest& request,
                                                          Ipc::IpcMethodCallResponse& response) {
  try {
    // Only the low 32 bits of the integer carry the level.
    const auto number = static_cast<int32_t>(request.getParameter<Ipc::IpcIntegerParameter>("level").getValue());
    // Out of the table: XSDEnumException before anything is changed.
    const Types::LogLevelType::Enum level = Types::LogLevelType::fromInt(number);
    const std::string& name = Types::LogLevelType::toString(level);
    ZEM_DEBUG("Writing ComponentLogLevel through self-diagnosis: " << name);

    ZemSettings* settings = getApp()->getGlobalSettings();
    if (settings == nullptr) throw Ipc::IpcException("The application has no global settings");
    settings->ensureLoaded();
    const bool written = settings->update([&](Types::ZemGlobalSettings* document) {
      if (document == nullptr) return false;
      try {
        document->set_componentLogLevel(name);
        ApplicationLogger::setLogLevel(level);
      } catch (const XPlus::Exception& e) {
        ZEM_WARN("Cannot write ZEM global setting ComponentLogLevel");
        ZEM_WARN(e.what());
      }
      return true;
    });
    if (!written) throw Ipc::IpcException("The global settings could not be loaded");
    // Concurrent setters share one durable write; the answer still tells whether this value
    // reached the file.
    const bool saved = settings->save();
    response.addParameter(std::make_unique<Ipc::IpcIntegerParameter>("result", saved ? 0 : 1));
  } catch (const XSDEnumException& e) {
    ZEM_ERROR("Impossible to set ZEM ComponentLogLevel");
    ZEM_ERROR(e.what());
    response.addParameter(std::make_unique<Ipc::IpcIntegerParameter>("result", 1));
  } catch (const Ipc::IpcException& e) {
    ZEM_ERROR("Problem during reception of the SetComponentLogLevel message");
    ZEM_ERROR(e.what());
    response.addParameter(std::make_unique<Ipc::IpcIntegerParameter>("result", 1));
  }
}
