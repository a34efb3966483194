// Test utility: records what the component logger "ZEM_APP" emits while the capture lives, so that
// tests can assert log lines by level and text.
// Thread safety: lines may be logged from any thread while tests query the capture; the recorded
// entries are guarded by a mutex inside the shared capture state.
#pragma once

#include <log4cplus/appender.h>
#include <log4cplus/loglevel.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace kest {
namespace testing {

class LogCapture {
 public:
  struct Entry {
    log4cplus::LogLevel level;
    std::string message;  // the text as emitted (escaped when the escaped style was used)
    std::string file;     // source file the line was logged from
    int line;
    std::string function;
  };

  // Attaches a recording appender to the component logger. With `enableAllLevels` the logger's
  // level is lowered to TRACE for the capture's lifetime (and restored afterwards), so that every
  // line is recorded; pass false to record under the logger's current level (level filtering tests).
  explicit LogCapture(bool enableAllLevels = true);
  // Detaches the appender and restores the logger's level when it was changed.
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // A copy of the entries recorded so far, in logging order.
  std::vector<Entry> entries() const;
  // The messages recorded at `level`, in logging order.
  std::vector<std::string> messages(log4cplus::LogLevel level) const;
  // True when a line at exactly `level` contains `substring` (empty matches any line).
  bool contains(log4cplus::LogLevel level, const std::string& substring) const;
  // Number of lines at exactly `level` that contain `substring`.
  size_t count(log4cplus::LogLevel level, const std::string& substring = "") const;
  // Number of lines at any level that contain `substring`.
  size_t countAny(const std::string& substring) const;
  // Waits until contains(level, substring) holds or the timeout passes; returns the final answer.
  bool waitFor(log4cplus::LogLevel level, const std::string& substring, std::chrono::milliseconds timeout) const;
  // Forgets the entries recorded so far.
  void clear();
  // Every entry as "LEVEL message" lines, for failure messages.
  std::string dump() const;

  struct State;  // shared with the appender, which may outlive the capture briefly inside log4cplus

 private:
  std::shared_ptr<State> state_;
  log4cplus::SharedAppenderPtr appender_;
  bool restoreLevel_;
  log4cplus::LogLevel savedLevel_;
};

}  // namespace testing
}  // namespace kest
