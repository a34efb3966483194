// File: listings that leave out links and temporary files, sizes, whole-file writes and copies
// that keep modes. The durable writer's failures are covered by DatabaseStoreTest (a failed save
// keeps the old file and leaves no temporary one), its order under power cuts by PowerCutSim.
#include "kest/File.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ZemTestSupport.h"
#include "kest/TempFile.h"
#include "kest/seams/PosixFileOps.h"

namespace {

std::vector<std::string> namesOf(const std::vector<File>& files) {
  std::vector<std::string> names;
  names.reserve(files.size());
  for (const File& f : files) names.push_back(f.getName());
  return names;
}

int fsyncs = 0;

}  // namespace

TEST(FileTest, FoldersSizesAndListingsLeaveOutLinksAndTemporaryFilesAndTempFileCleansUp) {
  std::string path;
  {
    const TempFile tmp("zem-file-test-");
    path = tmp.getFile().getPath();
    const File root(tmp.getFile(), "x"), nested(root, "y/z");
    ASSERT_TRUE(nested.mkdirs() && nested.mkdirs());
    for (const char* name : {"c.zip", "a.zip", "B.zip", "notes.txt", ".hidden.zip", ".c.zip.tmpAb12Cd", ".d.part-x1"})
      ASSERT_TRUE(File(root, name).writeAtomically(std::string(10, 'x')));
    ASSERT_TRUE(File(nested, "big").writeAtomically(std::string(1000, 'b')));
    ASSERT_EQ(::symlink(File(root, "a.zip").getPath().c_str(), File(nested, "link").getPath().c_str()), 0);
    EXPECT_EQ(namesOf(root.listFiles("zip")), (std::vector<std::string>{".hidden.zip", "B.zip", "a.zip", "c.zip"}));
    EXPECT_EQ(root.listFiles().size(), 5u);
    EXPECT_EQ(root.totalSize(), 1070u);  // the link is not followed
    EXPECT_EQ(root.totalSize(File(root, "y")), 70u);
    EXPECT_FALSE(File(File(root, "a.zip"), "sub").mkdirs());        // a regular file is in the way
    EXPECT_TRUE(root.remove() && !root.exists() && root.remove());  // nothing left is success
    ASSERT_TRUE(nested.mkdirs());
  }
  EXPECT_FALSE(File(path).exists()) << "a TempFile is removed with its content";
}

TEST(FileTest, WritesAndCopiesReplaceWholeFilesKeepModesAndFlushOnlyWhenDurable) {
  const TempFile tmp;
  const File target(tmp.getFile(), "settings.xml"), source(tmp.getFile(), "incoming.xml");
  PosixFileOps trickle = posixFileOps();
  trickle.write = [](int fd, const void* buffer, size_t count) { return ::write(fd, buffer, count < 3 ? count : 3); };
  trickle.fsync = [](int fd) { return ++fsyncs, ::fsync(fd); };
  {
    const ScopedPosixFileOps seam(trickle);  // partial writes are completed
    ASSERT_TRUE(target.writeAtomically("first version") && source.writeAtomically("new content"));
    ASSERT_EQ(::chmod(target.getPath().c_str(), 0600), 0);
    ASSERT_TRUE(target.writeAtomically("second"));
    fsyncs = 0;
    ASSERT_TRUE(source.copyTo(File(tmp.getFile(), "copy"), xmldoc::Durability::Volatile));
    EXPECT_EQ(fsyncs, 0);
    ASSERT_TRUE(source.copyTo(File(tmp.getFile(), "durable")));  // by default: the file, then its folder
    EXPECT_EQ(fsyncs, 2);
  }
  EXPECT_EQ(zem_test::readFile(target), "second");
  struct stat st;
  ASSERT_EQ(::stat(target.getPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(zem_test::readFile(File(tmp.getFile(), "copy")), "new content");
  EXPECT_FALSE(File(File(tmp.getFile(), "no-such-folder"), "x").writeAtomically("x"));
  EXPECT_FALSE(File(tmp.getFile(), "missing.xml").copyTo(target));
  EXPECT_FALSE(tmp.getFile().copyTo(target));  // a folder is not copied
}
