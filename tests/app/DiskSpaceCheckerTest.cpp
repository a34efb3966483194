// The disk-space ceiling of the application data folder: the exact boundary, the unsigned 32-bit
// arithmetic, and the ceiling taken from the global settings.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "AppTestEnvironment.h"
#include "DiskSpaceChecker.h"
#include "PipelineTestSupport.h"
#include "ZemApp.h"
#include "kest/DevicePaths.h"
#include "kest/TempFile.h"
#include "kest/testing/LogCapture.h"

namespace {

using kest::testing::LogCapture;

class DiskSpaceCheckerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // 102000 bytes in two files, one of them in a subfolder.
    ASSERT_TRUE(File(folder_.getFile(), "a.bin").writeAtomically(std::string(100000, 'a')));
    File sub(folder_.getFile(), "sub");
    ASSERT_TRUE(sub.mkdirs());
    ASSERT_TRUE(File(sub, "b.bin").writeAtomically(std::string(2000, 'b')));
  }
  TempFile folder_{"diskspace"};
};

TEST_F(DiskSpaceCheckerTest, UsedSpaceEqualToTheCeilingPassesOneByteMoreFails) {
  LogCapture log;
  EXPECT_TRUE(DiskSpaceChecker::sufficientDiskSpaceAvailable(folder_.getFile(), 100, 400));
  EXPECT_TRUE(log.contains(log4cplus::TRACE_LOG_LEVEL, "usedSpace = 102400 / maxSize = 102400"));

  EXPECT_FALSE(DiskSpaceChecker::sufficientDiskSpaceAvailable(folder_.getFile(), 100, 401));
  const std::string total = std::to_string(folder_.getFile().fileSystemTotalSpace());
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL,
                      "Used disk space is too high (used = 102401 bytes / total = " + total + " bytes"),
            1u)
      << log.dump();
  // The message has no closing parenthesis.
  EXPECT_FALSE(log.contains(log4cplus::ERROR_LOG_LEVEL, "bytes)"));
}

TEST_F(DiskSpaceCheckerTest, SumWrapsAsAnUnsigned32BitValue) {
  // 102000 + (2^32 - 101999) wraps to 1 byte.
  EXPECT_TRUE(DiskSpaceChecker::sufficientDiskSpaceAvailable(folder_.getFile(), 100, (1L << 32) - 101999));
  // A ceiling of 0 KiB lets only an empty sum pass.
  EXPECT_FALSE(DiskSpaceChecker::sufficientDiskSpaceAvailable(folder_.getFile(), 0, 0));
  EXPECT_TRUE(DiskSpaceChecker::sufficientDiskSpaceAvailable(folder_.getFile(), 0, -102000));
}

TEST(DiskSpaceCheckerSettingsTest, CeilingComesFromTheGlobalSettings) {
  pipelinetest::RunningApp app;
  auto* document = app.settings().getDocument();
  ASSERT_NE(document, nullptr);
  const uint64_t used = File(DevicePaths::applicationDataFolder()).totalSize();
  document->set_maximumDataSize(static_cast<uint32_t>((used + 1023) / 1024) + 1);
  EXPECT_TRUE(DiskSpaceChecker::sufficientDiskSpaceAvailable(0));
  EXPECT_FALSE(DiskSpaceChecker::sufficientDiskSpaceAvailable(2048));
}

}  // namespace
