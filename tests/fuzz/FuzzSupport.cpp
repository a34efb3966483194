#include "FuzzSupport.h"

#include <log4cplus/logger.h>
#include <log4cplus/nullappender.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "kest/ApplicationLogger.h"

namespace zem_fuzz {
namespace {

std::string& sysrootToRemove() {
  static std::string path;
  return path;
}

void removeSysroot() {
  std::error_code ignored;
  if (!sysrootToRemove().empty()) std::filesystem::remove_all(sysrootToRemove(), ignored);
}

void silence(log4cplus::Logger logger) {
  logger.removeAllAppenders();
  logger.setAdditivity(false);
  logger.addAppender(log4cplus::SharedAppenderPtr(new log4cplus::NullAppender()));
}

}  // namespace

void silenceLogging() {
  silence(log4cplus::Logger::getRoot());
  silence(ApplicationLogger::logger());
  ApplicationLogger::logger().setLogLevel(log4cplus::WARN_LOG_LEVEL);
}

std::string makeDevice() {
  // A memory file system when there is one: the durable writes of the store and the settings
  // (fsync) would otherwise cost more than the parsing under test.
  const char* tmp = std::getenv("TMPDIR");
  std::error_code ignored;
  const std::string parent = tmp != nullptr && *tmp != '\0'                       ? tmp
                             : std::filesystem::is_directory("/dev/shm", ignored) ? "/dev/shm"
                                                                                  : "/tmp";
  std::string pattern = parent + "/zem-fuzz-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("zem-fuzz: mkdtemp");
    std::abort();
  }
  sysrootToRemove() = pattern;
  std::atexit(removeSysroot);
  const std::string seed = std::string(ZEM_SOURCE_DIR) + "/scripts/seed-device '" + pattern + "' >/dev/null";
  if (std::system(seed.c_str()) != 0) {
    std::fprintf(stderr, "zem-fuzz: seeding %s failed\n", pattern.c_str());
    std::abort();
  }
  setenv("ZEM_SYSROOT", pattern.c_str(), 1);
  silenceLogging();
  return pattern;
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) {
    std::fprintf(stderr, "zem-fuzz: cannot write %s\n", path.c_str());
    std::abort();
  }
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

}  // namespace zem_fuzz
