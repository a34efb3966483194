// InjectFrames text and candump log lines: the servlet on the whole input, the line parser on each
// line. Every frame handed on must be a well-formed CAN frame, the servlet must answer exactly the
// frames it dispatched, and it must accept the text exactly when every non-blank line parses.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "kest/ipc/IpcMethodCall.h"
#include "kest/vehiclebus/CandumpParser.h"
#include "kest/vehiclebus/InjectFramesServlet.h"

namespace {

using VehicleBus::CandumpParser;
using VehicleBus::CanFrame;

void check(bool condition) {
  if (!condition) std::abort();
}

void checkFrame(const CanFrame& frame) {
  check(frame.fd ? CanFrame::isFdLength(frame.length) && !frame.remote && frame.fdFlags <= 0xF
                 : frame.length <= CanFrame::kMaxClassicData && frame.fdFlags == 0);
  check(frame.id <= (frame.extended ? CanFrame::kMaxExtendedId : CanFrame::kMaxStandardId));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zem_fuzz::silenceLogging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = zem_fuzz::text(data, size);

  std::size_t dispatched = 0;
  VehicleBus::InjectFramesServlet servlet(std::make_shared<VehicleBus::BusDispatcher>(),
                                          [&](const std::string& interface, const std::vector<CanFrame>& frames) {
                                            check(!interface.empty() && !frames.empty());
                                            for (const CanFrame& frame : frames) checkFrame(frame);
                                            dispatched += frames.size();
                                          });
  Ipc::IpcParameterSet in;
  in.add(std::make_unique<Ipc::IpcStringParameter>("frames", text));
  const Ipc::IpcMethodCallRequest request(std::move(in), "fuzz");
  Ipc::IpcMethodCallResponse response;
  bool accepted = false;
  try {
    servlet.processMethodCall(servlet.getDefinition(), request, response);
    accepted = true;
    check(response.getParameters().get<Ipc::IpcIntegerParameter>("accepted").getValue() ==
          static_cast<std::int64_t>(dispatched));
  } catch (const Ipc::IpcException&) {
    check(dispatched == 0);  // all or nothing
  }

  // Line by line: an accepted text has no bad non-blank line; every refusal stays short.
  bool everyLineParses = true;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::string error;
    const auto parsed = CandumpParser::parseLine(line, &error);
    if (parsed) {
      checkFrame(parsed->frame);
    } else {
      everyLineParses = false;
      check(error.size() <= CandumpParser::kMaxLineLength + 128);
    }
  }
  check(accepted == everyLineParses);
  return 0;
}
