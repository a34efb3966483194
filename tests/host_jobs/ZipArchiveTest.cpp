// ZipArchive: hostile containers and misuse refused without leaving files, libzip failures turned
// into ZipExceptions, and archives that appear only once complete. Reading through a suspended
// archive is exercised by the backlog test (JobIntakeTest). Packages are signed, then committed
// durably; oversized indexes are refused.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "ZemTestSupport.h"
#include "kest/seams/PosixFileOps.h"
#include "kest/seams/ZipLibOps.h"
#include "kest/testing/LogCapture.h"
#include "kest/zip/ZipArchive.h"
#include "kolconfig/FileIo.h"
#include "kolconfig/Types.h"

namespace {

namespace Types = Sarnet_Configuration::Types;
using zem_test::readFile;
using zem_test::writeFile;

// The code of the ZipException `action` throws (0: none) and its text.
std::pair<int, std::string> failureOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const ZipException& e) {
    return {e.getCode(), e.what()};
  }
  return {0, ""};
}

class ZipArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = zem_test::freshFolder("zip");
    target_ = File(folder_, "target");
  }
  File container(const std::vector<zem_test::Entry>& entries, const std::string& name = "c.zip") {
    zem_test::makeZip(File(folder_, name), entries);
    return File(folder_, name);
  }
  File extract(const ZipArchive& archive, const std::string& entry, const std::string& name) {
    return archive.extract(entry, target_, name, ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
  }

  File folder_, target_;
};

const std::string kIndex = zem_test::indexDocument({{"TASK_REQUEST", "task.xml", "c2ln"}, {"ZEM_DATABASE", "d"}});

