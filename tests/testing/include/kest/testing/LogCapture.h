// Records what the component logger "ZEM_APP" emits while the capture lives. Lines may be logged
// from any thread while a test queries the capture.
#pragma once

#include <log4cplus/appender.h>
#include <log4cplus/loglevel.h>

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
  };

  // With `enableAllLevels` the logger's level is TRACE while the capture lives; with false the
  // logger's current level filters what is recorded.
  explicit LogCapture(bool enableAllLevels = true);
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // In logging order; levels match exactly, texts as substrings.
  std::vector<Entry> entries() const;
  std::vector<std::string> messages(log4cplus::LogLevel level) const;
  bool contains(log4cplus::LogLevel level, const std::string& substring) const { return count(level, substring) > 0; }
  size_t count(log4cplus::LogLevel level, const std::string& substring = "") const;
  size_t countAny(const std::string& substring) const;
  void clear();
  std::string dump() const;  // "LEVEL message" lines, for failure messages

  struct State;  // shared with the appender, which may outlive the capture briefly inside log4cplus

 private:
  std::shared_ptr<State> state_;
  log4cplus::SharedAppenderPtr appender_;
  bool restoreLevel_;
  log4cplus::LogLevel savedLevel_;
};

}  // namespace testing
}  // namespace kest
