// The backend-config job: property writes, client-certificate provisioning from a test KMS, the
// profile switch, the connectivity reload and the revert, on a started application.
#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "PropertyTestSupport.h"
#include "TestKms.h"
#include "kest/security/SecurityService.h"

namespace {

using namespace proptest;
using zem_test::TestKms;
using Mode = TestKms::Mode;

const char* const kResult = "UpdateBackendConfigZemTaskResult";
const std::string kFailedProvisioning = "Impossible to provision a client certificate for CA TestCA (profile prod)";

// A port on 127.0.0.1 that nobody listens on (bound, then released).
std::string closedPortUrl() {
  TestKms probe;
  return "http://127.0.0.1:" + std::to_string(probe.port());
}

std::string profileXml(const std::string& profile, const std::string& backendUrl, const TestKms& kms) {
  const std::string p = "CONNECTIVITY." + profile;
  auto literal = [](const std::string& name, const std::string& value) {
    return named("String", name, "StringLiteral", "<k:value>" + value + "</k:value>");
  };
  return named("String", p + ".TLS_CLIENT_CERTIFICATE", "Certificate",
               "<k:certificateId>Cert0_Client_Target</k:certificateId>") +
         literal(p + ".ROOT_CA_IDENTIFIER", "TestCA") +
         literal(p + ".KMS_URL_CERTIFICATE_REQUEST", kms.url("/request")) +
         literal(p + ".KMS_URL_RENEWAL_REQUEST", kms.url("/renew")) + literal(p + ".BACKEND_URL", backendUrl);
}

// Profile "dev" active (its link and store entry laid out), "prod" reachable, "dark" not.
class BackendConfigTaskTest : public ::testing::Test {
 protected:
  // `configName`: the backend configuration file (the link) that the profile origin manages.
  explicit BackendConfigTaskTest(const std::string& configName = "connectivity.properties")
      : config_(File(folder_, configName)) {
    freshDevice();
    writeFile(File(DevicePaths::defaultConfigFolder() + "/config.xml"),
              document("ProvisioningConfig",
                       named("String", "CONNECTIVITY.ACTIVE_BACKEND_PROFILE", "TqlBackendConfig",
                             keyXml("backend.profile") + "<k:configPath>" + configName + "</k:configPath>") +
                           named("String", "CONNECTIVITY.NOTE", "PersistedString", keyXml("backend.note")) +
                           profileXml("prod", kms_.url(""), kms_) + profileXml("dark", closedPortUrl(), kms_)));
    writeFile(File(folder_, "dev.prs"), "prm.manager.url=http://old.example\n");
    EXPECT_EQ(::symlink("dev.prs", config_.getPath().c_str()), 0);
    app_ = std::make_unique<RunningApp>(RunningApp::Options{false, false});
    app_->services()->setSecurityService(security_);
    const auto dev = stringNode("dev");
    EXPECT_TRUE(Database::getInstance()->setString("backend.profile", &dev));
  }
  ResultPackage job(const std::string& id, const std::string& entries) {
    return runPropertiesJob(*app_, "UpdateBackendConfigZemTaskDescription", id, entries);
  }
  static std::string profileEntry(const std::string& profile) {
    return entryXml("CONNECTIVITY.ACTIVE_BACKEND_PROFILE", valueXml("String", profile));
  }
  std::string active() { return ProvisioningAdapterMap().getPropertyValue("CONNECTIVITY.ACTIVE_BACKEND_PROFILE"); }
  std::string linkTarget() {
    char target[256] = {0};
    return ::readlink(config_.getPath().c_str(), target, sizeof target - 1) > 0 ? target : "";
  }
  std::string slot() { return readFile(security_->getSlotFile(Security::SecurityService::CertificateSlot(0))); }
  std::string slotKey() { return readFile(security_->getSlotKeyFile(Security::SecurityService::CertificateSlot(0))); }

  TestKms kms_;
  const File folder_{DevicePaths::backendApplicationFolder()};
  const File config_;
  std::shared_ptr<Security::SecurityService> security_ = std::make_shared<Security::SecurityService>();
  std::unique_ptr<RunningApp> app_;
};

// Every kind of bad KMS answer, and a unit without libcurl, refuses the switch with code 6 and leaves
// slot, key and profile as they were.
TEST_F(BackendConfigTaskTest, ARefusedCertificateKeepsTheSlotAndThePreviousProfile) {
  ASSERT_TRUE(
      security_->provisionClientCertificate("Cert0_Client_Target", 0, "TestCA", kms_.url("/request"), "").success);
  const std::string certificate = slot();
  const std::string key = slotKey();
  struct Row {
    Mode mode;
    std::string library;  // a file that does not exist stands for a unit without libcurl
    std::string error;    // in the ERROR line
  };
  const Row rows[] = {
      {Mode::kGarbage, "libcurl.so.4", "no PEM certificate"},
      {Mode::kError500, "libcurl.so.4", "answered HTTP 500"},
      {Mode::kOtherKey, "libcurl.so.4", "certificate for another key"},
      {Mode::kSilent, "libcurl.so.4", "no answer from the KMS"},
      {Mode::kGood, "libcurl-absent.so.4", "libcurl (libcurl-absent.so.4) cannot be loaded"},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.error);
    auto quick = std::make_shared<Security::ClientCertificateProvisioner>(
        std::make_shared<Security::CurlHttpPoster>(row.library));
    quick->setTimeout(std::chrono::milliseconds(300));
    security_->setClientCertificateProvisioner(quick);
    kms_.setMode(row.mode);
    const size_t exchanges = kms_.paths().size();
    LogCapture log;
    expectErrorInfo(job("refused" + std::to_string(n++), profileEntry("prod")), kResult, false, 6, kFailedProvisioning);
    EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, row.error)) << log.dump();
    // The unit holds a pair: it renews (a unit without libcurl makes no exchange at all).
    EXPECT_EQ(kms_.paths().size(), exchanges + (row.mode == Mode::kGood ? 0 : 1));
    EXPECT_EQ(kms_.paths().back(), "/renew");
    EXPECT_EQ(active(), "dev");
    EXPECT_EQ(linkTarget(), "dev.prs");
    EXPECT_EQ(slot(), certificate);
    EXPECT_EQ(slotKey(), key);
  }
  // A slot name or number that the unit does not have is refused before any exchange.
  const size_t exchanges = kms_.paths().size();
  EXPECT_FALSE(security_->provisionClientCertificate("Cert7_Unknown", 7, "TestCA", kms_.url("/request"), "").success);
  EXPECT_FALSE(
      security_->provisionClientCertificate("Cert0_Client_Target", 1, "TestCA", kms_.url("/request"), "").success);
  EXPECT_EQ(kms_.paths().size(), exchanges);
}