// The zip refusals: each row is one hostile input or misuse, with the code and a text it must give.
TEST_F(ZipArchiveTest, RefusalsGiveTheirCodeAndLeaveNothingBehind) {
  std::string huge = zem_test::document("TaskIndex", "<!--" + std::string(20 * 1000 * 1000, 'x') + "-->");
  const File path = container(
      {{"../escape.txt", "evil"},
       {"/abs.txt", "evil"},
       {"a/../../deep.txt", "evil"},
       {"..\\win.txt", "evil"},
       {"link", "/etc/passwd", true},
       {"ok.txt", "fine"},
       {"bomb.bin", std::string(1 << 20, 'z'), false, false, 1000},
       {"stored-bomb.bin", std::string(1 << 20, 'z'), false, true, 1000},
       {"big.bin", std::string(4 << 20, '\0')},
       {"task.xml", zem_test::document("ResetZemDatabaseTaskDescription", "", "taskId=\"T1\"")},
       {"invalid.xml", zem_test::document("TaskIndex", "<k:taskIndexEntry><k:type>X</k:type></k:taskIndexEntry>")},
       {"dtd.xml", "<?xml version=\"1.0\"?>\n<!DOCTYPE k:config [<!ENTITY b \"b\">]>\n" +
                       zem_test::document("TaskIndex", "").substr(39)},
       {"huge.xml", huge}});
  huge = std::string();
  ZipArchive archive = ZipArchive::openForReading(path.getPath(), nullptr, 2 << 20);
  archive.setMaxDocumentSize(1 << 20);
  ASSERT_TRUE(target_.mkdirs());
  ASSERT_EQ(::symlink(folder_.getPath().c_str(), File(target_, "up").getPath().c_str()), 0);
  writeFile(File(folder_, "text.zip"), "this is not a zip archive at all");
  container({{"index.xml", kIndex}, {"t", std::string(5000, 'a')}}, "good.zip");
  ASSERT_EQ(::symlink("good.zip", File(folder_, "link.zip").getPath().c_str()), 0);
  ZipArchive writer = ZipArchive::create(File(folder_, "P.zip").getPath());

  // x: extract A under the name B; d: read A as a document; o: open the file A of the folder;
  // w: add the file B of the folder as entry A to a new archive.
  struct Row {
    char op;
    std::string a, b;
    int code;
    std::string text;  // the exception text holds it
  };
  const std::string where = " from archive " + path.getPath();
  const std::vector<Row> rows = {
      {'x', "../escape.txt", "x", ZipException::kEntryRefused, ""},
      {'x', "/abs.txt", "x", ZipException::kEntryRefused, ""},
      {'x', "a/../../deep.txt", "x", ZipException::kEntryRefused, ""},
      {'x', "..\\win.txt", "x", ZipException::kEntryRefused, ""},
      {'x', "link", "x", ZipException::kEntryRefused, "symbolic link"},
      {'x', "ok.txt", "../out.txt", ZipException::kEntryRefused, ""},
      {'x', "ok.txt", "/tmp/out.txt", ZipException::kEntryRefused, ""},
      {'x', "ok.txt", "up/out.txt", ZipException::kEntryRefused, "resolves outside"},
      {'x', "bomb.bin", "b", ZipException::kSizeLimit, "expands past its declared size"},
      {'x', "stored-bomb.bin", "b", ZipException::kSizeLimit, "expands past its declared size"},
      {'x', "big.bin", "b", ZipException::kSizeLimit, ""},
      {'d', "nope.xml", "", -2, "Cannot extract the XML item nope.xml" + where},
      {'d', "invalid.xml", "", -1, "XML file failed schema validation "},
      {'d', "task.xml", "", -1, "Cannot extract the XML item task.xml" + where},
      {'d', "dtd.xml", "", -1, ""},
      {'d', "huge.xml", "", -2, "Cannot extract the XML item huge.xml" + where},
      {'d', "stored-bomb.bin", "", -2, "Cannot extract the XML item stored-bomb.bin" + where},  // read into memory
      {'d', "link", "", -2, "Cannot extract the XML item link" + where},
      {'o', "text.zip", "", ZipException::kCannotOpen, "text.zip"},
      {'o', "missing.zip", "", ZipException::kCannotOpen, "missing.zip"},
      {'o', "target", "", ZipException::kCannotOpen, "not a regular file"},
      {'o', "link.zip", "", ZipException::kCannotOpen, "not a regular file"},
      {'w', "../a", "text.zip", ZipException::kEntryRefused, ""},
      {'w', "b", "missing", ZipException::kCannotOpen, ""},
      {'w', "d", "target", ZipException::kCannotOpen, ""},
      {'h', "d", "target", ZipException::kCannotOpen, "holds no regular file"},
  };
  kest::testing::LogCapture log;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.a);
    const auto failure = failureOf([&] {
      if (row.op == 'x') extract(archive, row.a, row.b);
      if (row.op == 'd')
        archive.extractXML<Types::TaskIndex>(row.a, ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
      if (row.op == 'o') ZipArchive::openForReading(File(folder_, row.a).getPath());
      if (row.op == 'w') writer.addFile(row.a, File(folder_, row.b));
      if (row.op == 'h') {
        const xmldoc::UniqueFd fd(::open(File(folder_, row.b).getPath().c_str(), O_RDONLY | O_CLOEXEC));
        writer.addOpenFile(row.a, fd.get());
      }
    });
    EXPECT_EQ(failure.first, row.code) << failure.second;
    EXPECT_NE(failure.second.find(row.text), std::string::npos) << failure.second;
  }
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Cannot load XML file : task.xml from archive"));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Entry stored-bomb.bin expands past its declared size"));
  EXPECT_EQ(failureOf([&] { writer.close(); }).first, ZipException::kWriteFailure);  // no entry: nothing written
  EXPECT_EQ(failureOf([] { ZipArchive().getEntryNames(); }).first, ZipException::kInvalidState);
  // A suspended archive whose file was replaced meanwhile does not read the newcomer.
  ZipArchive suspended = ZipArchive::openForReading(File(folder_, "good.zip").getPath());
  suspended.suspend();
  ASSERT_EQ(::rename(path.getPath().c_str(), File(folder_, "good.zip").getPath().c_str()), 0);
  EXPECT_EQ(failureOf([&] { suspended.getEntryNames(); }).second.find("replaced") != std::string::npos, true);
  suspended.close();
  EXPECT_EQ(failureOf([&] { suspended.getEntryNames(); }).first, ZipException::kInvalidState);

  EXPECT_EQ(zem_test::names(target_, true), std::vector<std::string>{"up"});
  EXPECT_TRUE(zem_test::names(File::tmpFolder(), true).empty());
  EXPECT_FALSE(File(folder_, "escape.txt").exists());
  EXPECT_FALSE(File(folder_, "P.zip").exists());
}

