// Value access of the literal, persisted, library-call and live-source origin kinds.
#include "OriginValues.h"

#include "ByteFieldValue.h"
#include "DatabaseProperty.h"
#include "DatabaseVehicleProperty.h"
#include "FloatValue.h"
#include "IntegerValue.h"
#include "ListValue.h"
#include "MapValue.h"
#include "database/Database.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

PropertyValue emptyFromAdapterWithoutSource() {
  ZEM_WARN("Empty String returned!");
  return std::make_shared<StringValue>();
}

PropertyValue booleanText(bool value) { return std::make_shared<StringValue>(value ? "true" : "false"); }

}  // namespace

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
  ZEM_WARN("Library calls are not available in this build: no value for " << origin.get_libraryName() << " "
                                                                          << origin.get_functionName());
  return nullptr;
}

template <>
PropertyValue getValue(const MapAdapter<Signal>& adapter) {
  // Signals are not bound in this build: every adapter of this kind holds no source.
  (void)adapter;
  return emptyFromAdapterWithoutSource();
}
template <>
PropertyValue getValue(const MapAdapter<Value>& adapter) {
  (void)adapter;
  return emptyFromAdapterWithoutSource();
}
template <>
PropertyValue getValue(const MapAdapter<ByteField>& adapter) {
  (void)adapter;
  return emptyFromAdapterWithoutSource();
}
template <>
PropertyValue getValue(const MapAdapter<VehicleProperty>& adapter) {
  (void)adapter;
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
