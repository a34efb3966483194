// A child process started by a test with posix_spawn: its own environment additions, its output
// captured in files, waited for with a deadline and killed when the owner forgets it.
// Thread safety: none; one test thread owns a child.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

class ChildProcess {
 public:
  // Starts argv[0] (looked up in PATH when it holds no slash) with the current environment plus
  // `environment` (replacing variables of the same name); stdout and stderr go to the two files
  // (truncated). Throws std::runtime_error when the process cannot be started.
  ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
               const std::string& stdoutFile, const std::string& stderrFile);
  // Kills (SIGKILL) and reaps the child if it still runs.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Sends `signal`. Returns false when the child has already been reaped.
  bool sendSignal(int signal) const;
  // Waits until the child ends or `timeout` passes. Returns the wait status (as waitpid gives it),
  // or nullopt on timeout. Once reaped, returns the same status again.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);
  bool running();

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

struct CommandResult {
  int exitCode = -1;  // the exit status, or 128 + signal when killed
  std::string out;
  std::string err;
};

// Runs a command to completion (killed after `timeout`, reported as exit code 124) and returns
// its exit code and output. `workFolder` holds the capture files.
CommandResult runCommand(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
                         const std::string& workFolder,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(15000));

// The whole content of a file, empty when unreadable.
std::string readFile(const std::string& path);
