// Extracts entries of the system log written in the component loggers' line layout
// "<YYYY-MM-DD HH:MM:SS.mmm UTC> <COMPONENT> <LEVEL> [<file>:<line> <function>] <message>".
// Thread safety: stateless; safe from any thread (the log may grow while it is read).
#pragma once

#include <chrono>
#include <set>
#include <string>
#include <vector>

class LogFilter {
 public:
  // Writes to `target` the entries of the system log (the rolled-over DevicePaths::systemLogFile()
  // + ".1" first, then the current file) that pass filter() with the same arguments.
  // Returns true when the target was written (durably); false, with the target untouched, when
  // `levelName` is unknown or the target cannot be written. A missing system log yields an empty
  // target.
  static bool backupSysLog(const std::string& target, const std::set<std::string>& components,
                           const std::string& levelName, std::chrono::system_clock::time_point from);

  // Same selection over explicit source files, read in the given order (missing ones are skipped).
  // An entry is kept when its component is in `components` (any when empty), its level is at least
  // `levelName` ("TRACE", "DEBUG", "INFO", "WARN" or "WARNING", "ERROR", "FATAL"; case-insensitive)
  // and its time is not before `from`. A line that does not follow the layout continues the entry
  // before it and shares its fate; lines before the first entry are kept only without a component
  // filter.
  static bool filter(const std::vector<std::string>& sources, const std::string& target,
                     const std::set<std::string>& components, const std::string& levelName,
                     std::chrono::system_clock::time_point from);
};
