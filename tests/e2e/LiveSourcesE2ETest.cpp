// Live sources through zem-host, configured as the demo configures it: the example job's provisioning
// configuration with the CAN properties that zemctl makes from the demo vehicle's DBC file. CAN
// frames injected over D-Bus or replayed from a candump log, a library function, and a vehicle
// property of the example vehicle library, each read with zemctl and announced to a watcher; and a
// configuration made from another DBC file, installed by a job.
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

TEST_F(LiveSourcesE2ETest, InjectedFramesFeedTheCanPropertiesOfBothImportsAndTheDoorSwitchIsAnnounced) {
  ASSERT_NO_FATAL_FAILURE(startUnit());
  EXPECT_EQ(zemctl({"get", "Vehicle.Body.DoorOpen", "--as", "boolean"}).out, "\n");  // no frame yet
  const auto watcher = watch(4);  // the two door switches of frame 0x3C0, each set and cleared
  std::vector<std::string> inject = {"can", "inject", "(1700000000.000000) sim0 3C0#01", "3C1#1027"};
  inject.insert(inject.end(), kIdentificationFrames.begin(), kIdentificationFrames.end());
  const CommandResult injected = zemctl(inject);
  EXPECT_EQ(injected.out, "accepted 6\n") << injected.err;
  EXPECT_EQ(zemctl({"get", "Vehicle.Body.DoorOpen", "--as", "boolean"}).out, "true\n");
  EXPECT_EQ(zemctl({"get", "Vehicle.Motion.Speed", "--as", "float"}).out, "100\n");
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

  // A configuration made from another DBC file installs beside the first import.
  const File dbc(workFolder() + "/brake.dbc");
  writeFile(dbc,
            "BO_ 2364540158 Brake: 8 ECU\n SG_ Pressure : 8|12@1- (0.5,-10) [-1034|1013.5] \"bar\" Vector__XXX\n"
            " SG_ Active : 0|1@1+ (1,0) [0|1] \"\" Vector__XXX\n");
  const std::string config = workFolder() + "/dbc-config.xml";
  const CommandResult made = zemctl({"config", "from-dbc", dbc.getPath(), "--prefix", "Dbc", "--bus", "sim0", "--into",
                                     sysroot() + "/media/olvane/configs/zem_app/config.xml", "-o", config});
  ASSERT_EQ(made.exitCode, 0) << made.err;
  const CommandResult installed = zemctl({"config", "install", config, "--force"});
  ASSERT_EQ(installed.exitCode, 0) << installed.err;
  EXPECT_EQ(zemctl({"can", "inject", "0CF004FE#01FE0F", "3C1#1027"}).out, "accepted 2\n");
  EXPECT_EQ(zemctl({"get", "Dbc.Brake.Active", "--as", "boolean"}).out, "true\n");
  EXPECT_EQ(zemctl({"get", "Dbc.Brake.Pressure", "--as", "float"}).out, "-11\n");    // raw -2 x 0.5 - 10
  EXPECT_EQ(zemctl({"get", "Vehicle.Motion.Speed", "--as", "float"}).out, "100\n");  // kept from the first import
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

}  // namespace
