// The application's logger on log4cplus, and the one logging helper behind both logging styles.
// Thread safety: all functions are safe from any thread (log4cplus serialises appenders).
#pragma once

#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>

#include <sstream>
#include <string>

#include "kolconfig/Types.h"

class ApplicationLogger {
 public:
  // The component logger "ZEM_APP". Configured by configure(); usable (console only) before.
  static log4cplus::Logger logger();
  // True when `level` (a log4cplus level: TRACE 0 ... FATAL 50000) is enabled on `logger`.
  static bool isEnabled(const log4cplus::Logger& logger, log4cplus::LogLevel level);
  // Makes text safe for one log line: control characters (newline, tab, CR, ...) become "\n",
  // "\t", "\r" or "\xHH"; every other byte is kept.
  static std::string escapeStr(const std::string& text);
  // Sets the level of the component logger from the schema level (FATAL, ERROR, WARNING, DEBUG,
  // INFO, TRACE map to the log4cplus levels of the same meaning).
  static void setLogLevel(Sarnet_Configuration::Types::LogLevelType::Enum level);
  // Configures log4cplus once per process: from `propertiesFile` when it exists and parses,
  // otherwise a console appender plus a file appender on `systemLogFile` (parents created), one
  // line per event: "<time> ZEM_APP <LEVEL> [<file>:<line> <function>] <message>".
  // Calling it again is a no-op.
  static void configure(const std::string& propertiesFile, const std::string& systemLogFile);
};

// Collects a message in a string stream and emits it on destruction, with the source position
// it was built with. Used directly or through the ZEM_LOG macros below.
class LoggerStreamHelper {
 public:
  LoggerStreamHelper(log4cplus::LogLevel level, const char* file, int line, const char* function, bool escape = false);
  ~LoggerStreamHelper();
  LoggerStreamHelper(const LoggerStreamHelper&) = delete;
  LoggerStreamHelper& operator=(const LoggerStreamHelper&) = delete;
  std::ostringstream& getStringStream() { return stream_; }

 private:
  log4cplus::LogLevel level_;
  const char* file_;
  int line_;
  const char* function_;
  bool escape_;
  std::ostringstream stream_;
};

// ZEM_LOG(level, a << b): the stream style. ZEM_LOG_ESCAPED(level, a << b): the guarded style whose
// text passes through ApplicationLogger::escapeStr. Both skip all formatting when the level is off.
// expr is a chain of stream insertions and cannot be parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define ZEM_LOG_IMPL_(lvl, escape, expr)                                                          \
  do {                                                                                            \
    if (ApplicationLogger::isEnabled(ApplicationLogger::logger(), (lvl))) {                       \
      LoggerStreamHelper zemLogHelper_((lvl), __FILE__, __LINE__, __PRETTY_FUNCTION__, (escape)); \
      zemLogHelper_.getStringStream() << expr;                                                    \
    }                                                                                             \
  } while (false)
// NOLINTEND(bugprone-macro-parentheses)
#define ZEM_LOG(lvl, expr) ZEM_LOG_IMPL_(lvl, false, expr)
#define ZEM_LOG_ESCAPED(lvl, expr) ZEM_LOG_IMPL_(lvl, true, expr)
#define ZEM_TRACE(expr) ZEM_LOG(log4cplus::TRACE_LOG_LEVEL, expr)
#define ZEM_DEBUG(expr) ZEM_LOG(log4cplus::DEBUG_LOG_LEVEL, expr)
#define ZEM_INFO(expr) ZEM_LOG(log4cplus::INFO_LOG_LEVEL, expr)
#define ZEM_WARN(expr) ZEM_LOG(log4cplus::WARN_LOG_LEVEL, expr)
#define ZEM_ERROR(expr) ZEM_LOG(log4cplus::ERROR_LOG_LEVEL, expr)
#define ZEM_FATAL(expr) ZEM_LOG(log4cplus::FATAL_LOG_LEVEL, expr)