// `size` bytes that deflate cannot shrink (the same every run).
std::string noise(size_t size) {
  std::mt19937 generator(7);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(generator());
  return bytes;
}

// The forced failure `which` in the libzip seam (or, for "rename", in the POSIX seam).
void fail(const std::string& which, ZipLibOps& ops, PosixFileOps& posix) {
  if (which == "fdopen") ops.fdopen = [](int, int, int* error) -> zip_t* { return *error = ZIP_ER_MEMORY, nullptr; };
  if (which == "open")
    ops.openFromSource = [](zip_source_t*, int, zip_error_t* e) -> zip_t* {
      return zip_error_set(e, ZIP_ER_MEMORY, 0), nullptr;
    };
  if (which == "fread") ops.fread = [](zip_file_t*, void*, zip_uint64_t) -> zip_int64_t { return -1; };
  if (which == "fopen") ops.fopenIndex = [](zip_t*, zip_uint64_t, zip_flags_t) -> zip_file_t* { return nullptr; };
  if (which == "add") ops.fileAdd = [](zip_t*, const char*, zip_source_t*, zip_flags_t) -> zip_int64_t { return -1; };
  if (which == "close") ops.close = [](zip_t*) { return -1; };
  if (which == "rename") posix.rename = [](const char*, const char*) { return errno = EIO, -1; };
  if (which.rfind("write", 0) == 0)
    posix.write = [](int, const void*, size_t) -> ssize_t { return errno = ENOSPC, -1; };
  if (which.rfind("source", 0) == 0) {
    ops.sourceFilepCreate = [](FILE*, zip_uint64_t, zip_int64_t, zip_error_t* e) -> zip_source_t* {
      return zip_error_set(e, ZIP_ER_MEMORY, 0), nullptr;
    };
    ops.sourceFunctionCreate = [](zip_source_callback, void*, zip_error_t* e) -> zip_source_t* {
      return zip_error_set(e, ZIP_ER_MEMORY, 0), nullptr;
    };
  }
}

// libzip failures through the ZipLibOps seam: one row per forced failure and the operation it hits.
TEST_F(ZipArchiveTest, LibzipFailuresBecomeZipExceptionsAndLeaveNoFiles) {
  const File path = container({{"index.xml", kIndex}});
  const File source(folder_, "source.txt"), large(folder_, "large.bin"), huge(folder_, "huge.bin"),
      outbox(folder_, "out"), package(outbox, "P.zip");
  writeFile(source, "payload");                    // deflated in memory
  writeFile(large, noise(600 * 1024));             // stays larger than the archive kept in memory
  writeFile(huge, std::string(1100 * 1024, 'h'));  // streamed from its file by libzip
  writeFile(package, "older");
  const std::function<void()> open = [&] { ZipArchive::openForReading(path.getPath()); };
  const std::function<void()> read = [&] { extract(ZipArchive::openForReading(path.getPath()), "index.xml", "x"); };
  const auto writing = [&](const File& content) {
    return [&, content] {
      ZipArchive archive = ZipArchive::create(package.getPath());
      archive.addFile("a.txt", content);
      archive.close();
    };
  };
  const std::function<void()> write = writing(source);
  const std::vector<std::tuple<std::string, std::function<void()>, int>> rows = {
      {"fdopen", open, ZipException::kCannotOpen},
      {"open", write, ZipException::kCannotOpen},
      {"fread", read, ZipException::kReadFailure},
      {"fopen", read, ZipException::kReadFailure},
      {"add", write, ZipException::kWriteFailure},
      {"source", write, ZipException::kWriteFailure},
      {"source huge", writing(huge), ZipException::kWriteFailure},
      {"close", write, ZipException::kWriteFailure},
      {"rename", write, ZipException::kWriteFailure},
      {"write", write, ZipException::kWriteFailure},
      {"write large", writing(large), ZipException::kWriteFailure}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::get<0>(row));
    ZipLibOps ops = zipLibOps();
    PosixFileOps posix = posixFileOps();
    fail(std::get<0>(row), ops, posix);
    const ScopedZipLibOps zipSeam(ops);
    const ScopedPosixFileOps posixSeam(posix);
    EXPECT_EQ(failureOf(std::get<1>(row)).first, std::get<2>(row));
    EXPECT_TRUE(zem_test::names(target_, true).empty());
    EXPECT_EQ(zem_test::names(outbox, true), std::vector<std::string>{"P.zip"});
    EXPECT_EQ(readFile(package), "older");
  }
}

