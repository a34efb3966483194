// Extracts entries of the system log written in the component loggers' line layout
// "<YYYY-MM-DD HH:MM:SS.mmm UTC> <COMPONENT> <LEVEL> [<file>:<line> <function>] <message>".
// Thread safety: stateless; safe from any thread (the log may grow or rotate while it is read).
#pragma once

#include <chrono>
#include <set>
#include <string>
#include <vector>

#include "kest/Export.h"

class KEST_EXPORT LogFilter {
 public:
  // Writes to `target` the entries of the system log that pass filter() with the same arguments,
  // read from systemLogSources(), oldest first.
  // Returns true when the target was written (durably); false, with the target untouched, when
  // `levelName` is unknown or the target cannot be written. A missing system log yields an empty
  // target.
  static bool backupSysLog(const std::string& target, const std::set<std::string>& components,
                           const std::string& levelName, std::chrono::system_clock::time_point from);

  // The system log's files as rotation leaves them, oldest first: DevicePaths::systemLogFile() +
  // ".N.gz" / ".N" from the highest N down to ".1", then the current file.
  static std::vector<std::string> systemLogSources();

  // Same selection over explicit source files, read in the given order (missing ones are skipped;
  // gzip files are read decompressed). Memory stays bounded: lines are read, filtered and written
  // in segments of at most 64 KiB, whatever the size of the files or of one line.
  // An entry is kept when its component is in `components` (any when empty), its level is at least
  // `levelName` ("TRACE", "DEBUG", "INFO", "WARN" or "WARNING", "ERROR", "FATAL"; case-insensitive)
  // and its time is not before `from`. A line that does not follow the layout continues the entry
  // before it and shares its fate; lines before the first entry are kept only without a component
  // filter.
  static bool filter(const std::vector<std::string>& sources, const std::string& target,
                     const std::set<std::string>& components, const std::string& levelName,
                     std::chrono::system_clock::time_point from);
};
