// A store boolean bound to a property: caches the value and reports a change of it to its listener.
// Thread safety: cache and listener pointer are atomics; booleanChanged runs on the setter's thread.
#pragma once

#include <atomic>
#include <string>

#include "database/DatabaseListener.h"
#include "kolconfig/Types.h"

class DatabaseProperty : public DatabaseListener {
 public:
  // Caches `origin`'s defaultValue, replaced by the store's value for origin.key when the store
  // holds a valid one. Reads the store (Database::getInstance()).
  explicit DatabaseProperty(const Sarnet_Configuration::Types::PersistedBooleanPropertyOrigin& origin);
  ~DatabaseProperty() override;
  DatabaseProperty(const DatabaseProperty&) = delete;
  DatabaseProperty& operator=(const DatabaseProperty&) = delete;

  // The store key (the origin's key).
  const std::string& getKey() const { return origin_.get_key(); }
  const Sarnet_Configuration::Types::PersistedBooleanPropertyOrigin& getOrigin() const { return origin_; }
  // The cached boolean.
  bool getValue() const { return value_.load(); }

  // Sets (or, with null, clears) the listener told of changes. Not owned. REQUIRES: the listener
  // stays valid until it is cleared again.
  void setListener(DatabaseListener* listener) { listener_.store(listener); }

  // From the store: for its own key and a value different from the cached one, caches the value
  // and reports the change (changed()). Never throws.
  void booleanChanged(const std::string& key, bool value) override;

 protected:
  // Reports a changed value; this class tells the attached listener, if any, through its
  // booleanChanged. May throw; booleanChanged logs and swallows.
  virtual void changed(const std::string& key, bool value);

 private:
  const Sarnet_Configuration::Types::PersistedBooleanPropertyOrigin origin_;
  std::atomic<bool> value_;
  std::atomic<DatabaseListener*> listener_{nullptr};
};
