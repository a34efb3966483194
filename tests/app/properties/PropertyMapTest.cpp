// The property map: loading, owner-checked updates, failed lookups, monitors and concurrency.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "PropertyTestSupport.h"
#include "kolconfig/XmlDoc.h"
#include "properties/ProvisioningAdapterImpl.h"

namespace {

using namespace proptest;

// One definition of every shape the loader tells apart, in document order.
std::string everyKindConfig() {
  return groupXml("A", {"X"},
                  named("Boolean", "b", "PersistedBoolean", keyXml("A.b")) +
                      groupXml("G", {"Y"},
                               propertyXml("ImeiPropertyAdapter", "", "StringLiteralPropertyOrigin",
                                           "<k:value>g-imei</k:value>")) +
                      named("String", "after", "PersistedString", keyXml("after"))) +
         groupXml("B", {"Z"}, "") +
         propertyXml("ImeiPropertyAdapter", "", "StringLiteralPropertyOrigin", "<k:value>imei</k:value>") +
         propertyXml("VehiclePropertyAdapter", "vehicleProperty=\"IGNITION_ON\"", "PersistedBooleanPropertyOrigin",
                     keyXml("IGNITION_ON")) +
         named("String", "cert", "Certificate", "<k:certificateId>Cert0_Client_Target</k:certificateId>") +
         named("String", "tql", "TqlBackendConfig", keyXml("tql") + "<k:configPath>tql.properties</k:configPath>") +
         named("String", "log", "ComponentLogLevel",
               keyXml("log") + "<k:component>peer</k:component><k:interface>SelfDiag</k:interface>") +
         named("String", "ps", "PersistedString", keyXml("ps")) +
         named("Integer", "i", "IntegerLiteral", "<k:value>007</k:value>") +
         named("Boolean", "can", "CanBoolean",
               "<k:canValue xsi:type=\"k:BytefieldMatchBooleanSignal\"><k:match>01</k:match></k:canValue>") +
         named("Float", "canf", "CanFloat",
               "<k:canValue xsi:type=\"k:ArrayValueSignal\"><k:startBit>0</k:startBit><k:length>8</k:length>"
               "</k:canValue>") +
         named("ByteField", "canb", "CanBytefield",
               "<k:canValue xsi:type=\"k:RawCanByteFieldSignal\"><k:canId>256</k:canId></k:canValue>") +
         named("Boolean", "badsig", "CanBoolean", "<k:canValue><k:signalName>s</k:signalName></k:canValue>") +
         named("String", "lib", "LibraryCall", "<k:libraryName>x</k:libraryName><k:functionName>f</k:functionName>") +
         named("Boolean", "libveh", "LibraryCallVehicle",
               "<k:libraryName>v</k:libraryName><k:propertyName>IGNITION_ON</k:propertyName>") +
         propertyXml("StringPropertyAdapter", "propertyName=\"noorigin\"", "") +
         propertyXml("GeoLocationPropertyAdapter", "", "") +
         named("String", "s", "StringLiteral", "<k:value>first</k:value>") +
         named("String", "s", "StringLiteral", "<k:value>second</k:value>") +
         groupXml("A", {"W"}, named("Boolean", "b", "PersistedBoolean", keyXml("other")));
}

class PropertyMapTest : public PropertyTest {};

TEST_F(PropertyMapTest, LoadingNamesEveryPropertyAndPicksTheItemByTheOriginSelectionOrder) {
  LogCapture log;
  load(everyKindConfig());
  // "key=type" of each property inserted, in loading order.
  std::istringstream inserted(
      "A.b=MapAdapter<DatabaseProperty> A.G.Imei=StringLiteralPropertyOrigin "
      "A.after=PersistedStringPropertyOrigin Imei=StringLiteralPropertyOrigin "
      "IGNITION_ON=MapAdapter<DatabaseVehicleProperty> cert=CertificatePropertyOrigin "
      "tql=TqlBackendConfigPropertyOrigin log=ComponentLogLevelPropertyOrigin "
      "ps=PersistedStringPropertyOrigin i=IntegerLiteralPropertyOrigin can=MapAdapter<Signal> "
      "canf=MapAdapter<Value> canb=MapAdapter<ByteField> lib=MapAdapter<SharedLibrary> "
      "libveh=MapAdapter<VehicleProperty> s=StringLiteralPropertyOrigin");
  for (std::string row; inserted >> row;) {
    const std::string key = row.substr(0, row.find('='));
    EXPECT_EQ(log.count(log4cplus::TRACE_LOG_LEVEL,
                        "Inserted item to map: key = " + key + " and of type = " + row.substr(key.size() + 1)),
              key == "s" ? 2u : 1u)
        << row << "\n"
        << log.dump();
  }
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "Config not recongnised! BooleanSignal"), 1u);
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "Origin type not recognised!"), 2u);  // noorigin, GeoLocation
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "Property with key s already in map! Ignoring this property!"), 1u);
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "Property with key A.b already in map! Ignoring this property!"), 1u);
  EXPECT_TRUE(log.contains(log4cplus::TRACE_LOG_LEVEL, "Number of items in property map: 16"));

  EXPECT_EQ(map_.getPropertyValue("A.G.Imei"), "g-imei");
  EXPECT_EQ(map_.getPropertyValue("Imei"), "imei");
  EXPECT_EQ(map_.getPropertyValue("s"), "first");
}

