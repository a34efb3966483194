// "zemctl config from-dbc": the configuration written for DBC files, the signals left out, the
// options, and the refusals that write nothing. Every configuration written validates against
// the schema.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "Zemctl.h"
#include "ZemctlCommand.h"
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

Outcome zemctl(const std::string& line) {
  std::vector<std::string> args;
  std::istringstream in(line);
  for (std::string word; in >> word;) args.push_back(word);
  ZemctlCommand command;
  std::string error;
  if (!ZemctlCommand::parse(args, &command, &error)) return {Zemctl::kExitUsage, "", error};
  std::ostringstream out, err;
  const int exitCode = Zemctl(out, err).run(command);
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
  char folder[] = "/tmp/zem-dbc-XXXXXX";
  const std::string dir = ::mkdtemp(folder);
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
  std::filesystem::remove_all(dir);
}

}  // namespace
