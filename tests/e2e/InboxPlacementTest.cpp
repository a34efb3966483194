// zemctl places a container into the inbox through the durable writer: under its final name in
// one step, never over a waiting container, and with nothing left behind on failure.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "JobCommands.h"
#include "kest/File.h"
#include "kest/PosixFileOps.h"

namespace {

std::string read(const File& file) {
  std::string content;
  return file.readAll(&content) ? content : "(unreadable)";
}

TEST(InboxPlacementTest, ContainersTakeAFreeFinalNameAtOnceAndFailuresLeaveNothing) {
  char pattern[] = "/tmp/zem-inbox-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const File root(pattern), inbox(root, "inbox"), source(root, "C.zip");
  ASSERT_TRUE(inbox.mkdirs());
  std::ofstream(source.getPath()) << "first";
  std::string error;
  EXPECT_EQ(JobCommands::placeInInbox(source.getPath(), inbox.getPath(), &error), File(inbox, "C.zip").getPath());
  std::ofstream(source.getPath()) << "second";
  EXPECT_EQ(JobCommands::placeInInbox(source.getPath(), inbox.getPath(), &error), File(inbox, "C-1.zip").getPath());
  EXPECT_EQ(read(File(inbox, "C.zip")), "first");  // a waiting container is never replaced
  EXPECT_EQ(read(File(inbox, "C-1.zip")), "second");
  {
    PosixFileOps failing = posixFileOps();
    failing.fsync = [](int) { return errno = EIO, -1; };
    const ScopedPosixFileOps seam(failing);
    EXPECT_EQ(JobCommands::placeInInbox(source.getPath(), inbox.getPath(), &error), "");
  }
  EXPECT_NE(error.find("cannot flush"), std::string::npos) << error;
  // No copy and no hidden temporary file either.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(inbox.getPath()), {}), 2);
  root.remove();
}

}  // namespace
