#include "ZemHostFixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
                           const std::string& stdoutFile, const std::string& stderrFile) {
  // env(1) adds the variables, so that the child's environment is built by the child.
  std::vector<std::string> args{"env"};
  for (const auto& [name, value] : environment) args.push_back(std::string(name).append("=").append(value));
  args.insert(args.end(), argv.begin(), argv.end());
  std::vector<char*> argp;
  argp.reserve(args.size() + 1);
  for (auto& arg : args) argp.push_back(arg.data());
  argp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int rc = posix_spawnp(&pid_, "env", &actions, nullptr, argp.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv.at(0) + ": " + std::strerror(rc));
}

ChildProcess::~ChildProcess() {
  if (sendSignal(SIGKILL)) waitForExit(std::chrono::hours(1));
}

bool ChildProcess::sendSignal(int signal) const { return !status_ && kill(pid_, signal) == 0; }

std::optional<int> ChildProcess::waitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (int status = 0; !status_; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r != 0)
      status_ = r < 0 ? -1 : status;
    else if (std::chrono::steady_clock::now() >= deadline)
      return std::nullopt;
  }
  return status_;
}

std::string readFile(const std::string& path) {
  std::ostringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

CommandResult runCommand(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
                         const std::string& workFolder, std::chrono::milliseconds timeout) {
  static std::atomic<int> counter{0};
  const std::string stem = workFolder + "/cmd-" + std::to_string(counter++);  // removed with the folder
  const std::optional<int> status = ChildProcess(argv, environment, stem + ".out", stem + ".err").waitForExit(timeout);
  const int code = !status ? 124 : WIFSIGNALED(*status) ? 128 + WTERMSIG(*status) : WEXITSTATUS(*status);
  return CommandResult{code, readFile(stem + ".out"), readFile(stem + ".err")};
}

void ZemHostFixture::SetUp() {
  if (getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) GTEST_SKIP() << "no session bus; run under dbus-run-session";
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
  if (host_ != nullptr && host_->sendSignal(SIGTERM) && !host_->waitForExit(std::chrono::seconds(10)))
    ADD_FAILURE() << "zem-host ignored SIGTERM";
  host_.reset();
  if (bus_ != nullptr) {
    if (savedSessionBus_)
      setenv("DBUS_SESSION_BUS_ADDRESS", savedSessionBus_->c_str(), 1);
    else
      unsetenv("DBUS_SESSION_BUS_ADDRESS");
    bus_.reset();
  }
  std::error_code ignored;
  if (!base_.empty()) std::filesystem::remove_all(base_, ignored);
}

void ZemHostFixture::startHost(const std::vector<std::string>& args,
                               const std::map<std::string, std::string>& environment) {
  std::vector<std::string> argv{ZEM_HOST_BIN};
  if (trustedHost_) argv.insert(argv.end(), {"--development", "--library-dir", ZEM_EXAMPLE_LIB_DIR});
  argv.insert(argv.end(), args.begin(), args.end());
  std::map<std::string, std::string> env = environment;
  env["ZEM_SYSROOT"] = sysroot_;
  busEnvironment_.clear();  // the bus addresses are zemctl's too
  for (const auto& [name, value] : environment)
    if (name.rfind("DBUS_", 0) == 0) busEnvironment_[name] = value;
  systemBus_ = std::count(args.begin(), args.end(), "--system") > 0;
  host_ = std::make_unique<ChildProcess>(argv, env, work_ + "/zem-host.out", hostStderr());
}

bool ZemHostFixture::waitForPing(int status, std::chrono::milliseconds timeout) {
  const std::string expected = "status " + std::to_string(status) + "\n";
  std::vector<std::string> ping{"--timeout", "2000", "ping"};
  if (systemBus_) ping.insert(ping.begin(), "--system");
  // An ended host stops the wait and fails it.
  return waitUntil([&] { return !host_->running() || zemctl(ping).out == expected; }, timeout) && host_->running();
}

std::optional<int> ZemHostFixture::stopHost(int signal, std::chrono::milliseconds timeout) {
  host_->sendSignal(signal);
  return host_->waitForExit(timeout);
}

CommandResult ZemHostFixture::zemctl(const std::vector<std::string>& args,
                                     std::map<std::string, std::string> environment) {
  std::vector<std::string> argv{ZEMCTL_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  environment.insert(busEnvironment_.begin(), busEnvironment_.end());
  environment.emplace("ZEM_SYSROOT", sysroot_);
  return runCommand(argv, environment, work_);
}

std::string ZemHostFixture::startPrivateBus() {
  const std::string socket = work_ + "/private_bus_socket";
  bus_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--address=unix:path=" + socket},
      std::map<std::string, std::string>{}, work_ + "/bus.out", work_ + "/bus.err");
  EXPECT_TRUE(waitUntil([&] { return std::filesystem::exists(socket) || !bus_->running(); }, std::chrono::seconds(10)))
      << readFile(work_ + "/bus.err");
  if (const char* current = getenv("DBUS_SESSION_BUS_ADDRESS")) savedSessionBus_ = current;
  std::string address = "unix:path=" + socket;
  setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  return address;
}
