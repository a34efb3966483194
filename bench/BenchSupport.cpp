#include "BenchSupport.h"

#include <algorithm>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <sdbus-c++/Error.h>
#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/IObject.h>
#include <sdbus-c++/Message.h>
#include <systemd/sd-bus.h>

#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "kest/ApplicationLogger.h"
#include "kest/TempFile.h"

extern char** environ;

namespace bench {

int runBenchmarks(int argc, char** argv, const BenchmarkMain& steps) {
  std::optional<TempFile> sysroot;
  if (!steps.sysrootPrefix.empty()) {
    sysroot.emplace(steps.sysrootPrefix);
    setenv("ZEM_SYSROOT", sysroot->getFile().getPath().c_str(), 1);
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (steps.setUp) {
    try {
      steps.setUp();
    } catch (const std::exception& e) {
      std::cerr << steps.setUpFailure << e.what() << "\n";
      return 1;
    }
  }
  benchmark::RunSpecifiedBenchmarks(steps.reporter);
  if (steps.report) steps.report();
  benchmark::Shutdown();
  return 0;
}

int runInEmptySysroot(int argc, char** argv, const std::string& sysrootPrefix) {
  BenchmarkMain steps;
  steps.sysrootPrefix = sysrootPrefix;
  steps.setUp = [] { ApplicationLogger::setLogLevel(Sarnet_Configuration::Types::LogLevelType::ERROR); };
  return runBenchmarks(argc, argv, steps);
}

int runReported(const std::string& name, const std::function<int()>& body, int failureStatus) {
  try {
    return body();
  } catch (const std::exception& e) {
    std::cerr << name << ": " << e.what() << "\n";
    return failureStatus;
  }
}

std::string configDocument(const std::string& type, const std::string& attributes, const std::string& body) {
  return std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") +
         "<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
         "<k:content xsi:type=\"k:" +
         type + "\"" + (attributes.empty() ? "" : " " + attributes) + ">" + body + "</k:content></k:config>\n";
}

std::string stringEntries(const std::string& keyPrefix, int count) {
  std::string entries;
  for (int i = 0; i < count; ++i) {
    entries += "<k:entry><k:key>" + keyPrefix + std::to_string(i) +
               "</k:key><k:value xsi:type=\"k:PersistedStringValue\"><k:stringValue>value number " + std::to_string(i) +
               " of the benchmark database</k:stringValue></k:value></k:entry>";
  }
  return entries;
}

double microseconds(std::chrono::steady_clock::duration duration) {
  return std::chrono::duration<double, std::micro>(duration).count();
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t index = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
  return values[index];
}

namespace fs = std::filesystem;

pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& extra,
            const std::string& logFile) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry(*e);
    if (extra.count(entry.substr(0, entry.find('='))) == 0) env.push_back(entry);
  }
  for (const auto& [name, value] : extra) env.push_back(name + "=" += value);
  std::vector<std::string> args(argv);
  std::vector<char*> argp, envp;
  for (auto& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  pid_t pid = -1;
  const int rc = posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
  return pid;
}

int waitFor(pid_t pid, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) return status;
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void stop(pid_t pid, std::chrono::milliseconds grace) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  if (waitFor(pid, grace) == -1) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

long statusKiB(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return 0;
}

double cpuMicroseconds(pid_t pid) {
  double total = 0;
  std::error_code error;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream in(task.path() / "schedstat");
    double nanoseconds = 0;
    if (in >> nanoseconds) total += nanoseconds / 1000;
  }
  return total;
}

Memory memoryOf(pid_t pid) {
  Memory memory;
  const std::string proc = "/proc/" + std::to_string(pid);
  memory.rssKiB = statusKiB(pid, "VmRSS");
  std::ifstream rollup(proc + "/smaps_rollup");
  std::string line;
  while (std::getline(rollup, line)) {
    if (line.rfind("Pss:", 0) == 0) memory.pssKiB = std::atol(line.c_str() + 4);
  }
  std::ifstream maps(proc + "/maps");
  std::set<std::string> libraries;
  while (std::getline(maps, line)) {
    const auto slash = line.find('/');
    if (slash != std::string::npos && line.find(".so", slash) != std::string::npos)
      libraries.insert(line.substr(slash));
  }
  memory.sharedLibraries = static_cast<int>(libraries.size());
  return memory;
}

std::string describe(const Memory& memory) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(1) << "RSS " << memory.rssKiB << " KiB (" << memory.rssKiB / 1024.0
       << " MiB), PSS " << memory.pssKiB << " KiB (" << memory.pssKiB / 1024.0 << " MiB), " << memory.sharedLibraries
       << " shared libraries";
  return text.str();
}

void seedDevice(const std::string& sysroot, const std::string& logFile) {
  const int status =
      waitFor(spawn({"bash", std::string(ZEM_SOURCE_DIR) + "/scripts/seed-device", sysroot}, {}, logFile),
              std::chrono::seconds(30));
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) throw std::runtime_error("seed-device failed");
}

