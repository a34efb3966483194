// Value access of the literal, persisted, library-call and live-source origin kinds.
#include "properties/OriginValues.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <sstream>
#include <vector>

#include "database/Database.h"
#include "libraries/SharedLibraries.h"
#include "libraries/VehicleProperty.h"
#include "properties/DatabaseProperty.h"
#include "properties/DatabaseVehicleProperty.h"
#include "values/ByteFieldValue.h"
#include "values/FloatValue.h"
#include "values/IntegerValue.h"
#include "values/ListValue.h"
#include "values/MapValue.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

PropertyValue emptyFromAdapterWithoutSource() {
  ZEM_WARN("Empty String returned!");
  return std::make_shared<StringValue>();
}

PropertyValue booleanText(bool value) { return std::make_shared<StringValue>(value ? "true" : "false"); }

}  // namespace

std::string byteFieldText(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  static constexpr std::size_t kMinDigits = 4;
  const std::size_t digits = bytes.size() * 2;
  std::string text = "0x";
  text.reserve(2 + std::max(digits, kMinDigits));
  if (digits < kMinDigits) text.append(kMinDigits - digits, '0');
  for (const std::uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

template <>
PropertyValue getValue(const Types::StringLiteralPropertyOrigin& origin) {
  return std::make_shared<StringValue>(origin.get_value());
}
template <>
PropertyValue getValue(const Types::BooleanLiteralPropertyOrigin& origin) {
  return std::make_shared<StringValue>(origin.get_value());
}
template <>
PropertyValue getValue(const Types::FloatLiteralPropertyOrigin& origin) {
  return std::make_shared<StringValue>(origin.get_value());
}
template <>
PropertyValue getValue(const Types::BytefieldLiteralPropertyOrigin& origin) {
  return std::make_shared<StringValue>(origin.get_value());
}
template <>
PropertyValue getValue(const Types::IntegerLiteralPropertyOrigin& origin) {
  return std::make_shared<StringValue>(origin.get_value());
}

// The persisted kinds differ only in the store's getter and setter.
#define ZEM_PERSISTED_ORIGIN(OriginType, Getter, Setter)                               \
  template <>                                                                          \
  PropertyValue getValue(const Types::OriginType& origin) {                            \
    ZEM_TRACE("Read from database " << origin.get_key());                              \
    return Database::getInstance()->Getter(origin.get_key());                          \
  }                                                                                    \
  template <>                                                                          \
  bool setValue(const Types::OriginType& origin, const Types::PersistedValue* value) { \
    ZEM_TRACE("Write in database " << origin.get_key());                               \
    return Database::getInstance()->Setter(origin.get_key(), value);                   \
  }

ZEM_PERSISTED_ORIGIN(PersistedStringPropertyOrigin, getString, setString)
ZEM_PERSISTED_ORIGIN(PersistedIntegerPropertyOrigin, getInteger, setInteger)
ZEM_PERSISTED_ORIGIN(PersistedFloatPropertyOrigin, getFloat, setFloat)
ZEM_PERSISTED_ORIGIN(PersistedByteFieldPropertyOrigin, getByteField, setByteField)
ZEM_PERSISTED_ORIGIN(PersistedListPropertyOrigin, getList, setList)
ZEM_PERSISTED_ORIGIN(PersistedMapPropertyOrigin, getMap, setMap)
#undef ZEM_PERSISTED_ORIGIN

template <>
PropertyValue getValue(const Types::LibraryCallPropertyOrigin& origin) {
  return std::make_shared<StringValue>(
      SharedLibraries::callFunction(origin.get_libraryName(), origin.get_functionName(), origin.elements_arguments()));
}

template <>
PropertyValue getValue(const MapAdapter<Signal>& adapter) {
  const std::optional<bool> state = adapter.getSource() ? adapter.getSource()->getCurrentState() : std::nullopt;
  if (!state) return emptyFromAdapterWithoutSource();
  return booleanText(*state);
}
template <>
PropertyValue getValue(const MapAdapter<Value>& adapter) {
  const std::optional<double> value = adapter.getSource() ? adapter.getSource()->getCurrentValue() : std::nullopt;
  if (!value) return emptyFromAdapterWithoutSource();
  std::ostringstream text;
  text << *value;
  return std::make_shared<StringValue>(text.str());
}
template <>
PropertyValue getValue(const MapAdapter<ByteField>& adapter) {
  const std::optional<std::vector<std::uint8_t>> bytes =
      adapter.getSource() ? adapter.getSource()->getRawValue() : std::nullopt;
  if (!bytes) return emptyFromAdapterWithoutSource();
  return std::make_shared<StringValue>(byteFieldText(*bytes));
}
template <>
PropertyValue getValue(const MapAdapter<VehicleProperty>& adapter) {
  if (!adapter.getSource()) return emptyFromAdapterWithoutSource();
  return booleanText(adapter.getSource()->getValue());
}

template <>
PropertyValue getValue(const MapAdapter<SharedLibrary>& /*adapter*/) {
  return emptyFromAdapterWithoutSource();
}

template <>
PropertyValue getValue(const MapAdapter<DatabaseProperty>& adapter) {
  if (!adapter.getSource()) return emptyFromAdapterWithoutSource();
  return booleanText(adapter.getSource()->getValue());
}
template <>
bool setValue(const MapAdapter<DatabaseProperty>& adapter, const Types::PersistedValue* value) {
  if (!adapter.getSource()) return false;
  ZEM_TRACE("Write in database " << adapter.getSource()->getKey());
  return Database::getInstance()->setBoolean(adapter.getSource()->getKey(), value);
}
template <>
PropertyValue getValue(const MapAdapter<DatabaseVehicleProperty>& adapter) {
  if (!adapter.getSource()) return emptyFromAdapterWithoutSource();
  return booleanText(adapter.getSource()->getValue());
}
template <>
bool setValue(const MapAdapter<DatabaseVehicleProperty>& adapter, const Types::PersistedValue* value) {
  if (!adapter.getSource()) return false;
  ZEM_TRACE("Write in database " << adapter.getSource()->getKey());
  return Database::getInstance()->setBoolean(adapter.getSource()->getKey(), value);
}
