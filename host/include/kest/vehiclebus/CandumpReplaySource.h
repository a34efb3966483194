// Replays a candump log file onto the simulated bus, honouring its time stamps: the first stamped
// frame at once, each later one at its offset from the first; lines without a stamp follow at once.
// Frames naming an interface go there, the others to interface(). The whole file is validated
// when start() runs, so a bad file is refused before any of it is delivered.
// Thread safety: start() and stop() from one controlling thread; frames are delivered from the
// source's own thread. mutex_ guards stopping_.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "kest/Export.h"
#include "kest/vehiclebus/FrameSink.h"
#include "kest/vehiclebus/FrameSource.h"

namespace VehicleBus {

class KEST_EXPORT CandumpReplaySource : public FrameSource {
 public:
  // A larger log file is refused.
  static constexpr std::uint64_t kMaxFileBytes = 512ULL * 1024 * 1024;

  // `path` names the log; `sink` receives the frames (`dispatcher`, kept alive by the source, when
  // empty). Frames naming no interface go to `dispatcher`->defaultInterface() as it is now.
  // REQUIRES: dispatcher != nullptr.
  CandumpReplaySource(std::string path, std::shared_ptr<BusDispatcher> dispatcher, FrameSink sink = FrameSink());
  ~CandumpReplaySource() override;
  CandumpReplaySource(const CandumpReplaySource&) = delete;
  CandumpReplaySource& operator=(const CandumpReplaySource&) = delete;

  const std::string& interface() const override { return interface_; }
  // Validates the whole file, then starts the replay thread. Throws std::runtime_error naming the
  // file and, for a bad line, its number and reason: unreadable, too large, a line that does not
  // parse. A second call does nothing.
  void start() override;
  // Interrupts a wait between frames at once and joins the thread. Idempotent.
  void stop() override;
  // Whether the replay thread has delivered the whole file (or was stopped).
  bool finished() const;

 private:
  // Reads the file line by line, calling `onFrame(lineNumber, frame)` for each non-blank line;
  // returns false with `error` set at the first bad line or read failure. `onFrame` returns false
  // to stop early (not an error).
  template <class OnFrame>
  bool readFile(OnFrame onFrame, std::string* error) const;
  void replay();
  // Waits until the steady clock reaches `due` or stop() is called. Returns false when stopped.
  bool waitUntil(std::chrono::steady_clock::time_point due);

  const std::string path_;
  const std::string interface_;
  const FrameSink sink_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  bool finished_ = false;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace VehicleBus
