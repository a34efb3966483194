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
  } catch (const CrashDetectedException&) {
    return Outcome::Recoverable;
  } catch (const UnrecoverableCrashDetectedException&) {
    return Outcome::Unrecoverable;
  }
}

}  // namespace

TEST(CrashGuardTest, FinishedLoadsNeverReportACrash) {
  for (int i = 0; i < 3; ++i) EXPECT_EQ(guardedLoad("finished", "settings"), Outcome::Clean);
}

TEST(CrashGuardTest, UnfinishedLoadIsReportedOnceAndThenCleared) {
  crashDuringLoad("once", "settings");
  try {
    const CrashGuard guard("once", "settings", 5, 10);
    FAIL() << "crash not detected";
  } catch (const CrashDetectedException& e) {
    EXPECT_NE(std::string(e.what()).find("once"), std::string::npos) << e.what();
  }
  EXPECT_EQ(guardedLoad("once", "settings"), Outcome::Clean);
  EXPECT_EQ(guardedLoad("once", "settings"), Outcome::Clean);
}

TEST(CrashGuardTest, ConsecutiveCrashesBeyondTheRecoverableCountAreUnrecoverableUntilALoadFinishes) {
  for (int crash = 1; crash <= 5; ++crash) {
    crashDuringLoad("repeat", "settings");
    EXPECT_EQ(guardedLoad("repeat", "settings"), Outcome::Recoverable) << "crash " << crash;
  }
  crashDuringLoad("repeat", "settings");
  EXPECT_EQ(guardedLoad("repeat", "settings"), Outcome::Unrecoverable);
  crashDuringLoad("repeat", "settings");
  EXPECT_EQ(guardedLoad("repeat", "settings"), Outcome::Unrecoverable);

  // A load that finishes resets the count: the next crash is recoverable again.
  EXPECT_EQ(guardedLoad("repeat", "settings"), Outcome::Clean);
  crashDuringLoad("repeat", "settings");
  EXPECT_EQ(guardedLoad("repeat", "settings"), Outcome::Recoverable);
}

TEST(CrashGuardTest, ZeroRecoverableCrashesMakesTheFirstCrashUnrecoverable) {
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
