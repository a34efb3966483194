// Test helper: simulates a process that dies during a guarded load.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "kest/CrashGuard.h"

// A child process begins the guarded load of (name, tag) and exits inside it, as a crash would.
// Fails the test when the child's guard itself reported an earlier crash.
inline void crashDuringLoad(const std::string& name, const std::string& tag) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    try {
      const CrashGuard guard(name, tag, 5, 10);
      ::_exit(0);  // no destructor runs
    } catch (...) {
      ::_exit(2);
    }
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the guard in the child reported an earlier crash";
}
