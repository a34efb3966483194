// Live sources through zem-host configured as the demo configures it (CAN properties made by zemctl
// from the demo vehicle's DBC file): injected and replayed frames, a library function and the example
// vehicle library. Then zemctl's property commands, a monitor and configuration jobs on a unit whose
// factory configuration and database are the test's own.
#include <string>
#include <vector>

#include "ZemHostFixture.h"
#include "ZemTestSupport.h"

namespace {

using namespace zem_test;

std::string libraryFolder() {
  const std::string kest = ZEM_KEST_LIB;
  return kest.substr(0, kest.rfind('/'));
}

// The J1939 vehicle identification (group 65260) "WOLV1DEMO12345678" from sender 0x00, by broadcast
// transport: the announcement of 17 bytes in 3 packets, then the packets.
const std::vector<std::string> kIdentificationFrames = {"1CECFF00#20110003FFECFE00", "1CEBFF00#01574F4C56314445",
                                                        "1CEBFF00#024D4F3132333435", "1CEBFF00#03363738FFFFFFFF"};
const char* const kIdentification = "0x574F4C563144454D4F3132333435363738\n";

class LiveSourcesE2ETest : public ZemHostFixture {
 protected:
  void startUnit(const std::vector<std::string>& args = {}) {
    const std::string examples = std::string(ZEM_SOURCE_DIR) + "/examples";
    const CommandResult made = zemctl({"config", "from-dbc", examples + "/demo-vehicle.dbc", "--prefix", "Vehicle",
                                       "--into", examples + "/jobs/provisioning-config.xml", "-o",
                                       sysroot() + "/media/olvane/configs/zem_app/config.xml"});
    ASSERT_EQ(made.exitCode, 0) << made.err;
    File(sysroot() + "/tmp").mkdirs();
    startHost(args, {{"DBUS_SESSION_BUS_ADDRESS", startPrivateBus()}, {"LD_LIBRARY_PATH", libraryFolder()}});
    ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
  }
  // Starts "zemctl watch --count N" and waits until it listens.
  std::unique_ptr<ChildProcess> watch(int count) {
    auto watcher = std::make_unique<ChildProcess>(
        std::vector<std::string>{ZEMCTL_BIN, "watch", "--count", std::to_string(count)},
        std::map<std::string, std::string>{}, workFolder() + "/watch.out", workFolder() + "/watch.err");
    EXPECT_TRUE(waitUntil([&] { return readFile(workFolder() + "/watch.err").find("watching") != std::string::npos; },
                          std::chrono::seconds(10)));
    return watcher;
  }
};

TEST_F(LiveSourcesE2ETest, InjectedFramesFeedTheCanPropertiesAndTheDoorSwitchIsAnnounced) {
  ASSERT_NO_FATAL_FAILURE(startUnit());
  EXPECT_EQ(zemctl({"get", "Vehicle.Body.DoorOpen", "--as", "boolean"}).out, "\n");  // no frame yet
  const auto watcher = watch(4);  // the two door switches of frame 0x3C0, each set and cleared
  std::vector<std::string> inject = {"can", "inject", "(1700000000.000000) sim0 3C0#01", "3C1#1027"};
  inject.insert(inject.end(), kIdentificationFrames.begin(), kIdentificationFrames.end());
  const CommandResult injected = zemctl(inject);
  EXPECT_EQ(injected.out, "accepted 6\n") << injected.err;
  EXPECT_EQ(zemctl({"get", "Vehicle.Body.DoorOpen", "--as", "boolean"}).out, "true\n");
  EXPECT_EQ(zemctl({"get", "Vehicle.Identification", "--as", "bytefield"}).out, kIdentification);

  // A call with a bad line is refused whole, naming the line; the bus goes on.
  const CommandResult refused = zemctl({"can", "inject", "3C0#00", "3C0#0"});
  EXPECT_EQ(refused.exitCode, 3);
  EXPECT_NE(refused.err.find("line 2"), std::string::npos) << refused.err;
  EXPECT_EQ(zemctl({"get", "Vehicle.Body.DoorOpen", "--as", "boolean"}).out, "true\n");
  EXPECT_EQ(zemctl({"can", "inject", "3C0#00", "3C0#02"}).out, "accepted 2\n");  // the door shuts, then locks
  // A flood of 100,000 frames in one call is taken whole, in order, and the unit goes on.
  std::string flood;
  for (int i = 1; i < 100000; ++i) flood += "3C1#1027\n";
  writeFile(File(workFolder() + "/flood.log"), flood + "3C1#E803\n");
  EXPECT_EQ(zemctl({"--timeout", "60000", "can", "inject", "-f", workFolder() + "/flood.log"}).out,
            "accepted 100000\n");
  EXPECT_EQ(zemctl({"get", "Vehicle.Motion.Speed", "--as", "float"}).out, "10\n");
  // A 64-byte CAN FD frame (bit rate switch set) feeds the same property, replayed by zemctl, which
  // writes it back in FD form for InjectFrames.
  writeFile(File(workFolder() + "/fd.log"), "(1700000001.000000) sim0 3C1##18813" + std::string(124, '0') + "\n");
  EXPECT_EQ(zemctl({"can", "replay", workFolder() + "/fd.log"}).out, "replayed 1\n");
  EXPECT_EQ(zemctl({"get", "Vehicle.Motion.Speed", "--as", "float"}).out, "50\n");
  EXPECT_TRUE(exitedWith(watcher->waitForExit(std::chrono::seconds(10)), 0));
  EXPECT_EQ(readFile(workFolder() + "/watch.out"),
            "ZemVehicleProperty Vehicle.Body.DoorOpen = true\nZemVehicleProperty Vehicle.Body.DoorLocked = false\n"
            "ZemVehicleProperty Vehicle.Body.DoorOpen = false\nZemVehicleProperty Vehicle.Body.DoorLocked = true\n");
}

TEST_F(LiveSourcesE2ETest, AReplayedLogALibraryFunctionAndTheExampleVehicleLibraryGiveLiveValues) {
  const File log(workFolder() + "/drive.log");
  writeFile(log, "(1700000000.000000) sim0 3C1#E803\n(1700000000.020000) sim0 3C0#01\n");
  ASSERT_NO_FATAL_FAILURE(startUnit({"--can-replay", log.getPath()}));
  EXPECT_TRUE(waitUntil(
      [&] {
        return zemctl({"get", "Vehicle.Body.DoorOpen", "--as", "boolean"}).out == "true\n";
      },
      std::chrono::seconds(10)));
  EXPECT_EQ(zemctl({"get", "Vehicle.Motion.Speed", "--as", "float"}).out, "10\n");
  EXPECT_EQ(zemctl({"get", "Vehicle.Greeting"}).out, "hello from a library\n");

  EXPECT_EQ(zemctl({"get", "ENGINE_RUNNING", "--as", "vehicle"}).out, "false\n");  // no state: unknown, false
  const auto watcher = watch(1);
  writeFile(File(sysroot() + "/tmp/vehicle-state"), "ENGINE_RUNNING=1\n");
  EXPECT_TRUE(exitedWith(watcher->waitForExit(std::chrono::seconds(10)), 0));
  EXPECT_EQ(readFile(workFolder() + "/watch.out"), "ZemVehicleProperty ENGINE_RUNNING = true\n");
  EXPECT_EQ(zemctl({"get", "ENGINE_RUNNING", "--as", "vehicle"}).out, "true\n");
}

// Group T (owner HMI): a database boolean. Group U (no owner): a literal, a list, a map, an integer.
std::string configXml(const std::string& literal) {
  const auto persisted = [](const std::string& kind, const std::string& name, const std::string& body) {
    return propertyXml(kind + "PropertyAdapter", "propertyName=\"" + name + "\"", "Persisted" + kind + "PropertyOrigin",
                       body);
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
                       persisted("Integer", "Count", "<k:key>U.Count</k:key>")) +
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
      {{"read", "U.Literal"}, 0, "007\n"},
      {{"get", "U.List", "--as", "list"}, 0, "a\n3\n"},
      {{"get", "U.Map", "--as", "map"}, 0, "k: v\nm:\n  x: 1\n"},
      {{"get", "--as", "geolocation"}, 0, "(no position)\n"},
      {{"get", "IGNITION_ON", "--as", "vehicle"}, 0, "true\n"},
      {{"get", "--as", "vin"}, 0, "WOLV1\n"},
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
