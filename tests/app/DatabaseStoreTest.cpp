// The XML store on explicit paths in a temporary folder: path creation, kinds, loading with the
// default database, durability of saves and what happens when the disk or the file misbehaves.
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <typeinfo>

#include "AppTestEnvironment.h"
#include "DatabaseTestSupport.h"
#include "database/XMLDatabaseImpl.h"
#include "kest/File.h"
#include "kest/TempFile.h"
#include "kest/testing/LogCapture.h"
#include "kolconfig/FileIo.h"
#include "kolconfig/XmlDoc.h"

namespace {

using apptest::Types::PersistedDatabase;
using kest::testing::LogCapture;
namespace Types = Sarnet_Configuration::Types;

const log4cplus::LogLevel kError = log4cplus::ERROR_LOG_LEVEL;
const log4cplus::LogLevel kDebug = log4cplus::DEBUG_LOG_LEVEL;

class DatabaseStoreTest : public ::testing::Test {
 protected:
  DatabaseStoreTest()
      : storeFolder_(folder_.getFile().getPath() + "/STORE"),
        databaseFile_(storeFolder_ + "/database.xml"),
        defaultFile_(folder_.getFile().getPath() + "/configs/database.xml") {
    File(defaultFile_).getParentFile().mkdirs();
  }

  std::unique_ptr<XMLDatabaseImpl> openStore() const {
    auto store =
        std::make_unique<XMLDatabaseImpl>(databaseFile_, defaultFile_, apptest::sourceSchemaFile(), storeFolder_);
    store->load();
    return store;
  }
  void writeDefault(const std::string& entries) const {
    ASSERT_TRUE(File(defaultFile_).writeAtomically(apptest::databaseXml(entries)));
  }
  void writeDatabase(const std::string& content) const {
    ASSERT_TRUE(File(storeFolder_).mkdirs());
    ASSERT_TRUE(File(databaseFile_).writeAtomically(content));
  }
  std::string fileContent() const {
    std::string content;
    File(databaseFile_).readAll(&content);
    return content;
  }
  // The file parsed on its own, without going through the store.
  xmldoc::DocumentPtr<PersistedDatabase> parseFile() const {
    return xmldoc::parseFile<PersistedDatabase>(databaseFile_);
  }

  TempFile folder_{"zem-db"};
  const std::string storeFolder_;
  const std::string databaseFile_;
  const std::string defaultFile_;
};

TEST_F(DatabaseStoreTest, NestedKeyOnEmptyStoreCreatesMapsAndReplacesTheFileOnce) {
  writeDefault("");
  auto store = openStore();
  apptest::FolderWatch watch(storeFolder_);
  ASSERT_TRUE(watch.valid());

  const auto value = apptest::integerNode(7);
  ASSERT_TRUE(store->setInteger("a.b.c", &value));

  const auto events = watch.take("database.xml");
  EXPECT_EQ(events.renamedOnto, 1) << "one durable replacement per set";
  EXPECT_EQ(events.writtenInPlace, 0) << "the file is never rewritten in place";
  EXPECT_EQ(apptest::fileNames(storeFolder_), std::vector<std::string>{"database.xml"});

  auto document = parseFile();
  const auto& top = document->element_data()->elements_entry();
  ASSERT_EQ(top.size(), 1u);
  EXPECT_EQ(top[0]->get_key(), "a");
  const auto* a = dynamic_cast<const Types::PersistedMapValue*>(top[0]->element_value());
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->elements_entry().size(), 1u);
  const auto* b = dynamic_cast<const Types::PersistedMapValue*>(a->elements_entry()[0]->element_value());
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(b->elements_entry().size(), 1u);
  EXPECT_EQ(b->elements_entry()[0]->get_key(), "c");
  const auto* c = dynamic_cast<const Types::PersistedIntegerValue*>(b->elements_entry()[0]->element_value());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->get_integerValue(), 7);

  EXPECT_EQ(openStore()->getMap("a")->str(), "{b = {c = 7}}");
  // A second set of the same key finds the node instead of appending another path.
  const auto eight = apptest::integerNode(8);
  ASSERT_TRUE(store->setInteger("a.b.c", &eight));
  EXPECT_EQ(openStore()->getMap("a")->str(), "{b = {c = 8}}");
}

