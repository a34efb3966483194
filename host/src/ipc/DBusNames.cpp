#include "ipc/DBusNames.h"

#include <cctype>

namespace Ipc {
namespace detail {

const char kBusNamePrefix[] = "com.olvane.";

namespace {

// D-Bus names are limited to 255 characters.
constexpr std::size_t kMaxNameLength = 255;

bool isNameChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_'; }

// An element of a bus name, interface name or object path as used here: [A-Za-z0-9_]+, not
// starting with a digit when `leadingDigitAllowed` is false.
bool isElement(const std::string& text, bool leadingDigitAllowed) {
  if (text.empty()) return false;
  if (!leadingDigitAllowed && std::isdigit(static_cast<unsigned char>(text[0])) != 0) return false;
  for (char c : text)
    if (!isNameChar(c)) return false;
  return true;
}

// Two or more dot-separated elements, none starting with a digit.
bool isDottedName(const std::string& text) {
  if (text.size() > kMaxNameLength) return false;
  std::size_t start = 0;
  int elements = 0;
  while (true) {
    const std::size_t dot = text.find('.', start);
    const std::string element = text.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (!isElement(element, false)) return false;
    ++elements;
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  return elements >= 2;
}

}  // namespace

DBusDestination destinationOf(const std::string& component) {
  if (component.find('.') == std::string::npos) {
    if (!isElement(component, true) || component.size() + sizeof(kBusNamePrefix) > kMaxNameLength)
      throw IpcException("Invalid component name: " + component);
    return {kBusNamePrefix + component, "/com/olvane/" + component};
  }
  if (!isDottedName(component)) throw IpcException("Invalid component name: " + component);
  std::string path = "/" + component;
  for (char& c : path)
    if (c == '.') c = '/';
  return {component, path};
}

std::string componentOfBusName(const std::string& busName) {
  const std::string prefix = kBusNamePrefix;
  if (busName.size() <= prefix.size() || busName.compare(0, prefix.size(), prefix) != 0) return std::string();
  return busName.substr(prefix.size());
}

std::string resolveInterface(const std::string& interfaceName, const std::string& ownInterface) {
  std::string resolved;
  if (interfaceName.empty())
    resolved = ownInterface;
  else if (interfaceName.find('.') != std::string::npos)
    resolved = interfaceName;
  else
    resolved = kBusNamePrefix + interfaceName;
  if (!isDottedName(resolved)) throw IpcException("Invalid interface name: " + resolved);
  return resolved;
}

void checkMemberName(const std::string& name) {
  if (name.size() > kMaxNameLength || !isElement(name, false)) throw IpcException("Invalid IPC message name: " + name);
}

}  // namespace detail
}  // namespace Ipc
