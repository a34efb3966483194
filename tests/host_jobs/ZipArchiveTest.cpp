// ZipArchive: reading hostile containers safely, the exact failures of extractXML, and writing
// archives that appear only once complete.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "JobsTestSupport.h"
#include "kest/PosixFileOps.h"
#include "kest/testing/LogCapture.h"
#include "kest/zip/ZipArchive.h"
#include "kest/zip/ZipLibOps.h"
#include "kolconfig/Types.h"

namespace Types = Sarnet_Configuration::Types;
using jobs_test::Entry;

namespace {

class ZipArchiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    jobs_test::prepareDevice();
    folder_ = jobs_test::freshFolder("zip");
    target_ = File(folder_, "target");
  }

  // A container in the test folder holding `entries`.
  File container(const std::vector<Entry>& entries, const std::string& name = "container.zip") {
    const File path(folder_, name);
    jobs_test::makeZip(path, entries);
    return path;
  }

  // Files left in a folder (names), recursively.
  static std::vector<std::string> contents(const File& folder) {
    const std::string out =
        jobs_test::capture("cd '" + folder.getPath() + "' 2>/dev/null && find . -mindepth 1 | sort");
    std::vector<std::string> names;
    size_t start = 0;
    while (start < out.size()) {
      const size_t end = out.find('\n', start);
      names.push_back(out.substr(start, end - start));
      start = end == std::string::npos ? out.size() : end + 1;
    }
    return names;
  }

  static int codeOf(const std::function<void()>& action) {
    try {
      action();
    } catch (const ZipException& e) {
      return e.getCode();
    }
    return 0;
  }

  File folder_;
  File target_;
};

const std::string kIndex = jobs_test::indexDocument({{"TASK_REQUEST", "task.xml"}});

TEST_F(ZipArchiveTest, ExtractsAnEntryUnderTheGivenNameReplacingAnOlderFile) {
  const File path = container({{"payload/settings-new.xml", "new content"}, {"other.txt", "x"}});
  jobs_test::writeFile(File(target_, "settings.xml"), "old content");
  ZipArchive archive = ZipArchive::openForReading(path.getPath());

  const File written = archive.extract("payload/settings-new.xml", target_, "settings.xml", ZipArchive::nonDecryptor(),
                                       ZipArchive::nonValidator());

  EXPECT_EQ(File(target_, "settings.xml").getPath(), written.getPath());
  EXPECT_EQ("new content", jobs_test::readFile(written));
  EXPECT_EQ(std::vector<std::string>{"./settings.xml"}, contents(target_));
  EXPECT_EQ((std::vector<std::string>{"payload/settings-new.xml", "other.txt"}), archive.getEntryNames());
  EXPECT_EQ(12u, archive.getUncompressedSize());
  EXPECT_EQ(11u, archive.getUncompressedSize("payload/settings-new.xml"));
}

