// Decoding cost of the vehicle-bus framework: 1,000 configured sources (boolean, numeric and
// byte-field signals over 180 identifiers, plus J1939 byte fields of 20 groups, BAM transfers
// included) fed one second of recorded-like traffic at 8,000 frames/s, against a loop that only
// copies the same frames, measured in the same run. Reports frames/s, CPU ns per frame, the share
// of one core the decoder needs at 8,000 frames/s, and the decoder / copy ratio.
#include <benchmark/benchmark.h>
#include <time.h>

#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "BenchSupport.h"
#include "kest/vehiclebus/BusDispatcher.h"
#include "kest/vehiclebus/ByteFieldFactory.h"
#include "kest/vehiclebus/SignalFactory.h"
#include "kest/vehiclebus/ValueFactory.h"

namespace {

namespace Types = Sarnet_Configuration::Types;
using VehicleBus::CanFrame;

constexpr const char* kInterface = "bench0";
constexpr int kIdentifiers = 180;  // x 5 sources
constexpr int kGroups = 20;        // x 5 J1939 byte fields
constexpr std::uint32_t kFirstGroup = 0xFEC0;
constexpr int kFramesPerSecond = 8000;

double threadCpuNs() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// Counts every event, as a consumer of the signals would at least do.
struct Counter : VehicleBus::SignalEventListener, VehicleBus::ValueEventListener, VehicleBus::ByteFieldEventListener {
  std::uint64_t events = 0;
  void signalEvent(const VehicleBus::Signal&, std::int64_t, bool) override { ++events; }
  void valueEvent(const VehicleBus::Value&, std::int64_t, double) override { ++events; }
  void byteFieldEvent(const VehicleBus::ByteField&, std::int64_t, const std::vector<std::uint8_t>&) override {
    ++events;
  }
};

// The 1,000 sources on a dispatcher of their own, listened to by one counter; unregistered on
// destruction.
struct Configuration {
  const std::shared_ptr<VehicleBus::BusDispatcher> dispatcher = std::make_shared<VehicleBus::BusDispatcher>();
  Counter counter;
  std::vector<std::shared_ptr<VehicleBus::Signal>> signals;
  std::vector<std::shared_ptr<VehicleBus::Value>> values;
  std::vector<std::shared_ptr<VehicleBus::ByteField>> fields;

