// Small host utilities. Thread safety: stateless, safe from any thread.
#pragma once

#include <string>


namespace Ipc {
class IpcMethodCallResponse;
}

// Every declaration of the namespace is public API.
#pragma GCC visibility push(default)
namespace Utils {
// Splits "MAJOR.MINOR.PATCH" and adds the integer parameters "major", "minor" and "patch" to
// `response`. Missing or non-numeric parts are reported as 0.
void checkSoftwareVersion(const std::string& version, Ipc::IpcMethodCallResponse& response);
// Replaces in the properties file every line that matches the regular expression `pattern` (whole
// line, ECMAScript syntax, a trailing "\r" excluded) with `replacement`, durably. Returns false
// (file untouched) when the pattern is invalid, the file cannot be read or written, or no line matched.
bool replaceLineInPropertiesFile(const std::string& file, const std::string& pattern, const std::string& replacement);
}  // namespace Utils
#pragma GCC visibility pop
