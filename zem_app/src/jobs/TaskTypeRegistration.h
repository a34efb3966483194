// Registers a task kind in the factory's registry. Each kind's source file defines one static
// TaskTypeRegistration, so the registry is complete before getApp() can be called.
// Thread safety: construct only during static initialisation (or single-threaded tests).
#pragma once

#include <string>

#include "jobs/ZemTaskFactory.h"

template <class Kind>
class TaskTypeRegistration {
 public:
  // Inserts `key` (a description type name) with Tasks::createType<Kind>. A key that is already
  // registered keeps its first creator.
  explicit TaskTypeRegistration(const std::string& key) {
    Tasks::ZemTaskFactory::getMap().emplace(key, &Tasks::createType<Kind>);
  }
};
