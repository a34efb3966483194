// The persistent store kept as one XML document (a PersistedDatabase) in the database file.
// The document in memory is authoritative between loads; every successful set rewrites the file.
// Thread safety: every public operation holds mutex_ for its whole duration.
//
// Decisions that hold for this implementation:
// - Saves are durable and atomic (the durable writer, xmldoc::replaceFile: temporary file in the
//   store folder, fsync, rename, fsync of the folder). A crash or power cut leaves the old file or
//   the new one.
// - A set costs one durable write of the whole document and the serialisation of the one top-level
//   entry it changed (DatabaseWriter keeps the text of the others). Only the replacement of an
//   existing list or map reads the file back (the reload keeps the store exactly what the file holds).
// - A failed save returns false and leaves the document in memory as it was before the set, so
//   memory keeps matching the file on disk. The one exception is a save whose rename happened but
//   whose folder flush failed: the file already holds the new document, so memory keeps it too,
//   and the set still returns false because its durability is not assured.
// - A save cut short by a crash can leave its temporary file in the store folder; the application
//   removes such files at start-up (TempFile::clearAtStartUp).
// - Lookups of maps with many entries go through a key index (KeyIndex), so a get or set costs the
//   same at 10 entries as at 10,000; the first entry of a duplicate key still wins.
// - A set that stores nothing (incompatible kind on the path, null value) returns false.
// - Getters while no document is loaded (after a failed load) answer as an empty store (invalid
//   values) without touching the disk.
// - A set while no document is loaded first retries the load. When the database file is still
//   absent it starts from an empty document and saves it, so a unit whose store and default were
//   both missing recovers. When a file exists but cannot be loaded, the set returns false: the file
//   is never overwritten with a store that lost its content.
// - When the schema file is missing, the database file is kept as it is and not validated (so not
//   replaced by the default one), with a WARN saying so; the parse still checks its structure. A
//   broken installation must not wipe the store.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "database/DatabaseImpl.h"
#include "database/DatabaseWriter.h"
#include "database/KeyIndex.h"
#include "kolconfig/XmlDoc.h"

class XMLDatabaseImpl : public DatabaseImpl {
 public:
  using Entries = std::vector<std::unique_ptr<Sarnet_Configuration::Types::PersistedMapEntry>>;

  // Uses the device paths: STORE/database.xml, the default database of the configuration folder and
  // the device's configuration schema. Does not load; call load().
  XMLDatabaseImpl();
  // Uses explicit paths (tests, tools). Does not load; call load().
  XMLDatabaseImpl(std::string databaseFile, std::string defaultDatabaseFile, std::string schemaFile,
                  std::string storeFolder);
  ~XMLDatabaseImpl() override;

  XMLDatabaseImpl(const XMLDatabaseImpl&) = delete;
  XMLDatabaseImpl& operator=(const XMLDatabaseImpl&) = delete;

  // Installs the default database when the file is missing or invalid, then parses the file.
  // Logs "Loading ZEM database..." (DEBUG); a failure logs two ERROR lines and leaves the store
  // without a document.
  void load() override;

  std::unique_ptr<StringValue> getString(const std::string& key) const override;
  bool setString(const std::string& key, const Sarnet_Configuration::Types::PersistedStringValue* value) override;
  std::unique_ptr<IntegerValue> getInteger(const std::string& key) const override;
  bool setInteger(const std::string& key, const Sarnet_Configuration::Types::PersistedIntegerValue* value) override;
  std::unique_ptr<BooleanValue> getBoolean(const std::string& key) const override;
  bool setBoolean(const std::string& key, const Sarnet_Configuration::Types::PersistedBooleanValue* value) override;
  std::unique_ptr<FloatValue> getFloat(const std::string& key) const override;
  bool setFloat(const std::string& key, const Sarnet_Configuration::Types::PersistedFloatValue* value) override;
  std::unique_ptr<ByteFieldValue> getByteField(const std::string& key) const override;
  bool setByteField(const std::string& key, const Sarnet_Configuration::Types::PersistedByteFieldValue* value) override;
  std::unique_ptr<ListValue> getList(const std::string& key) const override;
  bool setList(const std::string& key, const Sarnet_Configuration::Types::PersistedListValue* value) override;
  std::unique_ptr<MapValue> getMap(const std::string& key) const override;
  bool setMap(const std::string& key, const Sarnet_Configuration::Types::PersistedMapValue* value) override;

