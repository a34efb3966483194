// Throughput of `zemctl can decode`: a 100,000-frame candump log of the demo vehicle
// (examples/demo-vehicle.dbc: body, motion, battery and diagnostic messages, the 64-byte CAN FD
// message, a tenth of the frames of an unknown identifier), generated in the run, decoded with
// the demo's DBC file, output to /dev/null.
// BM_DecodeProcess runs the whole process, alternating with `cat LOG > /dev/null` as the baseline
// of reading the same bytes, and reports frames/s by CPU time and by wall time and the CPU ratio
// to cat (target: 200,000 frames/s or more). BM_DecodeStages times the three stages in process
// (reading and parsing the lines, decoding, printing) against reading and splitting the lines
// alone, and reports each stage's share.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "CandumpLineReader.h"
#include "DecodedFramePrinter.h"
#include "kest/TempFile.h"
#include "kest/vehiclebus/DbcParser.h"
#include "kest/vehiclebus/FrameDecoder.h"

namespace {

constexpr int kFrames = 100'000;

// The demo vehicle's identifiers, their data length and the share of frames they get.
struct Source {
  const char* id;
  int bytes;
  int weight;
};
constexpr Source kSources[] = {{"3C0#", 1, 20}, {"3C1#", 8, 35},    {"18FEF1FE#", 8, 15},
                               {"3D1#", 8, 10}, {"3D0##1", 64, 10}, {"7FF#", 8, 10}};

double processCpuNs() {
  timespec now{};
  ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

struct Files {
  TempFile folder{"zem-decodebench-"};
  std::string dbc = ZEM_SOURCE_DIR "/examples/demo-vehicle.dbc";
  std::string log = folder.getFile().getPath() + "/drive.log";

  Files() {
    std::mt19937 random(7);  // NOLINT(cert-msc51-cpp): the same log every run
    int total = 0;
    for (const Source& s : kSources) total += s.weight;
    std::string text;
    char stamp[32];
    for (int i = 0; i < kFrames; ++i) {
      int pick = static_cast<int>(random() % static_cast<unsigned>(total));
      const Source* source = kSources;
      while (pick >= source->weight) pick -= (source++)->weight;
      const unsigned long long us = 1'700'000'000'000'000ULL + static_cast<unsigned long long>(i) * 500;
      std::snprintf(stamp, sizeof stamp, "(%llu.%06llu) ", us / 1'000'000, us % 1'000'000);
      text.append(stamp).append("sim0 ").append(source->id);
      for (int b = 0; b < source->bytes; ++b) {
        const unsigned byte = random() & 0xFF;
        text += "0123456789ABCDEF"[byte >> 4];
        text += "0123456789ABCDEF"[byte & 0xF];
      }
      text += '\n';
    }
    std::ofstream(log) << text;
  }
};

const Files& files() {
  static const Files instance;
  return instance;
}

// Runs `argv` with its output to /dev/null and waits for it. Returns its CPU seconds (user and
// system) and sets `*wallSeconds`; throws when it fails.
double runProcess(const std::vector<std::string>& argv, double* wallSeconds) {
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = bench::spawn(argv, {}, "/dev/null");
  int status = 0;
  rusage usage{};
  if (::wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error(argv[0] + " failed");
  }
  *wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void BM_DecodeProcess(benchmark::State& state) {
  const Files& f = files();
  double catCpu = 0, catWall = 0, decodeCpu = 0, decodeWall = 0;
  for (auto _ : state) {
    double wall = 0;
    catCpu += runProcess({"cat", f.log}, &wall);
    catWall += wall;
    decodeCpu += runProcess({ZEMCTL_BIN, "can", "decode", "--dbc", f.dbc, f.log}, &wall);
    decodeWall += wall;
  }
  const double frames = static_cast<double>(kFrames) * static_cast<double>(state.iterations());
  state.counters["frames_per_s_cpu"] = frames / decodeCpu;
  state.counters["frames_per_s_wall"] = frames / decodeWall;
  state.counters["cat_frames_per_s_cpu"] = frames / catCpu;
  state.counters["vs_cat_cpu"] = decodeCpu / catCpu;
  state.counters["vs_cat_wall"] = decodeWall / catWall;
}
BENCHMARK(BM_DecodeProcess)->Unit(benchmark::kMillisecond)->Iterations(6);

// Baseline of the stages: the same reads, the lines split and counted.
std::size_t splitLines(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::vector<char> buffer(256 * 1024);
  std::size_t lines = 0;
  for (ssize_t got; (got = ::read(fd, buffer.data(), buffer.size())) > 0;) {
    const char* const end = buffer.data() + got;
    for (const char* p = buffer.data(); (p = static_cast<const char*>(std::memchr(p, '\n', end - p))) != nullptr; ++p)
      ++lines;
  }
  ::close(fd);
  return lines;
}

// The frames of every line of `path`, into `*frames` (kept capacity).
void readFrames(const std::string& path, std::vector<VehicleBus::ParsedFrame>* frames) {
  frames->clear();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  CandumpLineReader reader(fd, nullptr);
  std::string error;
  for (VehicleBus::ParsedFrame frame; reader.next(&frame, &error) == CandumpLineReader::Result::kFrame;)
    frames->push_back(frame);
  ::close(fd);
}

void BM_DecodeStages(benchmark::State& state) {
  const Files& f = files();
  VehicleBus::DbcFile dbc;
  std::string error;
  if (!VehicleBus::DbcParser::parseFile(f.dbc, &dbc, &error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  const VehicleBus::FrameDecoder decoder(std::move(dbc));
  const DecodedFramePrinter printer(decoder);
  // Kept across iterations, as the command keeps its one frame and value list: no stage pays for
  // allocations the command does not make.
  std::vector<VehicleBus::ParsedFrame> frames;
  frames.reserve(kFrames);
  std::vector<std::vector<VehicleBus::FrameDecoder::Decoded>> values(kFrames);
  for (auto& v : values) v.reserve(8);
  std::string text;
  text.reserve(128 * 1024);
  double splitNs = 0, parseNs = 0, decodeNs = 0, printNs = 0;
  for (auto _ : state) {
    double t = processCpuNs();
    benchmark::DoNotOptimize(splitLines(f.log));
    splitNs += processCpuNs() - t;

    t = processCpuNs();
    readFrames(f.log, &frames);
    parseNs += processCpuNs() - t;

    t = processCpuNs();
    for (std::size_t i = 0; i < frames.size(); ++i) decoder.decode(frames[i].frame, &values[i]);
    decodeNs += processCpuNs() - t;

    t = processCpuNs();
    for (std::size_t i = 0; i < frames.size(); ++i) {
      printer.append(frames[i], values[i], &text);
      if (text.size() >= 64 * 1024) text.clear();
    }
    printNs += processCpuNs() - t;
    if (frames.size() != kFrames) state.SkipWithError("not every line was read");
  }
  const double stages = parseNs + decodeNs + printNs;
  const double frameCount = static_cast<double>(kFrames) * static_cast<double>(state.iterations());
  state.counters["read_parse_pct"] = 100 * parseNs / stages;
  state.counters["decode_pct"] = 100 * decodeNs / stages;
  state.counters["print_pct"] = 100 * printNs / stages;
  state.counters["frames_per_s"] = 1e9 * frameCount / stages;
  state.counters["vs_split"] = stages / splitNs;
}
BENCHMARK(BM_DecodeStages)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) { return bench::runInEmptySysroot(argc, argv, "zem-decodebench-sysroot-"); }
