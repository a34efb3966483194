#include "properties/DatabaseProperty.h"

#include <exception>
#include <memory>

#include "database/Database.h"
#include "kest/ApplicationLogger.h"
#include "values/BooleanValue.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

bool initialValue(const Types::PersistedBooleanPropertyOrigin& origin) {
  const std::unique_ptr<BooleanValue> stored = Database::getInstance()->getBoolean(origin.get_key());
  if (stored && stored->isValid()) return stored->getValue();
  return origin.get_defaultValue();
}

}  // namespace

DatabaseProperty::DatabaseProperty(const Types::PersistedBooleanPropertyOrigin& origin)
    : origin_(origin), value_(initialValue(origin)) {}

DatabaseProperty::~DatabaseProperty() = default;

void DatabaseProperty::booleanChanged(const std::string& key, bool value) {
  if (key != getKey()) return;
  // exchange: two setters racing on the same key report each transition once.
  if (value_.exchange(value) == value) return;
  try {
    changed(key, value);
  } catch (const std::exception& e) {
    ZEM_ERROR("Unable to report the change of " << key << " : " << e.what());
  }
}

void DatabaseProperty::changed(const std::string& key, bool value) {
  DatabaseListener* const listener = listener_.load();
  if (listener != nullptr) listener->booleanChanged(key, value);
}