TEST_F(PropertyMapTest, UpdatesFollowTheOwnerListsAccumulatedWithinATopLevelDefinition) {
  load(everyKindConfig() + named("String", "ZEM.LOGLEVEL", "PersistedString", keyXml("ZEM.LOGLEVEL")),
       entryXml("ps", valueXml("String", "old")));
  const struct {
    const char *name, *component, *kind, *text;
    bool outcome;
    const char* log;  // a line the update must log
  } cases[] = {
      {"A.b", "X", "Boolean", "true", true, "Updated value for property key A.b to 1"},
      {"A.b", "Z", "Boolean", "false", false,
       "Update of property A.b is not allowed because the updating component (Z) does not having update permissions"},
      {"A.b", "", "Boolean", "false", true, "Updated value for property key A.b to 0"},  // unnamed: not checked
      {"A.after", "Y", "String", "y", true, "to 'y'"},  // owner of an earlier sibling group
      {"s", "W", "String", "w", false,
       "Generic setValue(const T&) called as type is not recognised. "
       "StringLiteralPropertyOrigin"},  // the duplicate's owners were dropped
      {"ps", ":1.42", "Integer", "3", false, "Cannot update value for property key ps"},     // wrong kind
      {"ps", ":1.42", "String", "new", true, "Updated value for property key ps to 'new'"},  // unrestricted
      {"nothing", "", "String", "x", false, "Cannot update value for property key nothing"},
      // Start-up applies the stored level: only exact level names are taken.
      {"ZEM.LOGLEVEL", "", "String", "INFO", true, "Updated value for property key ZEM.LOGLEVEL to 'INFO'"},
      {"ZEM.LOGLEVEL", "", "String", "info", false, "ZEM.LOGLEVEL takes only a log level name, not 'info'"},
      {"ZEM.LOGLEVEL", "", "Integer", "3", false, "ZEM.LOGLEVEL takes only a log level name, not a value of another"},
  };
  for (const auto& c : cases) {
    LogCapture log;
    const std::string answer = map_.setXmlPropertyResult(updateXml(c.name, c.kind, c.text), c.component);
    const auto result = xmldoc::parseString<Types::IpcMessagePropertyResult>(answer);
    const auto* update = dynamic_cast<const Types::PropertyUpdateResult*>(result->element_value());
    ASSERT_NE(update, nullptr) << answer;
    EXPECT_EQ(update->get_value(), c.outcome) << c.name << " by " << c.component;
    EXPECT_EQ(log.countAny(c.log), 1u) << c.name << " by " << c.component << "\n" << log.dump();
  }
  EXPECT_EQ(map_.getPropertyValue("A.b"), "false");
  // A caller owning several component names is judged by all of them, whichever sorts first.
  const auto updatedBy = [&](const std::vector<std::string>& names) {
    return map_.setXmlPropertyResult(updateXml("A.b", "Boolean", "true"), names).find(">true<") != std::string::npos;
  };
  EXPECT_FALSE(updatedBy({"Q", "Z"}));
  EXPECT_TRUE(updatedBy({"Q", "X"}));
  EXPECT_EQ(stored("ps"), "new");
  EXPECT_EQ(stored("ZEM.LOGLEVEL"), "INFO");
  EXPECT_FALSE(update("A.after", integerNode(5)));  // no permission check, but the kind is checked
  EXPECT_FALSE(map_.updateProperty(nullptr, "A.after"));
  EXPECT_EQ(stored("after"), "y");
}

