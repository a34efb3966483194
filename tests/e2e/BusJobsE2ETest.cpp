// "zemctl bus update" against a real zem-host on the simulated bus: the properties are written by a
// job and the bus configuration is applied; a refused write is reported with the task's error.
#include "ZemHostFixture.h"
#include "ZemTestSupport.h"

namespace {

using namespace zem_test;

class BusJobsE2ETest : public ZemHostFixture {};

TEST_F(BusJobsE2ETest, BusUpdateWritesThePropertiesAppliesTheBusAndReportsARefusedWrite) {
  writeFile(File(sysroot() + "/media/olvane/configs/zem_app/config.xml"),
            document("ProvisioningConfig",
                     groupXml("BUS", {},
                              propertyXml("IntegerPropertyAdapter", "propertyName=\"Bitrate\"",
                                          "PersistedIntegerPropertyOrigin", "<k:key>BUS.Bitrate</k:key>"))));
  startHost({}, {{"DBUS_SESSION_BUS_ADDRESS", startPrivateBus()}});
  ASSERT_TRUE(waitForPing(2)) << readFile(hostStderr());

  const CommandResult applied = zemctl({"bus", "update", "BUS.Bitrate=integer:250000", "--task-id", "bus-1"});
  EXPECT_EQ(applied.exitCode, 0) << applied.err;
  EXPECT_EQ(applied.out, "task bus-1\nsuccess true\n");
  EXPECT_EQ(zemctl({"get", "BUS.Bitrate", "--as", "integer"}).out, "250000\n");
  const size_t reapplied = readFile(hostStderr()).find("Bus configuration re-applied");
  EXPECT_NE(reapplied, std::string::npos);

  const CommandResult refused = zemctl({"bus", "update", "BUS.Bitrate=string:fast", "--task-id", "bus-2"});
  EXPECT_EQ(refused.exitCode, 3);
  EXPECT_EQ(refused.out,
            "task bus-2\nsuccess false\nerrorType 7\nerrorMessage Impossible to update property BUS.Bitrate\n");
  EXPECT_EQ(zemctl({"get", "BUS.Bitrate", "--as", "integer"}).out, "250000\n");
  // A refused write never re-applies the bus configuration.
  EXPECT_EQ(readFile(hostStderr()).find("Bus configuration re-applied", reapplied + 1), std::string::npos);
}

}  // namespace
