// The disk-space ceiling of a folder: the exact boundary, the message, and the unsigned 32-bit
// arithmetic. The ceiling from the settings and the private temporary folder are exercised by the
// database task tests.
#include <gtest/gtest.h>

#include <string>

#include "jobs/DiskSpaceChecker.h"
#include "kest/TempFile.h"
#include "kest/testing/LogCapture.h"

TEST(DiskSpaceCheckerTest, BoundaryMessageAndUnsigned32BitSum) {
  const TempFile folder("diskspace");
  // 102000 bytes in two files, one of them in a subfolder.
  ASSERT_TRUE(File(folder.getFile(), "a.bin").writeAtomically(std::string(100000, 'a')));
  ASSERT_TRUE(File(folder.getFile(), "sub").mkdirs());
  ASSERT_TRUE(File(folder.getFile(), "sub/b.bin").writeAtomically(std::string(2000, 'b')));

  kest::testing::LogCapture log;
  EXPECT_TRUE(DiskSpaceChecker::sufficientDiskSpaceAvailable(folder.getFile(), 100, 400));
  EXPECT_TRUE(log.contains(log4cplus::TRACE_LOG_LEVEL, "usedSpace = 102400 / maxSize = 102400"));
  EXPECT_FALSE(DiskSpaceChecker::sufficientDiskSpaceAvailable(folder.getFile(), 100, 401));
  const std::string total = std::to_string(folder.getFile().fileSystemTotalSpace());
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL,
                      "Used disk space is too high (used = 102401 bytes / total = " + total + " bytes"),
            1u)
      << log.dump();

  // 102000 + (2^32 - 101999) wraps to 1 byte; a ceiling of 0 KiB lets only an empty sum pass.
  EXPECT_TRUE(DiskSpaceChecker::sufficientDiskSpaceAvailable(folder.getFile(), 100, (1L << 32) - 101999));
  EXPECT_FALSE(DiskSpaceChecker::sufficientDiskSpaceAvailable(folder.getFile(), 0, 0));
  EXPECT_TRUE(DiskSpaceChecker::sufficientDiskSpaceAvailable(folder.getFile(), 0, -102000));
}
