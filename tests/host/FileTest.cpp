#include "kest/File.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "kest/PosixFileOps.h"
#include "kest/TempFile.h"

namespace {

std::string readText(const File& file) {
  std::string content;
  EXPECT_TRUE(file.readAll(&content)) << file.getPath();
  return content;
}

void writeText(const File& file, const std::string& content) { ASSERT_TRUE(file.writeAtomically(content)); }

std::vector<std::string> namesOf(const std::vector<File>& files) {
  std::vector<std::string> names;
  for (const File& f : files) names.push_back(f.getName());
  return names;
}

ssize_t failingWrite(int, const void*, size_t) {
  errno = ENOSPC;
  return -1;
}
// Writes at most 3 bytes per call, to exercise the partial-write loop.
ssize_t trickleWrite(int fd, const void* buffer, size_t count) { return ::write(fd, buffer, count < 3 ? count : 3); }
int failingFsync(int) {
  errno = EIO;
  return -1;
}
int failingRename(const char*, const char*) {
  errno = EXDEV;
  return -1;
}

// True when the folder holds an entry whose name contains `marker` (hidden temporaries included).
bool folderHolds(const File& folder, const std::string& marker) {
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.getPath().c_str()), &::closedir);
  if (!dir) return false;
  while (const dirent* e = ::readdir(dir.get())) {
    if (std::string(e->d_name).find(marker) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

TEST(FileTest, PathsJoinWithOneSlashAndSplitIntoNameAndParent) {
  EXPECT_EQ(File(File("/a/b"), "c.xml").getPath(), "/a/b/c.xml");
  EXPECT_EQ(File(File("/a/b/"), "/c.xml").getPath(), "/a/b/c.xml");
  EXPECT_EQ(File(File("/a/b/"), "c.xml").getPath(), "/a/b/c.xml");
  EXPECT_EQ(File(File(""), "c.xml").getPath(), "c.xml");
  EXPECT_EQ(File("/a/b/c.xml").getName(), "c.xml");
  EXPECT_EQ(File("/a/b/").getName(), "b");
  EXPECT_EQ(File("/a/b/c.xml").getParentFile().getPath(), "/a/b");
  EXPECT_EQ(File("/a").getParentFile().getPath(), "/");
  EXPECT_EQ(File("plain").getParentFile().getPath(), "");
  EXPECT_EQ(File("/abs/x").getAbsolutePath(), "/abs/x");
  const std::string relative = File("rel/x").getAbsolutePath();
  EXPECT_EQ(relative.front(), '/');
  EXPECT_EQ(relative.substr(relative.size() - 6), "/rel/x");
}

TEST(FileTest, MkdirsRemoveAndSizesWorkOnNestedFolders) {
  TempFile tmp;
  const File root(tmp.getFile(), "x");
  const File nested(root, "y/z");
  ASSERT_TRUE(nested.mkdirs());
  EXPECT_TRUE(nested.isDirectory());
  EXPECT_TRUE(nested.mkdirs());  // already there
  writeText(File(nested, "a.bin"), std::string(1000, 'a'));
  writeText(File(root, "b.bin"), std::string(24, 'b'));
  ASSERT_EQ(::symlink(File(root, "b.bin").getPath().c_str(), File(nested, "link").getPath().c_str()), 0);

  EXPECT_EQ(File(root, "b.bin").size(), 24u);
  EXPECT_EQ(root.size(), 0u);          // not a regular file
  EXPECT_EQ(root.totalSize(), 1024u);  // the link is not followed
  EXPECT_TRUE(File(nested, "link").isSymbolicLink());
  EXPECT_GT(root.fileSystemTotalSpace(), 0u);

  const File blocker(root, "b.bin");
  EXPECT_FALSE(File(blocker, "sub").mkdirs());  // a regular file is in the way

  EXPECT_TRUE(root.remove());
  EXPECT_FALSE(root.exists());
  EXPECT_TRUE(root.remove());  // nothing left is success
}

TEST(FileTest, ListFilesReturnsRegularFilesSortedByNameFilteredByExtension) {
  TempFile tmp;
  const File folder(tmp.getFile(), "inbox");
  ASSERT_TRUE(folder.mkdirs());
  for (const char* name : {"c.zip", "a.zip", "b.zip.part", "B.zip", "notes.txt", "zip", ".hidden.zip"}) {
    writeText(File(folder, name), "x");
  }
  ASSERT_TRUE(File(folder, "dir.zip").mkdirs());

  EXPECT_EQ(namesOf(folder.listFiles("zip")), (std::vector<std::string>{".hidden.zip", "B.zip", "a.zip", "c.zip"}));
  EXPECT_EQ(namesOf(folder.listFiles()),
            (std::vector<std::string>{".hidden.zip", "B.zip", "a.zip", "b.zip.part", "c.zip", "notes.txt", "zip"}));
  EXPECT_EQ(folder.listFiles("zip").front().getPath(), File(folder, ".hidden.zip").getPath());
  EXPECT_TRUE(File(tmp.getFile(), "missing").listFiles().empty());
}

TEST(FileTest, WriteAtomicallyReplacesContentAndKeepsPermissions) {
  TempFile tmp;
  const File target(tmp.getFile(), "settings.xml");
  {
    // Partial writes are completed.
    ScopedPosixFileOps trickle(PosixFileOps{&trickleWrite, posixFileOps().fsync, posixFileOps().rename});
    writeText(target, "first version");
  }
  EXPECT_EQ(readText(target), "first version");
  ASSERT_EQ(::chmod(target.getPath().c_str(), 0600), 0);

  writeText(target, "second");
  EXPECT_EQ(readText(target), "second");
  struct stat st;
  ASSERT_EQ(::stat(target.getPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_FALSE(folderHolds(tmp.getFile(), ".kest-tmp-"));

  EXPECT_FALSE(File(File(tmp.getFile(), "no-such-folder"), "x").writeAtomically("x"));
}

TEST(FileTest, FailedDurableWriteOrCopyLeavesTargetIntactAndNoTemporaryFile) {
  TempFile tmp;
  const File target(tmp.getFile(), "database.xml");
  const File source(tmp.getFile(), "incoming.xml");
  writeText(target, "old content");
  writeText(source, "new content");

  const PosixFileOps real = posixFileOps();
  const PosixFileOps failures[] = {
      {&failingWrite, real.fsync, real.rename},
      {real.write, &failingFsync, real.rename},
      {real.write, real.fsync, &failingRename},
  };
  for (const PosixFileOps& failure : failures) {
    ScopedPosixFileOps inject(failure);
    EXPECT_FALSE(target.writeAtomically("torn?"));
    EXPECT_FALSE(source.copyTo(target));
    EXPECT_EQ(readText(target), "old content");
    EXPECT_FALSE(folderHolds(tmp.getFile(), ".kest-tmp-"));
  }

  EXPECT_FALSE(File(tmp.getFile(), "missing.xml").copyTo(target));
  EXPECT_FALSE(tmp.getFile().copyTo(target));  // a folder is not copied
  EXPECT_EQ(readText(target), "old content");

  ASSERT_TRUE(source.copyTo(target));
  EXPECT_EQ(readText(target), "new content");
  EXPECT_EQ(readText(source), "new content");
}

TEST(FileTest, TempFileRemovesItsFolderWithContent) {
  std::string path;
  {
    TempFile tmp("zem-file-test-");
    path = tmp.getFile().getPath();
    EXPECT_TRUE(tmp.getFile().isDirectory());
    EXPECT_NE(tmp.getFile().getName().find("zem-file-test-"), std::string::npos);
    ASSERT_TRUE(File(tmp.getFile(), "a/b").mkdirs());
    writeText(File(tmp.getFile(), "a/b/c"), "x");
  }
  EXPECT_FALSE(File(path).exists());
}