BenchUnit::BenchUnit(const std::string& name) {
  std::string pattern = (fs::temp_directory_path() / ("zem-" + name + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  base_ = pattern;
  sysroot_ = base_ + "/root";
  log_ = base_ + "/run.log";
  seedDevice(sysroot_, log_);

  const std::string socket = base_ + "/bus";
  const std::string address = "unix:path=" + socket;
  busPid_ = spawn({"dbus-daemon", "--session", "--nofork", "--address=" + address}, {}, log_);
  setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  // The socket appears before the bus listens on it: connecting is what tells that it is up.
  const bool up = waitUntil(
      [&] {
        try {
          if (fs::exists(socket)) client_ = std::make_unique<Ipc::DBusIpcClient>();
        } catch (const std::exception&) {
        }
        return client_ != nullptr;
      },
      std::chrono::seconds(10));
  if (!up) throw std::runtime_error("the private bus did not come up; see " + log_);
}

BenchUnit::~BenchUnit() {
  client_.reset();
  stop(hostPid_);
  stop(busPid_, std::chrono::seconds(5));
  std::error_code ignored;
  if (!base_.empty()) fs::remove_all(base_, ignored);
}

void BenchUnit::startHost(const std::map<std::string, std::string>& extra) {
  std::map<std::string, std::string> environment = extra;
  environment["ZEM_SYSROOT"] = sysroot_;
  // The benchmark unit has no signing slot and sends unsigned containers: development mode.
  hostPid_ = spawn({ZEM_HOST_BIN, "--development", "--library-dir", ZEM_EXAMPLE_LIB_DIR}, environment, log_);
  const bool ready = waitUntil(
      [&] {
        try {
          return ping() == 2;
        } catch (const std::exception&) {
          return false;  // not on the bus yet
        }
      },
      std::chrono::seconds(30));
  if (!ready) throw std::runtime_error("zem-host did not answer Ping 2; see " + log_);
}

void BenchUnit::stopHost() {
  stop(hostPid_);
  hostPid_ = -1;
}

int64_t BenchUnit::ping() {
  return client_->call("ZEM_APP", "Zem", "Ping", Ipc::IpcParameterSet())
      .get<Ipc::IpcIntegerParameter>("status")
      .getValue();
}

namespace {

constexpr const char* kEchoOption = "--echo-service";

// sdbus-c++ 1.2 moves byte arrays one byte at a time and keeps the sd-bus message in a protected
// member; the echo reaches the handle so that byte fields move as one block.
struct RawMessage : sdbus::Message {
  static sd_bus_message* of(sdbus::Message& message) {
    return static_cast<sd_bus_message*>(message.*(&RawMessage::msg_));
  }
};

void checked(int result) {
  if (result < 0) throw sdbus::Error("org.freedesktop.DBus.Error.InvalidArgs", "the echo cannot read or write");
}

// Reads the a{sv} of `call` as a plain service does (every entry, byte fields as blocks) and answers
// {"response": ay `response`}. Throws sdbus::Error, which sdbus-c++ answers, for other arguments.
void echo(sdbus::MethodCall& call, const std::string& response) {
  sd_bus_message* in = RawMessage::of(call);
  checked(sd_bus_message_enter_container(in, SD_BUS_TYPE_ARRAY, "{sv}"));
  for (;;) {
    const int more = sd_bus_message_enter_container(in, SD_BUS_TYPE_DICT_ENTRY, "sv");
    checked(more);
    if (more == 0) break;
    const char* name = nullptr;
    const void* bytes = nullptr;
    size_t size = 0;
    checked(sd_bus_message_read_basic(in, SD_BUS_TYPE_STRING, &name));
    checked(sd_bus_message_enter_container(in, SD_BUS_TYPE_VARIANT, "ay"));
    checked(sd_bus_message_read_array(in, SD_BUS_TYPE_BYTE, &bytes, &size));
    checked(sd_bus_message_exit_container(in));
    checked(sd_bus_message_exit_container(in));
  }
  checked(sd_bus_message_exit_container(in));
  sdbus::MethodReply reply = call.createReply();
  sd_bus_message* out = RawMessage::of(reply);
  checked(sd_bus_message_open_container(out, SD_BUS_TYPE_ARRAY, "{sv}"));
  checked(sd_bus_message_open_container(out, SD_BUS_TYPE_DICT_ENTRY, "sv"));
  checked(sd_bus_message_append_basic(out, SD_BUS_TYPE_STRING, "response"));
  checked(sd_bus_message_open_container(out, SD_BUS_TYPE_VARIANT, "ay"));
  checked(sd_bus_message_append_array(out, SD_BUS_TYPE_BYTE, response.data(), response.size()));
  for (int i = 0; i < 3; ++i) checked(sd_bus_message_close_container(out));
  reply.send();
}

}  // namespace

EchoService::EchoService(BenchUnit& unit, const std::string& response) {
  const std::string file = unit.base() + "/echo-response";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out << response;
    if (!out.flush()) throw std::runtime_error("cannot write " + file);
  }
  pid_ = spawn({fs::read_symlink("/proc/self/exe").string(), kEchoOption, file}, {}, unit.log());
  const bool up = waitUntil(
      [&] {
        try {
          unit.client().peerPing(kComponent);
          return true;
        } catch (const std::exception&) {
          return false;  // not on the bus yet
        }
      },
      std::chrono::seconds(10));
  if (!up) {
    stop(pid_);
    throw std::runtime_error("the echo service did not come up; see " + unit.log());
  }
}

EchoService::~EchoService() { stop(pid_); }

bool EchoService::isServiceCommand(int argc, char** argv) { return argc == 3 && std::string(argv[1]) == kEchoOption; }

int EchoService::serve(const std::string& responseFile) {
  return runReported("echo service", [&] {
    std::ifstream in(responseFile, std::ios::binary);
    const std::string response((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in) throw std::runtime_error("cannot read " + responseFile);
    const auto connection = sdbus::createSessionBusConnection(std::string("com.olvane.") + kComponent);
    const auto object = sdbus::createObject(*connection, std::string("/com/olvane/") + kComponent);
    object->registerMethod("com.olvane.Echo", "Echo", "a{sv}", "a{sv}",
                           [&response](sdbus::MethodCall call) { echo(call, response); });
    object->finishRegistration();
    connection->enterEventLoop();
    return 0;
  });
}

}  // namespace bench
