// Test fixture that runs zem-host as a child process on a fresh temporary sysroot seeded with
// the factory content, on the session bus of the test run, and drives it with zemctl and busctl.
// Skips every test when no session bus is available (DBUS_SESSION_BUS_ADDRESS unset).
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ChildProcess.h"

class ZemHostFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts zem-host with `args` and ZEM_SYSROOT set to sysroot(); its stdout and stderr go to
  // hostStdout() and hostStderr(). `environment` adds or replaces variables.
  void startHost(const std::vector<std::string>& args = {}, const std::map<std::string, std::string>& environment = {});
  // Polls "zemctl ping" until it prints "status <status>". Returns false on timeout or when the
  // host has ended.
  bool waitForPing(int status, std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Sends `signal` to the host and waits for it to end. Returns its wait status, nullopt when it
  // is still running after `timeout`.
  std::optional<int> stopHost(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(10));

  CommandResult zemctl(const std::vector<std::string>& args,
                       const std::map<std::string, std::string>& environment = {});
  // busctl --user call com.olvane.ZEM_APP /com/olvane/ZEM_APP <interface> <method> <signature and values>
  CommandResult busctlCall(const std::string& interfaceName, const std::string& method,
                           const std::vector<std::string>& signatureAndValues);

  const std::string& sysroot() const { return sysroot_; }
  const std::string& workFolder() const { return work_; }
  std::string settingsFile() const;
  std::string hostStdout() const { return work_ + "/zem-host.out"; }
  std::string hostStderr() const { return work_ + "/zem-host.err"; }
  ChildProcess* host() { return host_.get(); }

  // Polls `condition` every few milliseconds until it holds or `timeout` passes.
  static bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

 private:
  std::string base_;     // the temporary folder of the test; removed by TearDown
  std::string sysroot_;  // base_ + "/root"
  std::string work_;     // base_ + "/work": captured output
  std::unique_ptr<ChildProcess> host_;
};
