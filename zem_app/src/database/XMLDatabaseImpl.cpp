#include "database/XMLDatabaseImpl.h"

#include <sys/stat.h>

#include <cstddef>
#include <exception>
#include <type_traits>
#include <utility>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/File.h"
#include "kest/XmlValidatorLibXml2.h"
#include "values/ValueConversion.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

std::unique_ptr<Types::PersistedValue> copyValue(const Types::PersistedValue& from,
                                                 const Types::PersistedValue* replaced,
                                                 const Types::PersistedValue* replacement);

// Appends copies of the list's items; the node `replaced` (when met) is copied from `replacement`.
void copyItems(const Types::PersistedListValue& from, Types::PersistedListValue& to,
               const Types::PersistedValue* replaced, const Types::PersistedValue* replacement) {
  for (const auto& item : from.elements_item()) {
    if (!item) continue;
    if (auto copy = copyValue(*item, replaced, replacement)) to.add_element_item(std::move(copy));
  }
}

void copyEntries(const Types::PersistedMapValue& from, Types::PersistedMapValue& to,
                 const Types::PersistedValue* replaced, const Types::PersistedValue* replacement) {
  for (const auto& entry : from.elements_entry()) {
    if (!entry) continue;
    auto* copy = to.add_node_entry();
    copy->set_key(entry->get_key());
    if (const auto* value = entry->element_value()) {
      if (auto valueCopy = copyValue(*value, replaced, replacement)) copy->set_element_value(std::move(valueCopy));
    }
  }
}

// Copies one value node: lists and maps entry by entry (so `replaced` is met inside them), every
// other kind as a whole, as its most-derived type.
class ValueCopier final : public Types::PersistedValueVisitor {
 public:
  ValueCopier(const Types::PersistedValue* replaced, const Types::PersistedValue* replacement)
      : replaced_(replaced), replacement_(replacement) {}

  std::unique_ptr<Types::PersistedValue> copy;

  void visit(const Types::PersistedListValue& list) override {
    auto to = std::make_unique<Types::PersistedListValue>();
    copyItems(list, *to, replaced_, replacement_);
    copy = std::move(to);
  }
  void visit(const Types::PersistedMapValue& map) override {
    auto to = std::make_unique<Types::PersistedMapValue>();
    copyEntries(map, *to, replaced_, replacement_);
    copy = std::move(to);
  }
  void visit(const Types::PersistedStringValue& text) override { copy = text.clone(); }
  void visit(const Types::PersistedIntegerValue& integer) override { copy = integer.clone(); }
  void visit(const Types::PersistedFloatValue& number) override { copy = number.clone(); }
  void visit(const Types::PersistedBooleanValue& boolean) override { copy = boolean.clone(); }
  void visit(const Types::PersistedByteFieldValue& bytes) override { copy = bytes.clone(); }

 private:
  const Types::PersistedValue* const replaced_;
  const Types::PersistedValue* const replacement_;
};

// A deep copy of one value node of any kind.
std::unique_ptr<Types::PersistedValue> copyValue(const Types::PersistedValue& from,
                                                 const Types::PersistedValue* replaced,
                                                 const Types::PersistedValue* replacement) {
  if (&from == replaced) return copyValue(*replacement, nullptr, nullptr);
  ValueCopier copier(replaced, replacement);
  if (from.accept(copier)) return std::move(copier.copy);
  return from.clone();  // an object of the abstract type itself: kept as it is rather than lost
}

// Converts a list or map node into its value type (convertValue gives the base type).
template <class Value>
std::unique_ptr<Value> convertContainer(const Types::PersistedValue& node) {
  std::unique_ptr<BaseValue> converted = convertValue(&node);
  if (auto* value = dynamic_cast<Value*>(converted.get())) {
    (void)converted.release();  // ownership moves to the typed pointer
    return std::unique_ptr<Value>(value);
  }
  return std::make_unique<Value>(false);
}

}  // namespace