// Reload 0 and 3 keep the switch; any other status reverts to the previous profile with code 6.
TEST_F(BackendConfigTaskTest, TheReloadStatusDecidesWhetherTheSwitchStays) {
  struct Row {
    std::string profile;
    std::optional<int> forced;  // nullopt: the real check
    bool success;
    std::string message, activeAfter, logLine;
  };
  const std::string reverted =
      "Backend configuration and/or certificates could not be reloaded, connectivity configuration will be reverted "
      "(status=2)";
  const Row rows[] = {
      {"prod", std::nullopt, true, "", "prod", "Backend profile is now set to prod"},  // consistent, reachable: 0
      {"dark", std::nullopt, true, "", "dark", "because of temporary missing connectivity"},  // port closed: 3
      {"prod", 2, false, reverted, "dark", reverted},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.profile);
    security_->forceReloadStatus(row.forced);
    LogCapture log;
    expectErrorInfo(job("reload-" + row.profile, profileEntry(row.profile)), kResult, row.success, row.success ? 0 : 6,
                    row.message);
    EXPECT_EQ(active(), row.activeAfter);
    EXPECT_EQ(linkTarget(), row.activeAfter + ".prs");
    EXPECT_EQ(log.countAny(row.logLine), 1U) << log.dump();
    EXPECT_TRUE(kms_.issued(slot()));
    EXPECT_TRUE(Security::ClientCertificateProvisioner::keyMatchesCertificate(slot(), slotKey()));
  }
  EXPECT_EQ(kms_.paths(), (std::vector<std::string>{"/request", "/renew", "/renew"}));

  // The real check names the first broken piece; each row breaks one more (address, key, link).
  security_->forceReloadStatus(std::nullopt);
  std::string otherKey, request, reason;
  ASSERT_TRUE(Security::ClientCertificateProvisioner::makeKeyAndRequest("x", &otherKey, &request, &reason));
  const std::pair<std::function<void()>, int> breaks[] = {
      {[&] { writeFile(File(folder_, "dark.prs"), "prm.manager.url=nowhere\n"); }, 4},
      {[&] { writeFile(security_->getSlotKeyFile(Security::SecurityService::CertificateSlot(0)), otherKey); }, 2},
      {[&] { config_.remove(); }, 1},
  };
  for (const auto& [breakOne, status] : breaks) {
    breakOne();
    EXPECT_EQ(security_->reloadConnectivityConfiguration(), status);
  }
}

class BackendConfigOtherFileTest : public BackendConfigTaskTest {
 protected:
  BackendConfigOtherFileTest() : BackendConfigTaskTest("backend.conf") {}
};

// The reload checks the link that the profile origin manages, whatever its configPath names.
TEST_F(BackendConfigOtherFileTest, TheReloadChecksTheLinkTheProfileOriginManages) {
  expectErrorInfo(job("other-file", profileEntry("prod")), kResult, true, 0, "");
  EXPECT_EQ(active(), "prod");
  EXPECT_EQ(linkTarget(), "prod.prs");
  EXPECT_EQ(security_->getConnectivityConfigFile(), config_.getPath());
  EXPECT_FALSE(File(folder_, "connectivity.properties").exists());
}

// Without a profile entry only the properties are written; a failing write stops before the switch.
TEST_F(BackendConfigTaskTest, PropertyWritesComeFirstAndAFailureStopsTheJob) {
  struct Row {
    std::string entries;
    bool success;
    std::string message, note;
    size_t warnings;  // the "no switch" WARNING lines
  };
  const Row rows[] = {
      {entryXml("CONNECTIVITY.NOTE", valueXml("String", "a")), true, "", "a", 1},
      {entryXml("CONNECTIVITY.NOTE", valueXml("String", "b")) +
           entryXml("CONNECTIVITY.MISSING", valueXml("String", "x")) + profileEntry("prod"),
       false, "Impossible to update property CONNECTIVITY.MISSING", "b", 0},
  };
  int n = 0;
  for (const Row& row : rows) {
    LogCapture log;
    expectErrorInfo(job("writes" + std::to_string(n++), row.entries), kResult, row.success, row.success ? 0 : 7,
                    row.message);
    EXPECT_EQ(ProvisioningAdapterMap().getPropertyValue("CONNECTIVITY.NOTE"), row.note);
    EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL,
                        "Backend configuration has been updated but no switch of active config set was done"),
              row.warnings);
    EXPECT_EQ(active(), "dev");
  }
  EXPECT_TRUE(kms_.paths().empty());
}

}  // namespace
