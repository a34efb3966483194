// The XML store on explicit paths in a scratch folder: paths and kinds, the key index, loading with
// the default database, and what happens when the disk or the file misbehaves.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <typeinfo>

#include "RunningApp.h"
#include "database/XMLDatabaseImpl.h"
#include "kest/testing/LogCapture.h"
#include "kolconfig/FileIo.h"
#include "kolconfig/XmlDoc.h"

namespace {

using kest::testing::LogCapture;
namespace Types = Sarnet_Configuration::Types;
using namespace apptest;

const log4cplus::LogLevel kError = log4cplus::ERROR_LOG_LEVEL;
int renames = 0;

// `count` string entries "f0", "f1", ...: enough to put a map behind the key index.
std::string filler(int count) {
  std::string entries;
  for (int i = 0; i < count; ++i) entries += entryXml("f" + std::to_string(i), valueXml("String", "v"));
  return entries;
}

class DatabaseStoreTest : public ::testing::Test {
 protected:
  ~DatabaseStoreTest() override { xmldoc::fileIo() = xmldoc::defaultFileIo(); }
  std::unique_ptr<XMLDatabaseImpl> openStore(const std::string& schema = sourceSchemaFile()) const {
    auto store = std::make_unique<XMLDatabaseImpl>(database_, default_, schema, store_);
    store->load();
    return store;
  }
  void writeDefault(const std::string& entries) const { writeFile(File(default_), databaseXml(entries)); }
  void writeDatabase(const std::string& text) const { writeFile(File(database_), text); }
  std::string fileContent() const { return readFile(File(database_)); }