XMLDatabaseImpl::XMLDatabaseImpl()
    : XMLDatabaseImpl(DevicePaths::storeFolder() + "/" + DevicePaths::kDatabaseFileName,
                      DevicePaths::defaultConfigFolder() + "/" + DevicePaths::kDatabaseFileName,
                      DevicePaths::configurationSchema(), DevicePaths::storeFolder()) {}

XMLDatabaseImpl::XMLDatabaseImpl(std::string databaseFile, std::string defaultDatabaseFile, std::string schemaFile,
                                 std::string storeFolder)
    : databaseFile_(std::move(databaseFile)),
      defaultDatabaseFile_(std::move(defaultDatabaseFile)),
      schemaFile_(std::move(schemaFile)),
      storeFolder_(std::move(storeFolder)) {}

XMLDatabaseImpl::~XMLDatabaseImpl() = default;

// ---------------------------------------------------------------------------------------------
// Loading

void XMLDatabaseImpl::load() {
  std::lock_guard<std::mutex> lock(mutex_);
  _load();
}

void XMLDatabaseImpl::_load() {
  ZEM_DEBUG("Loading ZEM database...");
  document_.reset();
  index_.clear();
  writer_.clear();
  installDefaultDatabaseIfNeeded();
  try {
    document_ = xmldoc::parseFile<Types::PersistedDatabase>(databaseFile_);
  } catch (const std::exception& e) {
    ZEM_ERROR("Impossible to load ZEM database from " << File(databaseFile_).getAbsolutePath());
    ZEM_ERROR(e.what());
  }
}

void XMLDatabaseImpl::installDefaultDatabaseIfNeeded() const {
  const File database(databaseFile_);
  const File defaults(defaultDatabaseFile_);
  if (database.exists()) {
    if (!File(schemaFile_).exists()) {
      ZEM_WARN("Schema " << schemaFile_ << " is missing: the ZEM database is kept without validation");
      return;
    }
    try {
      XmlValidatorLibXml2(schemaFile_).validate(databaseFile_);
      return;
    } catch (const std::exception& e) {
      ZEM_DEBUG(
          "Current database is invalid and will be replaced with the default one: " << defaults.getAbsolutePath());
      ZEM_DEBUG(e.what());
    }
    // The copy replaces the invalid file atomically; only when it fails is the invalid file
    // removed, so the store can start afresh instead of failing on it at every load.
    if (!defaults.copyTo(database)) {
      database.remove();
      ZEM_ERROR("Unable to copy " << defaults.getAbsolutePath() << " to " << storeFolder_);
    }
    return;
  }
  File(storeFolder_).mkdirs();
  if (!defaults.copyTo(database)) {
    ZEM_ERROR("Unable to copy " << defaults.getAbsolutePath() << " to " << storeFolder_);
  }
}

// ---------------------------------------------------------------------------------------------
// Path operations

std::vector<std::string> XMLDatabaseImpl::splitString(const std::string& key) {
  std::vector<std::string> components;
  size_t start = 0;
  for (;;) {
    const size_t dot = key.find('.', start);
    if (dot == std::string::npos) {
      components.push_back(key.substr(start));
      return components;
    }
    components.push_back(key.substr(start, dot - start));
    start = dot + 1;
  }
}

std::string XMLDatabaseImpl::joinStrings(const std::vector<std::string>& components, size_t first) {
  std::string joined;
  for (size_t i = first; i < components.size(); ++i) {
    if (!joined.empty()) joined += '.';
    joined += components[i];
  }
  return joined;
}

Types::PersistedValue* XMLDatabaseImpl::findByKey(const std::string& key, const Entries& entries) {
  for (const auto& entry : entries) {
    if (entry && entry->get_key() == key) return entry->element_value();
  }
  return nullptr;
}

namespace {
Types::PersistedValue* lookUp(const std::string& key, const XMLDatabaseImpl::Entries& entries, KeyIndex* index) {
  return index != nullptr ? index->find(key, entries) : XMLDatabaseImpl::findByKey(key, entries);
}
}  // namespace

