// zemctl places a container in the inbox by the durable writer, never over a waiting one.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <filesystem>

#include "JobCommands.h"
#include "kest/File.h"
#include "kest/seams/PosixFileOps.h"

TEST(InboxPlacementTest, AContainerTakesAFreeNameAtOnceAndAFailureLeavesNothing) {
  char root[] = "/tmp/zem-inbox-XXXXXX";
  const File dir(::mkdtemp(root)), inbox(dir, "in"), source(dir, "C.zip");
  std::string error, first;
  ASSERT_TRUE(inbox.mkdirs() && source.writeAtomically("1"));
  EXPECT_EQ(JobCommands::placeInInbox(source.getPath(), inbox.getPath(), &error), inbox.getPath() + "/C.zip");
  EXPECT_EQ(JobCommands::placeInInbox(source.getPath(), inbox.getPath(), &error), inbox.getPath() + "/C-1.zip");
  PosixFileOps failing = posixFileOps();
  failing.fsync = [](int) { return errno = EIO, -1; };
  const ScopedPosixFileOps seam(failing);
  EXPECT_EQ(JobCommands::placeInInbox(source.getPath(), inbox.getPath(), &error), "");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(inbox.getPath()), {}), 2);  // no leftover
  EXPECT_TRUE(File(inbox, "C.zip").readAll(&first) && first == "1" && dir.remove());
}
