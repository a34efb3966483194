// Reads DBC bus descriptions as the tools in the wild write them into a DbcFile: CP1252 or UTF-8
// text, CR LF or LF line ends, the statements that decoding needs read and checked, every other
// statement skipped whole. Hostile input is bounded in size, line length and counts.
// Thread safety: stateless; every function is reentrant.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "kest/Export.h"
#include "kest/vehiclebus/DbcFile.h"

namespace VehicleBus {

class KEST_EXPORT DbcParser {
 public:
  static constexpr std::size_t kMaxBytes = 16 * 1024 * 1024;     // the largest file read
  static constexpr std::size_t kMaxLineLength = 64 * 1024;       // bytes of one line
  static constexpr std::size_t kMaxMessages = 65536;             // BO_ entries
  static constexpr std::size_t kMaxSignals = 262144;             // SG_ entries, all messages together
  static constexpr std::size_t kMaxValueDescriptions = 1 << 20;  // VAL_ pairs, all signals together

  // Parses `bytes`, the whole content of a DBC file. Bytes that are not valid UTF-8 are read as
  // CP1252, whose five undefined bytes become U+FFFD. Reads VERSION, BU_, BO_ (an identifier with
  // bit 31 set is extended, the bit removed; 0xC0000000, the file's holder of unplaced signals,
  // is left out with its signals), SG_, CM_ of messages and signals, VAL_ and SIG_VALTYPE_; skips
  // NS_ with its indented list and every other statement (a statement ends at ';' or at a line
  // that begins with a keyword).
  // Returns true and replaces `*file`. Returns false with "LINE: what is wrong" in `*error` (LINE
  // counted from 1; any echo of the input is short printable ASCII) and leaves `*file` unchanged.
  static bool parse(std::string_view bytes, DbcFile* file, std::string* error);

  // Reads the regular file at `path` (at most kMaxBytes) and parses it. Returns false with
  // "PATH:LINE: what is wrong", "PATH: cannot read: REASON" or "PATH: larger than 16 MiB" in
  // `*error`, `*file` unchanged.
  static bool parseFile(const std::string& path, DbcFile* file, std::string* error);
};

}  // namespace VehicleBus