TEST_F(DatabaseStoreTest, IncompatibleKindStoresNothingAndLogsTheKeyOfItsLevel) {
  writeDefault(apptest::entryXml("n", apptest::stringXml("text")) +
               apptest::entryXml("m", apptest::mapXml(apptest::entryXml("k", apptest::stringXml("inner")))));
  auto store = openStore();
  const std::string before = fileContent();
  apptest::FolderWatch watch(storeFolder_);
  LogCapture capture;

  const auto one = apptest::integerNode(1);
  EXPECT_FALSE(store->setInteger("n", &one));
  // Logged by the lookup and again by the path creation.
  EXPECT_EQ(capture.count(kError, "Incompatible value type : n"), 2u) << capture.dump();

  capture.clear();
  EXPECT_FALSE(store->setInteger("m.k", &one));
  EXPECT_EQ(capture.count(kError, "Incompatible value type : k"), 2u) << capture.dump();
  EXPECT_EQ(capture.count(kError, "Incompatible value type : m.k"), 0u);

  // A path through a value that is not a map stores nothing either.
  EXPECT_FALSE(store->setInteger("n.deeper", &one));

  EXPECT_EQ(watch.take("database.xml").renamedOnto, 0);
  EXPECT_EQ(fileContent(), before);
  EXPECT_EQ(store->getString("n")->str(), "text");
  EXPECT_EQ(store->getString("m.k")->str(), "inner");

  capture.clear();
  const auto integer = store->getInteger("n");
  EXPECT_FALSE(integer->isValid());
  EXPECT_EQ(capture.count(kError, "Incompatible value type : n"), 1u);
}

TEST_F(DatabaseStoreTest, MissingKeysGiveInvalidValuesOfTheAskedKind) {
  writeDefault(apptest::entryXml("s", apptest::stringXml("x")));
  auto store = openStore();
  const auto text = store->getString("missing");
  EXPECT_EQ(typeid(*text), typeid(StringValue));
  EXPECT_FALSE(text->isValid());
  EXPECT_FALSE(store->getInteger("missing")->isValid());
  EXPECT_FALSE(store->getBoolean("s.missing")->isValid());
  EXPECT_FALSE(store->getFloat("missing")->isValid());
  EXPECT_FALSE(store->getByteField("missing")->isValid());
  const auto list = store->getList("missing");
  EXPECT_FALSE(list->isValid());
  EXPECT_EQ(list->str(), "[]");
  EXPECT_FALSE(store->getMap("missing")->isValid());
  EXPECT_TRUE(store->getString("s")->isValid());
}

TEST_F(DatabaseStoreTest, DuplicateKeysResolveToTheFirstEntry) {
  writeDefault(apptest::entryXml("d", apptest::integerXml(1)) + apptest::entryXml("d", apptest::integerXml(2)) +
               apptest::entryXml("m", apptest::mapXml(apptest::entryXml("k", apptest::integerXml(10)))) +
               apptest::entryXml("m", apptest::mapXml(apptest::entryXml("k", apptest::integerXml(20)))));
  auto store = openStore();
  EXPECT_EQ(store->getInteger("d")->getValue(), 1);
  EXPECT_EQ(store->getInteger("m.k")->getValue(), 10);

  const auto five = apptest::integerNode(5);
  ASSERT_TRUE(store->setInteger("d", &five));
  auto reopened = openStore();
  EXPECT_EQ(reopened->getInteger("d")->getValue(), 5);
  const auto document = parseFile();
  const auto& entries = document->element_data()->elements_entry();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(dynamic_cast<const Types::PersistedIntegerValue*>(entries[1]->element_value())->get_integerValue(), 2);
}