// Packages kept in memory while small and written to their file as they grow read back entry for
// entry, with nothing beside them: empty, small, cache-range and streamed sizes, each added from a
// file, from memory and from a descriptor (read from its start, its file replaced before close).
TEST_F(ZipArchiveTest, SmallAndLargePackagesReadBackAndLeaveOnlyThemselves) {
  const File outbox(folder_, "out");
  outbox.mkdirs();
  const std::string empty, small = "<result/>", large = noise(600 * 1024) + std::string(300 * 1024, 'z'),
                           huge = std::string(1100 * 1024, 'h') + noise(1000);
  for (const std::string* bytes : {&empty, &small, &large, &huge}) {
    SCOPED_TRACE(bytes->size());
    const File source(folder_, "entry.bin"), package(outbox, "P.zip");
    writeFile(source, *bytes);
    ZipArchive written = ZipArchive::create(package.getPath());
    written.addFile("a/entry.bin", source);
    written.addBytes("c.bin", *bytes, 0, 0644);
    const File held(folder_, "held.bin"), next(folder_, "next.bin");
    writeFile(held, *bytes);
    xmldoc::UniqueFd fd(::open(held.getPath().c_str(), O_RDONLY | O_CLOEXEC));
    ::lseek(fd.get(), 0, SEEK_END);
    written.addOpenFile("d.bin", fd.get());
    fd.close();
    writeFile(next, "replaced");
    ASSERT_EQ(::rename(next.getPath().c_str(), held.getPath().c_str()), 0);
    written.close();
    EXPECT_EQ(zem_test::names(outbox, true), std::vector<std::string>{"P.zip"});
    const ZipArchive read = ZipArchive::openForReading(package.getPath());
    EXPECT_EQ(readFile(extract(read, "a/entry.bin", "entry")), *bytes);
    EXPECT_EQ(readFile(extract(read, "c.bin", "c")), *bytes);
    EXPECT_EQ(readFile(extract(read, "d.bin", "d")), *bytes);
    ::unlink(package.getPath().c_str());
  }
}

}  // namespace

// The durable writer's steps: "fsync", "rename NAME", "folder", and "signed" for a signature.
static std::vector<std::string> g_steps;
static int fsyncStep(int fd) { return g_steps.push_back("fsync"), ::fsync(fd); }
static int mv(const char* f, const char* t) { return g_steps.push_back("rename " + File(t).getName()), ::rename(f, t); }
static int dir(const char* path) { return g_steps.push_back("folder"), xmldoc::defaultFileIo().openDirectory(path); }

// True when `name` took its place by fsync, rename and folder flush, after the step `before`.
static bool committed(const std::string& name, const std::string& before) {
  const auto at = std::find(g_steps.begin(), g_steps.end(), "rename " + name);
  return std::find(g_steps.begin(), at, before) != at && g_steps.end() - at >= 3 && at[-1] == "fsync" &&
         at[1] == "folder" && at[2] == "fsync";
}

TEST(ZipCommitTest, PackagesAreSignedBeforeTheirDurableCommitAndEntriesCommittedDurably) {
  const File folder = zem_test::freshFolder("commit"), source(folder, "db.xml"), package(folder, "P.zip");
  zem_test::writeFile(source, std::string(200000, 'x'));
  PosixFileOps ops = posixFileOps();
  std::tie(ops.fsync, ops.rename, ops.openDirectory) = std::make_tuple(&fsyncStep, &mv, &dir);
  const ScopedPosixFileOps seam(ops);
  g_steps = {"start"};
  ZipArchive archive = ZipArchive::create(package.getPath());
  archive.addFile("db.xml", source);
  archive.close(
      Security::SignatureGenerator([](const File&) { return g_steps.push_back("signed"), std::string("S"); }));
  EXPECT_TRUE(committed("P.zip", "signed"));
  EXPECT_EQ(zem_test::readFile(File(folder, "P.zip.sig")), "S\n");
  ZipArchive::openForReading(package.getPath()).extract("db.xml", folder, "copy.xml", {}, {});
  EXPECT_TRUE(committed("copy.xml", "start"));
}

