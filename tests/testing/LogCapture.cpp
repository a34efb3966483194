#include "kest/testing/LogCapture.h"

#include <log4cplus/logger.h>
#include <log4cplus/spi/loggingevent.h>

#include <algorithm>
#include <mutex>
#include <sstream>

#include "kest/ApplicationLogger.h"

namespace kest {
namespace testing {

struct LogCapture::State {
  mutable std::mutex mutex;
  std::vector<Entry> entries;  // guarded by mutex
};

namespace {

class RecordingAppender : public log4cplus::Appender {
 public:
  explicit RecordingAppender(std::shared_ptr<LogCapture::State> state) : state_(std::move(state)) {}
  ~RecordingAppender() override { destructorImpl(); }
  void close() override {}

 protected:
  void append(const log4cplus::spi::InternalLoggingEvent& event) override {
    const std::lock_guard<std::mutex> lock(state_->mutex);
    state_->entries.push_back(LogCapture::Entry{event.getLogLevel(), event.getMessage()});
  }

 private:
  std::shared_ptr<LogCapture::State> state_;
};

}  // namespace

LogCapture::LogCapture(bool enableAllLevels)
    : state_(std::make_shared<State>()), restoreLevel_(enableAllLevels), savedLevel_(log4cplus::NOT_SET_LOG_LEVEL) {
  log4cplus::Logger logger = ApplicationLogger::logger();
  // log4cplus shares appenders through its own intrusive pointer, which takes the raw pointer.
  appender_ = log4cplus::SharedAppenderPtr(new RecordingAppender(state_));
  appender_->setName("zem-test-capture");
  logger.addAppender(appender_);
  if (restoreLevel_) {
    savedLevel_ = logger.getLogLevel();
    logger.setLogLevel(log4cplus::TRACE_LOG_LEVEL);
  }
}

LogCapture::~LogCapture() {
  log4cplus::Logger logger = ApplicationLogger::logger();
  logger.removeAppender(appender_);
  if (restoreLevel_) logger.setLogLevel(savedLevel_);
}

std::vector<LogCapture::Entry> LogCapture::entries() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->entries;
}

std::vector<std::string> LogCapture::messages(log4cplus::LogLevel level) const {
  std::vector<std::string> out;
  const std::lock_guard<std::mutex> lock(state_->mutex);
  for (const Entry& e : state_->entries) {
    if (e.level == level) out.push_back(e.message);
  }
  return out;
}

size_t LogCapture::count(log4cplus::LogLevel level, const std::string& substring) const {
  const auto all = entries();
  return std::count_if(all.begin(), all.end(), [&](const Entry& e) {
    return e.level == level && e.message.find(substring) != std::string::npos;
  });
}

size_t LogCapture::countAny(const std::string& substring) const {
  const auto all = entries();
  return std::count_if(all.begin(), all.end(),
                       [&](const Entry& e) { return e.message.find(substring) != std::string::npos; });
}

void LogCapture::clear() {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  state_->entries.clear();
}

std::string LogCapture::dump() const {
  std::ostringstream out;
  const std::lock_guard<std::mutex> lock(state_->mutex);
  for (const Entry& e : state_->entries) {
    out << log4cplus::getLogLevelManager().toString(e.level) << ' ' << e.message << '\n';
  }
  return out.str();
}

}  // namespace testing
}  // namespace kest
