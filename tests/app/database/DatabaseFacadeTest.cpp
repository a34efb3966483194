// The process-wide facade: kind checks of the setters and the boolean listeners. Its load on the
// device paths at start-up is exercised by the database task tests.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "DatabaseTestAccess.h"
#include "RunningApp.h"
#include "database/Database.h"
#include "database/XMLDatabaseImpl.h"
#include "kest/File.h"

namespace {

using namespace apptest;

// Records every call, and reads the store from inside the call (which would deadlock if the store
// still held its lock).
class RecordingListener : public DatabaseListener {
 public:
  RecordingListener(std::string name, std::vector<std::string>* calls) : name_(std::move(name)), calls_(calls) {}
  void booleanChanged(const std::string& key, bool value) override {
    const auto stored = Database::getInstance()->getBoolean(key);
    calls_->push_back(name_ + ":" + key + "=" + (value ? "true" : "false") + " stored " + stored->str());
  }

 private:
  std::string name_;
  std::vector<std::string>* calls_;
};

class DatabaseFacadeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string base = freshFolder("facade").getPath();
    writeFile(File(base + "/defaults.xml"), databaseXml(entryXml("text", valueXml("String", "t"))));
    auto impl = std::make_shared<XMLDatabaseImpl>(base + "/STORE/database.xml", base + "/defaults.xml",
                                                  sourceSchemaFile(), base + "/STORE");
    impl->load();
    DatabaseTestAccess::reset(impl);
  }
  void TearDown() override { DatabaseTestAccess::reset(); }
};

TEST_F(DatabaseFacadeTest, ListenersHearOnlyTheirKeyInOrderAndOnlyAfterASuccessfulSetOfTheRightKind) {
  auto database = Database::getInstance();
  std::vector<std::string> calls;
  RecordingListener first("first", &calls);
  RecordingListener second("second", &calls);
  RecordingListener parent("parent", &calls);
  database->addListener("A.b", &first);
  database->addListener("A.b", &second);
  database->addListener("A.b", &first);  // registered twice: called twice
  database->addListener("A", &parent);

  const auto yes = booleanNode(true);
  ASSERT_TRUE(database->setBoolean("A.b", &yes));
  EXPECT_EQ(calls, (std::vector<std::string>{"first:A.b=true stored true", "second:A.b=true stored true",
                                             "first:A.b=true stored true"}));

  calls.clear();
  database->removeListener("A.b", &first);
  const auto no = booleanNode(false);
  ASSERT_TRUE(database->setBoolean("A.b", &no));
  EXPECT_EQ(calls, (std::vector<std::string>{"second:A.b=false stored false"}));

  // A set that stores nothing ("text" holds a string) and sets of nodes of another kind (refused by
  // every setter) tell nobody.
  calls.clear();
  database->addListener("text", &first);
  EXPECT_FALSE(database->setBoolean("text", &yes));
  const auto text = stringNode("s");
  const auto integer = integerNode(3);
  const auto list = stringListNode({"a"});
  EXPECT_FALSE(database->setBoolean("A.b", &integer) || database->setInteger("k", &text) ||
               database->setString("k", &integer) || database->setMap("k", &list) || database->setFloat("k", nullptr));
  EXPECT_TRUE(calls.empty());
  EXPECT_FALSE(database->getString("k")->isValid());
}

}  // namespace
