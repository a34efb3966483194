// The argument handling of zem-host and zemctl, zemctl's property documents and its placing of
// containers in the inbox, without a bus.
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <filesystem>
#include <iterator>
#include <sstream>

#include "HostOptions.h"
#include "JobCommands.h"
#include "PropertyDocuments.h"
#include "ResultTree.h"
#include "Zemctl.h"
#include "ZemctlCommand.h"
#include "kest/File.h"
#include "kest/seams/PosixFileOps.h"

namespace {

// `line` split at spaces.
std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> args;
  std::istringstream in(line);
  for (std::string word; in >> word;) args.push_back(word);
  return args;
}

// The options themselves are given in the end-to-end tests of zem-host.
TEST(HostOptionsTest, DefaultsThePluginAndRejectsMalformedOptionsWithAReason) {
  HostOptions o;
  std::string error;
  ASSERT_TRUE(HostOptions::parse({}, "/default/libZem.so", &o, &error));
  EXPECT_EQ(o.pluginPath, "/default/libZem.so");
  ASSERT_TRUE(HostOptions::parse({"--system", "--version"}, "d", &o, &error));
  EXPECT_TRUE(o.version);
  EXPECT_EQ(HostOptions::versionText(), "zem-host " ZEM_SOFTWARE_VERSION "\n");

  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"--plugin"}, "--plugin needs"},
      {{"stray"}, "unknown argument: stray"},
      {{"--shutdown-timeout", "0"}, "milliseconds"},
      {{"--shutdown-timeout", "99999999999"}, "milliseconds"},
      {{"--can", "bad/name"}, "--can needs an interface"},
      {{"--can", "sixteen_chars_xx"}, "--can needs an interface"},
      {{"--can-replay"}, "candump log"},
      {{"--can", "can0", "--can-replay", "log"}, "cannot go with --can"},
      {{"--library-dir"}, "--library-dir needs the path of a folder"},
      {{"--log-dir", ""}, "--log-dir needs the path of a folder"}};
  for (const auto& [args, reason] : refused) {
    EXPECT_FALSE(HostOptions::parse(args, "d", &o, &error)) << args[0];
    EXPECT_NE(error.find(reason), std::string::npos) << error;
  }
  ASSERT_TRUE(HostOptions::parse({"--can", "can0", "--can", "vcan-1.x"}, "d", &o, &error)) << error;
  EXPECT_EQ(o.canInterfaces, (std::vector<std::string>{"can0", "vcan-1.x"}));
  ASSERT_TRUE(HostOptions::parse({"--library-dir", "/a", "--log-dir", "/l", "--development", "--library-dir", "/b"},
                                 "d", &o, &error))
      << error;
  EXPECT_EQ(o.libraryFolders, (std::vector<std::string>{"/a", "/b"}));
  EXPECT_EQ(o.logFolders, (std::vector<std::string>{"/l"}));
  EXPECT_TRUE(o.development);
}

// The readable form is walked end to end by the live-sources watch.
TEST(ZemctlWatchTest, VehiclePropertySignalsThatAreNoResultPrintTheEscapedShortenedRawText) {
  const auto line = [](const std::string& bytes) {
    Ipc::IpcParameterSet p;
    p.add(std::make_unique<Ipc::IpcByteFieldParameter>("property", bytes));
    return Zemctl::formatVehicleProperty(p);
  };
  EXPECT_EQ(line("<not a result/>\n"), "ZemVehicleProperty <not a result/>\\n");
  EXPECT_LT(line(std::string(5000, 'x')).size(), 300U);
}

