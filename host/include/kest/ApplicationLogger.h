// The application's logger on log4cplus, and the one logging helper behind both logging styles.
// Every event is exactly one line: whatever a message holds (names, paths and texts from
// containers and bus callers included), the helper escapes its control characters and keeps at
// most kMaxMessageBytes (1,024) bytes of message text per EVENT, ending a longer text with
// "...[truncated N bytes]" (N: bytes of the original text not shown).
// Thread safety: all functions are safe from any thread (log4cplus serialises appenders).
#pragma once

#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>

#include <cstddef>
#include <sstream>
#include <string>

#include "kest/Export.h"
#include "kolconfig/Types.h"

class KEST_EXPORT ApplicationLogger {
 public:
  // Bytes of message text (after escaping, before the marker) one event may carry.
  static constexpr size_t kMaxMessageBytes = 1024;

  // The component logger "ZEM_APP". Configured by configure(); usable (console only) before.
  // Looked up once per process: every log statement checks its level through a copy of it.
  static log4cplus::Logger logger();
  // True when `level` (a log4cplus level: TRACE 0 ... FATAL 50000) is enabled on `logger`.
  static bool isEnabled(const log4cplus::Logger& logger, log4cplus::LogLevel level);
  // Makes text safe for one log line: control characters (newline, tab, CR, ...) become "\n",
  // "\t", "\r" or "\xHH"; the UTF-8 C1 controls and line/paragraph separators (U+0080-U+009F,
  // U+2028, U+2029) become "\uHHHH"; every other byte is kept.
  static std::string escapeStr(const std::string& text);
  // escapeStr, cut to `maxBytes` bytes (never inside an escape or a UTF-8 sequence) followed by
  // "...[truncated N bytes]" when the text is longer. What the helper applies to every event.
  static std::string sanitise(const std::string& text, size_t maxBytes = kMaxMessageBytes);
  // `text` itself when it has at most `maxBytes` bytes, else its first `maxBytes` bytes followed by
  // "...[N bytes]" (N: the whole length). For untrusted names and ids that are logged or kept:
  // cuts them before a message is composed, so a huge one never makes a huge temporary string.
  static std::string shortened(const std::string& text, size_t maxBytes);
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
// it was built with, through ApplicationLogger::sanitise (one line, bounded). Used directly or
// through the ZEM_LOG macros below; the one helper of both styles.
class KEST_EXPORT LoggerStreamHelper {
 public:
  // `escape` records the escaped style (ZEM_LOG_ESCAPED); the text is sanitised either way.
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
  std::ostringstream stream_;
};

// ZEM_LOG(level, a << b): the stream style. ZEM_LOG_ESCAPED(level, a << b): the guarded style whose
// text passes through ApplicationLogger::escapeStr. Both skip all formatting when the level is off,
// and both emit through LoggerStreamHelper, so neither can write a raw control character or an
// unbounded text. Levels are log4cplus's: TRACE 0, DEBUG 10000, INFO 20000, WARN 30000,
// ERROR 40000, FATAL 50000.
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
