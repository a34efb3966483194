// The tests' access to the process-wide store: puts a fresh or a given implementation in place
// between tests. Thread safety: as Database; call it while no job runs.
#pragma once

#include <memory>
#include <utility>

#include "database/Database.h"
#include "database/DatabaseImpl.h"

class DatabaseTestAccess {
 public:
  // Replaces the store's implementation with `impl` (null: the next use creates and loads a fresh
  // one on the device paths) and forgets every listener.
  static void reset(std::shared_ptr<DatabaseImpl> impl = nullptr) {
    Database::getInstance()->replaceImpl(std::move(impl));
  }
};