TEST(ZemctlCommandTest, ParsesGlobalOptionsCommandsAndParametersExactly) {
  ZemctlCommand c;
  std::string error;
  ASSERT_TRUE(ZemctlCommand::parse({"--timeout=250", "log-level", "set", "-1"}, &c, &error));
  EXPECT_TRUE(c.timeout == std::chrono::milliseconds(250) && c.action == ZemctlCommand::Action::LogLevelSet);
  EXPECT_EQ(c.level, -1);
  ASSERT_TRUE(ZemctlCommand::parse({"call", "SelfDiag", "Set", "a=s:x=y:z", "e=s:", "n=x:-9223372036854775808",
                                    "b=ay:<x/>", std::string("f=ayfile:") + __FILE__},
                                   &c, &error))
      << error;
  EXPECT_EQ(c.parameters.get<Ipc::IpcStringParameter>("a").getValue(), "x=y:z");
  EXPECT_EQ(c.parameters.get<Ipc::IpcStringParameter>("e").getValue(), "");
  EXPECT_EQ(c.parameters.get<Ipc::IpcIntegerParameter>("n").getValue(), INT64_MIN);
  EXPECT_EQ(c.parameters.get<Ipc::IpcByteFieldParameter>("b").getValueAsString(), "<x/>");
  EXPECT_EQ(c.parameters.get<Ipc::IpcByteFieldParameter>("f").getValueAsString().rfind("// The argument", 0), 0u);
  ASSERT_TRUE(ZemctlCommand::parse({"job", "result", "--wait", "1", "--", "-x"}, &c, &error)) << error;
  EXPECT_EQ(c.job.taskId, "-x");
  // --version is zemctl's own version and ends the parse; the command "version" asks the application.
  ASSERT_TRUE(ZemctlCommand::parse(words("--system --version bogus"), &c, &error)) << error;
  EXPECT_EQ(c.action, ZemctlCommand::Action::ToolVersion);
  ASSERT_TRUE(ZemctlCommand::parse(words("version"), &c, &error)) << error;
  EXPECT_EQ(c.action, ZemctlCommand::Action::Version);
}

TEST(ZemctlCommandTest, PropertyCommandsCheckKindsNamesAndValuesAndBadCommandLinesAreRefused) {
  ZemctlCommand c;
  std::string error;
  ASSERT_TRUE(ZemctlCommand::parse(words("config install c.xml --force --wait 1.5"), &c, &error)) << error;
  EXPECT_TRUE(c.property.force && c.property.configFile == "c.xml" && c.property.wait.count() == 1500);

  // set: pairs of the argument and the value as the update document carries it.
  const char* const values[] = {"integer:-2147483648", "-2147483648", "integer:+7",     "7",
                                "float:-1.5e3",        "-1.5e3",      "boolean:false",  "false",
                                "bytefield:00ff",      "0x00FF",      "bytefield:0Xab", "0xAB",
                                "string:a:b c",        "a:b c",       "string:",        ""};
  for (size_t i = 0; i < std::size(values); i += 2) {
    ASSERT_TRUE(ZemctlCommand::parse({"set", "P", values[i]}, &c, &error)) << values[i] << ": " << error;
    EXPECT_EQ(c.property.valueText, values[i + 1]) << values[i];
  }

  // Usage errors, separated by " | "; the first is the empty command line.
  const std::string refused =
      " | frobnicate | --bogus ping | ping extra | --timeout 0 ping | --timeout | log-level set four | "
      "log-level set 99999999999999999999 | log-level put 4 | call Zem | call Zem M noequals | call Zem M =s:v | "
      "call Zem M a=s | call Zem M a=q:1 | call Zem M n=x: | call Zem M n=x:9223372036854775808 | "
      "call Zem M d=ayfile:/ | watch --count 0 | watch extra | get | get --as vin Name | get --as number X | get A B | "
      "get --as | set P | set P 5 | set P int:5 | "
      "set P integer:2147483648 | set P integer:1.0 | set P integer: | set P float:nan | set P float:1e999 | "
      "set P float: | set P boolean:TRUE | set P boolean:1 | set P bytefield:abc | set P bytefield:0x | "
      "set P bytefield:zz | set -x string:a | read | read A B | monitor | monitor --count 0 A | "
      "monitor A --count -1 | monitor A --bogus | config | config install | config install --force | "
      "config delete --force | config request extra | config delete -o f | config request --wait -1 | "
      "config from-dbc | config from-dbc a.dbc b.dbc | config from-dbc a.dbc --bus sixteen_chars_xx | "
      "config from-dbc a.dbc --force | config from-dbc a.dbc --message | config from-dbc a.dbc --prefix a..b | "
      "--as-component 9lives get A | --as-component HMI ping | --as-component HMI config delete | "
      "--as-component a.b get A | --as-component= get A";
  for (size_t at = 0, bar = 0; bar != std::string::npos; at = bar + 3) {
    bar = refused.find(" | ", at);
    const std::string line = refused.substr(at, bar == std::string::npos ? std::string::npos : bar - at);
    error.clear();
    EXPECT_FALSE(ZemctlCommand::parse(words(line), &c, &error)) << line;
    EXPECT_FALSE(error.empty()) << line;
  }
}

// A result document with `value` as its value element (xsi:type and body).
std::string formatted(const std::string& value) {
  const std::string xml =
      "<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
      "<k:content xsi:type=\"k:IpcMessagePropertyResult\">" +
      value + "</k:content></k:config>";
  const auto result = PropertyDocuments::result(xml);
  return result->element_value() ? ResultTree::format(*result->element_value()) : "(refused)";
}

