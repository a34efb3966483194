// The kinds of live source a MapAdapter binds, and the listener of vehicle-property changes.
// Thread safety: declarations only.
//
// Signal, Value, ByteField and VehicleProperty are declared here as incomplete placeholder types:
// this build binds no vehicle bus and no vehicle-property library, so every adapter of these
// kinds holds no source object (a null pointer) and answers as an adapter without a source. The
// host's vehicle-bus classes and the vehicle-property library replace these declarations; the
// adapters only ever hold them through std::shared_ptr, so nothing else has to change.
#pragma once

#include "kolconfig/Types.h"

class Signal;           // a boolean CAN signal of the vehicle bus
class Value;            // a numeric CAN value of the vehicle bus
class ByteField;        // a raw CAN byte field of the vehicle bus
class VehicleProperty;  // a vehicle property reported by the vehicle-property library
class DatabaseProperty;
class DatabaseVehicleProperty;

// Told when a vehicle property changes. Called on the thread that observed the change; must not
// throw. Stands in for the vehicle-property library's listener interface, which replaces it when
// that library is bound.
class VehiclePropertyEventListener {
 public:
  virtual ~VehiclePropertyEventListener() = default;
  virtual void vehiclePropertyEvent(Sarnet_Configuration::Types::VehiclePropertyType::Enum property, bool value) = 0;
};

// The name of each source kind, as it appears in "MapAdapter<...>" type names in log lines.
template <class Source>
struct SourceKind;
template <>
struct SourceKind<Signal> {
  static constexpr const char* kName = "Signal";
};
template <>
struct SourceKind<Value> {
  static constexpr const char* kName = "Value";
};
template <>
struct SourceKind<ByteField> {
  static constexpr const char* kName = "ByteField";
};
template <>
struct SourceKind<VehicleProperty> {
  static constexpr const char* kName = "VehicleProperty";
};
template <>
struct SourceKind<DatabaseProperty> {
  static constexpr const char* kName = "DatabaseProperty";
};
template <>
struct SourceKind<DatabaseVehicleProperty> {
  static constexpr const char* kName = "DatabaseVehicleProperty";
};
