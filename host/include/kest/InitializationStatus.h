// The application's initialisation state: 0 after construction, 1 while initialising, 2 once
// initialised. Thread safety: getState/setState are atomic.
#pragma once

#include <atomic>

#include "kest/Export.h"

class KEST_EXPORT InitializationStatus {
 public:
  static constexpr int kNotInitialised = 0;
  static constexpr int kInitialising = 1;
  static constexpr int kInitialised = 2;
  void setState(int state) { state_.store(state); }
  int getState() const { return state_.load(); }

 private:
  std::atomic<int> state_{kNotInitialised};
};
