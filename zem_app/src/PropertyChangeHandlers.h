// attachToAsListener<S>: turns a live source's events into change notifications while its map entry lives.
// Thread safety: events arrive on the source's thread; a listener reads only its key and the event.
//
// A listener registers itself with its source on construction and unregisters in its destructor.
// This build defines the listeners of the persistent-store booleans; those of the vehicle-bus and
// vehicle-property-library sources come with those sources (LiveSourceKinds.h).
#pragma once

#include <memory>
#include <string>

#include "DatabaseProperty.h"
#include "DatabaseVehicleProperty.h"
#include "LiveSourceKinds.h"

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
class attachToAsListener<DatabaseVehicleProperty> : public VehiclePropertyEventListener {
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