TEST_F(DatabaseStoreTest, ReplacingListsAndMapsAtDepthKeepsEverythingElse) {
  writeDefault(apptest::entryXml("t", apptest::integerXml(2)) +
               apptest::entryXml("a", apptest::mapXml(apptest::entryXml("first", apptest::integerXml(1)) +
                                                      apptest::entryXml("b", apptest::mapXml("")))) +
               apptest::entryXml("z", apptest::stringXml("last")));
  auto store = openStore();
  const auto oldList = apptest::stringListNode({"x", "y"});
  ASSERT_TRUE(store->setList("a.b.l", &oldList));  // created: no list there yet
  const auto after = apptest::stringNode("after");
  ASSERT_TRUE(store->setString("a.b.after", &after));
  EXPECT_EQ(store->getList("a.b.l")->str(), "[x;y]");

  const auto newList = apptest::stringListNode({"p"});
  ASSERT_TRUE(store->setList("a.b.l", &newList));
  EXPECT_EQ(store->getList("a.b.l")->str(), "[p]");
  EXPECT_EQ(store->getMap("a")->str(), "{b = {after = after, l = [p]}, first = 1}");
  EXPECT_EQ(store->getInteger("t")->getValue(), 2);
  EXPECT_EQ(store->getString("z")->str(), "last");

  // The file keeps the document order of every level.
  auto document = parseFile();
  const auto& top = document->element_data()->elements_entry();
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(top[0]->get_key(), "t");
  EXPECT_EQ(top[1]->get_key(), "a");
  EXPECT_EQ(top[2]->get_key(), "z");
  const auto* a = dynamic_cast<const Types::PersistedMapValue*>(top[1]->element_value());
  const auto* b = dynamic_cast<const Types::PersistedMapValue*>(a->elements_entry()[1]->element_value());
  ASSERT_EQ(b->elements_entry().size(), 2u);
  EXPECT_EQ(b->elements_entry()[0]->get_key(), "l");
  EXPECT_EQ(b->elements_entry()[1]->get_key(), "after");

  // A map replaced in place of another map; the store keeps working on the reloaded document.
  Types::PersistedMapValue replacement;
  auto* entry = replacement.add_node_entry();
  entry->set_key("q");
  entry->add_node_value<Types::PersistedBooleanValue>()->set_booleanValue(true);
  ASSERT_TRUE(store->setMap("a.b", &replacement));
  EXPECT_EQ(store->getMap("a")->str(), "{b = {q = true}, first = 1}");
  const auto nine = apptest::integerNode(9);
  ASSERT_TRUE(store->setInteger("a.b.n", &nine));
  EXPECT_EQ(openStore()->getMap("a")->str(), "{b = {n = 9, q = true}, first = 1}");
  EXPECT_EQ(apptest::fileNames(storeFolder_), std::vector<std::string>{"database.xml"});
}

TEST_F(DatabaseStoreTest, ValuesRoundTripThroughTheFileExactly) {
  writeDefault("");
  auto store = openStore();
  const auto tenth = apptest::floatNode(0.1);
  const auto negative = apptest::floatNode(-0.25);
  const auto text = apptest::stringNode("  <a & b> \"q\" 'x'\ttab  ");
  const auto bytes = apptest::byteFieldNode("0A 1b ff");
  const auto yes = apptest::booleanNode(true);
  const auto minimum = apptest::integerNode(-2147483647 - 1);
  ASSERT_TRUE(store->setFloat("f.tenth", &tenth));
  ASSERT_TRUE(store->setFloat("f.negative", &negative));
  ASSERT_TRUE(store->setString("s", &text));
  ASSERT_TRUE(store->setByteField("b", &bytes));
  ASSERT_TRUE(store->setBoolean("yes", &yes));
  ASSERT_TRUE(store->setInteger("min", &minimum));

  auto reopened = openStore();
  EXPECT_EQ(reopened->getFloat("f.tenth")->getValue(), 0.1);
  EXPECT_EQ(reopened->getFloat("f.negative")->str(), "-0.250000");
  EXPECT_EQ(reopened->getString("s")->str(), "  <a & b> \"q\" 'x'\ttab  ");
  EXPECT_EQ(reopened->getByteField("b")->str(), "0A 1b ff");
  EXPECT_TRUE(reopened->getBoolean("yes")->getValue());
  EXPECT_EQ(reopened->getInteger("min")->str(), "-2147483648");
}

TEST_F(DatabaseStoreTest, MissingDatabaseIsReplacedByTheDefaultInANewStoreFolder) {
  writeDefault(apptest::entryXml("k", apptest::stringXml("default")));
  ASSERT_FALSE(File(storeFolder_).exists());
  LogCapture capture;
  auto store = openStore();
  EXPECT_TRUE(capture.contains(kDebug, "Loading ZEM database..."));
  EXPECT_TRUE(File(databaseFile_).isFile());
  EXPECT_EQ(store->getString("k")->str(), "default");
}