template <class T>
T* XMLDatabaseImpl::findByPath(const std::string& key, const Entries& entries, KeyIndex* index) {
  const std::vector<std::string> components = splitString(key);
  Types::PersistedValue* found = lookUp(components.front(), entries, index);
  if (found == nullptr) return nullptr;
  if (components.size() > 1) {
    auto* map = Types::exactly<Types::PersistedMapValue>(found);
    if (map == nullptr) return nullptr;
    return findByPath<T>(joinStrings(components, 1), map->elements_entry(), index);
  }
  if (auto* node = Types::exactly<T>(found)) return node;
  ZEM_ERROR("Incompatible value type : " << key);
  return nullptr;
}

template <class T>
T* XMLDatabaseImpl::createPath(const std::string& key, Types::PersistedMapValue& map, CreatedEntry* created,
                               KeyIndex* index) {
  const std::vector<std::string> components = splitString(key);
  Entries& entries = map.elements_entry();
  Types::PersistedValue* found = lookUp(components.front(), entries, index);
  if (found != nullptr) {
    if (components.size() > 1) {
      auto* inner = Types::exactly<Types::PersistedMapValue>(found);
      if (inner == nullptr) return nullptr;
      return createPath<T>(joinStrings(components, 1), *inner, created, index);
    }
    if (auto* node = Types::exactly<T>(found)) return node;
    ZEM_ERROR("Incompatible value type : " << key);
    return nullptr;
  }
  if (created != nullptr && created->entries == nullptr) {
    created->entries = &entries;
    created->index = entries.size();
  }
  auto* entry = map.add_node_entry();
  entry->set_key(components.front());
  if (components.size() > 1) {
    auto* inner = entry->template add_node_value<Types::PersistedMapValue>();
    return createPath<T>(joinStrings(components, 1), *inner, created, index);
  }
  return entry->template add_node_value<T>();
}

void XMLDatabaseImpl::copyList(const Types::PersistedListValue& from, Types::PersistedListValue& to) {
  copyItems(from, to, nullptr, nullptr);
}

void XMLDatabaseImpl::copyMap(const Types::PersistedMapValue& from, Types::PersistedMapValue& to) {
  copyEntries(from, to, nullptr, nullptr);
}

// T is a type used in template arguments and cannot be parenthesised.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define ZEM_DATABASE_INSTANTIATE_PATHS(T)                                                    \
  template T* XMLDatabaseImpl::findByPath<T>(const std::string&, const Entries&, KeyIndex*); \
  template T* XMLDatabaseImpl::createPath<T>(const std::string&, Types::PersistedMapValue&, CreatedEntry*, KeyIndex*);
// NOLINTEND(bugprone-macro-parentheses)
ZEM_DATABASE_INSTANTIATE_PATHS(Types::PersistedStringValue)
ZEM_DATABASE_INSTANTIATE_PATHS(Types::PersistedIntegerValue)
ZEM_DATABASE_INSTANTIATE_PATHS(Types::PersistedBooleanValue)
ZEM_DATABASE_INSTANTIATE_PATHS(Types::PersistedFloatValue)
ZEM_DATABASE_INSTANTIATE_PATHS(Types::PersistedByteFieldValue)
ZEM_DATABASE_INSTANTIATE_PATHS(Types::PersistedListValue)
ZEM_DATABASE_INSTANTIATE_PATHS(Types::PersistedMapValue)
#undef ZEM_DATABASE_INSTANTIATE_PATHS

// ---------------------------------------------------------------------------------------------
// Gets and sets

template <class Node, class Value, class Convert>
std::unique_ptr<Value> XMLDatabaseImpl::get(const std::string& key, Convert convert) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const Types::PersistedMapValue* data = document_ ? document_->element_data() : nullptr;
  const Node* node = data ? findByPath<Node>(key, data->elements_entry(), &index_) : nullptr;
  if (node == nullptr) return nullptr;
  return convert(*node);
}

