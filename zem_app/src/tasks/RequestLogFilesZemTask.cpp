#include "tasks/RequestLogFilesZemTask.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <map>
#include <optional>
#include <vector>

#include "jobs/TaskTypeRegistration.h"
#include "kest/DevicePaths.h"
#include "kest/LogFilter.h"
#include "kest/TempFile.h"
#include "kest/TrustBoundaries.h"
#include "kolconfig/FileIo.h"
#include "tasks/ResultPackageWriter.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

const TaskTypeRegistration<RequestLogFilesZemTask> registration("RequestLogFilesZemTaskDescription");

constexpr const char* kSysLogBackupName = "syslog.txt";
constexpr size_t kMaxLoggedPathBytes = 256;
constexpr size_t kCopyBufferBytes = 64 * 1024;

// A requested path as it may appear in a log line: cut before escaping (a huge name never makes a
// huge string), control characters escaped.
std::string shown(const std::string& path) {
  return ApplicationLogger::sanitise(ApplicationLogger::shortened(path, kMaxLoggedPathBytes), 4 * kMaxLoggedPathBytes);
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Opens the requested log file `path` for reading when it is a regular file whose real location
// lies inside one of `folders`. The last component is never followed (O_NOFOLLOW), and the check
// is made on the opened descriptor: its location as the kernel reports it (/proc/self/fd) must lie
// inside a folder and name the very file that was opened, so a link swapped in between the check
// and the open cannot redirect the read. Never waits (O_NONBLOCK: a FIFO or device does not
// block). Returns the descriptor, which the caller owns, or -1 when the file is not taken: a file
// refused for where it lies or for being a link is logged at WARN, a missing, unreadable or
// non-regular one is skipped without a word.
int openTrustedLog(const std::string& path, const std::vector<std::string>& folders) {
  const auto refuse = [&path](const char* why) {
    ZEM_WARN("Log file not taken, " << why << ": " << shown(path));
    return -1;
  };
  struct stat named {};
  if (::lstat(path.c_str(), &named) != 0) return -1;
  if (S_ISLNK(named.st_mode)) return refuse("it is a link");
  // Checked before the open too: nothing outside the folders (a device, a FIFO) is ever opened.
  if (!TrustBoundaries::containedRealPath(path, folders)) return refuse("it lies outside the log folders");
  xmldoc::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd.valid()) return errno == ELOOP ? refuse("it is a link") : -1;
  struct stat opened {};
  if (::fstat(fd.get(), &opened) != 0 || !S_ISREG(opened.st_mode)) return -1;
  std::array<char, 4096> location{};
  const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
  const ssize_t n = ::readlink(self.c_str(), location.data(), location.size());
  if (n <= 0 || static_cast<size_t>(n) >= location.size()) return refuse("its location cannot be checked");
  const std::optional<std::string> real =
      TrustBoundaries::containedRealPath(std::string(location.data(), static_cast<size_t>(n)), folders);
  struct stat there {};
  if (!real || ::stat(real->c_str(), &there) != 0 || !sameFile(there, opened)) {
    return refuse("it lies outside the log folders");
  }
  return fd.release();
}

// Copies the last `maxBytes` bytes (all of a smaller file) of the regular file open on `in` to
// `target`, streaming, up to the size the file had when it was opened: a log that keeps growing
// does not make the copy endless, and a huge one yields its newest lines only. A read that would
// block fails the copy. Returns the bytes copied, or nullopt (leaving no target) when anything
// fails.
std::optional<uint64_t> copyTail(const xmldoc::UniqueFd& in, uint64_t maxBytes, const File& target) {
  struct stat st {};
  if (::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  const auto size = static_cast<uint64_t>(st.st_size);
  const uint64_t start = size > maxBytes ? size - maxBytes : 0;
  uint64_t copied = 0;
  const auto copy = [&in, &copied, start, size](int out) {
    std::vector<char> buffer(kCopyBufferBytes);
    while (start + copied < size) {
      const uint64_t want = std::min<uint64_t>(size - start - copied, buffer.size());
      const ssize_t n = ::pread(in.get(), buffer.data(), static_cast<size_t>(want), static_cast<off_t>(start + copied));
      if (n < 0) {
        if (errno == EINTR) continue;
        return false;
      }
      if (n == 0) return true;  // truncated meanwhile: what is left is copied
      if (!xmldoc::writeAll(out, buffer.data(), static_cast<size_t>(n))) return false;
      copied += static_cast<uint64_t>(n);
    }
    return true;
  };
  // The collection folder is temporary: no flush is needed.
  const xmldoc::ReplaceResult result = xmldoc::replaceFile(target.getPath(), copy, xmldoc::Durability::Volatile, 0600);
  if (result.outcome == xmldoc::ReplaceOutcome::kFailed) return std::nullopt;
  return copied;
}

// The file name of an untrusted path; empty when it names no file ("", ".", "..", a trailing '/').
std::string plainName(const std::string& path) {
  const auto slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name == "." || name == "..") name.clear();
  return name;
}

}  // namespace

