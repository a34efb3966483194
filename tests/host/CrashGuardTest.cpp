#include "kest/CrashGuard.h"

#include <gtest/gtest.h>

#include <string>

#include "CrashSimulation.h"

namespace {

enum class Outcome { Clean, Recoverable, Unrecoverable };

Outcome guardedLoad(const std::string& name, const std::string& tag, unsigned recoverable = 5) {
  try {
    const CrashGuard guard(name, tag, recoverable, 10);
    return Outcome::Clean;
  } catch (const CrashDetectedException& e) {
    EXPECT_NE(std::string(e.what()).find(name), std::string::npos) << e.what();
    return Outcome::Recoverable;
  } catch (const UnrecoverableCrashDetectedException&) {
    return Outcome::Unrecoverable;
  }
}

}  // namespace

TEST(CrashGuardTest, CrashesAreReportedOnceRecoverableUpToTheCountAndClearedByAFinishedLoad) {
  EXPECT_EQ(guardedLoad("finished", "settings"), Outcome::Clean);
  EXPECT_EQ(guardedLoad("finished", "settings"), Outcome::Clean);
  for (int crash = 1; crash <= 5; ++crash) {
    crashDuringLoad("repeat", "settings");
    EXPECT_EQ(guardedLoad("repeat", "settings"), Outcome::Recoverable) << "crash " << crash;
  }
  for (int crash = 6; crash <= 7; ++crash) {
    crashDuringLoad("repeat", "settings");
    EXPECT_EQ(guardedLoad("repeat", "settings"), Outcome::Unrecoverable) << "crash " << crash;
  }
  // A load that finishes resets the count: the next crash is recoverable again.
  EXPECT_EQ(guardedLoad("repeat", "settings"), Outcome::Clean);
  crashDuringLoad("repeat", "settings");
  EXPECT_EQ(guardedLoad("repeat", "settings"), Outcome::Recoverable);
  EXPECT_EQ(guardedLoad("repeat", "settings"), Outcome::Clean);

  crashDuringLoad("strict", "db");
  EXPECT_EQ(guardedLoad("strict", "db", /*recoverable=*/0), Outcome::Unrecoverable);
}

TEST(CrashGuardTest, GuardsOfDifferentNamesAndTagsAreIndependent) {
  crashDuringLoad("shared", "a");
  EXPECT_EQ(guardedLoad("shared", "b"), Outcome::Clean);
  EXPECT_EQ(guardedLoad("other", "a"), Outcome::Clean);
  EXPECT_EQ(guardedLoad("shared", "a"), Outcome::Recoverable);
  // A name with a slash stays inside the guard's folder.
  EXPECT_EQ(guardedLoad("../escape/name", "a"), Outcome::Clean);
}
