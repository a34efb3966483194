#include "ZemHostFixture.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

void ZemHostFixture::SetUp() {
  if (getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) {
    GTEST_SKIP() << "no session bus (DBUS_SESSION_BUS_ADDRESS unset); run under dbus-run-session";
  }
  std::string pattern = (std::filesystem::temp_directory_path() / "zem-e2e-XXXXXX").string();
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  base_ = pattern;
  sysroot_ = base_ + "/root";
  work_ = base_ + "/work";
  std::filesystem::create_directories(work_);
  const CommandResult seeded = runCommand({"bash", ZEM_SEED_DEVICE, sysroot_}, {}, work_);
  ASSERT_EQ(seeded.exitCode, 0) << seeded.err;
}

void ZemHostFixture::TearDown() {
  if (host_ != nullptr && host_->running()) {
    host_->sendSignal(SIGTERM);
    if (!host_->waitForExit(std::chrono::seconds(10))) ADD_FAILURE() << "zem-host ignored SIGTERM";
  }
  host_.reset();
  if (!base_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
  }
}

void ZemHostFixture::startHost(const std::vector<std::string>& args,
                               const std::map<std::string, std::string>& environment) {
  std::vector<std::string> argv{ZEM_HOST_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  std::map<std::string, std::string> env{{"ZEM_SYSROOT", sysroot_}};
  for (const auto& [name, value] : environment) env[name] = value;
  host_ = std::make_unique<ChildProcess>(argv, env, hostStdout(), hostStderr());
}

bool ZemHostFixture::waitForPing(int status, std::chrono::milliseconds timeout) {
  const std::string expected = "status " + std::to_string(status) + "\n";
  return waitUntil(
             [&] {
               if (host_ == nullptr || !host_->running()) return true;  // ended: stop waiting, judged below
               return zemctl({"--timeout", "2000", "ping"}).out == expected;
             },
             timeout) &&
         host_ != nullptr && host_->running();
}

std::optional<int> ZemHostFixture::stopHost(int signal, std::chrono::milliseconds timeout) {
  if (host_ == nullptr) return std::nullopt;
  host_->sendSignal(signal);
  return host_->waitForExit(timeout);
}

CommandResult ZemHostFixture::zemctl(const std::vector<std::string>& args,
                                     const std::map<std::string, std::string>& environment) {
  std::vector<std::string> argv{ZEMCTL_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  return runCommand(argv, environment, work_);
}

CommandResult ZemHostFixture::busctlCall(const std::string& interfaceName, const std::string& method,
                                         const std::vector<std::string>& signatureAndValues) {
  std::vector<std::string> argv{
      "busctl", "--user", "--timeout=5", "call", "com.olvane.ZEM_APP", "/com/olvane/ZEM_APP", interfaceName, method};
  argv.insert(argv.end(), signatureAndValues.begin(), signatureAndValues.end());
  return runCommand(argv, {}, work_);
}

std::string ZemHostFixture::settingsFile() const { return sysroot_ + "/media/olvane/data/zem_app/settings.xml"; }

bool ZemHostFixture::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}
