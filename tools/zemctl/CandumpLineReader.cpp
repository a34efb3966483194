#include "CandumpLineReader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

using VehicleBus::ParsedFrame;

constexpr std::size_t kBufferSize = 256 * 1024;  // > kMaxLineLength
constexpr const char* kForms = "expected [(TIME)] INTERFACE ID [LENGTH] DATA or [(TIME)] [INTERFACE] ID#DATA";

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The next blank-separated word of `line` from `*at`, which moves past it; empty at the end.
std::string_view word(std::string_view line, std::size_t* at) {
  while (*at < line.size() && isBlank(line[*at])) ++*at;
  const std::size_t start = *at;
  while (*at < line.size() && !isBlank(line[*at])) ++*at;
  return line.substr(start, *at - start);
}

bool fail(std::string* error, const char* reason) {
  *error = reason;
  return false;
}

// The data of a screen line from `*at` (announced as "[LENGTH]") in log form, appended to
// `*log`: "#" and the bytes, "#R" for a remote request, "##0" and the bytes for CAN FD (a
// two-digit length). Returns false with the reason when it does not read as such.
bool screenData(std::string_view line, std::size_t* at, std::string* log, std::string* error) {
  const std::string_view length = word(line, at);
  const bool fd = length.size() == 4;
  if ((length.size() != 3 && !fd) || length.front() != '[' || length.back() != ']') return fail(error, kForms);
  std::size_t bytes = 0;
  for (const char c : length.substr(1, length.size() - 2)) {
    if (c < '0' || c > '9') return fail(error, "the length is not a number");
    bytes = bytes * 10 + static_cast<std::size_t>(c - '0');
  }
  std::size_t next = *at;
  if (word(line, &next) == "remote" && word(line, &next) == "request") {
    *at = next;
    *log += "#R";
    return true;
  }
  *log += fd ? "##0" : "#";
  for (std::size_t i = 0; i < bytes; ++i) {
    const std::string_view byte = word(line, at);
    if (byte.size() != 2) return fail(error, "fewer data bytes than the length says");
    *log += byte;
  }
  return true;
}

// A screen line rewritten in log form, so that one parser checks every field of both forms.
std::optional<ParsedFrame> parseScreenLine(std::string_view line, std::string* error) {
  std::size_t at = 0;
  std::string log;
  std::string_view interface = word(line, &at);
  if (!interface.empty() && interface.front() == '(') {
    log.append(interface) += ' ';
    interface = word(line, &at);
  }
  const std::string_view id = word(line, &at);
  if (interface.empty() || id.empty()) {
    *error = kForms;
    return std::nullopt;
  }
  log.append(interface) += ' ';
  log += id;
  if (!screenData(line, &at, &log, error)) return std::nullopt;
  // What candump -a adds: the bytes as text, quoted.
  while (at < line.size() && isBlank(line[at])) ++at;
  const std::string_view rest = line.substr(at);
  if (!rest.empty() && (rest.size() < 2 || rest.front() != '\'' || rest.back() != '\'')) {
    *error = "unexpected text after the data";
    return std::nullopt;
  }
  return VehicleBus::CandumpParser::parseLine(log, error);
}

}  // namespace

CandumpLineReader::CandumpLineReader(int fd, std::function<void()> beforeWait)
    : fd_(fd), beforeWait_(std::move(beforeWait)), buffer_(kBufferSize) {}

std::optional<ParsedFrame> CandumpLineReader::parseLine(std::string_view line, std::string* error) {
  if (line.find('#') != std::string_view::npos) return VehicleBus::CandumpParser::parseLine(std::string(line), error);
  return parseScreenLine(line, error);
}

CandumpLineReader::Result CandumpLineReader::next(ParsedFrame* frame, std::string* error) {
  std::string_view line;
  bool tooLong = false;
  while (nextLine(&line, &tooLong)) {
    ++lineNumber_;
    if (tooLong) {
      *error = "line longer than " + std::to_string(kMaxLineLength) + " bytes";
      return Result::kBadLine;
    }
    std::size_t at = 0;
    if (word(line, &at).empty()) continue;
    std::optional<ParsedFrame> parsed = parseLine(line, error);
    if (!parsed) return Result::kBadLine;
    *frame = std::move(*parsed);
    return Result::kFrame;
  }
  return Result::kEnd;
}

bool CandumpLineReader::nextLine(std::string_view* line, bool* tooLong) {
  for (;;) {
    const char* const start = buffer_.data() + begin_;
    const auto* const newline = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
    const std::size_t length = newline != nullptr ? static_cast<std::size_t>(newline - start) : end_ - begin_;
    if (newline != nullptr || (ended_ && (begin_ < end_ || skipping_))) {
      *line = std::string_view(start, length);
      *tooLong = skipping_ || length > kMaxLineLength;
      skipping_ = false;
      begin_ += newline != nullptr ? length + 1 : length;
      return true;
    }
    if (ended_) return false;
    if (length > kMaxLineLength) {
      // Drop the start of an overlong line; only its end is looked for.
      skipping_ = true;
      begin_ = end_;
    }
    ended_ = !fill();
  }
}

bool CandumpLineReader::fill() {
  std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
  end_ -= begin_;
  begin_ = 0;
  if (beforeWait_) beforeWait_();
  for (;;) {
    const ssize_t got = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
    if (got > 0) {
      end_ += static_cast<std::size_t>(got);
      return true;
    }
    if (got == 0) return false;
    if (errno != EINTR) {
      failed_ = errno;
      return false;
    }
  }
}
