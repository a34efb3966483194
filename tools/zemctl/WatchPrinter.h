// Prints the lines of a watch (signals or property changes) until a count is reached or SIGINT or
// SIGTERM arrives. Thread safety: print() may be called from any thread (an internal mutex keeps
// the lines whole and the count exact); the constructor and waitForStop() run on the main thread.
#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>

class WatchPrinter {
 public:
  // Blocks SIGINT and SIGTERM in the calling thread, so that only waitForStop() takes them;
  // threads started afterwards (the bus client's) inherit the mask. `out` is not owned. A `count`
  // of 0 means no limit.
  // REQUIRES: called before the bus client that calls print() is created.
  WatchPrinter(std::ostream& out, uint64_t count);
  WatchPrinter(const WatchPrinter&) = delete;
  WatchPrinter& operator=(const WatchPrinter&) = delete;

  // Prints `line` and a newline, flushed at once; nothing once the count is reached.
  void print(const std::string& line);
  // Returns when a stop signal arrives or the count is reached.
  void waitForStop();

 private:
  std::ostream& out_;
  const uint64_t count_;
  sigset_t stopSignals_;
  std::mutex mutex_;
  uint64_t printed_ = 0;  // guarded by mutex_
  std::atomic<bool> done_{false};
};
