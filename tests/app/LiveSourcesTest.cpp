// Live sources in the property map: CAN signals, values and byte fields decoded from frames, library
// calls and library vehicle properties, their change notifications and the end of a generation's
// events when the map is reloaded or released.
#include <dlfcn.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "PropertyTestSupport.h"
#include "kest/vehiclebus/BusDispatcher.h"
#include "kolconfig/XmlDoc.h"

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

// "property=value " of every ZemVehicleProperty sent so far.
std::string announced(const Ipc::InProcessIpcService& ipc) {
  std::string all;
  for (const auto& p : ipc.sent("ZemVehicleProperty")) {
    const auto result = xmldoc::parseString<Types::IpcMessagePropertyResult>(p.at("property"));
    const auto* boolean = dynamic_cast<const Types::BooleanPropertyResult*>(result->element_value());
    all += boolean != nullptr ? boolean->get_property() + "=" + boolean->get_value() + " " : "? ";
  }
  return all;
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
  BusDispatcher& bus = BusDispatcher::instance();
  EXPECT_EQ(map_.getPropertyValue("door"), "");  // no frame yet: no value
  bus.dispatch(kBus, {frame(0x100, {0x00, 0x31}), frame(0x100, {0x00, 0x21}), frame(0x102, {0x00, 0x00, 0xAB})});
  EXPECT_EQ(map_.getPropertyValue("door"), "true");
  EXPECT_EQ(map_.getPropertyValue("raw"), "0x00AB");
  bus.dispatch(kBus, frame(0x100, {0x00, 0x30}));
  EXPECT_EQ(map_.getPropertyValue("door"), "false");
  EXPECT_EQ(announced(ipc_), "door=true door=false ");  // the second frame changed nothing

  // The old generation's listener is gone once the reload returns: one announcement per change.
  map_.reloadConfig();
  bus.dispatch(kBus, frame(0x100, {0x00, 0x01}));
  EXPECT_EQ(announced(ipc_), "door=true door=false door=true ");
  const std::size_t sources = bus.registeredSources();
  map_.release();
  EXPECT_EQ(bus.registeredSources(), sources - 2);
  bus.dispatch(kBus, frame(0x100, {0x00, 0x00}));
  EXPECT_EQ(announced(ipc_), "door=true door=false door=true ");
}

TEST_F(LiveSourcesTest, LibraryPropertiesCallTheirFunctionAndVehiclePropertiesFollowTheLibraryAcrossReloads) {
  RunningApp app(RunningApp::Options{false, false});
  const std::string vehicleLibrary = example("libzem-example-vehicle.so");
  load(named("String", "joined", "LibraryCall",
             "<k:libraryName>" + example("libzem-example-functions.so") +
                 "</k:libraryName><k:functionName>concat</k:functionName>"
                 "<k:arguments><k:key>a</k:key><k:value>ab</k:value></k:arguments>"
                 "<k:arguments><k:key>b</k:key><k:value>cd</k:value></k:arguments>") +
       named("Boolean", "ignition", "LibraryCallVehicle",
             "<k:libraryName>" + vehicleLibrary +
                 "</k:libraryName><k:propertyName>IGNITION_ON</k:propertyName>"
                 "<k:propertyValueWhenUnknown>true</k:propertyValueWhenUnknown>"));
  EXPECT_EQ(map_.getPropertyValue("joined"), "abcd");
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
  EXPECT_EQ(announced(ipc_), "IGNITION_ON=false ");

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
  const std::string before = announced(ipc_);
  const std::string last = "IGNITION_ON=true IGNITION_ON=false ";
  ASSERT_GE(before.size(), last.size());
  EXPECT_EQ(before.substr(before.size() - last.size()), last);
  map_.release();
  setStatus("IGNITION_ON", 1);
  EXPECT_EQ(announced(ipc_), before);
}

}  // namespace
