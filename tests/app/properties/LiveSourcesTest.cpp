// Live sources in the property map: CAN signals, values and byte fields decoded from frames, library
// calls and library vehicle properties, their change notifications and the end of a generation's
// events when the map is reloaded or released.
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PropertyTestSupport.h"
#include "kest/vehiclebus/BusDispatcher.h"

namespace {

using namespace proptest;
using VehicleBus::BusDispatcher;
using VehicleBus::CanFrame;

constexpr const char* kBus = "live0";  // no other test dispatches on it

CanFrame frame(std::uint32_t id, const std::vector<std::uint8_t>& data) {
  CanFrame f;
  f.id = id;
  f.extended = id > CanFrame::kMaxStandardId;
  f.length = static_cast<std::uint8_t>(data.size());
  std::copy(data.begin(), data.end(), f.data.begin());
  return f;
}

std::string signal(const std::string& type, const std::string& body) {
  return "<k:canValue xsi:type=\"k:" + type + "\"><k:busInterface>" + kBus + "</k:busInterface>" + body +
         "</k:canValue>";
}

std::string example(const std::string& name) { return std::string(ZEM_EXAMPLE_LIB_DIR) + "/" + name; }

class LiveSourcesTest : public PropertyTest {};

TEST_F(LiveSourcesTest, CanSourcesAnswerTheirLastFrameAndABooleanAnnouncesOnlyChangesOfItsOwnGeneration) {
  RunningApp app(RunningApp::Options{false, false});  // the application's change notifier
  load(named("Boolean", "door", "CanBoolean",
             signal("BytefieldMatchBooleanSignal",
                    "<k:canId>256</k:canId><k:startByte>1</k:startByte><k:mask>0F</k:mask><k:match>01</k:match>")) +
       named("ByteField", "raw", "CanBytefield",
             signal("RawCanByteFieldSignal",
                    "<k:canId>258</k:canId><k:startByte>2</k:startByte><k:length>1</k:length>")));
  BusDispatcher& bus = *app.services()->getBusDispatcher();
  EXPECT_EQ(map_.getPropertyValue("door"), "");  // no frame yet: no value
  bus.dispatch(kBus, {frame(0x100, {0x00, 0x31}), frame(0x100, {0x00, 0x21}), frame(0x102, {0x00, 0x00, 0xAB})});
  EXPECT_EQ(map_.getPropertyValue("door"), "true");
  EXPECT_EQ(map_.getPropertyValue("raw"), "0x00AB");
  bus.dispatch(kBus, frame(0x100, {0x00, 0x30}));
  EXPECT_EQ(map_.getPropertyValue("door"), "false");
  EXPECT_EQ(vehicleAnnouncements(ipc_), "door=true door=false ");  // the second frame changed nothing

  // The old generation's listener is gone once the reload returns: one announcement per change.
  map_.reloadConfig();
  bus.dispatch(kBus, frame(0x100, {0x00, 0x01}));
  EXPECT_EQ(vehicleAnnouncements(ipc_), "door=true door=false door=true ");
  const std::size_t sources = bus.registeredSources();
  map_.release();
  EXPECT_EQ(bus.registeredSources(), sources - 2);
  bus.dispatch(kBus, frame(0x100, {0x00, 0x00}));
  EXPECT_EQ(vehicleAnnouncements(ipc_), "door=true door=false door=true ");
}

TEST_F(LiveSourcesTest, VehiclePropertiesFollowTheLibraryAcrossReloadsAndStopAtRelease) {
  RunningApp app(RunningApp::Options{false, false});
  const std::string vehicleLibrary = example("libzem-example-vehicle.so");
  load(named("Boolean", "ignition", "LibraryCallVehicle",
             "<k:libraryName>" + vehicleLibrary +
                 "</k:libraryName><k:propertyName>IGNITION_ON</k:propertyName>"
                 "<k:propertyValueWhenUnknown>true</k:propertyValueWhenUnknown>"));
  EXPECT_EQ(map_.getPropertyValue("ignition"), "true");  // no state yet: unknown, assumed true

  // The test drives the library the map opened (the loader hands out the same instance).
  const std::unique_ptr<void, int (*)(void*)> handle(dlopen(vehicleLibrary.c_str(), RTLD_NOW | RTLD_NOLOAD), dlclose);
  ASSERT_NE(handle, nullptr);
  using SetStatus = void (*)(const char*, int);
  const auto setStatus = reinterpret_cast<SetStatus>(dlsym(handle.get(), "zemExampleVehicleSetStatus"));
  ASSERT_NE(setStatus, nullptr);
  setStatus("IGNITION_ON", 0);
  setStatus("ENGINE_RUNNING", 1);  // another property: not this one's
  EXPECT_EQ(map_.getPropertyValue("ignition"), "false");
  EXPECT_EQ(vehicleAnnouncements(ipc_), "IGNITION_ON=false ");

  // Callbacks racing with reloads never reach a listener of a destroyed generation (ASan, TSan).
  std::atomic<bool> stop{false};
  std::thread flipper([&] {
    for (int i = 0; !stop; ++i) setStatus("IGNITION_ON", i % 2);
  });
  for (int i = 0; i < 20; ++i) map_.reloadConfig();
  stop = true;
  flipper.join();
  setStatus("IGNITION_ON", 1);
  setStatus("IGNITION_ON", 0);
  const std::string before = vehicleAnnouncements(ipc_);
  const std::string last = "IGNITION_ON=true IGNITION_ON=false ";
  ASSERT_GE(before.size(), last.size());
  EXPECT_EQ(before.substr(before.size() - last.size()), last);
  map_.release();
  setStatus("IGNITION_ON", 1);
  EXPECT_EQ(vehicleAnnouncements(ipc_), before);
}

// A provisioning configuration is job input: a library is loaded only from the library folders, and
// any other is refused when the map loads, before the loader could run a line of it.
TEST_F(LiveSourcesTest, LibrariesLoadOnlyFromTheLibraryFoldersAndARefusedOneLeavesItsPropertyEmpty) {
  TrustBoundaries::Settings deviceFolderOnly = TrustBoundaries::settings();
  deviceFolderOnly.extraLibraryFolders.clear();
  const ScopedTrustBoundaries trusted(deviceFolderOnly);
  const File folder(DevicePaths::deviceRoot() + "/usr/lib/zem");
  ASSERT_TRUE(folder.mkdirs());
  const File built(example("libzem-example-functions.so"));
  ASSERT_TRUE(built.copyTo(File(folder, "libzem-example-functions.so")));
  ASSERT_TRUE(built.copyTo(File(folder.getParentFile(), "libzem-example-functions.so")));  // beside it, not in it
  ASSERT_EQ(::symlink(built.getPath().c_str(), File(folder, "linked.so").getPath().c_str()), 0);
  Dl_info libc{};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&::system), &libc), 0);
  const File marker(DevicePaths::sysroot() + "/tmp/system-ran");
  const std::string touch =
      "<k:arguments><k:key>c</k:key><k:value>touch " + marker.getPath() + "</k:value></k:arguments>";

  const struct {
    std::string library;
    bool loads;
    const char* function = "system";
  } cases[] = {
      {"libzem-example-functions.so", true, "echo"},
      {folder.getPath() + "/libzem-example-functions.so", true, "echo"},
      {"libzem-example-functions.so", true},  // a function of its dependencies does not count
      {"libc.so.6", false},
      {libc.dli_fname, false},
      {"linked.so", false},  // a link in the folder whose target lies outside
      {folder.getPath() + "/linked.so", false},
      {"../libzem-example-functions.so", false},
      {folder.getPath() + "/../libzem-example-functions.so", false},
      {"", false},
      {"lib\tc.so.6", false},  // escaped in the log line
  };
  std::string definitions;
  for (size_t i = 0; i < std::size(cases); ++i) {
    definitions += named("String", "p" + std::to_string(i), "LibraryCall",
                         "<k:libraryName>" + cases[i].library + "</k:libraryName><k:functionName>" + cases[i].function +
                             "</k:functionName>" + touch);
  }
  definitions += named("Boolean", "vehicle", "LibraryCallVehicle",
                       "<k:libraryName>libc.so.6</k:libraryName><k:propertyName>IGNITION_ON</k:propertyName>"
                       "<k:propertyValueWhenUnknown>true</k:propertyValueWhenUnknown>");
  LogCapture log;
  load(definitions);
  std::vector<std::string> refusals;
  for (size_t i = 0; i < std::size(cases); ++i) {
    if (cases[i].loads) continue;
    const std::string shown = cases[i].library == "lib\tc.so.6" ? "lib\\tc.so.6" : cases[i].library;
    refusals.push_back("Library refused, not in a library folder: " + shown + " (property p" + std::to_string(i) + ")");
  }
  refusals.push_back("Library refused, not in a library folder: libc.so.6 (property vehicle)");
  EXPECT_EQ(log.messages(log4cplus::ERROR_LOG_LEVEL), refusals);

  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].library);
    const bool echoes = std::string(cases[i].function) == "echo";
    EXPECT_EQ(map_.getPropertyValue("p" + std::to_string(i)), echoes ? "touch " + marker.getPath() : "");
  }
  EXPECT_EQ(map_.getPropertyValue("vehicle"), "");  // no source: not even the unknown value
  EXPECT_FALSE(marker.exists());
}

}  // namespace
