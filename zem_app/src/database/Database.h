// The process-wide facade of the persistent store: typed gets and sets by dotted key, and per-key
// listeners told when a boolean is set.
// Thread safety: every operation may be called from any thread. implMutex_ guards impl_ and
// listenersMutex_ guards listeners_; neither is held while the implementation or a listener runs.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "database/DatabaseImpl.h"
#include "database/DatabaseListener.h"
#include "kolconfig/Types.h"

class Database {
 public:
  virtual ~Database();

  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // The one instance, created on the first call. Never null.
  static std::shared_ptr<Database> getInstance();

  // The implementation; the first call creates an XMLDatabaseImpl on the device paths and loads it
  // before any caller can use it. Never null.
  std::shared_ptr<DatabaseImpl> getImpl();

  // Reloads the implementation from its file (installing the default database when needed).
  void reset();

  // Start-up: creates and loads the implementation now, so that the database file exists (the
  // default one installed) before the first job asks for it. A failed load is logged and the
  // application goes on with an empty store; nothing is thrown.
  void load();

  // Getters forward to the implementation: a new value owned by the caller, invalid when missing.
  std::unique_ptr<StringValue> getString(const std::string& key);
  std::unique_ptr<IntegerValue> getInteger(const std::string& key);
  std::unique_ptr<BooleanValue> getBoolean(const std::string& key);
  std::unique_ptr<FloatValue> getFloat(const std::string& key);
  std::unique_ptr<ByteFieldValue> getByteField(const std::string& key);
  std::unique_ptr<ListValue> getList(const std::string& key);
  std::unique_ptr<MapValue> getMap(const std::string& key);

  // Setters return false when `value` is null or not of the setter's kind (dynamic type),
  // otherwise the implementation's result. `value` is copied, not taken over.
  bool setString(const std::string& key, const Sarnet_Configuration::Types::PersistedValue* value);
  bool setInteger(const std::string& key, const Sarnet_Configuration::Types::PersistedValue* value);
  // After a successful set, calls booleanChanged(key, new value) on each listener registered under
  // exactly `key`, in registration order, on this thread, with no lock of the store held.
  bool setBoolean(const std::string& key, const Sarnet_Configuration::Types::PersistedValue* value);
  bool setFloat(const std::string& key, const Sarnet_Configuration::Types::PersistedValue* value);
  bool setByteField(const std::string& key, const Sarnet_Configuration::Types::PersistedValue* value);
  bool setList(const std::string& key, const Sarnet_Configuration::Types::PersistedValue* value);
  bool setMap(const std::string& key, const Sarnet_Configuration::Types::PersistedValue* value);

  // Appends `listener` (not owned) to the list of `key`; a listener added twice is called twice.
  // REQUIRES: the listener outlives its registration and every setBoolean that may reach it.
  void addListener(const std::string& key, DatabaseListener* listener);
  // Erases every occurrence of `listener` from the list of `key`.
  void removeListener(const std::string& key, DatabaseListener* listener);

 private:
  // The tests' seam (tests/app/DatabaseTestAccess.h) onto replaceImpl.
  friend class DatabaseTestAccess;

  struct PassKey {
    explicit PassKey() = default;
  };

  // Replaces the implementation (null: the next getImpl() creates and loads a fresh
  // XMLDatabaseImpl on the device paths) and forgets every listener.
  void replaceImpl(std::shared_ptr<DatabaseImpl> impl);

 public:
  explicit Database(PassKey);

 private:
  std::mutex implMutex_;
  std::shared_ptr<DatabaseImpl> impl_;  // guarded by implMutex_; created on first use

  std::mutex listenersMutex_;
  std::map<std::string, std::vector<DatabaseListener*>> listeners_;  // guarded by listenersMutex_
};