Types::PersistedMapValue* XMLDatabaseImpl::writableData() {
  if (!document_) {
    _load();
    if (!document_) {
      if (File(databaseFile_).exists()) {
        ZEM_ERROR("ZEM database at " << File(databaseFile_).getAbsolutePath()
                                     << " cannot be loaded: nothing is stored until it is replaced");
        return nullptr;
      }
      File(storeFolder_).mkdirs();
      document_ = xmldoc::createDocument<Types::PersistedDatabase>();
      index_.clear();
      writer_.clear();
    }
  }
  Types::PersistedMapValue* data = document_->element_data();
  return data != nullptr ? data : document_->add_node_data();
}

XMLDatabaseImpl::SaveResult XMLDatabaseImpl::save(const Types::PersistedDatabase& document, bool ownDocument) {
  const xmldoc::ReplaceResult result = writer_.write(document, databaseFile_, ownDocument);
  if (result.ok()) return SaveResult::kSaved;
  ZEM_ERROR("Impossible to save ZEM database to " << File(databaseFile_).getAbsolutePath());
  ZEM_ERROR(result.error);
  return result.outcome == xmldoc::ReplaceOutcome::kReplacedNotFlushed ? SaveResult::kReplacedNotDurable
                                                                       : SaveResult::kFailed;
}

void XMLDatabaseImpl::invalidateTopLevel(const std::string& key, const Entries& entries) {
  writer_.invalidate(index_.findEntry(key.substr(0, key.find('.')), entries));
}

// Takes back the entry that createPath appended first (and with it everything below it).
void XMLDatabaseImpl::undoCreation(const CreatedEntry& created) {
  if (created.entries != nullptr && created.index < created.entries->size()) {
    created.entries->erase(created.entries->begin() + static_cast<std::ptrdiff_t>(created.index));
    index_.clear();
    writer_.clear();
  }
}

template <class Node, class Assign>
bool XMLDatabaseImpl::setScalar(const std::string& key, const Node* value, Assign assign) {
  if (value == nullptr) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  Types::PersistedMapValue* data = writableData();
  if (data == nullptr) return false;
  CreatedEntry created;
  Node* node = findByPath<Node>(key, data->elements_entry(), &index_);
  if (node == nullptr) node = createPath<Node>(key, *data, &created, &index_);
  if (node == nullptr) return false;
  const Node previous(*node);
  assign(*node, *value);
  invalidateTopLevel(key, data->elements_entry());
  const SaveResult result = save(*document_, true);
  if (result != SaveResult::kFailed) return result == SaveResult::kSaved;
  if (created.entries != nullptr) {
    undoCreation(created);
  } else {
    assign(*node, previous);
    invalidateTopLevel(key, data->elements_entry());
  }
  return false;
}

template <class Node>
bool XMLDatabaseImpl::setContainer(const std::string& key, const Node* value) {
  if (value == nullptr) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  Types::PersistedMapValue* data = writableData();
  if (data == nullptr) return false;
  Node* node = findByPath<Node>(key, data->elements_entry(), &index_);
  if (node == nullptr) {
    CreatedEntry created;
    node = createPath<Node>(key, *data, &created, &index_);
    if (node == nullptr) return false;
    if constexpr (std::is_same_v<Node, Types::PersistedListValue>) {
      copyList(*value, *node);
    } else {
      copyMap(*value, *node);
    }
    invalidateTopLevel(key, data->elements_entry());
    const SaveResult result = save(*document_, true);
    if (result == SaveResult::kFailed) undoCreation(created);
    return result == SaveResult::kSaved;
  }
  // Replacement: a fresh document holding the current data with the new value in place of the old
  // node, saved, then read back so the store is exactly what the file holds.
  Document fresh = xmldoc::createDocument<Types::PersistedDatabase>();
  copyEntries(*data, *fresh->add_node_data(), node, value);
  const SaveResult result = save(*fresh, false);
  if (result == SaveResult::kFailed) return false;
  _load();
  if (!document_) {
    document_ = std::move(fresh);
    index_.clear();
    writer_.clear();
  }
  return result == SaveResult::kSaved;
}

std::unique_ptr<StringValue> XMLDatabaseImpl::getString(const std::string& key) const {
  auto value = get<Types::PersistedStringValue, StringValue>(key, [](const Types::PersistedStringValue& node) {
    return std::make_unique<StringValue>(node.get_stringValue());
  });
  return value ? std::move(value) : std::make_unique<StringValue>();
}

