// The kinds of live source a MapAdapter binds.
// Thread safety: declarations only.
//
// Signal, Value and ByteField are the host's vehicle-bus sources (CAN signals decoded by the host's
// framework); VehicleProperty is a property of a vehicle-property library; the two database kinds
// are booleans of the persistent store. SharedLibrary marks a library-call property whose library
// was refused when the map was loaded: that adapter never has a source.
#pragma once

#include "kest/vehiclebus/ByteField.h"
#include "kest/vehiclebus/Signal.h"
#include "kest/vehiclebus/Value.h"
#include "kolconfig/Types.h"

using Signal = VehicleBus::Signal;        // a boolean CAN signal of the vehicle bus
using Value = VehicleBus::Value;          // a numeric CAN signal of the vehicle bus
using ByteField = VehicleBus::ByteField;  // a raw byte field of the vehicle bus
class VehicleProperty;                    // a vehicle property reported by a vehicle-property library
class DatabaseProperty;
class DatabaseVehicleProperty;
class SharedLibrary;

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
template <>
struct SourceKind<SharedLibrary> {
  static constexpr const char* kName = "SharedLibrary";
};
