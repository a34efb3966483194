// The DBC reader: the forms real files take, read into the fields that matter, and bad input
// refused with the line and what is wrong.
#include <gtest/gtest.h>

#include <sstream>

#include "kest/vehiclebus/DbcParser.h"

using VehicleBus::DbcFile;
using VehicleBus::DbcMessage;
using VehicleBus::DbcParser;
using VehicleBus::DbcSignal;

namespace {

// The file in one line: "v=VERSION nodes=A,B | BO ID NAME LENGTH TX cm='..' | SG NAME START|LENGTH@ORDER SIGN
// (FACTOR,OFFSET) [MIN|MAX] 'UNIT' rx=A,B mux=.. float32 cm='..' vals=V:'T',.. | ...", an extended
// identifier with an "x" after it.
std::string render(const DbcFile& file) {
  std::ostringstream out;
  const auto list = [&](const std::vector<std::string>& items) {
    for (std::size_t i = 0; i < items.size(); ++i) out << (i > 0 ? "," : "") << items[i];
  };
  out << "v=" << file.version << " nodes=";
  list(file.nodes);
  for (const DbcMessage& m : file.messages) {
    out << " | BO 0x" << std::hex << std::uppercase << m.id << std::dec << (m.extended ? "x " : " ") << m.name << " "
        << m.length << " " << m.transmitter << (m.comment.empty() ? "" : " cm='" + m.comment + "'");
    for (const DbcSignal& s : m.signals) {
      out << " | SG " << s.name << " " << s.startBit << "|" << s.length << "@" << (s.bigEndian ? "0" : "1")
          << (s.isSigned ? "-" : "+") << " (" << s.factor << "," << s.offset << ") [" << s.minimum << "|" << s.maximum
          << "] '" << s.unit << "' rx=";
      list(s.receivers);
      if (s.multiplex == DbcSignal::Multiplex::kMultiplexor) out << " mux=M";
      if (s.multiplex == DbcSignal::Multiplex::kMultiplexed) out << " mux=m" << s.multiplexValue;
      if (s.valueType != DbcSignal::ValueType::kInteger)
        out << (s.valueType == DbcSignal::ValueType::kFloat32 ? " float32" : " float64");
      if (!s.comment.empty()) out << " cm='" << s.comment << "'";
      for (std::size_t i = 0; i < s.valueTable.size(); ++i)
        out << (i == 0 ? " vals=" : ",") << s.valueTable[i].first << ":'" << s.valueTable[i].second << "'";
    }
  }
  return out.str();
}

constexpr const char* kMessage = "BO_ 100 Msg: 8 ECU1\n";
constexpr const char* kSignal = " SG_ Sig : 0|8@1+ (1,0) [0|255] \"\" ECU2\n";

TEST(DbcParserTest, ReadsTheFormsOfRealFilesIntoTheFieldsThatMatter) {
  const std::string base = std::string(kMessage) + kSignal;
  const std::string sig = " | SG Sig 0|8@1+ (1,0) [0|255] '' rx=ECU2";
  const std::pair<std::string, std::string> rows[] = {
      // CR LF, tabs, VERSION, an indented NS_ list, BS_, BU_, a message with one signal.
      {"VERSION \"1.0\"\r\n\r\nNS_ :\r\n\tNS_DESC_\r\n\tCM_\r\n\tBA_DEF_\r\n\r\nBS_:\r\n\r\nBU_: ECU1 ECU2\r\n"
       "\r\nBO_ 100 Msg: 8 ECU1\r\n\tSG_ Sig : 0|8@1+ (1,0) [0|255] \"\" ECU2\r\n",
       "v=1.0 nodes=ECU1,ECU2 | BO 0x64 Msg 8 ECU1" + sig},
      // An empty NS_ list; an NS_ list without indentation; no transmitter.
      {"NS_ :\nBS_:\nBU_:\nBO_ 5 M: 0\n", "v= nodes= | BO 0x5 M 0 Vector__XXX"},
      {"NS_ :\nNS_DESC_\nCM_\nBA_\nBU_: A\n", "v= nodes=A"},
      {"NS_ :\n  CM_\n  BU_SG_REL_\n  BU_: A\n", "v= nodes=A"},
      // Exponents, signed offsets, a unit with blanks, receivers separated by commas, big-endian signed.
      {"BO_ 1 M: 8 E\n SG_ T : 7|12@0- (1E-002,-2.73E+2) [-273|+1.5e3] \"deg C\" A,B\n",
       "| SG T 7|12@0- (0.01,-273) [-273|1500] 'deg C' rx=A,B"},
      // Multiplexing: the multiplexor, a multiplexed signal, one that is both.
      {"BO_ 1 M: 8 E\n SG_ Mux M : 0|4@1+ (1,0) [0|15] \"\" E\n SG_ S m3 : 8|8@1+ (1,0) [0|0] \"\" E\n"
       " SG_ T m12M : 16|4@1+ (1,0) [0|0] \"\" E\n",
       "mux=M | SG S 8|8@1+ (1,0) [0|0] '' rx=E mux=m3 | SG T 16|4@1+ (1,0) [0|0] '' rx=E mux=m12"},
      // Comments over several lines with escaped quotes; those of the file, nodes and variables dropped.
      {base + "CM_ \"global\";\nCM_ BU_ ECU1 \"node\";\nCM_ EV_ V \"var\";\nCM_ BO_ 100 \"the message\";\n"
              "CM_ SG_ 100 Sig \"line one\r\nsays \\\"hi\\\" \\\\ ok\";\nCM_ SG_ 100 Gone \"stale\";\n",
       "BO 0x64 Msg 8 ECU1 cm='the message' | SG Sig 0|8@1+ (1,0) [0|255] '' rx=ECU2 cm='line one\nsays \"hi\" \\ ok'"},
      // Value tables: VAL_ kept in file order, VAL_TABLE_ and variables' VAL_ skipped.
      {"VAL_TABLE_ OnOff 1 \"On\" 0 \"Off\" ;\n" + base +
           "VAL_ 100 Sig 1 \"On\" 0 \"Off\" -1 \"Err\" ;\nVAL_ V 1 \"x\";\n",
       sig + " vals=1:'On',0:'Off',-1:'Err'"},
      // IEEE float types.
      {base + " SG_ D : 8|64@1- (1,0) [0|0] \"\" E\nSIG_VALTYPE_ 100 Sig : 1;\nSIG_VALTYPE_ 100 D : 2;\n",
       sig + " float32 | SG D 8|64@1- (1,0) [0|0] '' rx=E float64"},
      // Attributes, transmitters, environment variables, signal types and unknown keywords skipped whole.
      {"BA_DEF_ BO_ \"GenMsgCycleTime\" INT 0 65535;\nBA_DEF_DEF_ \"GenMsgCycleTime\" 100;\n" + base +
           "BO_TX_BU_ 100 : ECU1,ECU2;\nBA_ \"GenMsgCycleTime\" BO_ 100 20;\nSG_MUL_VAL_ 100 Sig Mux 1-1;\n"
           "EV_ V: 0 [0|1] \"\" 0 1 DUMMY_NODE_VECTOR0 Vector__XXX;\nENVVAR_DATA_ V: 5;\nSGTYPE_ T : 8@1+;\n"
           "FUTURE_THING_ 1 2 \"three\" { };\n",
       "v= nodes= | BO 0x64 Msg 8 ECU1" + sig},
      // The holder of unplaced signals is left out with its signals.
      {"BO_ 3221225472 VECTOR__INDEPENDENT_SIG_MSG: 0 Vector__XXX\n SG_ X : 0|8@1+ (1,0) [0|0] \"\" Vector__XXX\n",
       "v= nodes="},
      // CP1252 (its undefined bytes replaced), and UTF-8 kept as it is.
      {std::string(kMessage) + "CM_ BO_ 100 \"\x80 \xB0"
                               "C \x93q\x94 \x81\";\n",
       "cm='\u20AC \u00B0C \u201Cq\u201D \uFFFD'"},
      {std::string(kMessage) + "CM_ BO_ 100 \"\u00B0C \u20AC\";\n", "cm='\u00B0C \u20AC'"},
  };
  for (const auto& [text, expected] : rows) {
    DbcFile file;
    std::string error;
    ASSERT_TRUE(DbcParser::parse(text, &file, &error)) << text << "\n" << error;
    const std::string rendered = render(file);
    EXPECT_NE(rendered.find(expected), std::string::npos) << text << "\ngave: " << rendered;
  }
}

TEST(DbcParserTest, RefusesBadInputWithItsLineAndWhatIsWrong) {
  const std::string m = "BO_ 1 M: 8 E\n";
  std::string manyMessages;
  for (std::size_t i = 0; i <= DbcParser::kMaxMessages; ++i)
    manyMessages += "BO_ " + std::to_string(0x80000000u + i) + " M: 0\n";
  const std::pair<std::string, std::string> rows[] = {
      {"BO_ 2048 M: 8 E\n", "1: message id 0x800 is over 0x7FF but bit 31 (extended) is not set"},
      {"BO_ 4294967295 M: 8 E\n", "1: message id 0xFFFFFFFF is over 29 bits once bit 31 is removed"},
      {"BO_ 4294967296 M: 8 E\n", "1: the message id '4294967296' is not a whole number from 0 to 4294967295"},
      {"BO_ 1 M: 65 E\n", "1: message length 65 is over 64 bytes"},
      {"BO_ 1 A: 8 E\n\nBO_ 1 B: 8 E\n", "3: message id 0x1 is already defined on line 1"},
      {"BO_ 1 M 8 E\n", "1: expected ':' after the message name, found '8'"},
      {"BU_: A\n SG_ S : 0|8@1+ (1,0) [0|1] \"\" E\n", "2: SG_ outside a message"},
      {m + " SG_ S : 0|8@2+ (1,0) [0|1] \"\" E\n", "2: the byte order '2' is not a whole number from 0 to 1"},
      {m + " SG_ S : 0 8@1+ (1,0) [0|1] \"\" E\n", "2: expected '|' after the start bit, found '8'"},
      {m + " SG_ S : 512|8@1+ (1,0) [0|1] \"\" E\n", "2: the start bit '512' is not a whole number from 0 to 511"},
      {m + " SG_ S : 0|8@1* (1,0) [0|1] \"\" E\n", "2: expected '+' or '-' after the byte order, found '*'"},
      {m + " SG_ S : 0|8@1+ (1e999,0) [0|1] \"\" E\n", "2: the factor '1e999' is not a finite number"},
      {m + " SG_ S : 0|8@1+ (1,0)\n SG_ T : 8|8@1+ (1,0) [0|1] \"\" E\n",
       "2: expected '[' before the minimum before the line end"},
      {m + " SG_ S x1 : 0|8@1+ (1,0) [0|1] \"\" E\n", "2: 'x1' is neither M nor mN (multiplexing)"},
      {m + " SG_ S : 0|8@1+ (1,0) [0|1] \"\" E;F\n", "2: unexpected 'F'"},
      {m + "SIG_VALTYPE_ 1 S : 3;\n", "2: the value type '3' is not a whole number from 0 to 2"},
      {m + "VAL_ 1 S 1.5 \"x\";\n", "2: a value '1.5' is not a whole 64-bit number"},
      {m + "CM_ SG_ 1 S \"never closed;\n\n", "2: string not closed"},
      {"VERSION \"" + std::string(DbcParser::kMaxLineLength, 'x') + "\"\n", "1: line over 65536 bytes"},
      {"\n\nhello world\n", "3: unexpected 'hello'"},
      {"\x01\xFF garbage\n", "1: unexpected '?'"},
      {manyMessages, "65537: more than 65536 messages"},
      {std::string(DbcParser::kMaxBytes + 1, ' '), "1: the text is larger than 16 MiB"},
  };
  for (const auto& [text, expected] : rows) {
    DbcFile file;
    file.version = "untouched";
    std::string error;
    EXPECT_FALSE(DbcParser::parse(text, &file, &error)) << text.substr(0, 80);
    EXPECT_EQ(error, expected) << text.substr(0, 80);
    EXPECT_EQ(file.version, "untouched");
  }

  // What is no regular file is not read (a file's errors are named after it: CanDecodeTest).
  DbcFile file;
  std::string error;
  EXPECT_FALSE(DbcParser::parseFile("/", &file, &error));
  EXPECT_EQ(error, "/: cannot read: Invalid argument");
}

}  // namespace