RequestLogFilesZemTask::RequestLogFilesZemTask(const ZipArchive& archive, DescriptionPtr description)
    : ZemTask(archive, std::move(description)),
      requestDescription_(dynamic_cast<const Types::RequestLogFilesZemTaskDescription*>(getDescription())) {}

RequestLogFilesZemTask::~RequestLogFilesZemTask() = default;

bool RequestLogFilesZemTask::execute() {
  ZEM_DEBUG("Start collecting the log files");
  return finish(true);
}

int RequestLogFilesZemTask::getPriority() const { return Task::HIGHEST; }

std::string RequestLogFilesZemTask::getModuleName() const { return "OBU.LOGFILES"; }

void RequestLogFilesZemTask::createTaskResults(const File& folder, bool success) {
  ZemTask::createTaskResults<Types::RequestLogFilesZemTaskResult>(folder, success);
}

void RequestLogFilesZemTask::collectResults(const File& folder, bool success) {
  ResultPackageWriter writer(*this, folder);
  const File collection(File(DevicePaths::applicationDataFolder()), DevicePaths::kLogsFolderName);
  // A folder left by an interrupted run holds nothing of this request.
  collection.remove();
  collection.mkdirs();
  // The whole backup waits outside the collection; only its newest part is collected, like any file.
  const TempFile backupFolder("syslog");
  const File backup(backupFolder.getFile(), kSysLogBackupName);
  LogFilter::backupSysLog(backup.getPath(), {}, "TRACE", std::chrono::system_clock::time_point());

  // The files are taken in name order while the total taken before them is within the cap, each
  // copied just before it is added, so the copying stops where the package does. As each file
  // yields at most its last kMaxBytesPerFile bytes, the collection and the package hold at most
  // the cap plus one file's share, however many and however large the files a request names. A
  // later request of a name replaces an earlier one; a file named like the backup replaces it.
  std::map<std::string, std::string> sources;  // name -> requested path; "" for the backup
  if (requestDescription_ != nullptr) {
    for (const std::string& path : requestDescription_->elements_additionalLogFile()) {
      const std::string name = plainName(path);
      if (!name.empty()) sources[name] = path;
    }
  }
  sources.emplace(kSysLogBackupName, std::string());
  const std::vector<std::string> logFolders = TrustBoundaries::logFolders();
  uint64_t total = 0;
  for (const auto& [name, path] : sources) {
    if (total > kMaxCollectedBytes) {
      ZEM_WARN("Maximum size of collectable log files is reached, we will ignore the remaining files");
      break;
    }
    const xmldoc::UniqueFd in(path.empty() ? ::open(backup.getPath().c_str(), O_RDONLY | O_CLOEXEC)
                                           : openTrustedLog(path, logFolders));
    if (!in.valid()) continue;
    const File copy(collection, name);
    // A file that cannot be read to the end is skipped without a word.
    const std::optional<uint64_t> copied = copyTail(in, kMaxBytesPerFile, copy);
    if (!copied) continue;
    ZEM_DEBUG("Gathering syslog file " << shown(copy.getAbsolutePath()));
    if (addFile(writer, std::string(DevicePaths::kLogsFolderName) + "/" + name)) {
      total += *copied;
    } else {
      success = false;
    }
  }
  // The archive holds every added file open, so the collected copies can go now.
  collection.remove();

  createTaskResults(folder, success);
  writer.addResult();
  writer.addIndex();
  notifyResultPackage(writer.close(getSignatureGenerator(getSecurityService())));
}

bool RequestLogFilesZemTask::addFile(ResultPackageWriter& writer, const std::string& name) {
  if (writer.addFile(File(File(DevicePaths::applicationDataFolder()), name), name, Types::ElementType::ZEM_EVENT_LOG)) {
    return true;
  }
  errorType = 7;
  errorMessage = "Error while compressing file " + ApplicationLogger::shortened(name, kMaxLoggedPathBytes);
  return false;
}
