// "zemctl backend switch" against a real zem-host and the local KMS: the unit obtains a client
// certificate that chains to the KMS's CA and switches its profile link (refusals: the task tests).
// libcurl and libcrypto are loaded by that first exchange: the idle daemon maps neither, nor libzip
// and the libbz2 it links.
#include <unistd.h>

#include "TestKms.h"
#include "ZemHostFixture.h"
#include "ZemTestSupport.h"

namespace {

using namespace zem_test;

std::string configXml(const TestKms& kms) {
  const auto prop = [](const std::string& name, const std::string& origin, const std::string& body) {
    return propertyXml("StringPropertyAdapter", "propertyName=\"" + name + "\"", origin + "PropertyOrigin", body);
  };
  const auto literal = [&](const std::string& name, const std::string& value) {
    return prop(name, "StringLiteral", "<k:value>" + value + "</k:value>");
  };
  return document("ProvisioningConfig",
                  prop("CONNECTIVITY.ACTIVE_BACKEND_PROFILE", "TqlBackendConfig",
                       "<k:key>backend.profile</k:key><k:configPath>connectivity.properties</k:configPath>") +
                      prop("CONNECTIVITY.prod.TLS_CLIENT_CERTIFICATE", "Certificate",
                           "<k:certificateId>Cert0_Client_Target</k:certificateId>") +
                      literal("CONNECTIVITY.prod.ROOT_CA_IDENTIFIER", "TestCA") +
                      literal("CONNECTIVITY.prod.KMS_URL_CERTIFICATE_REQUEST", kms.url("/request")) +
                      literal("CONNECTIVITY.prod.KMS_URL_RENEWAL_REQUEST", kms.url("/renew")) +
                      prop("CONNECTIVITY.prod.BACKEND_URL", "PersistedString", "<k:key>backend.prod.url</k:key>"));
}

class BackendJobsE2ETest : public ZemHostFixture {};

TEST_F(BackendJobsE2ETest, ASwitchObtainsACertificateOfTheKmsCaAndMovesTheProfileLink) {
  TestKms kms;
  const std::string root = sysroot() + "/media/olvane";
  writeFile(File(root + "/configs/zem_app/config.xml"), configXml(kms));
  writeFile(File(root + "/configs/zem_app/database.xml"),
            databaseXml(entryXml("backend.profile", valueXml("String", "dev"))));
  writeFile(File(root + "/data/tql_app/dev.prs"), "prm.manager.url=http://old.example\n");
  const std::string link = root + "/data/tql_app/connectivity.properties";
  ASSERT_EQ(::symlink("dev.prs", link.c_str()), 0);
  startHost({}, {{"DBUS_SESSION_BUS_ADDRESS", startPrivateBus()}});
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());
  const auto maps = [&](const std::string& library) {
    return readFile("/proc/" + std::to_string(host()->pid()) + "/maps").find("/" + library) != std::string::npos;
  };
  for (const char* library : {"libcurl", "libcrypto", "libzip", "libbz2"}) EXPECT_FALSE(maps(library)) << library;

  const std::vector<std::string> command = {"backend", "switch", "prod",
                                            "CONNECTIVITY.prod.BACKEND_URL=string:" + kms.url("/")};
  const CommandResult switched = zemctl(command);
  EXPECT_EQ(switched.exitCode, 0) << switched.out << switched.err << readFile(hostStderr());
  EXPECT_NE(switched.out.find("success true\n"), std::string::npos) << switched.out;
  EXPECT_TRUE(kms.issued(readFile(File(root + "/certs/Cert0_Client_Target"))));
  EXPECT_EQ(readFile(File(root + "/data/tql_app/prod.prs")), "prm.manager.url=" + kms.url("/") + "\n");
  char target[64] = {0};
  EXPECT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_STREQ(target, "prod.prs");

  EXPECT_EQ(kms.paths(), (std::vector<std::string>{"/request"}));
  for (const char* library : {"libcurl", "libcrypto", "libzip", "libbz2"}) EXPECT_TRUE(maps(library)) << library;
}

}  // namespace
