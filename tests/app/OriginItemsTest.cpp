// Origin items: what each origin kind reads, and the writes that reach other components, the
// backend configuration and the certificate slots.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "PropertyTestSupport.h"
#include "kest/security/SecurityService.h"

namespace {

using namespace proptest;

std::string stringProperty(const std::string& name, const std::string& origin, const std::string& body) {
  return propertyXml("StringPropertyAdapter", "propertyName=\"" + name + "\"", origin, body);
}
const std::string kList =
    "<k:value xsi:type=\"k:PersistedListValue\"><k:item xsi:type=\"k:PersistedStringValue\"><k:stringValue>a"
    "</k:stringValue></k:item><k:item xsi:type=\"k:PersistedIntegerValue\"><k:integerValue>3</k:integerValue>"
    "</k:item></k:value>";

class OriginItemsTest : public PropertyTest {};

TEST_F(OriginItemsTest, EachOriginKindReadsItsSource) {
  load(
      propertyXml("IntegerPropertyAdapter", "propertyName=\"i\"", "IntegerLiteralPropertyOrigin",
                  "<k:value>007</k:value>") +
          propertyXml("FloatPropertyAdapter", "propertyName=\"f\"", "FloatLiteralPropertyOrigin",
                      "<k:value>1.50</k:value>") +
          propertyXml("BooleanPropertyAdapter", "propertyName=\"b\"", "BooleanLiteralPropertyOrigin",
                      "<k:value>TRUE</k:value>") +
          propertyXml("ByteFieldPropertyAdapter", "propertyName=\"bf\"", "BytefieldLiteralPropertyOrigin",
                      "<k:value>0a0B</k:value>") +
          stringProperty("ps", "PersistedStringPropertyOrigin", "<k:key>s.t</k:key>") +
          propertyXml("IntegerPropertyAdapter", "propertyName=\"pi\"", "PersistedIntegerPropertyOrigin",
                      "<k:key>n</k:key>") +
          propertyXml("FloatPropertyAdapter", "propertyName=\"pf\"", "PersistedFloatPropertyOrigin",
                      "<k:key>x</k:key>") +
          propertyXml("ByteFieldPropertyAdapter", "propertyName=\"pbf\"", "PersistedByteFieldPropertyOrigin",
                      "<k:key>bytes</k:key>") +
          propertyXml("ListPropertyAdapter", "propertyName=\"pl\"", "PersistedListPropertyOrigin", "<k:key>l</k:key>") +
          propertyXml("MapPropertyAdapter", "propertyName=\"pm\"", "PersistedMapPropertyOrigin", "<k:key>s</k:key>") +
          propertyXml("BooleanPropertyAdapter", "propertyName=\"db\"", "PersistedBooleanPropertyOrigin",
                      "<k:defaultValue>true</k:defaultValue><k:key>unset</k:key>") +
          propertyXml("BooleanPropertyAdapter", "propertyName=\"dbs\"", "PersistedBooleanPropertyOrigin",
                      "<k:defaultValue>true</k:defaultValue><k:key>off</k:key>") +
          stringProperty("log", "ComponentLogLevelPropertyOrigin",
                         "<k:key>lvl</k:key><k:component>peer</k:component><k:interface>x</k:interface>") +
          stringProperty("tql", "TqlBackendConfigPropertyOrigin",
                         "<k:key>profile</k:key><k:configPath>t</k:configPath>") +
          stringProperty("missing", "PersistedStringPropertyOrigin", "<k:key>nowhere</k:key>") +
          stringProperty("lib", "LibraryCallPropertyOrigin",
                         "<k:libraryName>l</k:libraryName><k:functionName>f"
                         "</k:functionName>") +
          propertyXml("BooleanPropertyAdapter", "propertyName=\"can\"", "CanBooleanPropertyOrigin",
                      "<k:canValue xsi:type=\"k:ValueRangeBooleanSignal\"><k:startBit>0</k:startBit><k:length>1"
                      "</k:length></k:canValue>"),
      entryXml("s", mapXml(entryXml("t", valueXml("String", "text")))) + entryXml("n", valueXml("Integer", "-12")) +
          entryXml("x", valueXml("Float", "1.5")) + entryXml("bytes", valueXml("ByteField", "00FF")) +
          entryXml("l", kList) + entryXml("off", valueXml("Boolean", "false")) +
          entryXml("lvl", valueXml("String", "INFO")) + entryXml("profile", valueXml("String", "dev")));
  const struct {
    const char* name;
    const char* value;
    const char* warning;  // the one WARN line expected, or nullptr
  } reads[] = {
      {"i", "007", nullptr},
      {"f", "1.50", nullptr},
      {"b", "TRUE", nullptr},
      {"bf", "0a0B", nullptr},
      {"ps", "text", nullptr},
      {"pi", "-12", nullptr},
      {"pf", "1.500000", nullptr},
      {"pbf", "00FF", nullptr},
      {"pl", "[a;3]", nullptr},
      {"pm", "{t = text}", nullptr},
      {"db", "true", nullptr},
      {"dbs", "false", nullptr},
      {"log", "INFO", nullptr},
      {"tql", "dev", nullptr},
      {"missing", "", nullptr},
      {"lib", "", "Library calls are not available in this build"},
      {"can", "", "Empty String returned!"},
  };
  for (const auto& read : reads) {
    LogCapture log;
    EXPECT_EQ(map_.getPropertyValue(read.name), read.value) << read.name;
    EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL), read.warning != nullptr ? 1u : 0u) << log.dump();
    if (read.warning != nullptr) EXPECT_TRUE(log.contains(log4cplus::WARN_LOG_LEVEL, read.warning)) << log.dump();
    EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "No value found for key"), *read.value == '\0' ? 1u : 0u);
  }
}

