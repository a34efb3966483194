// The component logger "ZEM_APP" on log4cplus. Until configure() runs, the logger writes to the
// console only, so that messages logged during start-up (before the host configures logging) are
// not lost.
#include "kest/ApplicationLogger.h"

#include <log4cplus/configurator.h>
#include <log4cplus/consoleappender.h>
#include <log4cplus/fileappender.h>
#include <log4cplus/initializer.h>
#include <log4cplus/layout.h>
#include <log4cplus/log4cplus.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>

#include "kest/File.h"

namespace {

constexpr const char* kLoggerName = "ZEM_APP";
constexpr const char* kEarlyConsoleName = "zem-early-console";
// One line per event: "<UTC time> ZEM_APP <LEVEL> [<file>:<line> <function>] <message>".
// LogFilter parses exactly this layout; change both together.
constexpr const char* kLinePattern = "%d{%Y-%m-%d %H:%M:%S.%q} %c %p [%b:%L %M] %m%n";
// The system log rolls over at this size, keeping one older file ("messages.1").
constexpr long kSystemLogMaxSize = 8L * 1024 * 1024;
constexpr int kSystemLogBackups = 1;

std::once_flag g_initOnce;
std::mutex g_configureMutex;
bool g_configured = false;  // guarded by g_configureMutex

log4cplus::SharedAppenderPtr makeConsoleAppender(const char* name) {
  // log4cplus shares appenders through its own intrusive pointer, which takes the raw pointer.
  log4cplus::SharedAppenderPtr console(new log4cplus::ConsoleAppender(/*logToStdErr=*/true, /*immediateFlush=*/true));
  console->setName(name);
  console->setLayout(std::make_unique<log4cplus::PatternLayout>(kLinePattern));
  return console;
}

log4cplus::Logger initialisedLogger() {
  std::call_once(g_initOnce, [] {
    log4cplus::initialize();
    log4cplus::Logger logger = log4cplus::Logger::getInstance(kLoggerName);
    logger.setAdditivity(false);
    logger.setLogLevel(log4cplus::DEBUG_LOG_LEVEL);
    logger.addAppender(makeConsoleAppender(kEarlyConsoleName));
  });
  return log4cplus::Logger::getInstance(kLoggerName);
}

char hexDigit(unsigned value) { return "0123456789ABCDEF"[value & 0xF]; }

}  // namespace

log4cplus::Logger ApplicationLogger::logger() {
  // The lookup takes the hierarchy's lock; the component logger lives as long as the hierarchy,
  // which is never reset, so a copy of one handle (a reference count) serves every later call.
  static const log4cplus::Logger component = initialisedLogger();
  return component;
}

bool ApplicationLogger::isEnabled(const log4cplus::Logger& logger, log4cplus::LogLevel level) {
  return logger.isEnabledFor(level);
}

namespace {

// The escaped form of the character starting at text[i], or an empty text when it is kept as is.
// Sets `length` to the bytes it spans (1, or 2-3 for the UTF-8 sequences escaped here).
std::string escapeAt(const std::string& text, size_t i, size_t* length) {
  const auto byte = static_cast<unsigned char>(text[i]);
  *length = 1;
  switch (byte) {
    case '\n':
      return "\\n";
    case '\t':
      return "\\t";
    case '\r':
      return "\\r";
    default:
      break;
  }
  if (byte < 0x20 || byte == 0x7F) return std::string("\\x") + hexDigit(byte >> 4) + hexDigit(byte);
  const auto next = [&text, i](size_t k) { return i + k < text.size() ? static_cast<unsigned char>(text[i + k]) : 0; };
  unsigned codePoint = 0;
  if (byte == 0xC2 && next(1) >= 0x80 && next(1) <= 0x9F) {
    codePoint = next(1);  // C1 control
    *length = 2;
  } else if (byte == 0xE2 && next(1) == 0x80 && (next(2) == 0xA8 || next(2) == 0xA9)) {
    codePoint = 0x2000 | (next(2) - 0x80u);  // U+2028 LINE SEPARATOR, U+2029 PARAGRAPH SEPARATOR
    *length = 3;
  } else {
    return std::string();
  }
  return std::string("\\u") + hexDigit(codePoint >> 12) + hexDigit(codePoint >> 8) + hexDigit(codePoint >> 4) +
         hexDigit(codePoint);
}

}  // namespace

std::string ApplicationLogger::escapeStr(const std::string& text) { return sanitise(text, std::string::npos); }

