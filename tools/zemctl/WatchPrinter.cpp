#include "WatchPrinter.h"

#include <ctime>

WatchPrinter::WatchPrinter(std::ostream& out, uint64_t count) : out_(out), count_(count) {
  sigemptyset(&stopSignals_);
  sigaddset(&stopSignals_, SIGINT);
  sigaddset(&stopSignals_, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals_, nullptr);
}

void WatchPrinter::print(const std::string& line) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (done_) return;
  out_ << line << std::endl;
  if (count_ != 0 && ++printed_ >= count_) done_ = true;
}

void WatchPrinter::waitForStop() {
  // Looks at the count between short waits for a stop signal.
  const timespec slice{0, 50 * 1000 * 1000};
  while (!done_) {
    if (sigtimedwait(&stopSignals_, nullptr, &slice) > 0) break;
  }
}
