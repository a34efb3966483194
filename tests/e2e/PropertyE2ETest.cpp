// The property map through a real zem-host on a private bus: every request kind, updates from a
// component that owns the property, one that does not and a caller without a component name,
// monitors, hostile documents, and the provisioning-config and property jobs.
#include <filesystem>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "ZemHostFixture.h"
#include "ZemTestSupport.h"
#include "kest/ipc/DBusIpcClient.h"

namespace {

using namespace zem_test;
using Ipc::DBusIpcClient;

std::string requestDocument(const std::string& kind, const std::string& field) {
  return document("IpcMessage" + kind + "PropertyRequest", field);
}

class PropertyE2ETest : public ZemHostFixture {
 protected:
  void startUnit() {
    startHost({}, {{"DBUS_SESSION_BUS_ADDRESS", startPrivateBus()}, {"TMPDIR", workFolder()}});
    ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
  }
  // "ZemPropertyRequest" or "ZemPropertyUpdate" with `request`; the "response" text, "<none>" without.
  static std::string call(DBusIpcClient& client, const std::string& method, const std::string& request) {
    Ipc::IpcParameterSet in;
    in.add(std::make_unique<Ipc::IpcByteFieldParameter>("request", request));
    const Ipc::IpcParameterSet out = client.call("ZEM_APP", "Zem", method, in);
    const auto* response = dynamic_cast<const Ipc::IpcByteFieldParameter*>(out.find("response"));
    return response != nullptr ? response->getValueAsString() : "<none>";
  }
  static std::string read(DBusIpcClient& client, const std::string& name) {
    Ipc::IpcParameterSet in;
    in.add(std::make_unique<Ipc::IpcStringParameter>("property", name));
    return client.call("ZEM_APP", "SelfDiag", "ReadStringProperty", in)
        .get<Ipc::IpcStringParameter>("value")
        .getValue();
  }
  std::string storedDatabase() const { return ::readFile(sysroot() + "/media/olvane/data/zem_app/STORE/database.xml"); }
  CommandResult job(const std::vector<std::string>& args) { return zemctl(args, {{"ZEM_SYSROOT", sysroot()}}); }
  // Builds (from a description document or a generated one), submits and awaits a job; its result.
  CommandResult runJob(const std::string& id, std::vector<std::string> build) {
    const std::string zip = workFolder() + "/" + id + ".zip";
    build.insert(build.begin(), "job");
    build.insert(build.end(), {"-o", zip});
    EXPECT_EQ(job(build).exitCode, 0);
    EXPECT_EQ(job({"job", "submit", zip}).exitCode, 0);
    return job({"job", "result", id, "--wait", "30"});
  }
};

TEST_F(PropertyE2ETest, EveryRequestKindIsAnsweredWithItsResultKind) {
  ASSERT_NO_FATAL_FAILURE(startUnit());
  DBusIpcClient client;
  const auto named = [](const std::string& name) { return "<k:propertyName>" + name + "</k:propertyName>"; };
  struct Row {
    std::string kind, field, resultKind, value;
  };
  const Row rows[] = {
      {"String", named("Unit.Name"), "StringPropertyResult", "ZEM demo unit"},
      {"Integer", named("Unit.Code"), "IntegerPropertyResult", "007"},
      {"Float", named("Unit.Ratio"), "FloatPropertyResult", "0.75"},
      {"Boolean", named("Comfort.SeatHeating"), "SimpleBooleanPropertyResult", "false"},
      {"ByteField", named("Unit.Marker"), "ByteFieldPropertyResult", "0A1B2C3D"},
      {"List", named("Comfort.Destinations"), "ListPropertyResult", "Work"},
      {"Map", named("Comfort.Presets"), "MapPropertyResult", "eco"},
      {"Vehicle", "<k:vehicleProperty>PARKING_BRAKE_SET</k:vehicleProperty>", "BooleanPropertyResult", "true"},
      {"Imei", "", "ImeiPropertyResult", "356938035643809"},
      {"Vin", "", "VinPropertyResult", "WOLV4DEM0U1T00007"},
      {"TcuId", "", "TcuIdPropertyResult", "TCU-0001"},
      {"SystemTime", "", "StringPropertyResult", ""},
      {"GeoLocation", "", "GeolocationPropertyResult", ""},
  };
  for (const Row& row : rows) {
    const std::string answer = call(client, "ZemPropertyRequest", requestDocument(row.kind, row.field));
    EXPECT_NE(answer.find("k:" + row.resultKind + "\""), std::string::npos) << row.kind << ": " << answer;
    EXPECT_TRUE(row.value.empty() || answer.find(">" + row.value + "<") != std::string::npos) << answer;
  }
  EXPECT_EQ(read(client, "Unit.Code"), "007");
  EXPECT_EQ(read(client, "No.Such.Property"), "");
}

// Only an owner (a caller owning com.olvane.HMI) writes the Comfort group; an unrestricted property
// takes any caller. What is refused, or malformed, stores nothing and fires no monitor.
TEST_F(PropertyE2ETest, UpdatesNeedAnOwnerAndHostileDocumentsChangeNothing) {
  ASSERT_NO_FATAL_FAILURE(startUnit());
  DBusIpcClient anonymous, hmi(Ipc::DBusBusType::Session, "com.olvane.HMI"),
      other(Ipc::DBusBusType::Session, "com.olvane.OTHER");
  std::mutex mutex;
  std::vector<std::string> changes;  // "property=value", guarded by mutex
  const auto subscription =
      anonymous.subscribe("ZEM_APP", [&](const std::string& signal, const Ipc::IpcParameterSet& p) {
        if (signal != "PropertyValueChanged") return;
        std::lock_guard<std::mutex> lock(mutex);
        changes.push_back(p.get<Ipc::IpcStringParameter>("property").getValue() + "=" +
                          p.get<Ipc::IpcStringParameter>("value").getValue());
      });
  Ipc::IpcParameterSet monitor;
  monitor.add(std::make_unique<Ipc::IpcStringParameter>("property", "Comfort.SeatHeating"));
  EXPECT_EQ(
      anonymous.call("ZEM_APP", "Zem", "MonitorProperty", monitor).get<Ipc::IpcIntegerParameter>("result").getValue(),
      0);

  struct Row {
    DBusIpcClient* caller;
    std::string name, kind, text;
    bool accepted;
  };
  const Row rows[] = {
      {&anonymous, "Comfort.SeatHeating", "Boolean", "true", false},
      {&other, "Comfort.SeatHeating", "Boolean", "true", false},
      {&hmi, "Comfort.Temperature", "String", "warm", false},
      {&hmi, "Unit.Code", "Integer", "8", false},
      {&hmi, "No.Such.Property", "Integer", "8", false},
      {&anonymous, "Vehicle.ReportInterval", "Integer", "30", true},
      {&hmi, "Comfort.SeatHeating", "Boolean", "true", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name + " from " + row.caller->getUniqueName());
    const std::string before = read(hmi, row.name);
    const std::string answer = call(*row.caller, "ZemPropertyUpdate", updateXml(row.name, row.kind, row.text));
    EXPECT_NE(answer.find("k:PropertyUpdateResult"), std::string::npos) << answer;
    EXPECT_NE(answer.find(row.accepted ? ">true<" : ">false<"), std::string::npos) << answer;
    EXPECT_EQ(read(hmi, row.name) != before, row.accepted);
  }
  EXPECT_TRUE(waitUntil(
      [&] {
        std::lock_guard<std::mutex> lock(mutex);
        return !changes.empty();
      },
      std::chrono::seconds(10)));

  // Hostile documents from an owner: each answered with an empty or negative result.
  const std::string stored = storedDatabase();
  const std::string update = updateXml("Comfort.SeatHeating", "Boolean", "false");
  const std::string hostile[][2] = {
      {"ZemPropertyUpdate", ""},
      {"ZemPropertyUpdate", update.substr(0, update.size() / 2)},
      {"ZemPropertyUpdate", requestDocument("Boolean", "<k:propertyName>Comfort.SeatHeating</k:propertyName>")},
      {"ZemPropertyUpdate", std::regex_replace(update, std::regex("PersistedBooleanValue"), "PersistedNoValue")},
      {"ZemPropertyUpdate", std::string(update).insert(update.find("<k:config"), "<!DOCTYPE x [<!ENTITY e \"e\">]>")},
      {"ZemPropertyRequest", "not xml at all"},
      {"ZemPropertyRequest", update},
      {"ZemPropertyRequest", requestDocument("Boolean", "<k:propertyName>No.Such</k:propertyName>")},
      {"ZemPropertyRequest", requestDocument("Nonsense", "<k:propertyName>Comfort.SeatHeating</k:propertyName>")},
  };
  for (const auto& [method, text] : hostile) {
    SCOPED_TRACE(::testing::Message() << method << ": " << text);
    const std::string answer = call(hmi, method, text);
    EXPECT_NE(answer, "<none>");
    EXPECT_EQ(answer.find(">true<"), std::string::npos) << answer;
  }
  // Without "request", or with a string where a byte field belongs: no answer parameter at all.
  EXPECT_TRUE(hmi.call("ZEM_APP", "Zem", "ZemPropertyUpdate", {}).empty());
  Ipc::IpcParameterSet mistyped;
  mistyped.add(std::make_unique<Ipc::IpcStringParameter>("request", update));
  EXPECT_TRUE(hmi.call("ZEM_APP", "Zem", "ZemPropertyUpdate", mistyped).empty());

  EXPECT_EQ(read(hmi, "Comfort.SeatHeating"), "true");
  EXPECT_EQ(storedDatabase(), stored);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(changes, std::vector<std::string>{"Comfort.SeatHeating=true"});
  EXPECT_EQ(zemctl({"ping"}).out, "status 2\n");
}

// A configuration installed by job replaces the map at once; a property job then writes a property
// of a group the backend does not own.
TEST_F(PropertyE2ETest, AnInstalledConfigurationIsServedAndAPropertyJobWritesIt) {
  ASSERT_NO_FATAL_FAILURE(startUnit());
  const File config(workFolder() + "/config.xml"), update(workFolder() + "/update.xml");
  writeFile(config, document("ProvisioningConfig",
                             groupXml("New", {"HMI"},
                                      propertyXml("IntegerPropertyAdapter", "propertyName=\"Count\"",
                                                  "PersistedIntegerPropertyOrigin", "<k:key>New.Count</k:key>"))));
  writeFile(update, document("UpdatePropertyZemTaskDescription",
                             "<k:properties>" + entryXml("New.Count", valueXml("Integer", "42")) + "</k:properties>",
                             "taskId=\"set\""));
  DBusIpcClient client;
  EXPECT_EQ(read(client, "Unit.Code"), "007");
  const CommandResult installed =
      runJob("cfg", {"build", "--type", "InstallProvisioningConfigTaskDescription", "--task-id", "cfg",
                     "--force-override", "--payload", "PROVISIONING_CONFIG=" + config.getPath()});
  EXPECT_EQ(installed.exitCode, 0) << installed.out << installed.err;
  EXPECT_EQ(read(client, "Unit.Code"), "");
  const CommandResult set = runJob("set", {"build", "--description", update.getPath()});
  EXPECT_EQ(set.exitCode, 0) << set.out << set.err;
  EXPECT_EQ(read(client, "New.Count"), "42");
}

}  // namespace
