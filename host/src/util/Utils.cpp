#include "kest/Utils.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <regex>
#include <vector>

#include "kest/ApplicationLogger.h"
#include "kest/File.h"
#include "kest/ipc/IpcMethodCall.h"

namespace {

// A non-negative decimal number that fits in int64_t; 0 for anything else.
int64_t parseVersionPart(const std::string& text) {
  if (text.empty() || text.size() > 18) return 0;
  for (const char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
  }
  return std::strtoll(text.c_str(), nullptr, 10);
}

}  // namespace

namespace Utils {

void checkSoftwareVersion(const std::string& version, Ipc::IpcMethodCallResponse& response) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t dot = version.find('.', start);
    parts.push_back(version.substr(start, dot == std::string::npos ? std::string::npos : dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  if (parts.size() != 3) ZEM_WARN("Software version " << version << " is not MAJOR.MINOR.PATCH");
  const char* const names[] = {"major", "minor", "patch"};
  for (size_t i = 0; i < 3; ++i) {
    const int64_t value = i < parts.size() ? parseVersionPart(parts[i]) : 0;
    response.addParameter(std::make_unique<Ipc::IpcIntegerParameter>(names[i], value));
  }
}

bool replaceLineInPropertiesFile(const std::string& file, const std::string& pattern, const std::string& replacement) {
  std::regex expression;
  try {
    expression = std::regex(pattern);
  } catch (const std::regex_error& e) {
    ZEM_ERROR("Invalid line pattern " << pattern << ": " << e.what());
    return false;
  }
  const File target(file);
  std::string content;
  if (!target.isFile() || !target.readAll(&content)) {
    ZEM_ERROR("Cannot read properties file " << file);
    return false;
  }
  std::string out;
  out.reserve(content.size() + replacement.size());
  bool replaced = false;
  size_t start = 0;
  while (start < content.size()) {
    const size_t end = content.find('\n', start);
    const bool hasNewline = end != std::string::npos;
    std::string line = content.substr(start, hasNewline ? end - start : std::string::npos);
    // A CRLF file keeps its line ends; the pattern sees the line without "\r".
    const bool crlf = !line.empty() && line.back() == '\r';
    if (crlf) line.pop_back();
    if (std::regex_match(line, expression)) {
      line = replacement;
      replaced = true;
    }
    out += line;
    if (crlf) out += '\r';
    if (hasNewline) out += '\n';
    start = hasNewline ? end + 1 : content.size();
  }
  if (!replaced) {
    ZEM_DEBUG("No line of " << file << " matches " << pattern);
    return false;
  }
  if (!target.writeAtomically(out)) {
    ZEM_ERROR("Cannot write properties file " << file);
    return false;
  }
  return true;
}

}  // namespace Utils
