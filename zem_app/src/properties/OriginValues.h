// Value access per origin kind: getValue / setValue / getConfig, generic and one specialisation per kind.
// Thread safety: stateless; the store and host services synchronise themselves (map lock held by callers).
//
// OriginMapItem dispatches to these functions.
//  - Literals read back the text of their `value` exactly as written ("007" stays "007").
//  - Persisted kinds read and write the persistent store under their `key`.
//  - The component log level is sent to its component before it is stored.
//  - The backend profile switches the backend configuration file before it is stored.
//  - Certificates are read and stored as Base64 through the security service's slots.
//  - Live-source adapters read their source; without a source they answer an empty string.
// Writes of a value of another kind than the origin's are refused (false) and store nothing. A
// written value is never taken over.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kest/ApplicationLogger.h"
#include "kolconfig/Types.h"
#include "properties/MapAdapter.h"
#include "values/BaseValue.h"
#include "values/StringValue.h"

// A property's value: null means no value; a value counts as present when set and valid.
using PropertyValue = std::shared_ptr<BaseValue>;

// A byte field's text: "0x", then two upper-case hexadecimal digits per byte, high nibble first, in
// the order of the bytes in the message, zero-filled on the left to at least 4 digits ({0xAB} gives
// "0x00AB", {} gives "0x0000", {0x12, 0x34, 0x56} gives "0x123456").
std::string byteFieldText(const std::vector<std::uint8_t>& bytes);

// Generic versions: the origin kind does not support the operation.
// Returns an empty (invalid) StringValue.
template <class T>
PropertyValue getValue(const T&) {
  ZEM_WARN("Generic getValue(const T&) called as type is not recognised. " << T::staticTypeName());
  ZEM_WARN("Returning Empty string");
  return std::make_shared<StringValue>();
}
// Returns false; nothing is written.
template <class T>
bool setValue(const T&, const Sarnet_Configuration::Types::PersistedValue*) {
  ZEM_WARN("Generic setValue(const T&) called as type is not recognised. " << T::staticTypeName());
  return false;
}
// Returns null.
template <class T>
const Sarnet_Configuration::Types::PropertyOrigin* getConfig(const T&) {
  ZEM_WARN("Generic getConfig(const T&) called as type is not recognised. " << T::staticTypeName());
  return nullptr;
}

// Literals: a StringValue holding the `value` text as written.
template <>
PropertyValue getValue(const Sarnet_Configuration::Types::StringLiteralPropertyOrigin& origin);
template <>
PropertyValue getValue(const Sarnet_Configuration::Types::BooleanLiteralPropertyOrigin& origin);
template <>
PropertyValue getValue(const Sarnet_Configuration::Types::FloatLiteralPropertyOrigin& origin);
template <>
PropertyValue getValue(const Sarnet_Configuration::Types::BytefieldLiteralPropertyOrigin& origin);
template <>
PropertyValue getValue(const Sarnet_Configuration::Types::IntegerLiteralPropertyOrigin& origin);

// Persisted kinds: the store's value under `key` (invalid when absent or of another kind); a
// write stores a value of the origin's own kind only.
template <>
PropertyValue getValue(const Sarnet_Configuration::Types::PersistedStringPropertyOrigin& origin);
template <>
bool setValue(const Sarnet_Configuration::Types::PersistedStringPropertyOrigin& origin,
              const Sarnet_Configuration::Types::PersistedValue* value);
template <>
PropertyValue getValue(const Sarnet_Configuration::Types::PersistedIntegerPropertyOrigin& origin);
template <>
bool setValue(const Sarnet_Configuration::Types::PersistedIntegerPropertyOrigin& origin,
              const Sarnet_Configuration::Types::PersistedValue* value);
template <>
PropertyValue getValue(const Sarnet_Configuration::Types::PersistedFloatPropertyOrigin& origin);
template <>
bool setValue(const Sarnet_Configuration::Types::PersistedFloatPropertyOrigin& origin,
              const Sarnet_Configuration::Types::PersistedValue* value);
template <>
PropertyValue getValue(const Sarnet_Configuration::Types::PersistedByteFieldPropertyOrigin& origin);
template <>
bool setValue(const Sarnet_Configuration::Types::PersistedByteFieldPropertyOrigin& origin,
              const Sarnet_Configuration::Types::PersistedValue* value);
