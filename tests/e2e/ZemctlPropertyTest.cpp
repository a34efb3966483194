// zemctl's property commands against a real zem-host on a seeded temporary sysroot whose factory
// configuration and database are the test's own: every request kind that takes a name and one
// nameless kind, updates by an owner, a non-owner and an unnamed caller, a monitor, a property
// update job, and the provisioning configuration by jobs.
#include "ZemHostFixture.h"
#include "ZemTestSupport.h"

namespace {

using namespace zem_test;

// Group T (owner HMI): a database boolean. Group U (no owner): a literal, a list, a map, an integer.
std::string configXml(const std::string& literal) {
  const auto persisted = [](const std::string& kind, const std::string& name, const std::string& body) {
    return propertyXml(kind + "PropertyAdapter", "propertyName=\"" + name + "\"", "Persisted" + kind + "PropertyOrigin",
                       body);
  };
  const auto literalOf = [](const std::string& kind, const std::string& name, const std::string& value) {
    return propertyXml((kind == "Bytefield" ? "ByteField" : kind) + "PropertyAdapter", "propertyName=\"" + name + "\"",
                       kind + "LiteralPropertyOrigin", "<k:value>" + value + "</k:value>");
  };
  const auto fixed = [](const std::string& adapter, const std::string& value) {
    return propertyXml(adapter + "PropertyAdapter", "", "StringLiteralPropertyOrigin",
                       "<k:value>" + value + "</k:value>");
  };
  return document(
      "ProvisioningConfig",
      groupXml("T", {"HMI"},
               persisted("Boolean", "Flag", "<k:defaultValue>false</k:defaultValue><k:key>T.Flag</k:key>")) +
          groupXml("U", {},
                   propertyXml("StringPropertyAdapter", "propertyName=\"Literal\"", "StringLiteralPropertyOrigin",
                               "<k:value>" + literal + "</k:value>") +
                       persisted("List", "List", "<k:key>U.List</k:key>") +
                       persisted("Map", "Map", "<k:key>U.Map</k:key>") +
                       persisted("Integer", "Count", "<k:key>U.Count</k:key>") + literalOf("Float", "Ratio", "1.50") +
                       literalOf("Bytefield", "Marker", "0a0B")) +
          propertyXml("VehiclePropertyAdapter", "vehicleProperty=\"IGNITION_ON\"", "PersistedBooleanPropertyOrigin",
                      "<k:defaultValue>true</k:defaultValue><k:key>IGNITION_ON</k:key>") +
          fixed("Vin", "WOLV1"));  // the other fixed kinds take the same nameless path
}

std::string databaseContent() {
  const std::string list = listXml({valueXml("String", "a"), valueXml("Integer", "3")});
  const std::string map =
      mapXml(entryXml("k", valueXml("String", "v")) + entryXml("m", mapXml(entryXml("x", valueXml("Integer", "1")))));
  return databaseXml(entryXml("T", mapXml(entryXml("Flag", valueXml("Boolean", "false")))) +
                     entryXml("U", mapXml(entryXml("List", list) + entryXml("Map", map) +
                                          entryXml("Count", valueXml("Integer", "1")))));
}

using ZemctlPropertyTest = ZemHostFixture;

TEST_F(ZemctlPropertyTest, PropertyCommandsAnswerAsTheMapSaysAndJobsUpdatePropertiesAndTheConfiguration) {
  const std::string defaults = sysroot() + "/media/olvane/configs/zem_app/";
  writeFile(File(defaults + "config.xml"), configXml("007"));
  writeFile(File(defaults + "database.xml"), databaseContent());
  startHost({}, {{"DBUS_SESSION_BUS_ADDRESS", startPrivateBus()}});  // names owned here meet no other test
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
  // get, set, read and monitor answer as the map says; only owners update owned properties.
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string out;
  };
  const std::vector<Case> cases = {
      {{"get", "U.Literal"}, 0, "007\n"},
      {{"get", "U.List", "--as", "list"}, 0, "a\n3\n"},
      {{"get", "U.Map", "--as", "map"}, 0, "k: v\nm:\n  x: 1\n"},
      {{"get", "--as", "geolocation"}, 0, "(no position)\n"},
      {{"get", "U.Ratio", "--as", "float"}, 0, "1.50\n"},
      {{"get", "U.Marker", "--as", "bytefield"}, 0, "0a0B\n"},
      {{"get", "IGNITION_ON", "--as", "vehicle"}, 0, "true\n"},
      {{"get", "--as", "vin"}, 0, "WOLV1\n"},
      {{"read", "U.Literal"}, 0, "007\n"},
      {{"read", "No.Such"}, 0, "\n"},
      {{"set", "U.Count", "integer:-5"}, 0, "result true\n"},
      {{"get", "U.Count", "--as", "integer"}, 0, "-5\n"},
      {{"set", "T.Flag", "boolean:true"}, 3, "result false\n"},                             // unnamed caller
      {{"--as-component", "Radio", "set", "T.Flag", "boolean:true"}, 3, "result false\n"},  // not an owner
      {{"set", "U.Count", "string:x"}, 3, "result false\n"},                                // kind misfit
      {{"get", "T.Flag", "--as", "boolean"}, 0, "false\n"},
      {{"monitor", "U.Count", "No.Such"}, 3, ""}};  // a name outside the map is refused
  for (const Case& c : cases) {
    const CommandResult r = zemctl(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode) << c.args[0] << " " << c.args[1] << ": " << r.err;
    EXPECT_EQ(r.out, c.out) << c.args[0] << " " << c.args[1];
  }

