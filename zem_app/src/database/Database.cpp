#include "database/Database.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "database/XMLDatabaseImpl.h"
#include "kest/ApplicationLogger.h"

namespace Types = Sarnet_Configuration::Types;

Database::Database(PassKey) {}

Database::~Database() = default;

std::shared_ptr<Database> Database::getInstance() {
  static const std::shared_ptr<Database> instance = std::make_shared<Database>(PassKey{});
  return instance;
}

std::shared_ptr<DatabaseImpl> Database::getImpl() {
  // Held through the first load, so no caller sees an implementation that is not loaded yet.
  std::lock_guard<std::mutex> lock(implMutex_);
  if (!impl_) {
    auto impl = std::make_shared<XMLDatabaseImpl>();
    impl->load();
    impl_ = std::move(impl);
  }
  return impl_;
}

void Database::reset() { getImpl()->load(); }

void Database::load() {
  try {
    getImpl();
  } catch (const std::exception& e) {
    ZEM_ERROR("Impossible to load ZEM database at start-up: " << e.what());
  }
}

void Database::replaceImpl(std::shared_ptr<DatabaseImpl> impl) {
  {
    std::lock_guard<std::mutex> lock(implMutex_);
    impl_ = std::move(impl);
  }
  std::lock_guard<std::mutex> lock(listenersMutex_);
  listeners_.clear();
}

std::unique_ptr<StringValue> Database::getString(const std::string& key) { return getImpl()->getString(key); }
std::unique_ptr<IntegerValue> Database::getInteger(const std::string& key) { return getImpl()->getInteger(key); }
std::unique_ptr<BooleanValue> Database::getBoolean(const std::string& key) { return getImpl()->getBoolean(key); }
std::unique_ptr<FloatValue> Database::getFloat(const std::string& key) { return getImpl()->getFloat(key); }
std::unique_ptr<ByteFieldValue> Database::getByteField(const std::string& key) { return getImpl()->getByteField(key); }
std::unique_ptr<ListValue> Database::getList(const std::string& key) { return getImpl()->getList(key); }
std::unique_ptr<MapValue> Database::getMap(const std::string& key) { return getImpl()->getMap(key); }

bool Database::setString(const std::string& key, const Types::PersistedValue* value) {
  const auto* node = Types::exactly<Types::PersistedStringValue>(value);
  return node != nullptr && getImpl()->setString(key, node);
}

bool Database::setInteger(const std::string& key, const Types::PersistedValue* value) {
  const auto* node = Types::exactly<Types::PersistedIntegerValue>(value);
  return node != nullptr && getImpl()->setInteger(key, node);
}

bool Database::setBoolean(const std::string& key, const Types::PersistedValue* value) {
  const auto* node = Types::exactly<Types::PersistedBooleanValue>(value);
  if (node == nullptr || !getImpl()->setBoolean(key, node)) return false;
  std::vector<DatabaseListener*> listeners;
  {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    const auto found = listeners_.find(key);
    if (found != listeners_.end()) listeners = found->second;
  }
  const bool newValue = node->get_booleanValue();
  for (DatabaseListener* listener : listeners) listener->booleanChanged(key, newValue);
  return true;
}

bool Database::setFloat(const std::string& key, const Types::PersistedValue* value) {
  const auto* node = Types::exactly<Types::PersistedFloatValue>(value);
  return node != nullptr && getImpl()->setFloat(key, node);
}

bool Database::setByteField(const std::string& key, const Types::PersistedValue* value) {
  const auto* node = Types::exactly<Types::PersistedByteFieldValue>(value);
  return node != nullptr && getImpl()->setByteField(key, node);
}

bool Database::setList(const std::string& key, const Types::PersistedValue* value) {
  const auto* node = Types::exactly<Types::PersistedListValue>(value);
  return node != nullptr && getImpl()->setList(key, node);
}

bool Database::setMap(const std::string& key, const Types::PersistedValue* value) {
  const auto* node = Types::exactly<Types::PersistedMapValue>(value);
  return node != nullptr && getImpl()->setMap(key, node);
}

void Database::addListener(const std::string& key, DatabaseListener* listener) {
  if (listener == nullptr) return;
  std::lock_guard<std::mutex> lock(listenersMutex_);
  listeners_[key].push_back(listener);
}

void Database::removeListener(const std::string& key, DatabaseListener* listener) {
  std::lock_guard<std::mutex> lock(listenersMutex_);
  const auto found = listeners_.find(key);
  if (found == listeners_.end()) return;
  auto& list = found->second;
  list.erase(std::remove(list.begin(), list.end(), listener), list.end());
  if (list.empty()) listeners_.erase(found);
}
