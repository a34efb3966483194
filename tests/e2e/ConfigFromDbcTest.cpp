// zemctl's DBC commands without a bus: "config from-dbc" (the configuration written, the signals
// left out, the options, the refusals that write nothing; every configuration written validates
// against the schema) and "can decode" (a candump log of either form, file or standard input).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "DecodedFramePrinter.h"
#include "Zemctl.h"
#include "ZemctlCommand.h"
#include "kest/File.h"
#include "kest/TempFile.h"
#include "kolconfig/SchemaValidator.h"
#include "kolconfig/XmlDoc.h"

namespace {

const xmldoc::SchemaValidator& schema() {
  static const xmldoc::SchemaValidator validator(KOLCONFIG_SCHEMA_FILE);
  return validator;
}

// A door message (a bit, a big-endian signed value) and an extended engine message whose
// multiplexed, IEEE float and oversized signals cannot be expressed.
constexpr const char* kDbc =
    "VERSION \"\"\n\nNS_ :\n\tCM_\n\nBS_:\n\nBU_: ECU\n\n"
    "BO_ 960 Door: 8 ECU\n"
    " SG_ Open : 0|1@1+ (1,0) [0|1] \"\" Vector__XXX\n"
    " SG_ Temp : 15|12@0- (0.1,-40) [-40|100] \"deg C\" Vector__XXX\n\n"
    "BO_ 2364540158 EEC1: 8 ECU\n"
    " SG_ Mux M : 0|2@1+ (1,0) [0|3] \"\" Vector__XXX\n"
    " SG_ Muxed m1 : 8|8@1+ (1,0) [0|255] \"\" Vector__XXX\n"
    " SG_ Speed : 24|16@1+ (0.125,0) [0|8031.875] \"rpm\" Vector__XXX\n"
    " SG_ F : 32|32@1- (1,0) [0|0] \"\" Vector__XXX\n"
    " SG_ Far : 60|8@1+ (1,0) [0|255] \"\" Vector__XXX\n\n"
    "CM_ BO_ 960 \"doors\";\nCM_ SG_ 960 Open \"door -- open\x01\";\nSIG_VALTYPE_ 2364540158 F : 1;\n";

struct Outcome {
  int exitCode = -1;
  std::string out, err;
};

// Runs zemctl with `line` split at spaces, "@" standing for `folder`; standard input reads `input`
// when given.
Outcome zemctl(const std::string& line, const std::string& folder = "", const std::string* input = nullptr) {
  std::vector<std::string> args;
  std::istringstream in(line);
  for (std::string word; in >> word;) {
    if (const auto at = word.find('@'); at != std::string::npos) word.replace(at, 1, folder);
    args.push_back(word);
  }
  ZemctlCommand command;
  std::string error;
  if (!ZemctlCommand::parse(args, &command, &error)) return {Zemctl::kExitUsage, "", error};
  const int savedStdin = ::dup(0);
  if (input != nullptr) {
    const File stdinFile(folder + "/stdin");
    EXPECT_TRUE(stdinFile.writeAtomically(*input));
    const int fd = ::open(stdinFile.getPath().c_str(), O_RDONLY | O_CLOEXEC);
    ::dup2(fd, 0);
    ::close(fd);
  }
  std::ostringstream out, err;
  const int exitCode = Zemctl(out, err).run(command);
  ::dup2(savedStdin, 0);
  ::close(savedStdin);
  return {exitCode, out.str(), err.str()};
}

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

TEST(ConfigFromDbcTest, WritesOnePropertyPerSignalNamesWhatIsLeftOutAndRefusesBadInputWritingNothing) {
  const TempFile folder("zem-dbc-");
  const std::string dir = folder.getFile().getPath();
  const std::string dbc = dir + "/car.dbc", bad = dir + "/bad.dbc", into = dir + "/into.xml", out = dir + "/out.xml";
  std::ofstream(dbc) << kDbc;
  std::ofstream(bad) << "BO_ 1 A: 8 E\n SG_ S : 0|8@1+ (1,0) [0|1] \"\" E\nBO_ 4096 B: 8 E\n";
  std::ofstream(into)
      << "<?xml version=\"1.0\"?>\n<!-- kept -->\n<c:config xmlns:c=\"http://www.olvane.com/kolconfig\" "
         "xmlns:i=\"http://www.w3.org/2001/XMLSchema-instance\">\n  <c:content "
         "i:type=\"c:ProvisioningConfig\">\n    <c:provisioningDefinitions i:type=\"c:GroupAdapter\" "
         "name=\"Car\"><c:provisioningDefinitions i:type=\"c:IntegerPropertyAdapter\" "
         "propertyName=\"Door.Open\"/></c:provisioningDefinitions>\n  </c:content>\n</c:config>\n";
  std::remove(out.c_str());
  struct Row {
    std::string args;  // after "config from-dbc"; DBC, BAD, INTO and OUT are the files
    int exitCode;
    std::vector<std::string> out, err, absent;  // fragments of stdout, of stderr, and of neither
  };
  // The door group with the comments of the message and its bit, the bit's signal, the big-endian
  // signed value, the extended identifier.
  const std::string i = "\n            ";
  const std::string door =
      "<!-- doors -->\n    <k:provisioningDefinitions xsi:type=\"k:GroupAdapter\" name=\"Door\">\n"
      "      <!-- Open: door - - open  -->\n      <k:provisioningDefinitions "
      "xsi:type=\"k:BooleanPropertyAdapter\" propertyName=\"Open\">";
  const std::string bit = "<k:canValue xsi:type=\"k:ValueRangeBooleanSignal\">" + i +
                          "<k:signalName>Door.Open</k:signalName>" + i + "<k:canId>960</k:canId>" + i +
                          "<k:startBit>0</k:startBit>" + i + "<k:length>1</k:length>" + i + "<k:minimum>1</k:minimum>" +
                          i + "<k:maximum>1</k:maximum>";
  const std::string temperature = "<k:startBit>15</k:startBit>" + i + "<k:length>12</k:length>" + i +
                                  "<k:bigEndian>true</k:bigEndian>" + i + "<k:signed>true</k:signed>" + i +
                                  "<k:factor>0.1</k:factor>" + i + "<k:offset>-40</k:offset>";
  const std::string speed =
      "<k:signalName>EEC1.Speed</k:signalName>" + i + "<k:canId>217056510</k:canId>" + i + "<k:extendedId>true";
  const Row rows[] = {
      {"DBC",
       0,
       {door, bit, "<!-- Temp [deg C] -->", temperature, speed, "propertyName=\"Mux\""},
       {"left out EEC1.Muxed: multiplexed signal\n", "left out EEC1.F: IEEE float signal\n",
        "left out EEC1.Far: its bits need 9 bytes, the message has 8\n"},
       {"busInterface", "propertyName=\"Muxed\""}},
      {"DBC --prefix Car.Front --bus can1 --message 0x3C0 -o OUT", 0, {"wrote OUT\n"}, {}, {"EEC1", "left out"}},
      {"DBC --message EEC1 --message 2364540158 --message 0xCF004FE", 0, {"name=\"EEC1\""}, {}, {"Door"}},
      {"DBC --prefix Truck --into INTO",
       0,
       {"<!-- kept -->", "name=\"Car\"><c:provisioningDefinitions", "name=\"Truck\"", "name=\"EEC1\""},
       {},
       {}},
      {"DBC --prefix Car --message Door --into INTO -o OUT",
       1,
       {},
       {"INTO already defines 1 of the properties:\n  Car.Door.Open\n"},
       {"wrote"}},
      {"DBC --message Nope -o OUT", 1, {}, {"DBC: no message 'Nope' in the file\n"}, {"wrote"}},
      {"BAD -o OUT", 1, {}, {"zemctl: config from-dbc: BAD:3: message id 0x1000 is over 0x7FF"}, {"wrote"}},
      {"DBC --into DBC", 1, {}, {"--into DBC: Parse error"}, {"<k:"}},
  };
  for (const Row& row : rows) {
    const auto files = [&](const std::string& text) {
      return replaced(replaced(replaced(replaced(text, "BAD", bad), "DBC", dbc), "INTO", into), "OUT", out);
    };
    const Outcome run = zemctl("config from-dbc " + files(row.args));
    EXPECT_EQ(run.exitCode, row.exitCode) << row.args << "\n" << run.err;
    for (const std::string& fragment : row.out)
      EXPECT_NE(run.out.find(files(fragment)), std::string::npos) << row.args << " gave\n" << run.out;
    for (const std::string& fragment : row.err)
      EXPECT_NE(run.err.find(files(fragment)), std::string::npos) << row.args << " gave\n" << run.err;
    for (const std::string& fragment : row.absent)
      EXPECT_EQ((run.out + run.err).find(fragment), std::string::npos) << row.args;
    const bool written = row.args.find("OUT") != std::string::npos && row.exitCode == 0;
    const std::string document = written ? readAll(out) : run.out;
    EXPECT_EQ(readAll(out).empty(), !written) << row.args;
    if (row.exitCode == 0) {
      EXPECT_NO_THROW(schema().validateString(document)) << row.args << "\n" << document;
    }
    if (written) {
      EXPECT_NE(document.find("<k:busInterface>can1</k:busInterface>"), std::string::npos) << document;
      EXPECT_NE(document.find("name=\"Car.Front\""), std::string::npos) << document;
    }
    std::remove(out.c_str());
  }
}

constexpr const char* kDecodeDbc =
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

TEST(CanDecodeTest, PrintsTheDecodedSignalsOfEveryFrameAndReportsBadLinesByNumber) {
  const TempFile folder("zem-decode-");
  const File& dir = folder.getFile();
  ASSERT_TRUE(File(dir, "v.dbc").writeAtomically(kDecodeDbc) && File(dir, "can.log").writeAtomically(kLog));
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
  };
  for (const auto& c : cases) {
    const Outcome o = zemctl(c.args, dir.getPath(), &c.input);
    EXPECT_EQ(o.exitCode, c.rc) << c.args;
    EXPECT_EQ(o.out, c.out) << c.args;
    // A reason worded by another part (the DBC parser, the system) is checked up to its start.
    const std::string err = replaced(c.err, "@", dir.getPath());
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