TEST(ResultTreeTest, PrintsOneLinePerValueWithNestedListsAndMapsIndentedTwoBlanksPerLevel) {
  const std::string s = "<k:item xsi:type=\"k:StringPropertyResult\"><k:value>";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "(refused)"},
      {"<k:value xsi:type=\"k:VinPropertyResult\"><k:value>W&#9;V&#13;</k:value></k:value>", "W\\tV\\x0d\n"},
      {"<k:value xsi:type=\"k:ListPropertyResult\"><k:property>L</k:property>" + s +
           "a</k:value></k:item><k:item xsi:type=\"k:IntegerPropertyResult\"><k:value>3</k:value></k:item>"
           "<k:item xsi:type=\"k:ListPropertyResult\">" +
           s + "x&#10;y</k:value></k:item></k:item><k:item xsi:type=\"k:ListPropertyResult\"/></k:value>",
       "a\n3\n(list)\n  x\\ny\n(list)\n"},
      {"<k:value xsi:type=\"k:MapPropertyResult\"><k:entry><k:key>k</k:key>"
       "<k:value xsi:type=\"k:SimpleBooleanPropertyResult\"><k:value>true</k:value></k:value></k:entry>"
       "<k:entry><k:key>none</k:key></k:entry>"
       "<k:entry><k:key>m</k:key><k:value xsi:type=\"k:MapPropertyResult\"><k:entry><k:key>l</k:key>"
       "<k:value xsi:type=\"k:ListPropertyResult\">" +
           s + "deep</k:value></k:item></k:value></k:entry></k:value></k:entry></k:value>",
       "k: true\nnone:\nm:\n  l:\n    deep\n"},
      {"<k:value xsi:type=\"k:ListPropertyResult\"><k:item xsi:type=\"k:MapPropertyResult\"><k:entry>"
       "<k:key>a\\b</k:key><k:value xsi:type=\"k:ByteFieldPropertyResult\"><k:value>0x01</k:value></k:value>"
       "</k:entry></k:item></k:value>",
       "(map)\n  a\\\\b: 0x01\n"}};
  for (const auto& [value, expected] : cases) EXPECT_EQ(formatted(value), expected) << value;
}

TEST(PropertyDocumentsTest, RequestsAndUpdatesReadBackAsTheirSchemaTypesWhateverTheNameHolds) {
  namespace Types = Sarnet_Configuration::Types;
  const std::string hostile = "a</k:propertyName><k:x>&amp;\"'";
  const auto list = xmldoc::parseString<Types::IpcMessageListPropertyRequest>(
      PropertyDocuments::request(PropertyCommand::RequestKind::List, hostile));
  EXPECT_EQ(list->get_propertyName(), hostile);
  const auto update = xmldoc::parseString<Types::IpcMessagePropertyUpdate>(
      PropertyDocuments::update(hostile, PropertyCommand::ValueKind::Integer, "-5"));
  EXPECT_EQ(update->get_propertyName(), hostile);
  const auto* value = dynamic_cast<const Types::PersistedIntegerValue*>(update->element_propertyValue());
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->get_integerValue(), -5);
  EXPECT_THROW(PropertyDocuments::request(PropertyCommand::RequestKind::String, std::string("a\x01b")), std::exception);
}

// zemctl places a container in the inbox by the durable writer, never over a waiting one.
TEST(InboxPlacementTest, AContainerTakesAFreeNameAtOnceAndAFailureLeavesNothing) {
  char root[] = "/tmp/zem-inbox-XXXXXX";
  const File dir(::mkdtemp(root)), inbox(dir, "in"), source(dir, "C.zip");
  std::string error, first;
  ASSERT_TRUE(inbox.mkdirs() && source.writeAtomically("1"));
  EXPECT_EQ(JobCommands::placeInInbox(source.getPath(), inbox.getPath(), &error), inbox.getPath() + "/C.zip");
  EXPECT_EQ(JobCommands::placeInInbox(source.getPath(), inbox.getPath(), &error), inbox.getPath() + "/C-1.zip");
  PosixFileOps failing = posixFileOps();
  failing.fsync = [](int) { return errno = EIO, -1; };
  const ScopedPosixFileOps seam(failing);
  EXPECT_EQ(JobCommands::placeInInbox(source.getPath(), inbox.getPath(), &error), "");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(inbox.getPath()), {}), 2);  // no leftover
  EXPECT_TRUE(File(inbox, "C.zip").readAll(&first) && first == "1" && dir.remove());
}

}  // namespace