TEST_F(OriginItemsTest, CertificatesTravelAsBase64AndExposeTheirOrigin) {
  RunningApp app;
  app.services()->setSecurityService(std::make_shared<Security::SecurityService>());
  load(stringProperty("cert", "CertificatePropertyOrigin", "<k:certificateId>Cert0_Client_Target</k:certificateId>") +
       stringProperty("ps", "PersistedStringPropertyOrigin", "<k:key>ps</k:key>"));
  {
    LogCapture log;
    EXPECT_EQ(map_.getPropertyValue("cert"), "");
    EXPECT_EQ(
        log.count(log4cplus::WARN_LOG_LEVEL,
                  "Certificate Cert0_Client_Target is empty, it might be normal if no certificate was installed yet"),
        1u);
  }
  const std::string pem = readFile(rsaKeys().certificate);
  const auto wrong = stringNode("not base64 !");
  EXPECT_FALSE(map_.updateProperty(&wrong, "cert"));
  const auto certificate = stringNode(Security::SecurityService::base64Encode(pem));
  ASSERT_TRUE(map_.updateProperty(&certificate, "cert"));
  EXPECT_EQ(map_.getPropertyValue("cert"), Security::SecurityService::base64Encode(pem));

  const auto config = map_.getPropertyConfig("cert");
  const auto* origin = dynamic_cast<const Types::CertificatePropertyOrigin*>(config.get());
  ASSERT_NE(origin, nullptr);
  map_.reloadConfig();  // the caller's copy outlives the map generation it came from
  EXPECT_EQ(origin->get_certificateId(), "Cert0_Client_Target");
  LogCapture log;
  EXPECT_EQ(map_.getPropertyConfig("ps"), nullptr);
  EXPECT_TRUE(
      log.contains(log4cplus::WARN_LOG_LEVEL,
                   "Generic getConfig(const T&) called as type is not recognised. PersistedStringPropertyOrigin"));
  EXPECT_EQ(map_.getPropertyConfig("unknown"), nullptr);
}

