// The interface of an object told when a boolean is set in the persistent store under the key it
// registered for. Thread safety: called on the thread that performed the set, with no store lock held.
#pragma once

#include <string>

class DatabaseListener {
 public:
  virtual ~DatabaseListener() = default;
  // Called after `key` was set to `value` and saved. Must not throw.
  virtual void booleanChanged(const std::string& key, bool value) = 0;
};
