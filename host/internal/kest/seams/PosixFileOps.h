// The POSIX calls behind every durable write of the host: the one table of the durable writer
// (xmldoc::FileIo), under the host's name, so that tests can force a failure (a full disk, a
// failing fsync, a refused rename) at an exact step or record the order of the steps. A test
// seam, outside the public headers: only KestCommon and the tests that force failures see it.
// Thread safety: the table is read without a lock; replace entries only while no other thread
// writes files (tests do it from the test body before starting work).
#pragma once

#include "kolconfig/FileIo.h"

using PosixFileOps = xmldoc::FileIo;

// The table in use. Its entries start as the real system calls.
inline PosixFileOps& posixFileOps() { return xmldoc::fileIo(); }

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
