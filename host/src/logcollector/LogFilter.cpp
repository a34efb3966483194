#include "kest/LogFilter.h"

#include <cctype>
#include <ctime>
#include <fstream>
#include <optional>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/File.h"

namespace {

// log4cplus level values; the layout writes their names ("WARN" for WARNING).
std::optional<int> levelValue(std::string name) {
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (name == "TRACE") return 0;
  if (name == "DEBUG") return 10000;
  if (name == "INFO") return 20000;
  if (name == "WARN" || name == "WARNING") return 30000;
  if (name == "ERROR") return 40000;
  if (name == "FATAL") return 50000;
  return std::nullopt;
}

struct EntryHead {
  std::chrono::system_clock::time_point time;
  std::string component;
  int level;
};

bool digitsAt(const std::string& s, size_t pos, size_t count, int* value) {
  if (pos + count > s.size()) return false;
  int v = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(s[i]))) return false;
    v = v * 10 + (s[i] - '0');
  }
  *value = v;
  return true;
}

// Parses the head of an entry line; nullopt when the line does not follow the layout.
std::optional<EntryHead> parseHead(const std::string& line) {
  // "2024-01-31 12:34:56.789 COMPONENT LEVEL [..."
  int year, month, day, hour, minute, second, millis;
  if (line.size() < 24 || line[4] != '-' || line[7] != '-' || line[10] != ' ' || line[13] != ':' || line[16] != ':' ||
      line[19] != '.' || line[23] != ' ') {
    return std::nullopt;
  }
  if (!digitsAt(line, 0, 4, &year) || !digitsAt(line, 5, 2, &month) || !digitsAt(line, 8, 2, &day) ||
      !digitsAt(line, 11, 2, &hour) || !digitsAt(line, 14, 2, &minute) || !digitsAt(line, 17, 2, &second) ||
      !digitsAt(line, 20, 3, &millis)) {
    return std::nullopt;
  }
  const size_t componentEnd = line.find(' ', 24);
  if (componentEnd == std::string::npos || componentEnd == 24) return std::nullopt;
  const size_t levelEnd = line.find(' ', componentEnd + 1);
  if (levelEnd == std::string::npos || levelEnd + 1 >= line.size() || line[levelEnd + 1] != '[') return std::nullopt;
  const std::optional<int> level = levelValue(line.substr(componentEnd + 1, levelEnd - componentEnd - 1));
  if (!level) return std::nullopt;

  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  const std::time_t seconds = ::timegm(&tm);
  EntryHead head;
  head.time = std::chrono::system_clock::from_time_t(seconds) + std::chrono::milliseconds(millis);
  head.component = line.substr(24, componentEnd - 24);
  head.level = *level;
  return head;
}

}  // namespace

bool LogFilter::filter(const std::vector<std::string>& sources, const std::string& target,
                       const std::set<std::string>& components, const std::string& levelName,
                       std::chrono::system_clock::time_point from) {
  const std::optional<int> minimum = levelValue(levelName);
  if (!minimum) {
    ZEM_ERROR("Unknown log level name for log extraction: " << levelName);
    return false;
  }
  std::string out;
  bool keep = components.empty();  // fate of lines before the first entry
  for (const std::string& source : sources) {
    std::ifstream in(source, std::ios::binary);
    if (!in) continue;
    std::string line;
    while (std::getline(in, line)) {
      if (const std::optional<EntryHead> head = parseHead(line)) {
        keep = head->level >= *minimum && head->time >= from &&
               (components.empty() || components.count(head->component) > 0);
      }
      if (keep) {
        out += line;
        out += '\n';
      }
    }
  }
  if (!File(target).writeAtomically(out)) {
    ZEM_ERROR("Cannot write the log extract " << target);
    return false;
  }
  return true;
}

bool LogFilter::backupSysLog(const std::string& target, const std::set<std::string>& components,
                             const std::string& levelName, std::chrono::system_clock::time_point from) {
  const std::string& current = DevicePaths::systemLogFile();
  return filter({current + ".1", current}, target, components, levelName, from);
}