  // The monitor is registered before it says so; each change of the owner's updates reaches it once.
  ChildProcess monitor({ZEMCTL_BIN, "monitor", "T.Flag", "U.Count", "--count", "2"}, {}, workFolder() + "/monitor.out",
                       workFolder() + "/monitor.err");
  ASSERT_TRUE(
      waitUntil([&] { return readFile(workFolder() + "/monitor.err").find("monitoring 2") != std::string::npos; },
                std::chrono::seconds(10)))
      << readFile(workFolder() + "/monitor.err");
  for (const char* value : {"boolean:true", "boolean:true", "boolean:false"})  // the second changes nothing
    EXPECT_EQ(zemctl({"--as-component", "HMI", "set", "T.Flag", value}).exitCode, 0);
  EXPECT_TRUE(exitedWith(monitor.waitForExit(std::chrono::seconds(10)), 0));
  EXPECT_EQ(readFile(workFolder() + "/monitor.out"), "T.Flag = true\nT.Flag = false\n");

  // The backend's update job may write an owned property; a literal is refused with error 7.
  const File job(workFolder() + "/files/update.xml");
  writeFile(job, document("UpdatePropertyZemTaskDescription",
                          "<k:properties>" + entryXml("U.Literal", valueXml("String", "x")) +
                              entryXml("T.Flag", valueXml("Boolean", "true")) + "</k:properties>",
                          "taskId=\"upd-1\""));
  const std::string zip = workFolder() + "/files/update.zip";
  ASSERT_EQ(zemctl({"job", "build", "--description", job.getPath(), "-o", zip}).exitCode, 0);
  ASSERT_EQ(zemctl({"job", "submit", zip}).exitCode, 0);
  const CommandResult result = zemctl({"job", "result", "--wait", "10", "upd-1"});
  EXPECT_NE(result.out.find("success true\nerrorType 7\nerrorMessage Impossible to update property U.Literal"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(zemctl({"get", "T.Flag", "--as", "boolean"}).out, "true\n");

  // The configuration is installed with --force, requested back and deleted by jobs.
  const File replacement(workFolder() + "/files/replacement.xml");
  writeFile(replacement, configXml("replaced"));
  const CommandResult installed = zemctl({"config", "install", replacement.getPath(), "--force"});
  EXPECT_EQ(installed.exitCode, 0) << installed.err;
  EXPECT_EQ(zemctl({"get", "U.Literal"}).out, "replaced\n");

  const std::string back = workFolder() + "/files/back.xml";
  EXPECT_EQ(zemctl({"config", "request", "-o", back}).exitCode, 0);
  EXPECT_EQ(xmldoc::toString(*xmldoc::parseFile<Types::ProvisioningConfig>(back)),
            xmldoc::toString(*xmldoc::parseString<Types::ProvisioningConfig>(configXml("replaced"))));
  EXPECT_NE(zemctl({"config", "request"}).out.find("<k:value>replaced</k:value>"), std::string::npos);

  // A configuration naming a library outside the library folders installs, but that property has
  // no source: its command never runs.
  const File marker(workFolder() + "/shell-ran");
  writeFile(replacement,
            document("ProvisioningConfig",
                     propertyXml("StringPropertyAdapter", "propertyName=\"Shell\"", "LibraryCallPropertyOrigin",
                                 "<k:libraryName>libc.so.6</k:libraryName><k:functionName>system</k:functionName>"
                                 "<k:arguments><k:key>c</k:key><k:value>touch " +
                                     marker.getPath() + "</k:value></k:arguments>")));
  EXPECT_EQ(zemctl({"config", "install", replacement.getPath(), "--force"}).exitCode, 0);
  EXPECT_EQ(zemctl({"get", "Shell"}).out, "\n");
  EXPECT_FALSE(marker.exists());
  EXPECT_NE(readFile(sysroot() + "/cache/var/log/messages")
                .find("Library refused, not in a library folder: libc.so.6 (property Shell)"),
            std::string::npos);

  EXPECT_EQ(zemctl({"config", "delete"}).exitCode, 0);
  EXPECT_EQ(zemctl({"read", "U.Literal"}).out, "\n");
}

}  // namespace
