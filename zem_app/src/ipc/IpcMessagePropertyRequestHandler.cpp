#include "ipc/IpcMessagePropertyRequestHandler.h"

#include <cstdio>
#include <memory>
#include <string>

#include "kest/ApplicationLogger.h"
#include "properties/ProvisioningAdapterMap.h"

void IpcMessagePropertyRequestHandler::processMethodCall(const Ipc::IpcMessageDefinition& /*definition*/,
                                                         const Ipc::IpcMethodCallRequest& request,
                                                         Ipc::IpcMethodCallResponse& response) {
  const auto start = std::chrono::system_clock::now();
  try {
    const std::string& text = request.getParameter<Ipc::IpcByteFieldParameter>("request").getValueAsString();
    ZEM_TRACE("Received an incoming request of size (in bytes): " << text.size());
    std::string answer = ProvisioningAdapterMap().getXmlPropertyResult(text);
    ZEM_TRACE("Sending out going response of size (in bytes): " << answer.size());
    response.addParameter(std::make_unique<Ipc::IpcByteFieldParameter>("response", std::move(answer)));
  } catch (const Ipc::IpcException& e) {
    ZEM_ERROR("Problem during reception of message ZemPropertyRequest");
    ZEM_ERROR(e.what());
  }
  logProcessingTime(start);
}

bool IpcMessagePropertyRequestHandler::processMethodCallAtOnce(const Ipc::IpcMessageDefinition& /*definition*/,
                                                               const Ipc::IpcMethodCallRequest& request,
                                                               Ipc::IpcMethodCallResponse& response) {
  const auto start = std::chrono::system_clock::now();
  const auto* text = dynamic_cast<const Ipc::IpcByteFieldParameter*>(request.getParameters().find("request"));
  std::string answer;
  if (text == nullptr || !ProvisioningAdapterMap().tryGetXmlPropertyResultAtOnce(text->getValueAsString(), &answer)) {
    return false;
  }
  // One look at the level when tracing is off (the usual case), instead of one per line.
  if (ApplicationLogger::isEnabled(ApplicationLogger::logger(), log4cplus::TRACE_LOG_LEVEL)) {
    ZEM_TRACE("Received an incoming request of size (in bytes): " << text->getValueAsString().size());
    ZEM_TRACE("Sending out going response of size (in bytes): " << answer.size());
    logProcessingTime(start);
  }
  response.addParameter(std::make_unique<Ipc::IpcByteFieldParameter>("response", std::move(answer)));
  return true;
}

void IpcMessagePropertyRequestHandler::logProcessingTime(std::chrono::system_clock::time_point start) {
  if (!ApplicationLogger::isEnabled(ApplicationLogger::logger(), log4cplus::TRACE_LOG_LEVEL)) return;
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now() - start);
  char milliseconds[64];
  std::snprintf(milliseconds, sizeof milliseconds, "%f", static_cast<double>(elapsed.count()) / 1e6);
  ZEM_TRACE("Property request processed: " << milliseconds << " ms");
}
