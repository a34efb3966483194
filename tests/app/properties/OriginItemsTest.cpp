// Origin items: what each kind reads, and writes to components, backend profiles and certificates.
#include <gtest/gtest.h>
#include <unistd.h>

#include <iterator>
#include <memory>
#include <string>

#include "PropertyTestSupport.h"
#include "kest/security/SecurityService.h"

namespace {

using namespace proptest;

class OriginItemsTest : public PropertyTest {};

TEST_F(OriginItemsTest, EachOriginKindReadsItsSource) {
  const struct {
    const char *adapter, *origin;
    std::string body;
    const char *value, *warning = nullptr;  // warning: the one WARN line expected
  } reads[] = {
      {"String", "PersistedString", keyXml("s.t"), "text"},
      {"Float", "PersistedFloat", keyXml("x"), "1.500000"},
      {"ByteField", "PersistedByteField", keyXml("bytes"), "00FF"},
      {"Boolean", "PersistedBoolean", "<k:defaultValue>true</k:defaultValue>" + keyXml("off"), "false"},
      {"String", "ComponentLogLevel", keyXml("lvl") + "<k:component>c</k:component><k:interface>i</k:interface>",
       "INFO"},
      {"String", "TqlBackendConfig", keyXml("profile") + "<k:configPath>t</k:configPath>", "dev"},
      {"String", "PersistedString", keyXml("nowhere"), ""},
      {"Boolean", "CanBoolean",
       "<k:canValue xsi:type=\"k:ValueRangeBooleanSignal\"><k:startBit>0</k:startBit><k:length>1</k:length>"
       "</k:canValue>",
       "", "Empty String returned!"},
  };
  std::string definitions;
  for (size_t i = 0; i < std::size(reads); ++i)
    definitions += named(reads[i].adapter, "p" + std::to_string(i), reads[i].origin, reads[i].body);
  load(definitions, entryXml("s", mapXml(entryXml("t", valueXml("String", "text")))) +
                        entryXml("x", valueXml("Float", "1.5")) + entryXml("bytes", valueXml("ByteField", "00FF")) +
                        entryXml("off", valueXml("Boolean", "false")) + entryXml("lvl", valueXml("String", "INFO")) +
                        entryXml("profile", valueXml("String", "dev")));
  for (size_t i = 0; i < std::size(reads); ++i) {
    const auto& read = reads[i];
    LogCapture log;
    EXPECT_EQ(map_.getPropertyValue("p" + std::to_string(i)), read.value) << read.origin;
    EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL), read.warning != nullptr ? 1u : 0u) << log.dump();
    EXPECT_TRUE(read.warning == nullptr || log.contains(log4cplus::WARN_LOG_LEVEL, read.warning)) << log.dump();
    EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "No value found for key"), *read.value == '\0' ? 1u : 0u);
  }
}

TEST_F(OriginItemsTest, CertificatesTravelAsBase64AndExposeTheirOrigin) {
  RunningApp app;
  app.services()->setSecurityService(std::make_shared<Security::SecurityService>());
  load(named("String", "cert", "Certificate", "<k:certificateId>Cert0_Client_Target</k:certificateId>") +
       named("String", "ps", "PersistedString", "<k:key>ps</k:key>"));
  EXPECT_EQ(map_.getPropertyValue("cert"), "");  // none installed yet
  const std::string pem = readFile(rsaKeys().certificate);
  EXPECT_FALSE(update("cert", stringNode("not base64 !")));
  ASSERT_TRUE(update("cert", stringNode(Security::SecurityService::base64Encode(pem))));
  EXPECT_EQ(map_.getPropertyValue("cert"), Security::SecurityService::base64Encode(pem));

  const auto config = map_.getPropertyConfig("cert");
  const auto* origin = dynamic_cast<const Types::CertificatePropertyOrigin*>(config.get());
  ASSERT_NE(origin, nullptr);
  map_.reloadConfig();  // the caller's copy outlives the map generation it came from
  EXPECT_EQ(origin->get_certificateId(), "Cert0_Client_Target");
  EXPECT_EQ(map_.getPropertyConfig("ps"), nullptr);  // an origin without a configuration to expose
}

TEST_F(OriginItemsTest, AComponentLogLevelIsStoredOnlyAfterTheComponentTookIt) {
  load(named("String", "log", "ComponentLogLevel",
             "<k:key>lvl</k:key><k:component>peer</k:component><k:interface>SelfDiag</k:interface>"),
       entryXml("lvl", valueXml("String", "INFO")));
  const struct {
    const char *kind, *text, *error;
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
  EXPECT_TRUE(update("log", stringNode("DEBUG")));
  EXPECT_EQ(interfaceSeen, "SelfDiag");
  EXPECT_EQ(levelSeen, 3);
  EXPECT_EQ(stored("lvl"), "DEBUG");
}

TEST_F(OriginItemsTest, ABackendProfileSwitchRelinksTheConfigurationOrTouchesNothing) {
  load(named("String", "tql", "TqlBackendConfig",
             "<k:key>profile</k:key><k:configPath>conf/tql.properties</k:configPath>") +
           named("String", "CONNECTIVITY.prod.BACKEND_URL", "StringLiteral", "<k:value>https://prod.example</k:value>"),
       entryXml("profile", valueXml("String", "dev")));
  const File folder(DevicePaths::backendApplicationFolder() + "/conf");
  const File config(folder, "tql.properties");
  for (const char* name : {"prod", "../prod", ".hidden", "a/b", ""}) {
    LogCapture log;
    EXPECT_FALSE(update("tql", stringNode(name)));
    EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, *name == 'p'
                                                             ? "tQL config file cannot be found: " + config.getPath()
                                                             : "Invalid backend profile name"))
        << log.dump();
  }
  EXPECT_EQ(names(File(DevicePaths::backendApplicationFolder())), std::vector<std::string>{});
  EXPECT_EQ(stored("profile"), "dev");

  // A fresh unit's configuration is a plain file: the first switch saves it and creates the link.
  writeFile(config, "a=1\nprm.manager.url=https://dev.example\n");
  ASSERT_TRUE(update("tql", stringNode("prod")));
  char target[64] = {};
  ASSERT_GT(::readlink(config.getPath().c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), "prod.prs");
  EXPECT_EQ(readFile(config), "a=1\nprm.manager.url=https://prod.example\n");
  EXPECT_EQ(readFile(File(folder, "dev.prs")), "a=1\nprm.manager.url=https://dev.example\n");
  EXPECT_EQ(stored("profile"), "prod");
  EXPECT_EQ(names(folder), (std::vector<std::string>{"dev.prs", "prod.prs", "tql.properties"}));
}

}  // namespace
