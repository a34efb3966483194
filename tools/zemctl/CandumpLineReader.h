// Reads candump output from a file descriptor, one frame per line, in either form candump writes:
// the log form of `candump -L` ("(1436509052.249713) can0 123#DEADBEEF") or the screen form it
// prints otherwise ("  can0  123   [4]  DE AD BE EF"; with -t a time stamp in front, with -a the
// bytes as text behind, "remote request" for a remote frame, a two-digit length for CAN FD).
// Thread safety: a reader belongs to one thread; parseLine() is reentrant.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kest/vehiclebus/CandumpParser.h"

class CandumpLineReader {
 public:
  // The longest line taken (a 64-byte frame in screen form with time and text fits); a longer one
  // is reported bad without being kept.
  static constexpr std::size_t kMaxLineLength = 512;
  enum class Result { kFrame, kBadLine, kEnd };

  // Reads from `fd` (not owned; open for as long as the reader reads). `beforeWait` runs before
  // each read that may block, e.g. to flush what was written so far; may be empty.
  CandumpLineReader(int fd, std::function<void()> beforeWait);

  // Reads on to the next line that is not blank. Returns kFrame with `*frame` set; kBadLine with
  // the reason in `*error`; kEnd at the end of the input or when it cannot be read (failed()).
  // lineNumber() names the line of a kFrame or kBadLine.
  Result next(VehicleBus::ParsedFrame* frame, std::string* error);
  // The number of the line last returned, counted from 1.
  std::size_t lineNumber() const { return lineNumber_; }
  // The errno of a failed read, 0 when the input ended normally.
  int failed() const { return failed_; }

  // Parses one line (no line break) of either form. Returns the frame, or nothing with a short
  // reason in `*error`.
  static std::optional<VehicleBus::ParsedFrame> parseLine(std::string_view line, std::string* error);

 private:
  // Sets `*line` to the next line, or to the last part of a line over kMaxLineLength with
  // `*tooLong` set. Returns false at the end of the input.
  bool nextLine(std::string_view* line, bool* tooLong);
  // Reads more input behind what is kept. Returns false at the end of the input or on an error.
  bool fill();

  const int fd_;
  const std::function<void()> beforeWait_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;  // the unread input is buffer_[begin_, end_)
  std::size_t end_ = 0;
  std::size_t lineNumber_ = 0;
  bool ended_ = false;
  bool skipping_ = false;  // inside a line over kMaxLineLength, until its end
  int failed_ = 0;
};