  Configuration() {
    for (int i = 0; i < kIdentifiers; ++i) {
      const auto id = static_cast<std::uint32_t>(0x100 + i);
      Types::ArrayValueSignal speed;
      speed.set_busInterface(kInterface);
      speed.set_canId(id);
      speed.set_startBit(8);
      speed.set_length(16);
      speed.set_factor(0.01);
      Types::ArrayValueSignal temperature = speed;
      temperature.set_startBit(39);
      temperature.set_length(12);
      temperature.set_bigEndian(true);
      temperature.set_signed(true);
      temperature.set_offset(-40);
      Types::ValueRangeBooleanSignal high;
      high.set_busInterface(kInterface);
      high.set_canId(id);
      high.set_startBit(0);
      high.set_length(8);
      high.set_minimum(200);
      Types::BytefieldMatchBooleanSignal flag;
      flag.set_busInterface(kInterface);
      flag.set_canId(id);
      flag.set_startByte(6);
      flag.set_match("0x01");
      flag.set_mask("0x03");
      Types::RawCanByteFieldSignal raw;
      raw.set_busInterface(kInterface);
      raw.set_canId(id);
      raw.set_startByte(4);
      raw.set_length(4);
      values.push_back(VehicleBus::ValueFactory::create(speed, dispatcher));
      values.push_back(VehicleBus::ValueFactory::create(temperature, dispatcher));
      signals.push_back(VehicleBus::SignalFactory::create(high, dispatcher));
      signals.push_back(VehicleBus::SignalFactory::create(flag, dispatcher));
      fields.push_back(VehicleBus::ByteFieldFactory::create(raw, dispatcher));
    }
    for (int g = 0; g < kGroups; ++g) {
      for (int k = 0; k < 5; ++k) {
        Types::J1939ByteFieldSignal group;
        group.set_busInterface(kInterface);
        group.set_pgn(kFirstGroup + static_cast<std::uint32_t>(g));
        group.set_startByte(k * 2);
        group.set_length(2);
        if (k == 4) {
          group.set_sourceAddress(0x00);
        }
        fields.push_back(VehicleBus::ByteFieldFactory::create(group, dispatcher));
      }
    }
    for (const auto& s : signals) s->addListener(&counter);
    for (const auto& v : values) v->addListener(&counter);
    for (const auto& f : fields) f->addListener(&counter);
  }
};

// One second of traffic: mostly configured standard frames, a tenth unconfigured ones, a tenth
// J1939 single frames, and a 3-packet BAM transfer of a configured group every 500 frames.
std::vector<CanFrame> recordedSecond() {
  std::mt19937 random(42);  // NOLINT(cert-msc51-cpp): a fixed stream on purpose, the same every run
  std::vector<CanFrame> frames;
  std::int64_t ts = 1'700'000'000'000'000;
  const auto push = [&](std::uint32_t id, bool extended) {
    CanFrame f;
    f.id = id;
    f.extended = extended;
    f.length = 8;
    for (std::size_t i = 0; i < f.length; ++i) f.data[i] = static_cast<std::uint8_t>(random());
    f.timestampUs = ts += 1'000'000 / kFramesPerSecond;
    frames.push_back(f);
    return &frames.back();
  };
  while (frames.size() < kFramesPerSecond) {
    if (frames.size() % 500 == 0) {
      const std::uint32_t pgn = kFirstGroup + static_cast<std::uint32_t>(random() % kGroups);
      CanFrame* cm = push(0x1CECFF00, true);
      cm->data = {32, 20, 0, 3, 0xFF, static_cast<std::uint8_t>(pgn), static_cast<std::uint8_t>(pgn >> 8), 0};
      for (std::uint8_t seq = 1; seq <= 3; ++seq) push(0x1CEBFF00, true)->data[0] = seq;
      continue;
    }
    const auto pick = random() % 10;
    if (pick == 0) {
      push(0x600 + static_cast<std::uint32_t>(random() % 64), false);
    } else if (pick == 1) {
      push(0x18000000U | ((kFirstGroup + static_cast<std::uint32_t>(random() % kGroups)) << 8) | (random() % 4), true);
    } else {
      push(0x100 + static_cast<std::uint32_t>(random() % kIdentifiers), false);
    }
  }
  return frames;
}

void BM_DecodeRecordedTraffic(benchmark::State& state) {
  const Configuration configuration;
  const std::vector<CanFrame> frames = recordedSecond();
  VehicleBus::BusDispatcher& dispatcher = *configuration.dispatcher;

  // Baseline: copying the frames one by one, with the same per-frame call shape.
  std::vector<CanFrame> copies(frames.size());
  constexpr int kBaselineRuns = 200;
  const double baselineStart = threadCpuNs();
  for (int run = 0; run < kBaselineRuns; ++run) {
    for (std::size_t i = 0; i < frames.size(); ++i) {
      copies[i] = frames[i];
      benchmark::ClobberMemory();
    }
  }
  const double baselineNsPerFrame =
      (threadCpuNs() - baselineStart) / (kBaselineRuns * static_cast<double>(frames.size()));

  double decodeNs = 0;
  for (auto _ : state) {
    const double start = threadCpuNs();
    for (const CanFrame& frame : frames) {
      dispatcher.dispatch(kInterface, frame);
    }
    decodeNs += threadCpuNs() - start;
  }
  const double decoded = static_cast<double>(state.iterations()) * static_cast<double>(frames.size());
  const double nsPerFrame = decodeNs / decoded;
  state.counters["frames_per_s"] = 1e9 / nsPerFrame;
  state.counters["cpu_ns_per_frame"] = nsPerFrame;
  state.counters["core_pct_at_8000fps"] = nsPerFrame * kFramesPerSecond / 1e9 * 100;
  state.counters["copy_ns_per_frame"] = baselineNsPerFrame;
  state.counters["vs_copy"] = nsPerFrame / baselineNsPerFrame;
  state.counters["events_per_frame"] = static_cast<double>(configuration.counter.events) / decoded;
  if (dispatcher.registeredSources() < 1000) {
    state.SkipWithError("not every source was built");
  }
}
BENCHMARK(BM_DecodeRecordedTraffic)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) { return bench::runInEmptySysroot(argc, argv, "zem-vehiclebusbench-sysroot-"); }
