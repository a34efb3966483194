// The POSIX calls behind File's durable writes, gathered in one table so that tests can replace a
// call to force a failure (a full disk, a failing fsync, a refused rename) at an exact step.
// Thread safety: the table is read by every File operation without a lock; replace entries only
// while no other thread writes files (tests do it from the test body before starting work).
#pragma once

#include <sys/types.h>

#include <cstddef>

struct PosixFileOps {
  ssize_t (*write)(int fd, const void* buffer, size_t count);
  int (*fsync)(int fd);
  int (*rename)(const char* from, const char* to);
};

// The table in use. Its entries start as the real system calls.
PosixFileOps& posixFileOps();

// Replaces the table for the lifetime of the object and restores the previous one afterwards.
class ScopedPosixFileOps {
 public:
  explicit ScopedPosixFileOps(const PosixFileOps& replacement) : saved_(posixFileOps()) {
    posixFileOps() = replacement;
  }
  ~ScopedPosixFileOps() { posixFileOps() = saved_; }
  ScopedPosixFileOps(const ScopedPosixFileOps&) = delete;
  ScopedPosixFileOps& operator=(const ScopedPosixFileOps&) = delete;

 private:
  PosixFileOps saved_;
};