TEST_F(OriginItemsTest, AComponentLogLevelIsStoredOnlyAfterTheComponentTookIt) {
  load(stringProperty("log", "ComponentLogLevelPropertyOrigin",
                      "<k:key>lvl</k:key><k:component>peer</k:component><k:interface>SelfDiag</k:interface>"),
       entryXml("lvl", valueXml("String", "INFO")));
  const struct {
    const char* kind;
    const char* text;
    const char* error;
  } refused[] = {
      {"String", "DEBUG", "Impossible to set log level in component peer : service com.olvane.peer is not running"},
      {"String", "LOUD", "Incorrect log level setting: LOUD"},
      {"Integer", "3", "Log level value should be a string"},
  };
  for (const auto& r : refused) {
    LogCapture log;
    EXPECT_NE(map_.setXmlPropertyResult(updateXml("log", r.kind, r.text), "").find("<k:value>false</k:value>"),
              std::string::npos);
    EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, r.error)) << log.dump();
    EXPECT_EQ(stored("lvl"), "INFO");
  }
  std::string interfaceSeen;
  int64_t levelSeen = -1;
  ipc_.addPeer("peer", "SetComponentLogLevel", [&](const std::string& interfaceName, const Ipc::IpcParameterSet& in) {
    interfaceSeen = interfaceName;
    levelSeen = in.get<Ipc::IpcIntegerParameter>("level").getValue();
    Ipc::IpcParameterSet out;
    out.add(std::make_unique<Ipc::IpcIntegerParameter>("result", 0));
    return out;
  });
  const auto debug = stringNode("DEBUG");
  EXPECT_TRUE(map_.updateProperty(&debug, "log"));
  EXPECT_EQ(interfaceSeen, "SelfDiag");
  EXPECT_EQ(levelSeen, 3);
  EXPECT_EQ(stored("lvl"), "DEBUG");
}

TEST_F(OriginItemsTest, ABackendProfileSwitchRelinksTheConfigurationOrTouchesNothing) {
  load(stringProperty("tql", "TqlBackendConfigPropertyOrigin",
                      "<k:key>profile</k:key><k:configPath>conf/tql.properties</k:configPath>") +
           stringProperty("CONNECTIVITY.prod.BACKEND_URL", "StringLiteralPropertyOrigin",
                          "<k:value>https://prod.example</k:value>"),
       entryXml("profile", valueXml("String", "dev")));
  const File folder(DevicePaths::backendApplicationFolder() + "/conf");
  const File config(folder, "tql.properties");
  for (const char* name : {"prod", "../prod", ".hidden", "a/b", ""}) {
    LogCapture log;
    const auto profile = stringNode(name);
    EXPECT_FALSE(map_.updateProperty(&profile, "tql"));
    EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, *name == 'p'
                                                             ? "tQL config file cannot be found: " + config.getPath()
                                                             : "Invalid backend profile name"))
        << log.dump();
  }
  EXPECT_EQ(names(File(DevicePaths::backendApplicationFolder())), std::vector<std::string>{});
  EXPECT_EQ(stored("profile"), "dev");

  writeFile(config, "a=1\nprm.manager.url=https://dev.example\n");
  const auto prod = stringNode("prod");
  ASSERT_TRUE(map_.updateProperty(&prod, "tql"));
  EXPECT_TRUE(config.isSymbolicLink());
  char target[64] = {};
  ASSERT_GT(::readlink(config.getPath().c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), "prod.prs");
  EXPECT_EQ(readFile(config), "a=1\nprm.manager.url=https://prod.example\n");
  EXPECT_EQ(readFile(File(folder, "dev.prs")), "a=1\nprm.manager.url=https://dev.example\n");
  EXPECT_EQ(stored("profile"), "prod");
  EXPECT_EQ(names(folder), (std::vector<std::string>{"dev.prs", "prod.prs", "tql.properties"}));
}

}  // namespace