TEST_F(DatabaseStoreTest, InvalidDatabaseIsReplacedByTheDefaultAtTheNextLoad) {
  writeDefault(apptest::entryXml("k", apptest::stringXml("default")));
  for (const std::string& invalid :
       {std::string("<k:config"),
        apptest::databaseXml(apptest::entryXml("k",
                                               "<k:value xsi:type=\"k:PersistedIntegerValue\">"
                                               "<k:integerValue>abc</k:integerValue></k:value>"))}) {
    writeDatabase(invalid);
    LogCapture capture;
    auto store = openStore();
    EXPECT_TRUE(capture.contains(kDebug, "Current database is invalid and will be replaced with the default one: " +
                                             File(defaultFile_).getAbsolutePath()))
        << capture.dump();
    EXPECT_EQ(store->getString("k")->str(), "default");
  }
}

TEST_F(DatabaseStoreTest, StoreWithoutFileOrDefaultStartsAfreshOnTheFirstSet) {
  LogCapture capture;
  auto store = openStore();
  EXPECT_TRUE(
      capture.contains(kError, "Unable to copy " + File(defaultFile_).getAbsolutePath() + " to " + storeFolder_))
      << capture.dump();
  EXPECT_TRUE(
      capture.contains(kError, "Impossible to load ZEM database from " + File(databaseFile_).getAbsolutePath()));
  EXPECT_FALSE(store->getString("k")->isValid());

  const auto value = apptest::stringNode("v");
  ASSERT_TRUE(store->setString("k.l", &value));
  EXPECT_EQ(openStore()->getString("k.l")->str(), "v");
}

TEST_F(DatabaseStoreTest, UnloadableFileIsNeverOverwritten) {
  // Valid against the schema, but a task index rather than a database.
  const std::string other =
      "<?xml version=\"1.0\"?><k:config xmlns:k=\"http://www.olvane.com/kolconfig\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><k:content xsi:type=\"k:TaskIndex\"/></k:config>";
  writeDatabase(other);
  LogCapture capture;
  auto store = openStore();
  const auto errors = capture.messages(kError);
  ASSERT_GE(errors.size(), 2u) << capture.dump();
  EXPECT_EQ(errors[errors.size() - 2], "Impossible to load ZEM database from " + File(databaseFile_).getAbsolutePath());
  EXPECT_NE(errors.back().find("Root element is not the expected one"), std::string::npos) << errors.back();

  const auto value = apptest::integerNode(1);
  EXPECT_FALSE(store->setInteger("x", &value));
  EXPECT_EQ(fileContent(), other);
}

TEST_F(DatabaseStoreTest, FailedSaveLeavesMemoryAsTheFileOnDisk) {
  writeDefault(apptest::entryXml("x", apptest::integerXml(1)));
  auto store = openStore();
  const auto list = apptest::stringListNode({"a"});
  ASSERT_TRUE(store->setList("l", &list));
  const std::string saved = fileContent();

  // The store folder becomes a plain file: every save fails.
  const std::string aside = storeFolder_ + ".aside";
  ASSERT_EQ(std::rename(storeFolder_.c_str(), aside.c_str()), 0);
  ASSERT_TRUE(File(storeFolder_).writeAtomically("not a folder"));

  LogCapture capture;
  const auto two = apptest::integerNode(2);
  const auto three = apptest::integerNode(3);
  const auto other = apptest::stringListNode({"b"});
  EXPECT_FALSE(store->setInteger("x", &two));
  EXPECT_FALSE(store->setInteger("new.path", &three));
  EXPECT_FALSE(store->setList("new.list", &other));
  EXPECT_FALSE(store->setList("l", &other));
  EXPECT_TRUE(capture.contains(kError, "Impossible to save ZEM database to ")) << capture.dump();
  EXPECT_EQ(store->getInteger("x")->getValue(), 1);
  EXPECT_FALSE(store->getMap("new")->isValid());
  EXPECT_EQ(store->getList("l")->str(), "[a]");

  // Once the disk works again the next save holds nothing of the failed sets.
  ASSERT_TRUE(File(storeFolder_).remove());
  ASSERT_EQ(std::rename(aside.c_str(), storeFolder_.c_str()), 0);
  EXPECT_EQ(fileContent(), saved);
  const auto four = apptest::integerNode(4);
  ASSERT_TRUE(store->setInteger("y", &four));
  auto reopened = openStore();
  EXPECT_EQ(reopened->getInteger("x")->getValue(), 1);
  EXPECT_EQ(reopened->getInteger("y")->getValue(), 4);
  EXPECT_FALSE(reopened->getMap("new")->isValid());
  EXPECT_EQ(reopened->getList("l")->str(), "[a]");
}

