// Child processes for the end-to-end tests, and a fixture that runs zem-host as one on a fresh
// temporary sysroot seeded with the factory content, on the session bus of the test run, driven
// with zemctl. The fixture skips every test when no session bus is available.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ZemTestSupport.h"

using zem_test::waitUntil;

// Runs argv[0] (looked up in PATH; status 127 when it cannot be started) with the current
// environment plus `environment`, its output in the two files. Killed (SIGKILL) and reaped when its
// owner forgets it. One test thread owns a child.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
               const std::string& stdoutFile, const std::string& stderrFile);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool sendSignal(int signal) const;  // false once the child is reaped
  // The wait status (as waitpid gives it), or nullopt when the child still runs after `timeout`.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout);
  bool running() { return !waitForExit(std::chrono::milliseconds(0)); }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

inline bool exitedWith(const std::optional<int>& status, int code) {
  return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

struct CommandResult {
  int exitCode = -1;  // the exit status, 128 + signal when killed, 124 on timeout
  std::string out;
  std::string err;
};

// Runs a command to completion (killed after `timeout`); `workFolder` holds the capture files.
CommandResult runCommand(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
                         const std::string& workFolder,
                         std::chrono::milliseconds timeout = std::chrono::milliseconds(15000));
std::string readFile(const std::string& path);  // the whole content, empty when unreadable

class ZemHostFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts zem-host with `args` and `environment` plus ZEM_SYSROOT=sysroot(); zemctl() then uses the
  // bus addresses (DBUS_*) of `environment` too. The host's stderr goes to hostStderr(). Unless
  // setTrustedHost(false) was called, the host also runs in development mode (the seeded unit has
  // no signing slot and the tests send unsigned containers) and loads libraries from the build's
  // library folder.
  void startHost(const std::vector<std::string>& args = {}, const std::map<std::string, std::string>& environment = {});
  // Polls "zemctl ping" (on the host's bus) until it prints "status <status>"; false on timeout or
  // when the host has ended.
  bool waitForPing(int status, std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Sends `signal` to the host; its wait status, nullopt when it still runs after `timeout`.
  std::optional<int> stopHost(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Runs zemctl on the host's bus with ZEM_SYSROOT=sysroot() (for the job commands) unless
  // `environment` says otherwise.
  CommandResult zemctl(const std::vector<std::string>& args, std::map<std::string, std::string> environment = {});
  // Starts a session-kind dbus-daemon of the test's own (so that names the test owns there meet no
  // other test) and points this process's DBUS_SESSION_BUS_ADDRESS at it until TearDown, which
  // restores the variable and ends the bus after the host. Returns the address, for startHost.
  std::string startPrivateBus();

  // Whether startHost adds --development and --library-dir <build lib>; true by default.
  void setTrustedHost(bool trusted) { trustedHost_ = trusted; }

  const std::string& sysroot() const { return sysroot_; }
  const std::string& workFolder() const { return work_; }
  std::string hostStderr() const { return work_ + "/zem-host.err"; }
  ChildProcess* host() { return host_.get(); }
  ChildProcess* privateBus() { return bus_.get(); }

 private:
  std::string base_;                                   // the temporary folder of the test; removed by TearDown
  std::string sysroot_;                                // base_ + "/root"
  std::string work_;                                   // base_ + "/work": captured output
  std::map<std::string, std::string> busEnvironment_;  // the DBUS_* variables of the host
  bool systemBus_ = false;
  bool trustedHost_ = true;
  std::unique_ptr<ChildProcess> host_;
  std::unique_ptr<ChildProcess> bus_;           // the private bus, when started
  std::optional<std::string> savedSessionBus_;  // DBUS_SESSION_BUS_ADDRESS before startPrivateBus
};