  const std::string folder_ = freshFolder("store").getPath();
  const std::string store_ = folder_ + "/STORE";
  const std::string database_ = store_ + "/database.xml";
  const std::string default_ = folder_ + "/default.xml";
};

TEST_F(DatabaseStoreTest, NestedKeyCreatesMapsWithOneDurableReplacementPerSetAndMapsAreReplacedAtDepth) {
  writeDefault(filler(20));
  auto store = openStore();
  xmldoc::fileIo().rename = [](const char* from, const char* to) { return ++renames, ::rename(from, to); };
  renames = 0;
  const auto seven = integerNode(7), eight = integerNode(8);
  ASSERT_TRUE(store->setInteger("a.b.c", &seven));
  EXPECT_EQ(renames, 1);
  EXPECT_EQ(names(File(store_)), std::vector<std::string>{"database.xml"});
  EXPECT_EQ(openStore()->getMap("a")->str(), "{b = {c = 7}}");
  // The second set finds the node (through the index, which took in the appended entry).
  ASSERT_TRUE(store->setInteger("a.b.c", &eight));
  EXPECT_EQ(openStore()->getMap("a")->str(), "{b = {c = 8}}");
  Types::PersistedMapValue replacement;  // a map replaced at depth
  auto* entry = replacement.add_node_entry();
  entry->set_key("q");
  entry->add_node_value<Types::PersistedBooleanValue>()->set_booleanValue(true);
  ASSERT_TRUE(store->setMap("a.b", &replacement));
  EXPECT_EQ(openStore()->getMap("a")->str(), "{b = {q = true}}");
  // Entries whose text was kept from earlier saves are written exactly as a whole serialisation.
  EXPECT_EQ(fileContent(), xmldoc::toString(*xmldoc::parseFile<Types::PersistedDatabase>(database_)));
}

TEST_F(DatabaseStoreTest, IncompatibleKindStoresNothingAndLogsTheKeyOfItsLevel) {
  writeDefault(entryXml("n", valueXml("String", "text")) +
               entryXml("m", mapXml(entryXml("k", valueXml("String", "inner")))));
  auto store = openStore();
  const std::string before = fileContent();
  const auto one = integerNode(1);
  // Logged by the lookup and again by the path creation; a path through a non-map logs nothing.
  const char* const cases[][2] = {
      {"n", "Incompatible value type : n"}, {"m.k", "Incompatible value type : k"}, {"n.deeper", ""}};
  for (const auto& c : cases) {
    LogCapture capture;
    EXPECT_FALSE(store->setInteger(c[0], &one)) << c[0];
    EXPECT_EQ(capture.messages(kError), std::vector<std::string>(*c[1] != 0 ? 2 : 0, c[1]));
  }
  EXPECT_FALSE(store->setString("k", nullptr));
  EXPECT_EQ(fileContent(), before);
  LogCapture capture;
  EXPECT_FALSE(store->getInteger("n")->isValid());
  EXPECT_EQ(capture.count(kError, "Incompatible value type : n"), 1u);
  // Missing keys give invalid values of the asked kind.
  const auto list = store->getList("missing");
  EXPECT_EQ(typeid(*list), typeid(ListValue));
  EXPECT_FALSE(list->isValid() || store->getMap("n.x")->isValid() || store->getByteField("m")->isValid());
}

TEST_F(DatabaseStoreTest, DuplicateKeysResolveToTheFirstEntryInSmallAndIndexedMaps) {
  for (const int fill : {0, 40}) {
    SCOPED_TRACE(fill);
    writeDefault(filler(fill / 2) + entryXml("d", valueXml("Integer", "1")) + filler(fill / 2) +
                 entryXml("d", valueXml("Integer", "2")) +
                 entryXml("m", mapXml(filler(fill) + entryXml("k", valueXml("Integer", "10")) +
                                      entryXml("k", valueXml("Integer", "20")))));
    File(database_).remove();
    auto store = openStore();
    EXPECT_EQ(store->getInteger("d")->getValue(), 1);
    EXPECT_EQ(store->getInteger("m.k")->getValue(), 10);
    const auto five = integerNode(5);
    ASSERT_TRUE(store->setInteger("d", &five));
    EXPECT_EQ(openStore()->getInteger("d")->getValue(), 5);
    EXPECT_NE(fileContent().find("<k:integerValue>2</k:integerValue>"), std::string::npos) << "second entry kept";
  }
}

TEST_F(DatabaseStoreTest, LoadInstallsTheDefaultForAMissingOrInvalidFileAndKeepsItWithoutSchema) {
  writeDefault(entryXml("k", valueXml("String", "default")));
  EXPECT_EQ(openStore()->getString("k")->str(), "default") << "missing: copied into a new store folder";
  const std::string wrongKind = databaseXml(entryXml("k", valueXml("Integer", "abc")));
  for (const std::string& invalid : {std::string("<k:config"), wrongKind}) {
    writeDatabase(invalid);
    LogCapture capture;
    EXPECT_EQ(openStore()->getString("k")->str(), "default");
    EXPECT_TRUE(capture.contains(
        log4cplus::DEBUG_LOG_LEVEL,
        "Current database is invalid and will be replaced with the default one: " + File(default_).getAbsolutePath()));
  }
  // Without the schema nothing is validated: the file stays as it is, and a WARN says so.
  writeDatabase(databaseXml(entryXml("k", valueXml("String", "mine"))));
  const std::string kept = fileContent();
  LogCapture capture;
  EXPECT_EQ(openStore(folder_ + "/absent.xsd")->getString("k")->str(), "mine");
  EXPECT_EQ(fileContent(), kept);
  EXPECT_EQ(capture.messages(log4cplus::WARN_LOG_LEVEL).size(), 1u) << capture.dump();
  EXPECT_TRUE(capture.messages(kError).empty()) << capture.dump();
}

TEST_F(DatabaseStoreTest, StoreWithoutFileOrDefaultStartsAfreshButAnUnloadableFileIsNeverOverwritten) {
  LogCapture capture;
  auto store = openStore();
  EXPECT_TRUE(capture.contains(kError, "Unable to copy " + File(default_).getAbsolutePath() + " to " + store_));
  EXPECT_TRUE(capture.contains(kError, "Impossible to load ZEM database from " + File(database_).getAbsolutePath()));
  const auto value = stringNode("v");
  ASSERT_TRUE(store->setString("k.l", &value));
  EXPECT_EQ(openStore()->getString("k.l")->str(), "v");

  // Valid against the schema, but a task index rather than a database.
  const std::string other =
      "<?xml version=\"1.0\"?><k:config xmlns:k=\"http://www.olvane.com/kolconfig\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><k:content xsi:type=\"k:TaskIndex\"/></k:config>";
  writeDatabase(other);
  capture.clear();
  store = openStore();
  const auto errors = capture.messages(kError);
  ASSERT_GE(errors.size(), 2u) << capture.dump();
  EXPECT_NE(errors.back().find("Root element is not the expected one"), std::string::npos) << errors.back();
  EXPECT_FALSE(store->setString("x", &value));
  EXPECT_EQ(fileContent(), other);
}

TEST_F(DatabaseStoreTest, FailedSaveLeavesMemoryAsTheFileAndAFailedFolderFlushKeepsMemoryWithTheFile) {
  writeDefault(entryXml("x", valueXml("Integer", "1")) + filler(20));
  auto store = openStore();
  const auto list = stringListNode({"a"});
  ASSERT_TRUE(store->setList("l", &list));
  const std::string saved = fileContent();
  xmldoc::fileIo().rename = [](const char*, const char*) { return errno = EIO, -1; };
  const auto two = integerNode(2);
  const auto other = stringListNode({"b"});
  LogCapture capture;
  EXPECT_FALSE(store->setInteger("x", &two));
  EXPECT_FALSE(store->setInteger("new.path", &two));
  EXPECT_FALSE(store->setList("new.list", &other));
  EXPECT_FALSE(store->setList("l", &other));
  EXPECT_TRUE(capture.contains(kError, "Impossible to save ZEM database to ")) << capture.dump();
  EXPECT_EQ(store->getInteger("x")->getValue(), 1);
  EXPECT_FALSE(store->getMap("new")->isValid());
  EXPECT_EQ(store->getList("l")->str(), "[a]");
  EXPECT_EQ(fileContent(), saved);
  EXPECT_EQ(names(File(store_)), std::vector<std::string>{"database.xml"});

  // The file's own flush works; the flush of the folder (after the rename) fails.
  xmldoc::fileIo() = xmldoc::defaultFileIo();
  xmldoc::fileIo().fsync = [](int fd) {
    struct stat status {};
    return fstat(fd, &status) == 0 && S_ISDIR(status.st_mode) ? (errno = EIO, -1) : ::fsync(fd);
  };
  EXPECT_FALSE(store->setInteger("x", &two)) << "durability is not assured";
  EXPECT_FALSE(store->setList("l", &other));
  EXPECT_EQ(store->getInteger("x")->getValue(), 2) << "memory follows the file";
  xmldoc::fileIo() = xmldoc::defaultFileIo();
  auto reopened = openStore();
  EXPECT_EQ(reopened->getInteger("x")->getValue(), 2);
  EXPECT_EQ(reopened->getList("l")->str(), "[b]");
  EXPECT_FALSE(reopened->getMap("new")->isValid());
}

}  // namespace