TEST_F(PropertyMapTest, AMissingConfigIsRetriedOnEveryAccess) {
  const std::string definitions = named("String", "p1", "StringLiteral", "<k:value>v</k:value>");
  load(definitions);
  File(File(DevicePaths::installedConfigFolder()), DevicePaths::kConfigFileName).remove();
  map_.reloadConfig();
  LogCapture log;
  EXPECT_EQ(map_.getPropertyValue("p1"), "");
  EXPECT_EQ(map_.getPropertyValue("p1"), "");
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "Config file doesn't exist: "), 2u) << log.dump();
  installConfig(definitions);
  EXPECT_EQ(map_.getPropertyValue("p1"), "v");  // the next access finds it
}

TEST_F(PropertyMapTest, AMonitoredStoreBooleanAnnouncesEachChangeOnceAndAVehicleBooleanSendsItsResult) {
  RunningApp app(RunningApp::Options{false, false});  // the application's change notifier
  load(everyKindConfig(), entryXml("A", mapXml(entryXml("b", valueXml("Boolean", "false")))));
  map_.addPropertyMonitor("A.b", ":1.5", "M");
  map_.addPropertyMonitor("A.b", ":1.5", "M");  // twice is once
  const auto yes = booleanNode(true);
  const auto no = booleanNode(false);
  const auto announced = [&] {  // "property=value " per PropertyValueChanged sent
    std::string all;
    for (const auto& p : ipc_.sent("PropertyValueChanged")) all += p.at("property") + "=" + p.at("value") + " ";
    return all;
  };

  ASSERT_TRUE(map_.updateProperty(&yes, "A.b"));
  ASSERT_TRUE(map_.updateProperty(&yes, "A.b"));  // unchanged: nothing to announce
  ASSERT_TRUE(map_.updateProperty(&no, "A.b"));
  ASSERT_TRUE(map_.updateProperty(&yes, "IGNITION_ON"));  // not monitored: no PropertyValueChanged
  EXPECT_EQ(announced(), "A.b=true A.b=false ");
  EXPECT_EQ(vehicleAnnouncements(ipc_), "IGNITION_ON=true ");

  // A reload detaches the listeners of the old generation: one announcement per change, not two.
  map_.reloadConfig();
  ASSERT_TRUE(map_.updateProperty(&yes, "A.b"));
  EXPECT_EQ(announced(), "A.b=true A.b=false A.b=true ");
  Ipc::IpcService::setInstance(nullptr);
  LogCapture log;
  map_.notifyMonitors("A.b", "x");
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "Unable to notify registered monitor for propertyA.b : "), 1u);
  map_.notifyMonitors("unmonitored", "x");
  EXPECT_EQ(log.entries().size(), 1u);
  map_.removePropertyMonitors(":1.5");
}

