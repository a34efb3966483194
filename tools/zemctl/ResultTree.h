// Prints a property result as zemctl shows it: a scalar as its value text, a list as one line per
// item, a map as one "KEY: VALUE" line per entry; a nested list or map opens with a line of its
// own ("(list)", "(map)" or "KEY:") and its items follow indented two blanks more.
// Thread safety: stateless; format() may be called from any thread.
#pragma once

#include <string>

#include "kolconfig/Types.h"

class ResultTree {
 public:
  // The lines for `result`, each ended by a newline. Texts are printed as the document holds them,
  // except that control characters and backslashes are escaped (\n, \t, \\, \xHH): every item
  // stays on its line and no text from the unit can drive the terminal. A PropertyUpdateResult gives "true"
  // or "false"; a geolocation gives "latitude X" and "longitude Y" lines, or "(no position)".
  // Nesting is bounded by the document reader's depth cap, so the recursion is too.
  static std::string format(const Sarnet_Configuration::Types::PropertyResult& result);

  // The value text of a scalar result (string, integer, float, boolean, simple boolean, byte
  // field, IMEI, TCU id, VIN; "true"/"false" for an update result). Returns false for a list,
  // map, map entry or geolocation result.
  static bool scalarText(const Sarnet_Configuration::Types::PropertyResult& result, std::string* text);

  // `text` with control characters and backslashes escaped (\n, \t, \\, \xHH): one line that
  // cannot drive a terminal. Bytes from 0x20 up (UTF-8 included) stay as they are.
  static std::string oneLine(const std::string& text);
};