TEST_F(DatabaseStoreTest, FolderFlushFailureAfterTheRenameKeepsMemoryWithTheFile) {
  writeDefault(apptest::entryXml("x", apptest::integerXml(1)));
  auto store = openStore();
  // The file's own flush works; the flush of the folder (after the rename) fails.
  struct Restore {
    ~Restore() { xmldoc::fileIo() = xmldoc::defaultFileIo(); }
  } restore;
  xmldoc::fileIo().syncFile = [](int fd) {
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
      errno = EIO;
      return -1;
    }
    return fsync(fd);
  };
  const auto two = apptest::integerNode(2);
  EXPECT_FALSE(store->setInteger("x", &two)) << "durability is not assured";
  EXPECT_EQ(store->getInteger("x")->getValue(), 2) << "memory follows the file";
  const auto list = apptest::stringListNode({"l"});
  EXPECT_FALSE(store->setList("a.l", &list));
  EXPECT_EQ(store->getList("a.l")->str(), "[l]");
  xmldoc::fileIo() = xmldoc::defaultFileIo();
  auto reopened = openStore();
  EXPECT_EQ(reopened->getInteger("x")->getValue(), 2);
  EXPECT_EQ(reopened->getList("a.l")->str(), "[l]");
}

TEST_F(DatabaseStoreTest, LoadRemovesStaleTemporaryFilesOfInterruptedSaves) {
  writeDefault("");
  writeDatabase(apptest::databaseXml(""));
  const auto makeFile = [this](const std::string& name, bool old) {
    const std::string path = storeFolder_ + "/" + name;
    EXPECT_TRUE(File(path).writeAtomically("partial"));
    if (old) {
      const timeval times[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
      EXPECT_EQ(utimes(path.c_str(), times), 0);
    }
  };
  makeFile(".database.xml.tmpAbC123", true);
  makeFile(".database.xml.kest-tmp-XyZ789", true);
  makeFile(".database.xml.tmpFresh1", false);  // may belong to a save in progress
  makeFile("notes.tmp", true);
  openStore();
  EXPECT_FALSE(File(storeFolder_ + "/.database.xml.tmpAbC123").exists());
  EXPECT_FALSE(File(storeFolder_ + "/.database.xml.kest-tmp-XyZ789").exists());
  EXPECT_TRUE(File(storeFolder_ + "/.database.xml.tmpFresh1").exists());
  EXPECT_TRUE(File(storeFolder_ + "/notes.tmp").exists());
}

TEST_F(DatabaseStoreTest, NullValuesStoreNothing) {
  writeDefault("");
  auto store = openStore();
  EXPECT_FALSE(store->setString("k", nullptr));
  EXPECT_FALSE(store->setList("k", nullptr));
  EXPECT_FALSE(store->getString("k")->isValid());
}

TEST(DatabasePathOperations, SplitAndJoinKeepEmptyComponentsTheWayLookupsUseThem) {
  EXPECT_EQ(XMLDatabaseImpl::splitString("a"), (std::vector<std::string>{"a"}));
  EXPECT_EQ(XMLDatabaseImpl::splitString("a..b"), (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(XMLDatabaseImpl::splitString("a."), (std::vector<std::string>{"a", ""}));
  EXPECT_EQ(XMLDatabaseImpl::joinStrings({"a", "", "b"}, 1), "b");
  EXPECT_EQ(XMLDatabaseImpl::joinStrings({"a", "b", "c"}, 1), "b.c");
  EXPECT_EQ(XMLDatabaseImpl::joinStrings({"a"}, 1), "");
}

}  // namespace
