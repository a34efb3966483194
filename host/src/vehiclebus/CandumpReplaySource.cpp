#include "kest/vehiclebus/CandumpReplaySource.h"

#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "kest/ApplicationLogger.h"
#include "kest/vehiclebus/CandumpParser.h"

namespace VehicleBus {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::int64_t realtimeUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

CandumpReplaySource::CandumpReplaySource(std::string path, std::shared_ptr<BusDispatcher> dispatcher, FrameSink sink)
    : path_(std::move(path)),
      interface_(dispatcher->defaultInterface()),
      sink_(sinkOrDispatcher(std::move(sink), std::move(dispatcher))) {}

CandumpReplaySource::~CandumpReplaySource() { stop(); }

template <class OnFrame>
bool CandumpReplaySource::readFile(OnFrame onFrame, std::string* error) const {
  const std::string name = ApplicationLogger::shortened(path_, 200);
  FilePtr file(std::fopen(path_.c_str(), "re"));
  struct stat info {};
  if (file == nullptr || fstat(fileno(file.get()), &info) != 0 || !S_ISREG(info.st_mode)) {
    *error = "Cannot read the candump log " + name;
    return false;
  }
  if (static_cast<std::uint64_t>(info.st_size) > kMaxFileBytes) {
    *error = "The candump log " + name + " is larger than " + std::to_string(kMaxFileBytes) + " bytes";
    return false;
  }
  // One byte more than the longest line, plus the line break and the terminator: a longer line is
  // seen as such without ever being held whole.
  char buffer[CandumpParser::kMaxLineLength + 3];
  std::size_t lineNumber = 0;
  while (std::fgets(buffer, sizeof buffer, file.get()) != nullptr) {
    ++lineNumber;
    std::string line(buffer);
    const bool complete = !line.empty() && line.back() == '\n';
    if (complete) line.pop_back();
    if (!complete && std::feof(file.get()) == 0) {
      // Over-long: skip the rest of the line, then refuse it.
      int c = 0;
      while ((c = std::fgetc(file.get())) != EOF && c != '\n') {
      }
    }
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::string reason;
    const std::optional<ParsedFrame> parsed = CandumpParser::parseLine(line, &reason);
    if (!parsed) {
      *error = "The candump log " + name + " is refused: line ";
      *error += std::to_string(lineNumber) + ": " + reason;
      return false;
    }
    if (!onFrame(lineNumber, *parsed)) return true;
  }
  if (std::ferror(file.get()) != 0) {
    *error = "Cannot read the candump log " + name;
    return false;
  }
  return true;
}

void CandumpReplaySource::start() {
  if (thread_.joinable()) return;
  std::string error;
  std::size_t frames = 0;
  if (!readFile([&](std::size_t, const ParsedFrame&) { return ++frames, true; }, &error))
    throw std::runtime_error(error);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = false;
    finished_ = false;
  }
  ZEM_INFO("Replaying " << frames << " frames of " << ApplicationLogger::shortened(path_, 200));
  thread_ = std::thread([this] { replay(); });
}

void CandumpReplaySource::stop() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool CandumpReplaySource::finished() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return finished_;
}

bool CandumpReplaySource::waitUntil(std::chrono::steady_clock::time_point due) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_until(lock, due, [this] { return stopping_; });
}

void CandumpReplaySource::replay() {
  const auto startClock = std::chrono::steady_clock::now();
  const std::int64_t startRealtime = realtimeUs();
  bool haveBase = false;
  std::int64_t baseUs = 0;
  std::string error;
  std::vector<CanFrame> one(1);  // the frame handed on, without an allocation per frame
  const bool read = readFile(
      [&](std::size_t, const ParsedFrame& parsed) {
        CanFrame& frame = one[0];
        frame = parsed.frame;
        if (parsed.hasTimestamp) {
          if (!haveBase) {
            haveBase = true;
            baseUs = frame.timestampUs;
          }
          // A stamp earlier than the first is due at once.
          const std::int64_t offsetUs = std::max<std::int64_t>(0, frame.timestampUs - baseUs);
          if (!waitUntil(startClock + std::chrono::microseconds(offsetUs))) return false;
          frame.timestampUs = startRealtime + offsetUs;
        } else {
          if (!waitUntil(startClock)) return false;  // only looks at stop()
          frame.timestampUs = realtimeUs();
        }
        sink_(parsed.interface.empty() ? interface_ : parsed.interface, one);
        return true;
      },
      &error);
  if (!read) ZEM_ERROR("Replay stopped: " << error);
  const std::lock_guard<std::mutex> lock(mutex_);
  finished_ = true;
}

}  // namespace VehicleBus