template <>
PropertyValue getValue(const Sarnet_Configuration::Types::PersistedListPropertyOrigin& origin);
template <>
bool setValue(const Sarnet_Configuration::Types::PersistedListPropertyOrigin& origin,
              const Sarnet_Configuration::Types::PersistedValue* value);
template <>
PropertyValue getValue(const Sarnet_Configuration::Types::PersistedMapPropertyOrigin& origin);
template <>
bool setValue(const Sarnet_Configuration::Types::PersistedMapPropertyOrigin& origin,
              const Sarnet_Configuration::Types::PersistedValue* value);

// Component log level (ComponentLogLevelOrigin.cpp): reads the stored level name; a write must be
// a PersistedStringValue naming a LogLevelType value, is sent as "SetComponentLogLevel" {"level"}
// to the origin's component on its interface, and is stored only when the component answered.
template <>
PropertyValue getValue(const Sarnet_Configuration::Types::ComponentLogLevelPropertyOrigin& origin);
template <>
bool setValue(const Sarnet_Configuration::Types::ComponentLogLevelPropertyOrigin& origin,
              const Sarnet_Configuration::Types::PersistedValue* value);

// Backend profile (BackendProfileOrigin.cpp): reads the stored profile name; a write switches the
// backend configuration to the named profile (creating "<profile>.prs" from the configuration when
// it is missing, also when the configuration is still a plain file, as on a fresh unit), stores the
// name and points the security service's connectivity reload at the link. Throws PropertyException with
// the reason on failure (nothing stored). The profile name becomes a file name, so a name that is
// empty, longer than 64 bytes, starts with '.' or holds a byte outside [A-Za-z0-9_.-] is refused
// before anything is touched.
template <>
PropertyValue getValue(const Sarnet_Configuration::Types::TqlBackendConfigPropertyOrigin& origin);
template <>
bool setValue(const Sarnet_Configuration::Types::TqlBackendConfigPropertyOrigin& origin,
              const Sarnet_Configuration::Types::PersistedValue* value);

// Certificates (CertificateOrigin.cpp): the slot's bytes as Base64 (empty when the slot is
// empty); a write decodes a Base64 PersistedStringValue and stores the bytes in the slot. The
// origin element is its configuration.
template <>
PropertyValue getValue(const Sarnet_Configuration::Types::CertificatePropertyOrigin& origin);
template <>
bool setValue(const Sarnet_Configuration::Types::CertificatePropertyOrigin& origin,
              const Sarnet_Configuration::Types::PersistedValue* value);
template <>
const Sarnet_Configuration::Types::PropertyOrigin* getConfig(
    const Sarnet_Configuration::Types::CertificatePropertyOrigin& origin);

// Library calls: a StringValue with the text the library function wrote (empty on any failure,
// which SharedLibraries logs).
template <>
PropertyValue getValue(const Sarnet_Configuration::Types::LibraryCallPropertyOrigin& origin);

// Live sources. Without a source, or before the source has a value (no frame yet): WARN "Empty
// String returned!" and an empty StringValue. A signal reads "true"/"false"; a value its number in
// default stream formatting ("12.5", "1e+06"); a byte field as byteFieldText(); a vehicle property
// "true"/"false" from its cached state.
template <>
PropertyValue getValue(const MapAdapter<Signal>& adapter);
template <>
PropertyValue getValue(const MapAdapter<Value>& adapter);
template <>
PropertyValue getValue(const MapAdapter<ByteField>& adapter);
template <>
PropertyValue getValue(const MapAdapter<VehicleProperty>& adapter);
// A library-call property refused when the map was loaded: no source, so an empty string.
template <>
PropertyValue getValue(const MapAdapter<SharedLibrary>& adapter);
// Store booleans: "true"/"false" from the cached value; a write stores a PersistedBooleanValue
// under the origin's key, after which the store tells the listeners.
template <>
PropertyValue getValue(const MapAdapter<DatabaseProperty>& adapter);
template <>
bool setValue(const MapAdapter<DatabaseProperty>& adapter, const Sarnet_Configuration::Types::PersistedValue* value);
template <>
PropertyValue getValue(const MapAdapter<DatabaseVehicleProperty>& adapter);
template <>
bool setValue(const MapAdapter<DatabaseVehicleProperty>& adapter,
              const Sarnet_Configuration::Types::PersistedValue* value);