TEST_F(ZipArchiveTest, RefusesEntryNamesThatLeaveTheFolderAndSymbolicLinks) {
  const File path = container({{"../escape.txt", "evil"},
                               {"/abs.txt", "evil"},
                               {"a/../../deep.txt", "evil"},
                               {"..\\win.txt", "evil"},
                               {"link", "/etc/passwd", true},
                               {"ok.txt", "fine"}});
  ZipArchive archive = ZipArchive::openForReading(path.getPath());
  for (const std::string name : {"../escape.txt", "/abs.txt", "a/../../deep.txt", "..\\win.txt", "link"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ZipException::kEntryRefused, codeOf([&] {
                archive.extract(name, target_, "out.txt", ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
              }));
  }
  // Target names are held to the same rule, and a link inside the folder cannot lead out of it.
  ASSERT_TRUE(target_.mkdirs());
  ASSERT_EQ(0, ::symlink(folder_.getPath().c_str(), File(target_, "up").getPath().c_str()));
  for (const std::string name : {"../out.txt", "/tmp/out.txt", "up/out.txt"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ZipException::kEntryRefused, codeOf([&] {
                archive.extract("ok.txt", target_, name, ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
              }));
  }
  EXPECT_EQ(std::vector<std::string>{"./up"}, contents(target_));
  EXPECT_FALSE(File(folder_, "escape.txt").exists());
  EXPECT_FALSE(File(folder_, "out.txt").exists());
}

TEST_F(ZipArchiveTest, RefusesSymbolicLinksStoredByTheZipCommand) {
  ASSERT_EQ(0, jobs_test::run("cd '" + folder_.getPath() +
                              "' && ln -s /etc/hostname link && echo data > plain.txt && "
                              "zip -q -y tool.zip link plain.txt"));
  ZipArchive archive = ZipArchive::openForReading(File(folder_, "tool.zip").getPath());
  EXPECT_EQ(ZipException::kEntryRefused, codeOf([&] {
              archive.extract("link", target_, "link", ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
            }));
  const File plain =
      archive.extract("plain.txt", target_, "plain.txt", ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
  EXPECT_EQ("data\n", jobs_test::readFile(plain));
}

TEST_F(ZipArchiveTest, CutsOffAnEntryThatExpandsPastItsDeclaredSize) {
  for (const bool store : {false, true}) {
    SCOPED_TRACE(store ? "stored" : "deflated");
    const File path = container({{"bomb.bin", std::string(1 << 20, 'z'), false, store}}, store ? "s.zip" : "d.zip");
    jobs_test::patchDeclaredSize(path, "bomb.bin", 1000);
    ZipArchive archive = ZipArchive::openForReading(path.getPath());
    EXPECT_EQ(1000u, archive.getUncompressedSize());
    try {
      archive.extract("bomb.bin", target_, "bomb.bin", ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
      ADD_FAILURE() << "an overrunning entry was extracted";
    } catch (const ZipException& e) {
      // Cut off while reading, not noticed at the end after the whole expansion was written.
      EXPECT_EQ(ZipException::kSizeLimit, e.getCode()) << e.what();
      EXPECT_NE(std::string::npos, std::string(e.what()).find("expands past its declared size")) << e.what();
    }
    EXPECT_TRUE(contents(target_).empty());
  }
}

TEST_F(ZipArchiveTest, RefusesAnEntryBeyondTheDiskSpaceCeilingWithoutWritingIt) {
  const File path = container({{"big.bin", std::string(4 << 20, '\0')}, {"index.xml", kIndex}});
  ZipArchive archive = ZipArchive::openForReading(path.getPath(), nullptr, 1 << 20);
  EXPECT_EQ(1u << 20, archive.getDiskSpaceCeiling());
  EXPECT_EQ(ZipException::kSizeLimit, codeOf([&] {
              archive.extract("big.bin", target_, "big.bin", ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
            }));
  EXPECT_TRUE(contents(target_).empty());

  // The same limit holds for documents, which also go through a temporary folder.
  archive.setDiskSpaceCeiling(100);
  EXPECT_EQ(ZipException::kCannotExtract, codeOf([&] {
              archive.extractXML<Types::TaskIndex>("index.xml", ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
            }));
  EXPECT_TRUE(contents(jobs_test::temporaryFolder()).empty());

  archive.setDiskSpaceCeiling(ZipArchive::kDefaultDiskSpaceCeiling);
  EXPECT_NE(nullptr,
            archive.extractXML<Types::TaskIndex>("index.xml", ZipArchive::nonDecryptor(), ZipArchive::nonValidator()));
}

TEST_F(ZipArchiveTest, RefusesToOpenWhatIsNotACompleteZip) {
  const File notZip(folder_, "text.zip");
  jobs_test::writeFile(notZip, "this is not a zip archive at all");
  const File good = container({{"index.xml", kIndex}, {"task.xml", std::string(5000, 'a')}}, "good.zip");
  const std::string bytes = jobs_test::readFile(good);
  const File truncated(folder_, "truncated.zip");
  jobs_test::writeFile(truncated, bytes.substr(0, bytes.size() / 2));
  const File tailCut(folder_, "tail.zip");
  jobs_test::writeFile(tailCut, bytes.substr(0, bytes.size() - 10));
  const File empty(folder_, "empty.zip");
  jobs_test::writeFile(empty, "");

  for (const File& file : {notZip, truncated, tailCut, empty, File(folder_, "missing.zip"), folder_}) {
    SCOPED_TRACE(file.getPath());
    try {
      ZipArchive::openForReading(file.getPath());
      ADD_FAILURE() << "opened";
    } catch (const ZipException& e) {
      EXPECT_EQ(ZipException::kCannotOpen, e.getCode());
      EXPECT_NE(std::string::npos, std::string(e.what()).find(file.getPath())) << e.what();
    }
  }
}

TEST_F(ZipArchiveTest, ExtractXmlReadsATypedDocumentAndRemovesItsTemporaryFolder) {
  const std::string index =
      jobs_test::indexDocument({{"TASK_REQUEST", "task.xml", "c2ln"}, {"ZEM_DATABASE", "db.xml"}});
  const File path = container({{"index.xml", index}});
  const ZipArchive archive = ZipArchive::openForReading(path.getPath());

  const auto document =
      archive.extractXML<Types::TaskIndex>("index.xml", ZipArchive::nonDecryptor(), ZipArchive::nonValidator());

  ASSERT_NE(nullptr, document);
  ASSERT_EQ(2u, document->elements_taskIndexEntry().size());
  EXPECT_EQ("TASK_REQUEST", document->elements_taskIndexEntry()[0]->get_type());
  EXPECT_EQ("task.xml", document->elements_taskIndexEntry()[0]->get_file());
  EXPECT_EQ("c2ln", document->elements_taskIndexEntry()[0]->get_signature());
  EXPECT_FALSE(document->elements_taskIndexEntry()[1]->has_signature());
  EXPECT_TRUE(contents(jobs_test::temporaryFolder()).empty());
}

TEST_F(ZipArchiveTest, ExtractXmlFailsWithTheExactCodesAndTexts) {
  const std::string description = jobs_test::document("ResetZemDatabaseTaskDescription", "", "taskId=\"T1\"");
  const std::string invalid =
      jobs_test::document("TaskIndex", "<k:taskIndexEntry><k:type>X</k:type></k:taskIndexEntry>");
  const std::string dtd =
      "<?xml version=\"1.0\"?>\n<!DOCTYPE k:config [<!ENTITY boom \"boom\">]>\n" +
      jobs_test::document("TaskIndex", "").substr(std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n").size());
  // 50 MB of nested-free but well-formed markup.
  std::string huge = jobs_test::document("TaskIndex", "<!--" + std::string(50 * 1000 * 1000, 'x') + "-->");
  const File path = container({{"index.xml", kIndex},
                               {"task.xml", description},
                               {"invalid.xml", invalid},
                               {"dtd.xml", dtd},
                               {"huge.xml", huge}});
  huge.clear();
  huge.shrink_to_fit();
  const ZipArchive archive = ZipArchive::openForReading(path.getPath());
  const std::string where = " from archive " + path.getPath();
  kest::testing::LogCapture log;

  auto failure = [&](const std::string& entry) -> ZipException {
    try {
      archive.extractXML<Types::TaskIndex>(entry, ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
    } catch (const ZipException& e) {
      return e;
    }
    ADD_FAILURE() << entry << " was read";
    return ZipException(0, "");
  };

  const ZipException missing = failure("nope.xml");
  EXPECT_EQ(-2, missing.getCode());
  EXPECT_EQ("Cannot extract the XML item nope.xml" + where, std::string(missing.what()));

  const ZipException schema = failure("invalid.xml");
  EXPECT_EQ(-1, schema.getCode());
  EXPECT_EQ(0u, std::string(schema.what()).find("XML file failed schema validation ")) << schema.what();

  const ZipException wrongType = failure("task.xml");
  EXPECT_EQ(-1, wrongType.getCode());
  EXPECT_EQ("Cannot extract the XML item task.xml" + where, std::string(wrongType.what()));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Cannot load XML file : task.xml from archive")) << log.dump();

  EXPECT_EQ(-1, failure("dtd.xml").getCode());

  const ZipException tooBig = failure("huge.xml");
  EXPECT_EQ(-2, tooBig.getCode());
  EXPECT_EQ("Cannot extract the XML item huge.xml" + where, std::string(tooBig.what()));

  // A refusal by the validator is a SecurityException naming the entry and the reason.
  const Security::SignatureValidator refuse(
      [](const File&, Security::ValidationContext&) { throw Security::SecurityException("bad signature"); });
  try {
    archive.extractXML<Types::TaskIndex>("index.xml", ZipArchive::nonDecryptor(), refuse);
    ADD_FAILURE() << "the validator was ignored";
  } catch (const Security::SecurityException& e) {
    EXPECT_EQ("File cannot be extracted for security reasons: index.xml (bad signature)", std::string(e.what()));
  }

  // Only extracting needs a place to put the file.
  EXPECT_EQ(nullptr, archive.extractXML<Types::TaskIndex>("index.xml", ZipArchive::nonDecryptor(),
                                                          ZipArchive::nonValidator(), true));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Failed to specify decompressedPath with onlyExtract option"));
  const File kept(folder_, "kept/index.xml");
  EXPECT_EQ(nullptr, archive.extractXML<Types::TaskIndex>("index.xml", ZipArchive::nonDecryptor(),
                                                          ZipArchive::nonValidator(), true, kept.getPath()));
  EXPECT_EQ(kIndex, jobs_test::readFile(kept));

  EXPECT_TRUE(contents(jobs_test::temporaryFolder()).empty());
}

TEST_F(ZipArchiveTest, WritesTheArchiveUnderATemporaryNameUntilClose) {
  const File outbox(folder_, "out");
  ASSERT_TRUE(outbox.mkdirs());
  const File a(folder_, "a.txt");
  const File b(folder_, "sub/b.txt");
  jobs_test::writeFile(a, "alpha");
  jobs_test::writeFile(b, std::string(100000, 'b'));
  const File package(outbox, "P.zip");
  jobs_test::writeFile(package, "an older package");

  ZipArchive archive = ZipArchive::create(package.getPath());
  EXPECT_TRUE(archive.isWritable());
  archive.addFile("a.txt", a);
  archive.addFile("LOGS/b.txt", b);
  // The source is opened when added: it may go before the archive is written.
  ASSERT_TRUE(b.remove());
  EXPECT_EQ("an older package", jobs_test::readFile(package));
  EXPECT_EQ(100005u, archive.getUncompressedSize());

  int signatures = 0;
  archive.close(Security::SignatureGenerator([&](const File& file) {
    ++signatures;
    EXPECT_NE(package.getPath(), file.getPath());  // signed before it takes its final name
    return std::string("c2lnbmF0dXJl");
  }));
  EXPECT_EQ(1, signatures);
  EXPECT_FALSE(archive.isOpen());
  EXPECT_EQ((std::vector<std::string>{"./P.zip", "./P.zip.sig"}), contents(outbox));
  EXPECT_EQ("c2lnbmF0dXJl\n", jobs_test::readFile(File(outbox, "P.zip.sig")));
  EXPECT_EQ(0, jobs_test::run("unzip -tq '" + package.getPath() + "' >/dev/null"));

  ZipArchive reread = ZipArchive::openForReading(package.getPath());
  EXPECT_EQ((std::vector<std::string>{"a.txt", "LOGS/b.txt"}), reread.getEntryNames());
  const File copy =
      reread.extract("LOGS/b.txt", folder_, "copy.txt", ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
  EXPECT_EQ(std::string(100000, 'b'), jobs_test::readFile(copy));
}

TEST_F(ZipArchiveTest, AddFileRefusesUnsafeNamesAndMissingSourcesWithoutChangingTheArchive) {
  const File a(folder_, "a.txt");
  jobs_test::writeFile(a, "alpha");
  const File package(folder_, "P.zip");
  ZipArchive archive = ZipArchive::create(package.getPath());
  EXPECT_EQ(ZipException::kEntryRefused, codeOf([&] { archive.addFile("../a.txt", a); }));
  EXPECT_EQ(ZipException::kEntryRefused, codeOf([&] { archive.addFile("/a.txt", a); }));
  EXPECT_EQ(ZipException::kCannotOpen, codeOf([&] { archive.addFile("b.txt", File(folder_, "missing")); }));
  EXPECT_EQ(ZipException::kCannotOpen, codeOf([&] { archive.addFile("d", folder_); }));
  EXPECT_TRUE(archive.getEntryNames().empty());
  // An archive without entries is not written.
  EXPECT_EQ(ZipException::kWriteFailure, codeOf([&] { archive.close(); }));
  EXPECT_FALSE(package.exists());
  EXPECT_EQ(std::vector<std::string>{"./a.txt"}, contents(folder_));
}

TEST_F(ZipArchiveTest, EncryptorOutputIsWhatGoesIntoTheArchive) {
  const File a(folder_, "a.txt");
  jobs_test::writeFile(a, "plain");
  const File package(folder_, "P.zip");
  ZipArchive archive = ZipArchive::create(package.getPath());
  archive.addFile("a.txt", a, Security::FileEncryptor([](const File& source, const File& target) {
                    jobs_test::writeFile(target, "[" + jobs_test::readFile(source) + "]");
                  }));
  EXPECT_THROW(archive.addFile("b.txt", a, Security::FileEncryptor([](const File&, const File&) {
                                 throw Security::SecurityException("no key");
                               })),
               Security::SecurityException);
  archive.close();
  EXPECT_TRUE(contents(jobs_test::temporaryFolder()).empty());
  ZipArchive reread = ZipArchive::openForReading(package.getPath());
  EXPECT_EQ(std::vector<std::string>{"a.txt"}, reread.getEntryNames());
  const File out = reread.extract("a.txt", folder_, "out.txt", ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
  EXPECT_EQ("[plain]", jobs_test::readFile(out));
}

TEST_F(ZipArchiveTest, CopiesShareOneArchiveAndTheNullArchiveRefusesWork) {
  const File path = container({{"index.xml", kIndex}});
  ZipArchive first = ZipArchive::openForReading(path.getPath());
  const ZipArchive second = first;
  EXPECT_FALSE(second.isNull());
  first.close();
  EXPECT_FALSE(second.isOpen());
  EXPECT_EQ(path.getPath(), second.getPath());
  EXPECT_EQ(ZipException::kInvalidState, codeOf([&] {
              second.extract("index.xml", target_, "x", ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
            }));
  first.close();  // closing again does nothing

  ZipArchive null;
  EXPECT_TRUE(null.isNull());
  EXPECT_FALSE(null.isOpen());
  EXPECT_EQ("", null.getPath());
  EXPECT_EQ(ZipException::kInvalidState, codeOf([&] { null.getEntryNames(); }));
  EXPECT_EQ(ZipException::kInvalidState, codeOf([&] { null.close(); }));
}

// ---- forced libzip failures

ZipLibOps failing(ZipLibOps ops, const std::string& which) {
  if (which == "open") {
    ops.open = [](const char*, int, int* error) -> zip_t* {
      *error = ZIP_ER_MEMORY;
      return nullptr;
    };
    ops.fdopen = [](int, int, int* error) -> zip_t* {
      *error = ZIP_ER_MEMORY;
      return nullptr;
    };
  }
  if (which == "fread") ops.fread = [](zip_file_t*, void*, zip_uint64_t) -> zip_int64_t { return -1; };
  if (which == "fopen") ops.fopenIndex = [](zip_t*, zip_uint64_t, zip_flags_t) -> zip_file_t* { return nullptr; };
  if (which == "close") ops.close = [](zip_t*) { return -1; };
  if (which == "add") ops.fileAdd = [](zip_t*, const char*, zip_source_t*, zip_flags_t) -> zip_int64_t { return -1; };
  if (which == "source") {
    ops.sourceFilepCreate = [](FILE*, zip_uint64_t, zip_int64_t, zip_error_t* error) -> zip_source_t* {
      zip_error_set(error, ZIP_ER_MEMORY, 0);
      return nullptr;
    };
  }
  return ops;
}

TEST_F(ZipArchiveTest, LibzipFailuresBecomeZipExceptionsAndLeaveNoFiles) {
  const File path = container({{"index.xml", kIndex}});
  {
    const ScopedZipLibOps seam(failing(zipLibOps(), "open"));
    EXPECT_EQ(ZipException::kCannotOpen, codeOf([&] { ZipArchive::openForReading(path.getPath()); }));
    EXPECT_EQ(ZipException::kCannotOpen, codeOf([&] { ZipArchive::create(File(folder_, "new.zip").getPath()); }));
  }
  for (const std::string which : {"fread", "fopen"}) {
    SCOPED_TRACE(which);
    const ZipArchive archive = ZipArchive::openForReading(path.getPath());
    const ScopedZipLibOps seam(failing(zipLibOps(), which));
    EXPECT_EQ(ZipException::kReadFailure, codeOf([&] {
                archive.extract("index.xml", target_, "index.xml", ZipArchive::nonDecryptor(),
                                ZipArchive::nonValidator());
              }));
    EXPECT_EQ(ZipException::kCannotExtract, codeOf([&] {
                archive.extractXML<Types::TaskIndex>("index.xml", ZipArchive::nonDecryptor(),
                                                     ZipArchive::nonValidator());
              }));
    EXPECT_TRUE(contents(target_).empty());
  }
  const File source(folder_, "source.txt");
  jobs_test::writeFile(source, "payload");
  const File outbox(folder_, "out");
  ASSERT_TRUE(outbox.mkdirs());
  for (const std::string which : {"add", "source"}) {
    SCOPED_TRACE(which);
    ZipArchive archive = ZipArchive::create(File(outbox, "P.zip").getPath());
    const ScopedZipLibOps seam(failing(zipLibOps(), which));
    EXPECT_EQ(ZipException::kWriteFailure, codeOf([&] { archive.addFile("a.txt", source); }));
    EXPECT_TRUE(archive.getEntryNames().empty());
  }
  {
    ZipArchive archive = ZipArchive::create(File(outbox, "P.zip").getPath());
    archive.addFile("a.txt", source);
    const ScopedZipLibOps seam(failing(zipLibOps(), "close"));
    EXPECT_EQ(ZipException::kWriteFailure, codeOf([&] { archive.close(); }));
    EXPECT_FALSE(archive.isOpen());
  }
  EXPECT_TRUE(contents(outbox).empty());
}

TEST_F(ZipArchiveTest, AFailedRenameLeavesTheOlderPackageAndNoTemporaryFile) {
  const File source(folder_, "source.txt");
  jobs_test::writeFile(source, "payload");
  const File outbox(folder_, "out");
  const File package(outbox, "P.zip");
  jobs_test::writeFile(package, "older");
  ZipArchive archive = ZipArchive::create(package.getPath());
  archive.addFile("a.txt", source);
  PosixFileOps ops = posixFileOps();
  ops.rename = [](const char*, const char*) {
    errno = EIO;
    return -1;
  };
  {
    const ScopedPosixFileOps seam(ops);
    EXPECT_EQ(ZipException::kWriteFailure, codeOf([&] { archive.close(); }));
  }
  EXPECT_EQ(std::vector<std::string>{"./P.zip"}, contents(outbox));
  EXPECT_EQ("older", jobs_test::readFile(package));
}

}  // namespace
