// Serves "InjectFrames" of com.olvane.VehicleBus: candump log lines in "frames" (s) become frames
// of the simulated bus; "accepted" (x) answers how many were taken. All or nothing: a bad line
// refuses the whole call (an IpcException naming the line) and nothing of it is dispatched.
// Thread safety: processMethodCall may run on several dispatch threads at once; the sink must
// tolerate that (BusDispatcher does).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "kest/Export.h"
#include "kest/ipc/IpcServlet.h"
#include "kest/vehiclebus/FrameSink.h"

namespace VehicleBus {

class KEST_EXPORT InjectFramesServlet : public Ipc::IpcMethodServlet {
 public:
  // The most frames and text bytes one call may carry; more is refused.
  static constexpr std::size_t kMaxFrames = 1'000'000;
  static constexpr std::size_t kMaxTextBytes = 64 * 1024 * 1024;
  // The most frames handed to the sink at once.
  static constexpr std::size_t kMaxFramesPerSink = 1024;

  // The definition served: VehicleBusMessageDefinition "InjectFrames", in "frames" (s), out
  // "accepted" (x).
  static const Ipc::IpcMessageDefinition& definition();

  // `sink` receives the frames; the default hands them to `dispatcher`. The servlet keeps
  // `dispatcher` for its lifetime. REQUIRES: dispatcher != nullptr.
  explicit InjectFramesServlet(std::shared_ptr<BusDispatcher> dispatcher, FrameSink sink = FrameSink());

  // Parses every line, then dispatches: runs of consecutive frames of one interface go to the sink
  // together (in chunks of at most kMaxFramesPerSink), in the order of the lines. Frames naming no interface go to
  // the dispatcher's defaultInterface(); frames without a time stamp take the arrival time.
  // Throws Ipc::IpcException ("line N: reason: \"text\"", or a size refusal) before dispatching
  // anything when a line does not parse or the call is too large.
  void processMethodCall(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse& response) override;

 private:
  const std::shared_ptr<BusDispatcher> dispatcher_;
  const FrameSink sink_;
};

}  // namespace VehicleBus
