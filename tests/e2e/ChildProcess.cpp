#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace {

struct FileActionsDeleter {
  void operator()(posix_spawn_file_actions_t* actions) const { posix_spawn_file_actions_destroy(actions); }
};

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
                           const std::string& stdoutFile, const std::string& stderrFile) {
  if (argv.empty()) throw std::runtime_error("ChildProcess: empty command");
  std::map<std::string, std::string> merged;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    if (entry.find('=') != std::string::npos)
      merged.emplace(entry.substr(0, entry.find('=')), entry.substr(entry.find('=') + 1));
  }
  for (const auto& [name, value] : environment) merged[name] = value;
  std::vector<std::string> envStrings;
  for (const auto& [name, value] : merged) envStrings.push_back(name + "=" + value);
  std::vector<std::string> args(argv);
  std::vector<char*> envp, argp;
  for (auto& s : envStrings) envp.push_back(s.data());
  for (auto& s : args) argp.push_back(s.data());
  envp.push_back(nullptr);
  argp.push_back(nullptr);

  posix_spawn_file_actions_t storage;
  posix_spawn_file_actions_init(&storage);
  const std::unique_ptr<posix_spawn_file_actions_t, FileActionsDeleter> actions(&storage);
  posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  const int rc = posix_spawnp(&pid_, args[0].c_str(), actions.get(), nullptr, argp.data(), envp.data());
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error("cannot start " + args[0] + ": " + std::strerror(rc));
  }
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !status_) {
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
}

bool ChildProcess::sendSignal(int signal) const {
  if (pid_ <= 0 || status_) return false;
  return kill(pid_, signal) == 0;
}

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (status_) return status_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || r < 0) {
      status_ = r < 0 ? -1 : status;
      return status_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

bool ChildProcess::running() { return !waitForExit(std::chrono::milliseconds(0)).has_value(); }

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

CommandResult runCommand(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
                         const std::string& workFolder, std::chrono::milliseconds timeout) {
  static std::atomic<int> counter{0};
  const std::string stem = workFolder + "/cmd-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
  CommandResult result;
  {
    ChildProcess child(argv, environment, stem + ".out", stem + ".err");
    const std::optional<int> status = child.waitForExit(timeout);
    if (!status) result.exitCode = 124;
    if (status && WIFEXITED(*status)) result.exitCode = WEXITSTATUS(*status);
    if (status && WIFSIGNALED(*status)) result.exitCode = 128 + WTERMSIG(*status);
  }
  result.out = readFile(stem + ".out");
  result.err = readFile(stem + ".err");
  unlink((stem + ".out").c_str());
  unlink((stem + ".err").c_str());
  return result;
}
