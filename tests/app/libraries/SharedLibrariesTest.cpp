// Shared-library calls through libffi and vehicle properties of the example vehicle library.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "PropertyTestSupport.h"
#include "ZemTestSupport.h"
#include "kest/TrustBoundaries.h"
#include "kest/testing/LogCapture.h"
#include "libraries/LibraryLoaderSeam.h"
#include "libraries/SharedLibraries.h"
#include "libraries/VehicleProperty.h"

namespace {

using kest::testing::LogCapture;
namespace Types = Sarnet_Configuration::Types;
const log4cplus::LogLevel kError = log4cplus::ERROR_LOG_LEVEL;
const std::string kFunctions = std::string(ZEM_EXAMPLE_LIB_DIR) + "/libzem-example-functions.so";
const std::string kVehicle = std::string(ZEM_EXAMPLE_LIB_DIR) + "/libzem-example-vehicle.so";

std::string call(const std::string& library, const std::string& function, const std::vector<std::string>& values) {
  std::vector<std::unique_ptr<Types::KeyValue>> arguments;
  for (const auto& value : values) {
    arguments.push_back(std::make_unique<Types::KeyValue>());
    arguments.back()->set_key("k");
    arguments.back()->set_value(value);
  }
  return SharedLibraries::callFunction(library, function, arguments);
}

class SharedLibrariesTest : public ::testing::Test {
 protected:
  void SetUp() override { SharedLibraries::clear(); }
  void TearDown() override { SharedLibraries::clear(); }

  const ScopedTrustBoundaries exampleLibraries_{proptest::withExampleLibraries()};
};

TEST_F(SharedLibrariesTest, CallFunctionPassesEachValueThenTheBufferAndReadsItsText) {
  const struct {
    const char* function;
    std::vector<std::string> values;
    std::string result;
    const char* error;  // the end of the one ERROR line expected, or null
  } cases[] = {
      {"concat", {"ab", "cd"}, "abcd", nullptr},
      {"fail", {"0"}, "", nullptr},
      {"fail", {"5"}, "", " (ret = 5"},
      {"fill", {"4096"}, std::string(4096, 'x'), nullptr},  // no NUL in the buffer: bounded read
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.function);
    LogCapture log;
    EXPECT_EQ(call(kFunctions, c.function, c.values), c.result);
    const auto errors = log.messages(kError);
    ASSERT_EQ(errors.size(), c.error != nullptr ? 1u : 0u) << log.dump();
    if (c.error != nullptr) {
      EXPECT_EQ(errors[0], "Error during to call the function fail from library " + kFunctions + c.error);
    }
  }
}

TEST_F(SharedLibrariesTest, LoaderAndCallFailuresAreLoggedAndYieldEmptyText) {
  const File folder = zem_test::freshFolder("libs");
  zem_test::writeFile(File(folder, "libbroken.so"), "not a library");
  TrustBoundaries::Settings settings = TrustBoundaries::settings();
  settings.extraLibraryFolders.push_back(folder.getPath());
  const ScopedTrustBoundaries trusted(settings);
  LogCapture log;
  const std::string missing = "/nonexistent/libnothing.so";
  EXPECT_EQ(call(missing, "echo", {"a"}), "");
  EXPECT_EQ(call(missing, "echo", {"a"}), "");  // stays registered: not opened again
  EXPECT_EQ(call("libbroken.so", "echo", {"a"}), "");
  EXPECT_EQ(call(kFunctions, "absent", {}), "");
  EXPECT_EQ(SharedLibraries::functionLibraryCount(), 3u);  // one entry per name, the refused ones too
  EXPECT_EQ(log.messages(kError), (std::vector<std::string>{
                                      "Library refused, not in a library folder: " + missing,
                                      "Cannot find the function echo in library " + missing,
                                      "Cannot find the function echo in library " + missing,
                                      "Impossible to load library libbroken.so",
                                      "Cannot find the function echo in library libbroken.so",
                                      "Cannot find the function absent in library " + kFunctions,
                                  }));
  log.clear();
  LibraryLoaderSeam failing = LibraryLoaderSeam::platform();
  failing.prepareCall = [](ffi_cif*, ffi_abi, unsigned int, ffi_type*, ffi_type**) { return FFI_BAD_TYPEDEF; };
  failing.close = [](void* handle) { return dlclose(handle) == 0 ? 1 : 0; };
  {
    const ScopedLibraryLoaderSeam seam(failing);
    EXPECT_EQ(call(kFunctions, "echo", {"a"}), "");
    SharedLibraries::clear();
  }
  EXPECT_EQ(log.messages(kError), (std::vector<std::string>{
                                      "Impossible to call the function echo from library " + kFunctions,
                                      "Impossible to close library",
                                  }));
  EXPECT_EQ(call(kFunctions, "echo", {"back"}), "back");
}

// Counts the events, which arrive on the library's thread.
struct Recorder : VehicleProperties::VehiclePropertyEventListener {
  void vehiclePropertyEvent(Types::VehiclePropertyType::Enum, bool) override { ++events; }
  std::atomic<int> events{0};
};

