#include "kest/vehiclebus/InjectFramesServlet.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

#include "kest/ApplicationLogger.h"
#include "kest/vehiclebus/BusDispatcher.h"
#include "kest/vehiclebus/CandumpParser.h"

namespace VehicleBus {

namespace {

std::int64_t nowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

const Ipc::IpcMessageDefinition& InjectFramesServlet::definition() {
  static const Ipc::VehicleBusMessageDefinition d(
      "InjectFrames", {{"frames", Ipc::IpcParameterType::String, Ipc::IpcParameterDirection::In, kMaxTextBytes},
                       {"accepted", Ipc::IpcParameterType::Integer, Ipc::IpcParameterDirection::Out}});
  return d;
}

InjectFramesServlet::InjectFramesServlet(std::shared_ptr<BusDispatcher> dispatcher, FrameSink sink)
    : Ipc::IpcMethodServlet(definition(), nullptr),
      dispatcher_(std::move(dispatcher)),
      sink_(sinkOrDispatcher(std::move(sink), dispatcher_)) {}

void InjectFramesServlet::processMethodCall(const Ipc::IpcMessageDefinition& /*definition*/,
                                            const Ipc::IpcMethodCallRequest& request,
                                            Ipc::IpcMethodCallResponse& response) {
  const std::string& text = request.getParameter<Ipc::IpcStringParameter>("frames").getValue();
  if (text.size() > kMaxTextBytes)
    throw Ipc::IpcException("InjectFrames: " + std::to_string(text.size()) + " bytes of frames, more than the " +
                            std::to_string(kMaxTextBytes) + " one call may carry");
  std::vector<ParsedFrame> parsed;
  std::string error;
  if (!CandumpParser::parseText(text, kMaxFrames, &parsed, &error)) {
    ZEM_WARN("InjectFrames from " << ApplicationLogger::shortened(request.getSender(), 64) << " refused: " << error);
    throw Ipc::IpcException("InjectFrames: " + error);
  }

  const std::string defaultInterface = dispatcher_->defaultInterface();
  const std::int64_t arrival = nowUs();
  // The frames are copied once more only a chunk at a time: a call of a million frames does not
  // hold a second copy of them.
  std::vector<CanFrame> run;
  run.reserve(std::min(parsed.size(), kMaxFramesPerSink));
  const std::string* runInterface = nullptr;
  for (ParsedFrame& p : parsed) {
    const std::string& interface = p.interface.empty() ? defaultInterface : p.interface;
    if (runInterface != nullptr && (*runInterface != interface || run.size() == kMaxFramesPerSink)) {
      sink_(*runInterface, run);
      run.clear();
    }
    runInterface = &interface;
    if (!p.hasTimestamp) p.frame.timestampUs = arrival;
    run.push_back(p.frame);
  }
  if (runInterface != nullptr) sink_(*runInterface, run);
  response.addParameter(
      std::make_unique<Ipc::IpcIntegerParameter>("accepted", static_cast<std::int64_t>(parsed.size())));
}

}  // namespace VehicleBus