// Monitors through the servlet: only names in the map, at most 256 per caller, gone when the caller
// leaves; a flood of refusals writes a few lines and a legitimate monitor is still announced.
TEST_F(PropertyMapTest, MonitorsTakeOnlyMapNamesAFewPerCallerUntilTheCallerLeaves) {
  RunningApp app(RunningApp::Options{false, false});
  std::string many;
  for (int i = 0; i < 300; ++i)
    many += named("String", "p" + std::to_string(i), "StringLiteral", "<k:value>v</k:value>");
  // A boolean announces its changes under its store key, which may differ from its name.
  many += named("Boolean", "C.flag", "PersistedBoolean", keyXml("store.flag"));
  load(everyKindConfig() + many, entryXml("A", mapXml(entryXml("b", valueXml("Boolean", "false")))));
  const auto monitor = [&](const std::string& caller, const std::string& name) {
    Ipc::IpcParameterSet in;
    in.add(std::make_unique<Ipc::IpcStringParameter>("property", name));
    const Ipc::IpcCaller who{caller, {caller}, ":" + caller};
    return app.ipc().call("Zem", "MonitorProperty", in, who).get<Ipc::IpcIntegerParameter>("result").getValue();
  };
  size_t announcedBefore = 0;  // announcements of other names before the checks of A.b
  const auto announcedA = [&] { return ipc_.sent("PropertyValueChanged").size() - announcedBefore; };
  const auto flip = [&](bool value) { return update("A.b", booleanNode(value)); };

  EXPECT_EQ(monitor("first", std::string(2048, 'p')), 1);
  EXPECT_EQ(monitor("first", "store.flag"), 0);
  ASSERT_TRUE(update("C.flag", booleanNode(true)));
  ASSERT_EQ(ipc_.sent("PropertyValueChanged").size(), 1u);
  EXPECT_EQ(ipc_.sent("PropertyValueChanged")[0].at("property"), "store.flag");
  announcedBefore = 1;
  for (int i = 0; i < 256; ++i) ASSERT_EQ(monitor("greedy", "p" + std::to_string(i)), 0) << i;
  EXPECT_EQ(monitor("greedy", "A.b"), 2);  // the 257th
  EXPECT_EQ(monitor("greedy", "p0"), 0);   // held already
  for (int i = 299; i >= 44; --i) ASSERT_EQ(monitor("other", "p" + std::to_string(i)), 0) << i;
  app.ipc().clientLeft(":greedy");
  EXPECT_EQ(monitor("greedy", "A.b"), 0);  // its slots are free again
  ASSERT_TRUE(flip(true));
  EXPECT_EQ(announcedA(), 1u);
  app.ipc().clientLeft(":greedy");  // nobody else monitors A.b: no longer announced
  ASSERT_TRUE(flip(false));
  EXPECT_EQ(announcedA(), 1u);

  ASSERT_EQ(monitor("legit", "A.b"), 0);
  LogCapture log;
  std::atomic<int> refused{0};
  std::thread flood([&] {
    for (int i = 0; i < 20000; ++i) refused += monitor("flood", "No.Such" + std::to_string(i)) == 1;
  });
  EXPECT_TRUE(waitUntil([&] { return refused > 0; }));
  for (int i = 1; i <= 20; ++i) EXPECT_TRUE(flip(i % 2 == 1));
  flood.join();
  EXPECT_EQ(refused, 20000);
  EXPECT_EQ(announcedA(), 21u);  // every change during the flood reached the monitor
  app.ipc().clientLeft(":flood");
  const size_t lines = log.countAny("monitor request(s) of caller flood");
  EXPECT_GE(lines, 1u);
  EXPECT_LE(lines, 5u) << log.dump();
  for (const char* caller : {":first", ":other", ":legit"}) app.ipc().clientLeft(caller);
}

