// zemctl can decode: a candump log (either form, file or standard input) decoded with a DBC file,
// without a bus.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>
#include <string>
#include <vector>

#include "DecodedFramePrinter.h"
#include "Zemctl.h"
#include "ZemctlCommand.h"
#include "kest/File.h"
#include "kest/TempFile.h"

namespace {

constexpr const char* kDbc =
    "VERSION \"\"\n"
    "\n"
    "BU_: ECU\n"
    "\n"
    "BO_ 960 Body: 8 ECU\n"
    " SG_ DoorOpen : 0|1@1+ (1,0) [0|1] \"\" Vector__XXX\n"
    " SG_ Temp : 15|12@0- (5E-1,-4E+1) [-1064|983.5] \"degC\" Vector__XXX\n"
    " SG_ Selector M : 56|8@1+ (1,0) [0|255] \"\" Vector__XXX\n"
    " SG_ Mode m1 : 48|8@1+ (1,0) [0|255] \"\" Vector__XXX\n"
    "\n"
    "BO_ 2566844672 EEC1: 8 ECU\n"
    " SG_ EngineSpeed : 24|16@1+ (0.125,0) [0|8031.875] \"rpm\" Vector__XXX\n"
    "\n"
    "BO_ 976 Cells: 64 ECU\n"
    " SG_ Pack : 496|16@1+ (0.01,0) [0|655.35] \"V\" Vector__XXX\n";

// Both forms, a blank line (counted), an unknown identifier, a bad line and a remote frame.
constexpr const char* kLog =
    "(1436509052.249713) sim0 3C0#010C80\n"
    "(1436509052.250000) sim0 18FEF100#0000008425\n"
    "  sim0  3C0   [3]  00 0C 80\n"
    "\n"
    "(1436509052.260000)  sim0  18FEF100   [5]  00 00 00 84 25   '....%'\n"
    "123#DEAD\n"
    "  sim0  3C0   [4]  00 0C\n"
    "  sim0  3C0   [0]  remote request\n"
    "3C0#01";

constexpr const char* kDecoded =
    "(1436509052.249713) sim0 3C0 Body\n"
    "  Body.DoorOpen = 1\n"
    "  Body.Temp = 60 degC\n"
    "(1436509052.250000) sim0 18FEF100 EEC1\n"
    "  EEC1.EngineSpeed = 1200.5 rpm\n"
    "sim0 3C0 Body\n"
    "  Body.DoorOpen = 0\n"
    "  Body.Temp = 60 degC\n"
    "(1436509052.260000) sim0 18FEF100 EEC1\n"
    "  EEC1.EngineSpeed = 1200.5 rpm\n"
    "3C0 Body\n"
    "  Body.DoorOpen = 1\n";

struct Outcome {
  int rc;
  std::string out;
  std::string err;
};

// Runs zemctl with `line` split at spaces ("@" standing for the folder), standard input reading
// `input`.
Outcome zemctl(const File& folder, const std::string& line, const std::string& input) {
  std::vector<std::string> args;
  std::istringstream words(line);
  for (std::string word; words >> word;) {
    if (const auto at = word.find('@'); at != std::string::npos) word.replace(at, 1, folder.getPath());
    args.push_back(word);
  }
  ZemctlCommand command;
  std::string error;
  if (!ZemctlCommand::parse(args, &command, &error)) return {Zemctl::kExitUsage, "", error};
  const File stdinFile(folder, "stdin");
  EXPECT_TRUE(stdinFile.writeAtomically(input));
  const int savedStdin = ::dup(0);
  const int in = ::open(stdinFile.getPath().c_str(), O_RDONLY | O_CLOEXEC);
  ::dup2(in, 0);
  ::close(in);
  std::ostringstream out, err;
  const int rc = Zemctl(out, err).run(command);
  ::dup2(savedStdin, 0);
  ::close(savedStdin);
  return {rc, out.str(), err.str()};
}

TEST(CanDecodeTest, PrintsTheDecodedSignalsOfEveryFrameAndReportsBadLinesByNumber) {
  const TempFile folder("zem-decode-");
  const File& dir = folder.getFile();
  ASSERT_TRUE(File(dir, "v.dbc").writeAtomically(kDbc) && File(dir, "can.log").writeAtomically(kLog));
  ASSERT_TRUE(File(dir, "bad.dbc").writeAtomically("VERSION \"\"\nBO_ 960 Body 8\n"));
  const std::string leftOut = "@/v.dbc:9: Body.Mode is not decoded: multiplexed signal\n";
  // A 64-byte CAN FD frame whose last two bytes hold Cells.Pack, in screen form and as log data.
  std::string fdScreen = "  sim0  3D0  [64] ";
  for (int i = 0; i < 62; ++i) fdScreen += " 00";
  fdScreen += " C0 8A";
  const std::string fdHex = std::string(124, '0') + "C08A";
  const std::string badLines =
      "@/can.log:7: fewer data bytes than the length says\n";  // and nothing of line 6, an unknown identifier
  const struct {
    const char* args;
    std::string input;  // standard input
    int rc;
    std::string out;
    std::string err;  // "@" stands for the folder
  } cases[] = {
      {"can decode --dbc @/v.dbc @/can.log", "", 0, kDecoded, leftOut + badLines},
      {"can decode --dbc=@/v.dbc", kLog, 0, kDecoded, leftOut + "stdin:7: fewer data bytes than the length says\n"},
      {"can decode --dbc @/v.dbc -", "x#1\n\n  sim0  3C0   [1]  01 '.'\n" + fdScreen + "\n3D0##1" + fdHex, 0,
       "sim0 3C0 Body\n  Body.DoorOpen = 1\nsim0 3D0 Cells\n  Cells.Pack = 355.2 V\n3D0 Cells\n  Cells.Pack = 355.2 "
       "V\n",
       leftOut + "stdin:1: identifier needs 3 or 8 hexadecimal digits\n"},
      {"can decode --signal Temp --dbc @/v.dbc --signal EEC1.EngineSpeed @/can.log", "", 0,
       "(1436509052.249713) sim0 3C0 Body\n  Body.Temp = 60 degC\n"
       "(1436509052.250000) sim0 18FEF100 EEC1\n  EEC1.EngineSpeed = 1200.5 rpm\n"
       "sim0 3C0 Body\n  Body.Temp = 60 degC\n"
       "(1436509052.260000) sim0 18FEF100 EEC1\n  EEC1.EngineSpeed = 1200.5 rpm\n",
       badLines},
      {"can decode --dbc @/v.dbc --signal Body.EngineSpeed @/can.log", "", 1, "",
       "zemctl: --signal Body.EngineSpeed names no signal of @/v.dbc\n"},
      {"can decode --dbc @/bad.dbc @/can.log", "", 1, "", "@/bad.dbc:2: "},
      {"can decode --dbc @/v.dbc @/missing.log", "", 1, "", leftOut + "zemctl: cannot read @/missing.log: "},
      {"can decode --dbc @/missing.dbc", "", 1, "", "@/missing.dbc: "},
      {"can decode @/can.log", "", 1, "", "can decode needs --dbc FILE"},
      {"can decode --dbc @/v.dbc @/can.log -", "", 1, "", "can decode: unexpected argument '-'"},
      {"can decode --dbc @/v.dbc --signal", "", 1, "", "--signal needs"},
  };
  const auto here = [&](std::string text) {
    for (std::size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, dir.getPath());
    return text;
  };
  for (const auto& c : cases) {
    const Outcome o = zemctl(dir, c.args, c.input);
    EXPECT_EQ(o.rc, c.rc) << c.args;
    EXPECT_EQ(o.out, c.out) << c.args;
    // A reason worded by another part (the DBC parser, the system) is checked up to its start.
    const std::string err = here(c.err);
    EXPECT_EQ(o.err.substr(0, c.err.back() == '\n' ? std::string::npos : err.size()), err) << c.args;
  }
}

TEST(CanDecodeTest, ValuesReadAsTheDaemonWritesNumericPropertyValues) {
  for (const double value : {1200.5, -40.0, 0.0, 1.0, 0.1, 1e6, 123456.0, 1234567.0, -2.5e-7, 46.6}) {
    std::ostringstream daemon;
    daemon << value;
    std::string ours;
    DecodedFramePrinter::appendNumber(value, &ours);
    EXPECT_EQ(ours, daemon.str());
  }
}

}  // namespace
