// attachToAsListener<S>: turns a live source's events into change notifications while its map entry lives.
// Thread safety: events arrive on the source's thread; a listener reads only its key and the event.
//
// A listener registers itself with its source on construction and unregisters in its destructor;
// when the destructor returns no event of it runs any more, so destroying a map generation (reload,
// release) ends that generation's notifications.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "libraries/VehiclePropertyEventListener.h"
#include "properties/DatabaseProperty.h"
#include "properties/DatabaseVehicleProperty.h"
#include "properties/LiveSourceKinds.h"

class Database;

template <class Source>
class attachToAsListener;

// Sends the "ZemVehicleProperty" change notification: a serialised IpcMessagePropertyResult whose
// value is a BooleanPropertyResult {property, "true"/"false"}, through the application's
// IpcChangeNotification. Dropped silently when the application has none (not started or shut down).
void sendBooleanChangeNotification(const std::string& property, bool value);

// Told by a DatabaseProperty that its boolean changed; announces it to the monitors of the store
// key ("PropertyValueChanged" with "true"/"false", ProvisioningAdapterMap::notifyMonitors).
// REQUIRES: every setBoolean of the key runs under the map lock (as every write through the map
// does), so that a reload cannot destroy a listener the store is about to call.
template <>
class attachToAsListener<DatabaseProperty> : public DatabaseListener {
 public:
  // Adds `source` to the store's listeners for its key and attaches itself to it. `key` is the
  // property name. REQUIRES: source != nullptr.
  attachToAsListener(std::shared_ptr<DatabaseProperty> source, std::string key);
  // Removes the source from the store's listeners and detaches itself.
  ~attachToAsListener() override;
  attachToAsListener(const attachToAsListener&) = delete;
  attachToAsListener& operator=(const attachToAsListener&) = delete;

  void booleanChanged(const std::string& key, bool value) override;

 private:
  std::shared_ptr<DatabaseProperty> source_;
  std::string key_;
  std::shared_ptr<Database> store_;  // keeps the store alive until the source is unregistered
};

// Told by a DatabaseVehicleProperty that its vehicle property changed; sends the change
// notification with the property's name.
template <>
class attachToAsListener<DatabaseVehicleProperty> : public VehicleProperties::VehiclePropertyEventListener {
 public:
  // As attachToAsListener<DatabaseProperty>. REQUIRES: source != nullptr.
  attachToAsListener(std::shared_ptr<DatabaseVehicleProperty> source, std::string key);
  ~attachToAsListener() override;
  attachToAsListener(const attachToAsListener&) = delete;
  attachToAsListener& operator=(const attachToAsListener&) = delete;

  void vehiclePropertyEvent(Sarnet_Configuration::Types::VehiclePropertyType::Enum property, bool value) override;

 private:
  std::shared_ptr<DatabaseVehicleProperty> source_;
  std::string key_;
  std::shared_ptr<Database> store_;
};

// Told by a boolean CAN signal that its state changed; sends the change notification with the
// property key. Runs on the vehicle bus's dispatching thread.
template <>
class attachToAsListener<Signal> : public VehicleBus::SignalEventListener {
 public:
  // Adds itself to the signal's listeners. REQUIRES: source != nullptr.
  attachToAsListener(std::shared_ptr<Signal> source, std::string key);
  ~attachToAsListener() override;
  attachToAsListener(const attachToAsListener&) = delete;
  attachToAsListener& operator=(const attachToAsListener&) = delete;

  void signalEvent(const Signal& signal, std::int64_t timestampUs, bool state) override;

 private:
  std::shared_ptr<Signal> source_;
  std::string key_;
};

// Numeric CAN values are read when asked for; their events announce nothing.
template <>
class attachToAsListener<Value> : public VehicleBus::ValueEventListener {
 public:
  // REQUIRES: source != nullptr.
  attachToAsListener(std::shared_ptr<Value> source, std::string key);
  ~attachToAsListener() override;
  attachToAsListener(const attachToAsListener&) = delete;
  attachToAsListener& operator=(const attachToAsListener&) = delete;

  void valueEvent(const Value& value, std::int64_t timestampUs, double physical) override;

 private:
  std::shared_ptr<Value> source_;
  std::string key_;
};

// CAN byte fields are read when asked for; their events announce nothing.
template <>
class attachToAsListener<ByteField> : public VehicleBus::ByteFieldEventListener {
 public:
  // REQUIRES: source != nullptr.
  attachToAsListener(std::shared_ptr<ByteField> source, std::string key);
  ~attachToAsListener() override;
  attachToAsListener(const attachToAsListener&) = delete;
  attachToAsListener& operator=(const attachToAsListener&) = delete;

  void byteFieldEvent(const ByteField& field, std::int64_t timestampUs,
                      const std::vector<std::uint8_t>& bytes) override;

 private:
  std::shared_ptr<ByteField> source_;
  std::string key_;
};

// Told by a library vehicle property that it changed; sends the change notification with the
// vehicle property's name. Runs on the library's callback thread.
template <>
class attachToAsListener<VehicleProperty> : public VehicleProperties::VehiclePropertyEventListener {
 public:
  // Attaches itself to the property, which registers the change callback with its library.
  // REQUIRES: source != nullptr.
  attachToAsListener(std::shared_ptr<VehicleProperty> source, std::string key);
  // Detaches: the callback is removed from the library and no event reaches this listener any more.
  ~attachToAsListener() override;
  attachToAsListener(const attachToAsListener&) = delete;
  attachToAsListener& operator=(const attachToAsListener&) = delete;

  void vehiclePropertyEvent(Sarnet_Configuration::Types::VehiclePropertyType::Enum property, bool value) override;

 private:
  std::shared_ptr<VehicleProperty> source_;
  std::string key_;
};