bool XMLDatabaseImpl::setString(const std::string& key, const Types::PersistedStringValue* value) {
  return setScalar(key, value, [](Types::PersistedStringValue& node, const Types::PersistedStringValue& from) {
    node.set_stringValue(from.get_stringValue());
  });
}

std::unique_ptr<IntegerValue> XMLDatabaseImpl::getInteger(const std::string& key) const {
  auto value = get<Types::PersistedIntegerValue, IntegerValue>(key, [](const Types::PersistedIntegerValue& node) {
    return std::make_unique<IntegerValue>(node.get_integerValue());
  });
  return value ? std::move(value) : std::make_unique<IntegerValue>();
}

bool XMLDatabaseImpl::setInteger(const std::string& key, const Types::PersistedIntegerValue* value) {
  return setScalar(key, value, [](Types::PersistedIntegerValue& node, const Types::PersistedIntegerValue& from) {
    node.set_integerValue(from.get_integerValue());
  });
}

std::unique_ptr<BooleanValue> XMLDatabaseImpl::getBoolean(const std::string& key) const {
  auto value = get<Types::PersistedBooleanValue, BooleanValue>(key, [](const Types::PersistedBooleanValue& node) {
    return std::make_unique<BooleanValue>(node.get_booleanValue());
  });
  return value ? std::move(value) : std::make_unique<BooleanValue>();
}

bool XMLDatabaseImpl::setBoolean(const std::string& key, const Types::PersistedBooleanValue* value) {
  return setScalar(key, value, [](Types::PersistedBooleanValue& node, const Types::PersistedBooleanValue& from) {
    node.set_booleanValue(from.get_booleanValue());
  });
}

std::unique_ptr<FloatValue> XMLDatabaseImpl::getFloat(const std::string& key) const {
  auto value = get<Types::PersistedFloatValue, FloatValue>(
      key, [](const Types::PersistedFloatValue& node) { return std::make_unique<FloatValue>(node.get_floatValue()); });
  return value ? std::move(value) : std::make_unique<FloatValue>();
}

bool XMLDatabaseImpl::setFloat(const std::string& key, const Types::PersistedFloatValue* value) {
  return setScalar(key, value, [](Types::PersistedFloatValue& node, const Types::PersistedFloatValue& from) {
    node.set_floatValue(from.get_floatValue());
  });
}

std::unique_ptr<ByteFieldValue> XMLDatabaseImpl::getByteField(const std::string& key) const {
  auto value = get<Types::PersistedByteFieldValue, ByteFieldValue>(key, [](const Types::PersistedByteFieldValue& node) {
    return std::make_unique<ByteFieldValue>(node.get_byteFieldValue());
  });
  return value ? std::move(value) : std::make_unique<ByteFieldValue>();
}

bool XMLDatabaseImpl::setByteField(const std::string& key, const Types::PersistedByteFieldValue* value) {
  return setScalar(key, value, [](Types::PersistedByteFieldValue& node, const Types::PersistedByteFieldValue& from) {
    node.set_byteFieldValue(from.get_byteFieldValue());
  });
}

std::unique_ptr<ListValue> XMLDatabaseImpl::getList(const std::string& key) const {
  auto value = get<Types::PersistedListValue, ListValue>(key, convertContainer<ListValue>);
  return value ? std::move(value) : std::make_unique<ListValue>(false);
}

bool XMLDatabaseImpl::setList(const std::string& key, const Types::PersistedListValue* value) {
  return setContainer(key, value);
}

std::unique_ptr<MapValue> XMLDatabaseImpl::getMap(const std::string& key) const {
  auto value = get<Types::PersistedMapValue, MapValue>(key, convertContainer<MapValue>);
  return value ? std::move(value) : std::make_unique<MapValue>(false);
}

bool XMLDatabaseImpl::setMap(const std::string& key, const Types::PersistedMapValue* value) {
  return setContainer(key, value);
}
