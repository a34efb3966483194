// The cost of a library-call property's call through libffi (fresh argument copies, a zeroed
// 4096-byte buffer, call preparation, the result read back) against a direct call of the same
// exported function through its dlsym pointer with a prepared buffer, measured in the same run.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "kest/ApplicationLogger.h"
#include "kest/TrustBoundaries.h"
#include "libraries/SharedLibraries.h"

namespace {

namespace Types = Sarnet_Configuration::Types;
using Clock = std::chrono::steady_clock;

const std::string kLibrary = std::string(ZEM_EXAMPLE_LIB_DIR) + "/libzem-example-functions.so";

double gViaLibraryNs = 0;
double gDirectNs = 0;

double nanosecondsPerIteration(Clock::time_point begin, const benchmark::State& state) {
  const double total = std::chrono::duration<double, std::nano>(Clock::now() - begin).count();
  return state.iterations() > 0 ? total / static_cast<double>(state.iterations()) : 0;
}

void BM_CallFunction(benchmark::State& state) {
  std::vector<std::unique_ptr<Types::KeyValue>> arguments;
  arguments.push_back(std::make_unique<Types::KeyValue>());
  arguments.back()->set_key("text");
  arguments.back()->set_value("hello, vehicle");
  if (SharedLibraries::callFunction(kLibrary, "echo", arguments) != "hello, vehicle") {
    state.SkipWithError("echo through the library failed");
    return;
  }
  const auto begin = Clock::now();
  for (auto _ : state) benchmark::DoNotOptimize(SharedLibraries::callFunction(kLibrary, "echo", arguments));
  gViaLibraryNs = nanosecondsPerIteration(begin, state);
  state.counters["ns_per_call"] = gViaLibraryNs;
}

void BM_DirectCall(benchmark::State& state) {
  struct Closer {
    void operator()(void* handle) const { dlclose(handle); }
  };
  const std::unique_ptr<void, Closer> handle(dlopen(kLibrary.c_str(), RTLD_LAZY));
  using Echo = int (*)(const char*, char*);
  const auto echo = handle ? reinterpret_cast<Echo>(dlsym(handle.get(), "echo")) : nullptr;
  if (echo == nullptr) {
    state.SkipWithError("echo not found");
    return;
  }
  std::vector<char> buffer(SharedLibraries::kOutputBufferBytes, '\0');
  const auto begin = Clock::now();
  for (auto _ : state) {
    benchmark::DoNotOptimize(echo("hello, vehicle", buffer.data()));
    benchmark::ClobberMemory();
  }
  gDirectNs = nanosecondsPerIteration(begin, state);
  state.counters["ns_per_call"] = gDirectNs;
}

BENCHMARK(BM_CallFunction)->MinTime(0.5);
BENCHMARK(BM_DirectCall)->MinTime(0.5);

}  // namespace

int main(int argc, char** argv) {
  // Logging below ERROR would dominate the figure (one DEBUG line per call).
  ApplicationLogger::setLogLevel(Types::LogLevelType::ERROR);
  // The example library is loaded from its build folder, trusted as zem-host --library-dir would.
  const ScopedTrustBoundaries exampleLibraries({{ZEM_EXAMPLE_LIB_DIR}, {}, false});
  bench::BenchmarkMain steps;
  steps.report = [] {
    if (gDirectNs > 0 && gViaLibraryNs > 0) {
      const double overhead = gViaLibraryNs - gDirectNs;
      std::printf("callFunction %.0f ns, direct call %.0f ns: overhead %.0f ns per call, ratio %.1f\n", gViaLibraryNs,
                  gDirectNs, overhead, gViaLibraryNs / gDirectNs);
      std::printf("Target overhead < 5000 ns: %s\n", overhead < 5000 ? "met" : "NOT met");
    }
    SharedLibraries::clear();
  };
  return bench::runBenchmarks(argc, argv, steps);
}
