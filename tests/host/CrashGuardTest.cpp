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

// Each crash is reported once, as recoverable up to the count; a finished load clears the count.
// Guards of other names or tags are independent.
TEST(CrashGuardTest, CrashesAreReportedOnceRecoverableUpToTheCountAndClearedByAFinishedLoad) {
  for (int crash = 1; crash <= 7; ++crash) {
    crashDuringLoad("repeat", "settings");
    EXPECT_EQ(guardedLoad("repeat", "settings"), crash <= 5 ? Outcome::Recoverable : Outcome::Unrecoverable) << crash;
  }
  EXPECT_EQ(guardedLoad("repeat", "settings"), Outcome::Clean);
  crashDuringLoad("repeat", "settings");
  EXPECT_EQ(guardedLoad("repeat", "settings"), Outcome::Recoverable);
  EXPECT_EQ(guardedLoad("repeat", "settings"), Outcome::Clean);

  crashDuringLoad("strict", "db");
  EXPECT_EQ(guardedLoad("strict", "db", /*recoverable=*/0), Outcome::Unrecoverable);

  crashDuringLoad("shared", "a");
  EXPECT_EQ(guardedLoad("shared", "b"), Outcome::Clean);
  EXPECT_EQ(guardedLoad("other", "a"), Outcome::Clean);
  EXPECT_EQ(guardedLoad("shared", "a"), Outcome::Recoverable);
}
