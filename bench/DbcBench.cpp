// Reading cost of a DBC file: a generated 2,000-signal description (250 messages of 8 signals,
// with message and signal comments, value tables and attribute lines, as tools write them)
// parsed into its model, against a baseline that only splits the same text into lines and
// whitespace-separated tokens, measured alternately in the same run. Reports the parse time in
// CPU milliseconds (target: under 100 ms), the baseline's, and the parse / split ratio.
#include <benchmark/benchmark.h>
#include <time.h>

#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "BenchSupport.h"
#include "kest/vehiclebus/DbcParser.h"

namespace {

constexpr int kMessages = 250;
constexpr int kSignalsPerMessage = 8;

double threadCpuNs() {
  timespec now{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// The head of the file: the NS_ list as tools write it, BS_ and the nodes.
constexpr const char* kHead =
    "VERSION \"\"\n\n\nNS_ : \n\tNS_DESC_\n\tCM_\n\tBA_DEF_\n\tBA_\n\tVAL_\n\tCAT_DEF_\n\tCAT_\n\tFILTER\n"
    "\tBA_DEF_DEF_\n\tEV_DATA_\n\tENVVAR_DATA_\n\tSGTYPE_\n\tSGTYPE_VAL_\n\tBA_DEF_SGTYPE_\n\tBA_SGTYPE_\n"
    "\tSIG_TYPE_REF_\n\tVAL_TABLE_\n\tSIG_GROUP_\n\tSIG_VALTYPE_\n\tSIGTYPE_VALTYPE_\n\tBO_TX_BU_\n"
    "\tBA_DEF_REL_\n\tBA_REL_\n\tBA_DEF_DEF_REL_\n\tBU_SG_REL_\n\tBU_EV_REL_\n\tBU_BO_REL_\n\tSG_MUL_VAL_\n\n"
    "BS_:\n\nBU_: Engine Transmission Brakes Body Dash\n\n\n";

// The description: header, node list and attribute definitions, then every message with its
// signals, then comments, attribute values and value tables, in the order tools write them.
std::string generatedDbc() {
  std::ostringstream messages;
  std::ostringstream tail;
  tail << "BA_DEF_ BO_  \"GenMsgCycleTime\" INT 0 65535;\nBA_DEF_ SG_  \"GenSigStartValue\" FLOAT -3.4E+038 3.4E+038;\n"
          "BA_DEF_ BO_  \"GenMsgSendType\" ENUM  \"Cyclic\",\"Event\",\"IfActive\";\n"
          "BA_DEF_DEF_  \"GenMsgCycleTime\" 100;\nBA_DEF_DEF_  \"GenSigStartValue\" 0;\n"
          "BA_DEF_DEF_  \"GenMsgSendType\" \"Cyclic\";\n";
  for (int m = 0; m < kMessages; ++m) {
    const std::uint32_t id = m % 2 == 0 ? 0x100u + static_cast<std::uint32_t>(m)
                                        : 0x98FE0000u + static_cast<std::uint32_t>(m) * 0x100u + 0x21u;
    messages << "BO_ " << id << " Message_" << m << ": 8 Engine\n";
    tail << "CM_ BO_ " << id << " \"Status of unit " << m << ", sent every 100 ms\";\n";
    tail << "BA_ \"GenMsgCycleTime\" BO_ " << id << " 100;\n";
    for (int s = 0; s < kSignalsPerMessage; ++s) {
      const std::string signal = "Signal_" + std::to_string(m) + "_" + std::to_string(s);
      const bool big = s % 3 == 1;
      messages << " SG_ " << signal << " : " << (big ? s * 8 + 7 : s * 8) << "|8@" << (big ? "0" : "1")
               << (s % 2 == 0 ? "+" : "-") << " (0.125,-40) [-40|" << s * 100 << ".875] \"km/h\" Dash,Body\n";
      tail << "CM_ SG_ " << id << " " << signal << " \"Measured value " << s
           << " of the unit;\r\nsecond line with \\\"quotes\\\"\";\n";
      tail << "BA_ \"GenSigStartValue\" SG_ " << id << " " << signal << " 0;\n";
      tail << "VAL_ " << id << " " << signal << " 255 \"Not available\" 254 \"Error\" 0 \"Off\" ;\n";
    }
    messages << "\n";
  }
  return kHead + messages.str() + tail.str();
}

// The baseline: the same text split into lines and whitespace-separated tokens.
std::size_t split(std::string_view text, std::vector<std::string_view>* tokens) {
  tokens->clear();
  std::size_t lines = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : '\n';
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (i > start) tokens->push_back(text.substr(start, i - start));
      start = i + 1;
      lines += c == '\n' ? 1 : 0;
    }
  }
  return lines;
}

void BM_ParseGeneratedDbc(benchmark::State& state) {
  const std::string text = generatedDbc();
  std::vector<std::string_view> tokens;
  tokens.reserve(text.size() / 4);
  double parseNs = 0;
  double splitNs = 0;
  std::size_t signals = 0;
  for (auto _ : state) {
    // Alternately, so that a noisy neighbour weighs on both alike.
    const double splitStart = threadCpuNs();
    benchmark::DoNotOptimize(split(text, &tokens));
    benchmark::ClobberMemory();
    const double parseStart = threadCpuNs();
    splitNs += parseStart - splitStart;
    VehicleBus::DbcFile file;
    std::string error;
    if (!VehicleBus::DbcParser::parse(text, &file, &error)) {
      state.SkipWithError(("the generated file does not parse: " + error).c_str());
      return;
    }
    parseNs += threadCpuNs() - parseStart;
    signals = 0;
    for (const auto& message : file.messages) signals += message.signals.size();
  }
  const double runs = static_cast<double>(state.iterations());
  state.counters["parse_cpu_ms"] = parseNs / runs / 1e6;
  state.counters["split_cpu_ms"] = splitNs / runs / 1e6;
  state.counters["vs_split"] = parseNs / splitNs;
  state.counters["signals"] = static_cast<double>(signals);
  state.counters["MiB"] = static_cast<double>(text.size()) / (1024.0 * 1024.0);
  if (signals != kMessages * kSignalsPerMessage) state.SkipWithError("not every signal was read");
}
BENCHMARK(BM_ParseGeneratedDbc)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) { return bench::runInEmptySysroot(argc, argv, "zem-dbcbench-sysroot-"); }