// A file added to package after package is deflated once, yet each package is byte for byte what
// libzip writes at level 1. Rows: first add, repeat, one byte changed (same size and time), a
// read-only mode, (mode 0) the bytes from memory, and once settled (known by identity) a repeat
// and one byte changed in place with its mtime set back.
TEST(ZipCommitTest, ARepeatedFileIsDeflatedOnceAndEveryPackageStaysByteForByteTheSame) {
  const File folder = zem_test::freshFolder("repeat"), source(folder, "db.xml");
  std::string text;
  for (int i = 0; text.size() < 200000; ++i) text += "<entry id=\"" + std::to_string(i * 7919 % 100003) + "\"/>\n";
  const std::vector<std::pair<char, mode_t>> rows = {{'<', 0644}, {'<', 0644}, {'!', 0644}, {'!', 0444},
                                                     {'?', 0},    {'<', 0444}, {'<', 0444}, {'#', 0444}};
  for (size_t row = 0; row < rows.size(); ++row) {
    const bool settled = row >= 5, changed = text[0] != rows[row].first;
    text[0] = rows[row].first;
    const mode_t mode = rows[row].second;
    if (!settled || changed) {
      if (!settled) ::unlink(source.getPath().c_str());
      zem_test::writeFile(source, text);  // a settled file is rewritten in place
      if (!settled && mode != 0) ::chmod(source.getPath().c_str(), mode);
      const struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
      ::utimensat(AT_FDCWD, source.getPath().c_str(), times, 0);
    }
    if (settled) {
      struct stat st {};
      ::stat(source.getPath().c_str(), &st);
      const auto changedAt =
          std::chrono::system_clock::time_point(std::chrono::seconds(st.st_ctim.tv_sec)) +
          std::chrono::duration_cast<std::chrono::system_clock::duration>(std::chrono::nanoseconds(st.st_ctim.tv_nsec));
      ASSERT_TRUE(zem_test::waitUntil(
          [&] { return std::chrono::system_clock::now() > changedAt + std::chrono::milliseconds(200); }));
    }
    const File direct(folder, "direct.zip"), package(folder, "P" + std::to_string(row) + ".zip");
    zip_t* reference = zip_open(direct.getPath().c_str(), ZIP_CREATE | ZIP_TRUNCATE, nullptr);
    const zip_int64_t index =
        zip_file_add(reference, "db.xml", zip_source_file(reference, source.getPath().c_str(), 0, -1), 0);
    zip_set_file_compression(reference, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 1);
    ASSERT_EQ(zip_close(reference), 0);
    ZipArchive archive = ZipArchive::create(package.getPath());
    mode != 0 ? archive.addFile("db.xml", source) : archive.addBytes("db.xml", text, 1700000000);
    archive.close();
    EXPECT_TRUE(readFile(package) == readFile(direct)) << "row " << row;
  }
}

TEST(ZipCommitTest, AnIndexDeclaringMoreThanTwoMebibytesIsRefusedBeforeExtraction) {
  const File folder = zem_test::freshFolder("cap"), container(folder, "c.zip");
  const auto cap = static_cast<uint32_t>(ZipArchive::kMaxIndexSize);
  for (const auto& [name, declared, code] :
       std::vector<std::tuple<std::string, uint32_t, int>>{{"index.xml", cap + 1, ZipException::kSizeLimit},
                                                           {"index.xml", cap, ZipException::kReadFailure},
                                                           {"other.xml", cap + 1, ZipException::kReadFailure}}) {
    zem_test::Entry entry{name, "<k:config/>"};  // short: found out while reading
    entry.declaredSize = declared;
    zem_test::makeZip(container, {entry});
    const std::string& entryName = name;  // a lambda may not capture a structured binding before C++20
    const auto failure =
        failureOf([&] { ZipArchive::openForReading(container.getPath()).extract(entryName, folder, "x", {}, {}); });
    EXPECT_EQ(failure.first, code) << name << ": " << failure.second;
  }
}
