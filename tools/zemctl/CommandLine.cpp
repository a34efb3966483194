#include "CommandLine.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace CommandLine {

bool isOption(const std::string& arg, const std::string& name) {
  return arg == name || arg.compare(0, name.size() + 1, name + "=") == 0;
}

bool optionValue(const std::vector<std::string>& args, size_t* i, const std::string& name, std::string* value,
                 std::string* error) {
  const std::string& arg = args[*i];
  if (arg.size() > name.size() && arg.compare(0, name.size() + 1, name + "=") == 0) {
    *value = arg.substr(name.size() + 1);
  } else if (arg == name && *i + 1 < args.size()) {
    *value = args[++*i];
  } else {
    *error = name + " needs a value";
    return false;
  }
  if (value->empty()) {
    *error = name + " needs a non-empty value";
    return false;
  }
  return true;
}

bool parseSeconds(const std::string& text, std::chrono::milliseconds* value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double seconds = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(seconds) || seconds < 0 || seconds > 86400) {
    return false;
  }
  *value = std::chrono::milliseconds(static_cast<int64_t>(std::llround(seconds * 1000)));
  return true;
}

}  // namespace CommandLine