class VehiclePropertyTest : public SharedLibrariesTest {
 protected:
  void SetUp() override {
    SharedLibrariesTest::SetUp();
    stateFile_ = File(zem_test::freshFolder("vehicle"), "state");
    setenv("ZEM_EXAMPLE_VEHICLE_STATE", stateFile_.getPath().c_str(), 1);
    // Our own reference keeps the library loaded, so its test hooks stay callable after clear().
    library_.reset(dlopen(kVehicle.c_str(), RTLD_NOW));
    ASSERT_TRUE(library_);
    setStatus_ = reinterpret_cast<void (*)(const char*, int)>(dlsym(library_.get(), "zemExampleVehicleSetStatus"));
    registrations_ = reinterpret_cast<int (*)()>(dlsym(library_.get(), "zemExampleVehicleRegistrationCount"));
    running_ = reinterpret_cast<int (*)()>(dlsym(library_.get(), "zemExampleVehicleIsRunning"));
    ASSERT_TRUE(setStatus_ && registrations_ && running_);
  }
  void TearDown() override {
    SharedLibrariesTest::TearDown();
    unsetenv("ZEM_EXAMPLE_VEHICLE_STATE");
  }
  static std::shared_ptr<VehicleProperty> make(const std::string& name, bool whenUnknown = false,
                                               const std::string& library = kVehicle) {
    Types::LibraryCallVehiclePropertyOrigin origin;
    origin.set_libraryName(library);
    origin.set_propertyName(name);
    origin.set_propertyValueWhenUnknown(whenUnknown);
    return VehicleProperty::create(origin);
  }

  File stateFile_;
  std::unique_ptr<void, int (*)(void*)> library_{nullptr, dlclose};
  void (*setStatus_)(const char*, int) = nullptr;
  int (*registrations_)() = nullptr;
  int (*running_)() = nullptr;
};

TEST_F(VehiclePropertyTest, InitialValueFollowsTheStatusTable) {
  const struct {
    int status;
    bool whenUnknown, value;
    std::string error;
  } cases[] = {
      {0, true, false, ""},
      {1, false, true, ""},
      {2, true, true, "Status of property P is unknown -> assuming true"},
      {2, false, false, "Status of property P is unknown -> assuming false"},
      {3, true, false, "Property 'P' is not supported -> assuming false"},
      {7, true, false, "Unrecognized vehicle property status returned by library " + kVehicle + " for property P"},
  };
  auto initialised = make("P");  // the library reads its file once, when initialised
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    setStatus_("P", c.status);
    LogCapture log;
    EXPECT_EQ(make("P", c.whenUnknown)->getValue(), c.value);
    EXPECT_EQ(log.messages(kError), std::vector<std::string>(c.error.empty() ? 0 : 1, c.error));
  }
}

// Changes of a named property reach the map's listener (LiveSourcesTest); a property outside the
// enumeration keeps its value but tells nobody, and detaching unregisters the callback. Callbacks
// for a destroyed or unknown context are dropped; clearing the tables releases the library at once:
// releaseAPI stops the watcher thread and drops the registrations.
TEST_F(VehiclePropertyTest, UnknownNamesAndStaleCallbacksReachNobodyAndClearingReleasesTheLibrary) {
  const auto custom = make("CUSTOM");
  Recorder recorder;
  custom->attachListener(&recorder);
  LogCapture log;
  setStatus_("CUSTOM", 1);
  EXPECT_TRUE(custom->getValue());
  EXPECT_EQ(recorder.events, 0);
  EXPECT_EQ(log.messages(kError), std::vector<std::string>{"Unable to parse the enum value CUSTOM"});
  EXPECT_TRUE(log.contains(log4cplus::DEBUG_LOG_LEVEL, "VehiclePropertyCallback() for 'CUSTOM' with new value=TRUE"));
  custom->detachListener();
  EXPECT_EQ(registrations_(), 0);

  auto property = make("IGNITION_ON");
  property->attachListener(&recorder);
  void* const stale = property.get();
  property.reset();  // destroyed while still registered with the library
  setStatus_("IGNITION_ON", 1);
  int unrelated = 0;
  VehiclePropertyCallback(&unrelated, "IGNITION_ON", TRUE);
  VehiclePropertyCallback(stale, "IGNITION_ON", TRUE);
  VehiclePropertyCallback(nullptr, "IGNITION_ON", TRUE);
  EXPECT_EQ(recorder.events, 0);
  EXPECT_EQ(registrations_(), 1);

  property = make("IGNITION_ON");
  property->attachListener(&recorder);
  EXPECT_EQ(running_(), 1);
  EXPECT_EQ(SharedLibraries::vehiclePropertyLibraryCount(), 1u);
  SharedLibraries::clear();
  EXPECT_EQ(SharedLibraries::vehiclePropertyLibraryCount(), 0u);
  EXPECT_EQ(running_(), 0);
  EXPECT_EQ(registrations_(), 0);
  property->detachListener();  // the library is gone: nothing to call
}

TEST_F(VehiclePropertyTest, ALibraryWithoutTheEntryPointsLogsEachMissingOne) {
  LogCapture log;
  const auto property = make("IGNITION_ON", true, kFunctions);
  EXPECT_FALSE(property->getValue());
  Recorder recorder;
  property->attachListener(&recorder);
  property->detachListener();
  SharedLibraries::clear();
  std::vector<std::string> expected;
  for (const char* symbol : {"initialize", "getVehicleProperty", "addVehiclePropertyChangeCallback",
                             "removeVehiclePropertyChangeCallback", "releaseAPI"}) {
    expected.push_back(std::string("Impossible to find function ") + symbol + " in library " + kFunctions);
  }
  EXPECT_EQ(log.messages(kError), expected);
}

}  // namespace