// Only small values the map holds are answered at once, and nothing while another thread holds the map.
TEST_F(PropertyMapTest, AtOnceAnswersOnlyHeldValuesWhileTheMapIsFree) {
  load(
      everyKindConfig() + named("String", "big", "StringLiteral", "<k:value>" + std::string(70000, 'v') + "</k:value>"),
      entryXml("ps", valueXml("String", "stored")));
  const auto request = [](const std::string& name) {
    return document("IpcMessageStringPropertyRequest", "<k:propertyName>" + name + "</k:propertyName>");
  };
  std::string answer;
  EXPECT_TRUE(map_.tryGetPropertyValueAtOnce("A.b", &answer));
  EXPECT_EQ(answer, "false");
  for (const char* name : {"ps", "big", "unknown", "cert"}) EXPECT_FALSE(map_.tryGetPropertyValueAtOnce(name, &answer));
  EXPECT_FALSE(map_.tryGetXmlPropertyResultAtOnce("<not a request/>", &answer));
  // While a component-log-level write waits for its component, the map is busy: nothing at once.
  std::promise<void> release;
  std::atomic<bool> calling{false};
  ipc_.addPeer("peer", "SetComponentLogLevel", [&](const std::string&, const Ipc::IpcParameterSet&) {
    calling = true;
    release.get_future().wait();
    Ipc::IpcParameterSet out;
    out.add(std::make_unique<Ipc::IpcIntegerParameter>("result", 0));
    return out;
  });
  const auto level = stringNode("INFO");
  std::thread writer([&] { map_.updateProperty(&level, "log"); });
  ASSERT_TRUE(waitUntil([&] { return calling.load(); }));
  EXPECT_FALSE(map_.tryGetPropertyValueAtOnce("i", &answer));
  release.set_value();
  writer.join();
  EXPECT_TRUE(map_.tryGetPropertyValueAtOnce("i", &answer));
  EXPECT_EQ(answer, "007");
  // A request asked again answers what the map holds now: a kept answer never outlives its value,
  // whether an update or a reload changed it.
  const std::string flag = document("IpcMessageBooleanPropertyRequest", "<k:propertyName>A.b</k:propertyName>");
  for (const bool value : {true, true, false}) {
    ASSERT_TRUE(update("A.b", booleanNode(value)));
    ASSERT_TRUE(map_.tryGetXmlPropertyResultAtOnce(flag, &answer));
    EXPECT_NE(answer.find(value ? ">true<" : ">false<"), std::string::npos) << answer;
    EXPECT_EQ(answer, map_.getXmlPropertyResult(flag));
  }
  load(named("Integer", "i", "IntegerLiteral", "<k:value>8</k:value>"));
  ASSERT_TRUE(map_.tryGetXmlPropertyResultAtOnce(request("i"), &answer));
  EXPECT_NE(answer.find(">8<"), std::string::npos) << answer;
}

TEST_F(PropertyMapTest, ConcurrentReadsWritesAndReloadsLoseNoAnnouncement) {
  load(everyKindConfig(), entryXml("A", mapXml(entryXml("b", valueXml("Boolean", "false")))));
  map_.addPropertyMonitor("A.b", ":1.6", "M");
  const std::string request = document("IpcMessageBooleanPropertyRequest", "<k:propertyName>A.b</k:propertyName>");
  std::atomic<bool> done{false};
  const auto read = [&] {
    while (!done) EXPECT_NE(map_.getXmlPropertyResult(request).find("<k:property>A.b</k:property>"), std::string::npos);
  };
  std::thread readers[] = {std::thread(read), std::thread(read)};
  std::thread reloader([&] {
    while (!done) map_.reloadConfig();
  });
  for (int i = 1; i <= 40; ++i) EXPECT_TRUE(update("A.b", booleanNode(i % 2 == 1)));
  done = true;
  for (auto& reader : readers) reader.join();
  reloader.join();
  EXPECT_EQ(ipc_.sent("PropertyValueChanged").size(), 40u);  // every write changed the value
  map_.removePropertyMonitors(":1.6");
}

TEST_F(PropertyMapTest, TenThousandPropertiesLoadAndAFailedLookupListsAtMost32) {
  std::string definitions;
  for (int i = 0; i < 10000; ++i)
    definitions += groupXml(
        "g" + std::to_string(i % 10), {"o"},
        named("String", "p" + std::to_string(i), "StringLiteral", "<k:value>" + std::to_string(i) + "</k:value>"));
  load(definitions);
  EXPECT_EQ(map_.getPropertyValue("g9.p9999"), "9999");
  LogCapture log;  // a failed lookup lists at most 32 of the known keys
  EXPECT_EQ(map_.getPropertyValue("unknown\nname"), "");
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "No value found for key unknown\\nname"), 1u);
  EXPECT_EQ(log.count(log4cplus::DEBUG_LOG_LEVEL, "    g"), 32u);
  EXPECT_EQ(log.count(log4cplus::DEBUG_LOG_LEVEL, "    ... and 9968 more"), 1u);
}

}  // namespace
