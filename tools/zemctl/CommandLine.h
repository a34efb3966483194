// The small pieces of argument parsing that the zemctl command groups share: options given as
// "--name VALUE" or "--name=VALUE", and numbers of seconds.
// Thread safety: stateless functions, reentrant.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace CommandLine {

// Whether `arg` is the option `name`, alone or as "name=VALUE".
bool isOption(const std::string& arg, const std::string& name);

// Takes the value of the option `name` at args[*i], given as "--name VALUE" (advancing *i) or
// "--name=VALUE". Returns true with `value` set; false with the reason in `error` when the value
// is missing or empty.
// REQUIRES: isOption(args[*i], name)
bool optionValue(const std::vector<std::string>& args, size_t* i, const std::string& name, std::string* value,
                 std::string* error);

// "2", "0.5": a number of seconds from 0 to one day, rounded to milliseconds. Returns false for
// any other text.
bool parseSeconds(const std::string& text, std::chrono::milliseconds* value);

}  // namespace CommandLine