std::string ApplicationLogger::shortened(const std::string& text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  return text.substr(0, maxBytes) + "...[" + std::to_string(text.size()) + " bytes]";
}

std::string ApplicationLogger::sanitise(const std::string& text, size_t maxBytes) {
  std::string out;
  out.reserve(std::min(text.size(), maxBytes) + 32);
  size_t i = 0;
  while (i < text.size()) {
    size_t length = 1;
    std::string escaped = escapeAt(text, i, &length);
    if (escaped.empty()) {
      // Keep a whole UTF-8 sequence together: a lead byte takes its continuation bytes along.
      while (i + length < text.size() && (static_cast<unsigned char>(text[i + length]) & 0xC0) == 0x80 &&
             (static_cast<unsigned char>(text[i]) & 0xC0) == 0xC0 && length < 4) {
        ++length;
      }
      escaped.assign(text, i, length);
    }
    if (out.size() + escaped.size() > maxBytes) break;
    out += escaped;
    i += length;
  }
  if (i < text.size()) out += "...[truncated " + std::to_string(text.size() - i) + " bytes]";
  return out;
}

void ApplicationLogger::setLogLevel(Sarnet_Configuration::Types::LogLevelType::Enum level) {
  using Types = Sarnet_Configuration::Types::LogLevelType;
  log4cplus::LogLevel mapped = log4cplus::NOT_SET_LOG_LEVEL;
  switch (level) {
    case Types::FATAL:
      mapped = log4cplus::FATAL_LOG_LEVEL;
      break;
    case Types::ERROR:
      mapped = log4cplus::ERROR_LOG_LEVEL;
      break;
    case Types::WARNING:
      mapped = log4cplus::WARN_LOG_LEVEL;
      break;
    case Types::DEBUG:
      mapped = log4cplus::DEBUG_LOG_LEVEL;
      break;
    case Types::INFO:
      mapped = log4cplus::INFO_LOG_LEVEL;
      break;
    case Types::TRACE:
      mapped = log4cplus::TRACE_LOG_LEVEL;
      break;
  }
  if (mapped == log4cplus::NOT_SET_LOG_LEVEL) {
    ZEM_ERROR("Ignoring unknown log level " << static_cast<int>(level));
    return;
  }
  logger().setLogLevel(mapped);
}

void ApplicationLogger::configure(const std::string& propertiesFile, const std::string& systemLogFile) {
  log4cplus::Logger zem = logger();
  const std::lock_guard<std::mutex> lock(g_configureMutex);
  if (g_configured) return;
  g_configured = true;

  zem.removeAppender(kEarlyConsoleName);
  if (!propertiesFile.empty() && File(propertiesFile).isFile()) {
    log4cplus::PropertyConfigurator::doConfigure(propertiesFile);
    // The properties may configure the component logger itself or only the root logger.
    if (!zem.getAllAppenders().empty() || !log4cplus::Logger::getRoot().getAllAppenders().empty()) {
      if (zem.getAllAppenders().empty()) zem.setAdditivity(true);
      ZEM_DEBUG("Logging configured from " << propertiesFile);
      return;
    }
  }

  zem.addAppender(makeConsoleAppender("zem-console"));
  const File logFile(systemLogFile);
  if (!logFile.getParentFile().getPath().empty()) logFile.getParentFile().mkdirs();
  try {
    log4cplus::SharedAppenderPtr file(new log4cplus::RollingFileAppender(
        systemLogFile, kSystemLogMaxSize, kSystemLogBackups, /*immediateFlush=*/true, /*createDirs=*/true));
    file->setName("zem-system-log");
    file->setLayout(std::make_unique<log4cplus::PatternLayout>(kLinePattern));
    zem.addAppender(file);
  } catch (const std::exception& e) {
    ZEM_ERROR("Cannot open the system log " << systemLogFile << ": " << e.what());
  }
}

LoggerStreamHelper::LoggerStreamHelper(log4cplus::LogLevel level, const char* file, int line, const char* function,
                                       bool /*escape*/)
    : level_(level), file_(file), line_(line), function_(function) {}

LoggerStreamHelper::~LoggerStreamHelper() {
  try {
    const log4cplus::Logger logger = ApplicationLogger::logger();
    if (!logger.isEnabledFor(level_)) return;
    // Both styles: one line, bounded. (The escaped style's text is escaped once, here.)
    logger.forcedLog(level_, ApplicationLogger::sanitise(stream_.str()), file_, line_, function_);
  } catch (...) {
    // A destructor must not throw; a message that cannot be logged is dropped.
  }
}
