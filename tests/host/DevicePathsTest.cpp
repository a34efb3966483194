#include "kest/DevicePaths.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

TEST(DevicePathsTest, EveryDevicePathTakesTheSysrootPrefixExactlyOnce) {
  const std::string root = DevicePaths::sysroot();
  ASSERT_FALSE(root.empty()) << "tests must run on a temporary sysroot";
  EXPECT_EQ(root, std::getenv("ZEM_SYSROOT"));

  EXPECT_EQ(DevicePaths::deviceRoot(), root + "/media/olvane");
  EXPECT_EQ(DevicePaths::inboxFolder(), root + "/media/olvane/data/zem_app/INBOX");
  EXPECT_EQ(DevicePaths::outboxFolder(), root + "/media/olvane/data/zem_app/OUTBOX");
  EXPECT_EQ(DevicePaths::installedConfigFolder(), root + "/media/olvane/data/zem_app/CONFIGS");
  EXPECT_EQ(DevicePaths::storeFolder(), root + "/media/olvane/data/zem_app/STORE");
  EXPECT_EQ(DevicePaths::defaultConfigFolder(), root + "/media/olvane/configs/zem_app");
  EXPECT_EQ(DevicePaths::readOnlyDataFolder(), root + "/media/olvane/ro-data");
  EXPECT_EQ(DevicePaths::obuApplicationFolder(), root + "/media/olvane/data/obu_app");
  EXPECT_EQ(DevicePaths::backendInboxFolder(), root + "/media/olvane/data/tql_app/INBOX");
  EXPECT_EQ(DevicePaths::certificateFolder(), root + "/media/olvane/certs");
  EXPECT_EQ(DevicePaths::programFolder(), root + "/media/olvane/usr/bin/");
  EXPECT_EQ(DevicePaths::configurationSchema(), root + "/media/olvane/usr/local/share/genxml_kolconfig/kolconfig.xsd");
  EXPECT_EQ(DevicePaths::loggingConfigFile(),
            root + "/extdata//media/olvane/configs/log4cplus/log4cplus.kro.properties");
  EXPECT_EQ(DevicePaths::systemLogFile(), root + "/cache/var/log/messages");
  EXPECT_EQ(DevicePaths::kernelRandomFolder(), "/proc/sys/kernel/random/");
  EXPECT_EQ(DevicePaths::queueFolderSuffix(), "/QUEUE");
  EXPECT_STREQ(DevicePaths::kSettingsFileName, "settings.xml");
}

TEST(DevicePathsTest, ValuesAreComposedOnceAndIgnoreLaterEnvironmentChanges) {
  const std::string& first = DevicePaths::applicationDataFolder();
  const std::string saved = std::getenv("ZEM_SYSROOT");
  ::setenv("ZEM_SYSROOT", "/elsewhere", 1);
  EXPECT_EQ(&DevicePaths::applicationDataFolder(), &first);
  EXPECT_EQ(DevicePaths::applicationDataFolder(), saved + "/media/olvane/data/zem_app");
  ::setenv("ZEM_SYSROOT", saved.c_str(), 1);
}