  // When the database file exists but does not validate against the schema, replaces it with a
  // copy of the default database (the invalid file is removed even if the copy fails). When it is
  // missing, creates the store folder and copies the default database there. Failures are logged.
  void installDefaultDatabaseIfNeeded() const;

  const std::string& getDatabaseFile() const { return databaseFile_; }

  // Path operations on the document tree. Pointers returned point into `entries`/`map`, which
  // keep owning them.

  // Splits at every "."; empty components stay ("a..b" gives a, "", b; "a" gives a).
  static std::vector<std::string> splitString(const std::string& key);
  // Joins components[first..], putting "." before a component only when the text built so far is
  // not empty. Returns "" when first is past the end.
  static std::string joinStrings(const std::vector<std::string>& components, size_t first);
  // The value of the first entry (document order) whose key equals `key` byte for byte; null if none.
  static Sarnet_Configuration::Types::PersistedValue* findByKey(const std::string& key, const Entries& entries);
  // The node of kind T at the dotted `key` below `entries`, or null. A path through a non-map gives
  // null silently; a last component of another kind logs ERROR "Incompatible value type : " + key
  // (the key as passed to that level) and gives null. With `index`, keys are looked up through it
  // (same answers, constant time).
  template <class T>
  static T* findByPath(const std::string& key, const Entries& entries, KeyIndex* index = nullptr);
  // Where the path to `key` is missing, appends entries (maps for the inner components, an empty T
  // for the last) and returns the new T. Returns the existing node when it already is a T; null
  // (with the incompatible-type ERROR, as findByPath) when the path is taken by another kind or runs
  // through a non-map. When `created` is given it receives the first appended entry, so the caller
  // can take the creation back. `index` as for findByPath.
  struct CreatedEntry {
    Entries* entries = nullptr;  // the vector the first new entry was appended to; null if none
    size_t index = 0;
  };
  template <class T>
  static T* createPath(const std::string& key, Sarnet_Configuration::Types::PersistedMapValue& map,
                       CreatedEntry* created = nullptr, KeyIndex* index = nullptr);
  // Appends deep copies of `from`'s items (entries) to `to`, in document order.
  static void copyList(const Sarnet_Configuration::Types::PersistedListValue& from,
                       Sarnet_Configuration::Types::PersistedListValue& to);
  static void copyMap(const Sarnet_Configuration::Types::PersistedMapValue& from,
                      Sarnet_Configuration::Types::PersistedMapValue& to);

 protected:
  // Drops the document, installs the default database if needed and parses the file.
  // REQUIRES: mutex_ held.
  virtual void _load();

 private:
  using Document = xmldoc::DocumentPtr<Sarnet_Configuration::Types::PersistedDatabase>;

  template <class Node, class Value, class Convert>
  std::unique_ptr<Value> get(const std::string& key, Convert convert) const;
  template <class Node, class Assign>
  bool setScalar(const std::string& key, const Node* value, Assign assign);
  template <class Node>
  bool setContainer(const std::string& key, const Node* value);

  // The top-level map of the document, creating a document (or its map) when the store may start
  // afresh (see the header comment). Null when a set must be refused. REQUIRES: mutex_ held.
  Sarnet_Configuration::Types::PersistedMapValue* writableData();
  // Durably writes `document` (`ownDocument`: document_, whose entry texts writer_ keeps) to the
  // database file. Returns kSaved, or kFailed (logged) with the previous file in place, or
  // kReplacedNotDurable (logged) when the file was replaced but its folder could not be flushed.
  // REQUIRES: mutex_ held.
  enum class SaveResult { kSaved, kFailed, kReplacedNotDurable };
  SaveResult save(const Sarnet_Configuration::Types::PersistedDatabase& document, bool ownDocument);
  // Makes writer_ serialise again the top-level entry that `key` runs through. REQUIRES: mutex_ held.
  void invalidateTopLevel(const std::string& key, const Entries& entries);
  // Takes back the entry that createPath appended first. REQUIRES: mutex_ held.
  void undoCreation(const CreatedEntry& created);

  const std::string databaseFile_;
  const std::string defaultDatabaseFile_;
  const std::string schemaFile_;
  const std::string storeFolder_;

  Document document_;       // guarded by mutex_; null when no document is loaded
  mutable KeyIndex index_;  // guarded by mutex_; cleared whenever document_ changes other than by appends
  DatabaseWriter writer_;   // guarded by mutex_; cleared whenever index_ is
  mutable std::mutex mutex_;
};
