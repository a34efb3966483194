#include "kest/TempFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

TempFile::TempFile(const std::string& prefix) {
  const std::string pattern = File(File::tmpFolder(), prefix + "XXXXXX").getPath();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    throw std::runtime_error("Cannot create a temporary folder " + pattern + ": " + std::strerror(errno));
  }
  folder_ = File(std::string(buffer.data()));
}

TempFile::~TempFile() { folder_.remove(); }
