#include "kest/LogFilter.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/File.h"
#include "kolconfig/FileIo.h"

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

// Lines are handled in segments of at most this many bytes, so a line without an end costs no
// more memory than one segment.
constexpr size_t kSegmentBytes = 64 * 1024;

struct GzCloser {
  void operator()(gzFile_s* file) const { gzclose(file); }
};
using GzPtr = std::unique_ptr<gzFile_s, GzCloser>;

// Reads a file line by line through zlib, which reads a gzip file decompressed and any other
// file as it is.
class LineReader {
 public:
  explicit LineReader(const std::string& path) : file_(gzopen(path.c_str(), "rbe")), buffer_(kSegmentBytes) {}
  bool valid() const { return file_ != nullptr; }

  // Replaces `out` with the next segment of the current line: up to its end (the '\n' consumed
  // but not stored) or up to kSegmentBytes. `*complete` tells whether the line ended. Returns
  // false at the end of the file (or on a read error) when nothing was read.
  bool next(std::string* out, bool* complete) {
    out->clear();
    *complete = false;
    while (out->size() < kSegmentBytes) {
      if (pos_ == len_ && !fill()) return !out->empty();
      const char* const begin = buffer_.data() + pos_;
      const size_t room = std::min(len_ - pos_, kSegmentBytes - out->size());
      const char* const newline = static_cast<const char*>(std::memchr(begin, '\n', room));
      if (newline != nullptr) {
        out->append(begin, static_cast<size_t>(newline - begin));
        pos_ += static_cast<size_t>(newline - begin) + 1;
        *complete = true;
        return true;
      }
      out->append(begin, room);
      pos_ += room;
    }
    return true;
  }

 private:
  bool fill() {
    const int got = gzread(file_.get(), buffer_.data(), static_cast<unsigned>(buffer_.size()));
    pos_ = 0;
    len_ = got > 0 ? static_cast<size_t>(got) : 0;
    return len_ > 0;
  }

  GzPtr file_;
  std::vector<char> buffer_;
  size_t pos_ = 0;
  size_t len_ = 0;
};

// Collects output and writes it to a descriptor in blocks.
class BlockWriter {
 public:
  explicit BlockWriter(int fd) : fd_(fd) {}
  bool append(const std::string& text, bool newline) {
    pending_ += text;
    if (newline) pending_ += '\n';
    return pending_.size() < kSegmentBytes || flush();
  }
  bool flush() {
    const bool ok = xmldoc::writeAll(fd_, pending_.data(), pending_.size());
    pending_.clear();
    return ok;
  }

 private:
  const int fd_;
  std::string pending_;
};

// The generation number of a rotated log "<base>.<N>" or "<base>.<N>.gz"; 0 for other names.
unsigned long rotation(const std::string& name, const std::string& base) {
  if (name.size() <= base.size() + 1 || name.compare(0, base.size() + 1, base + ".") != 0) return 0;
  std::string rest = name.substr(base.size() + 1);
  if (rest.size() > 3 && rest.compare(rest.size() - 3, 3, ".gz") == 0) rest.resize(rest.size() - 3);
  if (rest.empty() || rest.size() > 6 ||
      !std::all_of(rest.begin(), rest.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; })) {
    return 0;
  }
  return std::strtoul(rest.c_str(), nullptr, 10);
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
  const auto fill = [&](int fd) {
    BlockWriter out(fd);
    bool keep = components.empty();  // fate of lines before the first entry
    for (const std::string& source : sources) {
      LineReader in(source);
      if (!in.valid()) continue;
      std::string segment;
      bool complete = true;
      bool lineStart = true;
      while (in.next(&segment, &complete)) {
        if (lineStart) {
          if (const std::optional<EntryHead> head = parseHead(segment)) {
            keep = head->level >= *minimum && head->time >= from &&
                   (components.empty() || components.count(head->component) > 0);
          }
        }
        if (keep && !out.append(segment, complete)) return false;
        lineStart = complete;
      }
      // A last line without its end still ends in the extract.
      if (!lineStart && keep && !out.append(std::string(), true)) return false;
    }
    return out.flush();
  };
  const xmldoc::ReplaceResult written = xmldoc::replaceFile(target, fill);
  if (written.outcome == xmldoc::ReplaceOutcome::kFailed) {
    ZEM_ERROR("Cannot write the log extract " << target);
    return false;
  }
  return true;
}

std::vector<std::string> LogFilter::systemLogSources() {
  const File current(DevicePaths::systemLogFile());
  const std::string base = current.getName();
  std::vector<std::pair<unsigned long, std::string>> rotated;
  for (const std::string& name : current.getParentFile().entryNames()) {
    const unsigned long n = rotation(name, base);
    if (n > 0) rotated.emplace_back(n, name);
  }
  // Oldest first: the highest generation leads; of two files of one generation the compressed
  // one was rotated earlier.
  std::sort(rotated.begin(), rotated.end(), [](const auto& a, const auto& b) {
    if (a.first != b.first) return a.first > b.first;
    return a.second > b.second;
  });
  std::vector<std::string> sources;
  sources.reserve(rotated.size() + 1);
  for (const auto& r : rotated) sources.push_back(File(current.getParentFile(), r.second).getPath());
  sources.push_back(current.getPath());
  return sources;
}

bool LogFilter::backupSysLog(const std::string& target, const std::set<std::string>& components,
                             const std::string& levelName, std::chrono::system_clock::time_point from) {
  return filter(systemLogSources(), target, components, levelName, from);
}
