// Live sources through zem-host, measured against org.freedesktop.DBus.Peer.Ping to the same
// connection in the same run, on a seeded temporary device and a private bus, with the example job's
// provisioning configuration:
//   (a) an injected CAN frame that flips a boolean signal: from the start of its "InjectFrames" call
//       to the "ZemVehicleProperty" signal at a listener, p50 and p95 (target p95 2.5x);
//   (b) a property of the example vehicle library: from the write of the library's state file to
//       the "ZemVehicleProperty" signal at a listener, p50 and p95 (target p95 2.5x). The span holds
//       the library noticing the file (inotify) and reading it, so it bounds the callback-to-signal
//       time from above.
// Every figure is printed with PASS or FAIL against its target; the exit status does not depend on
// them. Every wait has a deadline; the run takes a few seconds.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "kest/ipc/DBusIpcClient.h"

namespace {

using bench::microseconds;
using bench::percentile;

using Clock = std::chrono::steady_clock;
constexpr const char* kComponent = "ZEM_APP";
constexpr int kRounds = 300;

void report(const std::string& what, double ratio, double target) {
  std::cout << "  " << what << ": " << std::fixed << std::setprecision(2) << ratio << "x (target <= " << target << "x) "
            << (ratio <= target ? "PASS" : "FAIL") << "\n";
}

void writeText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) throw std::runtime_error("cannot write " + path);
}

std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Counts the "ZemVehicleProperty" signals whose serialised result names `property`, with the arrival
// time of the last one.
class SignalCounter {
 public:
  SignalCounter(Ipc::DBusIpcClient& client, std::string property)
      : property_(std::move(property)),
        subscription_(client.subscribe(kComponent, [this](const std::string& name, const Ipc::IpcParameterSet& p) {
          const Ipc::IpcParameter* text = p.find("property");
          if (name != "ZemVehicleProperty" || text == nullptr || text->getType() != Ipc::IpcParameterType::ByteField)
            return;
          const std::string xml = static_cast<const Ipc::IpcByteFieldParameter*>(text)->getValueAsString();
          if (xml.find(">" + property_ + "<") == std::string::npos) return;
          const std::lock_guard<std::mutex> lock(mutex_);
          when_ = Clock::now();
          ++seen_;
          arrived_.notify_all();
        })) {}

  // The arrival time of signal number `count` (from 1), or nothing after 2 s.
  bool waitFor(unsigned long count, Clock::time_point* when) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!arrived_.wait_for(lock, std::chrono::seconds(2), [&] { return seen_ >= count; })) return false;
    *when = when_;
    return true;
  }

 private:
  const std::string property_;
  std::mutex mutex_;
  std::condition_variable arrived_;
  unsigned long seen_ = 0;  // guarded by mutex_
  Clock::time_point when_;  // guarded by mutex_
  std::unique_ptr<Ipc::DBusIpcClient::Subscription> subscription_;
};

// Runs `trigger(i)` kRounds times, each followed by the wait for signal i + 1, interleaved with a
// Peer.Ping; prints the spans and their ratios to Ping.
void measure(bench::BenchUnit& unit, const std::string& title, const std::string& property,
             const std::function<void(int)>& trigger) {
  SignalCounter counter(unit.client(), property);
  std::vector<double> toSignal, ping;
  const auto budget = Clock::now() + std::chrono::seconds(20);
  for (int i = 0; i < kRounds && Clock::now() < budget; ++i) {
    const auto pingStart = Clock::now();
    unit.client().peerPing(kComponent);
    ping.push_back(microseconds(Clock::now() - pingStart));
    const auto start = Clock::now();
    trigger(i);
    Clock::time_point when;
    if (!counter.waitFor(static_cast<unsigned long>(i) + 1, &when)) {
      std::cout << title << ": no ZemVehicleProperty for round " << i + 1 << " within 2 s\n";
      return;
    }
    toSignal.push_back(microseconds(when - start));
  }
  const double p50 = percentile(toSignal, 0.5), p95 = percentile(toSignal, 0.95);
  const double ping50 = percentile(ping, 0.5), ping95 = percentile(ping, 0.95);
  std::cout << std::fixed << std::setprecision(1) << title << ", " << toSignal.size() << " rounds:\n"
            << "  to ZemVehicleProperty at the listener: p50 " << p50 << " us, p95 " << p95 << " us\n"
            << "  Peer.Ping: p50 " << ping50 << " us, p95 " << ping95 << " us\n";
  report("p50 / Peer.Ping p50", p50 / ping50, 2.5);
  report("p95 / Peer.Ping p95", p95 / ping95, 2.5);
}

// The whole benchmark: sets up, measures and prints its figures. Returns the exit status; throws
// when the unit fails.
int runBench() {
  bench::BenchUnit unit("livesourcebench");
  const std::string state = unit.sysroot() + "/tmp/vehicle-state";
  const std::string examples = std::string(ZEM_SOURCE_DIR) + "/examples";
  const pid_t made = bench::spawn(
      {ZEMCTL_BIN, "config", "from-dbc", examples + "/demo-vehicle.dbc", "--prefix", "Vehicle", "--into",
       examples + "/jobs/provisioning-config.xml", "-o", unit.sysroot() + "/media/olvane/configs/zem_app/config.xml"},
      {}, unit.sysroot() + "/tmp-from-dbc.log");
  if (bench::waitFor(made, std::chrono::seconds(30)) != 0) {
    throw std::runtime_error("zemctl config from-dbc failed: " + readText(unit.sysroot() + "/tmp-from-dbc.log"));
  }
  std::filesystem::create_directories(unit.sysroot() + "/tmp");
  unit.startHost({{"LD_LIBRARY_PATH", ZEM_LIBRARY_DIR}});

  measure(unit, "(a) an injected frame flipping Vehicle.Body.DoorOpen", "Vehicle.Body.DoorOpen", [&](int i) {
    Ipc::IpcParameterSet in;
    in.add(std::make_unique<Ipc::IpcStringParameter>("frames", i % 2 == 0 ? "3C0#01" : "3C0#00"));
    unit.client().call(kComponent, "VehicleBus", "InjectFrames", in);
  });
  // The state file is replaced whole, so the library never reads it half written.
  measure(unit, "(b) the example vehicle library's ENGINE_RUNNING, from its state file", "ENGINE_RUNNING", [&](int i) {
    writeText(state + ".new", i % 2 == 0 ? "ENGINE_RUNNING=1\n" : "ENGINE_RUNNING=0\n");
    std::filesystem::rename(state + ".new", state);
  });
  return 0;
}

}  // namespace

int main() { return bench::runReported("LiveSourceBench", runBench); }
