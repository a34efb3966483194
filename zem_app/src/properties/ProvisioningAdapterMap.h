// The property map: the single table of the unit's named properties, built from the installed
// provisioning configuration ("config.xml" in CONFIGS), with the update permissions of each
// property and the monitor registrations.
// Thread safety: every handle forwards to one process-wide implementation whose recursive mutex
// serialises all operations; handles are cheap and may be created on any thread. No operation
// throws to its caller: failures are logged and reported by result (false, "", null).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ipc/MonitorTable.h"
#include "kolconfig/Types.h"

class provisioningAdapter_impl;
namespace VehicleBus {
class BusDispatcher;
}

class ProvisioningAdapterMap {
 public:
  // The property whose value start-up applies as the application's log level. Every write of it
  // (setXmlPropertyResult, updateProperty) accepts only a PersistedStringValue naming a
  // LogLevelType value exactly ("FATAL", "ERROR", "WARNING", "DEBUG", "INFO", "TRACE"); any other
  // value is refused like a value of the wrong kind and nothing is stored.
  static constexpr const char* kLogLevelProperty = "ZEM.LOGLEVEL";

  // Creates the shared implementation on first construction; later handles share it.
  ProvisioningAdapterMap();

  // The bus that CAN sources built by later loads register with (and keep alive); until it is
  // called, the map uses a BusDispatcher of its own. Sources already built keep theirs.
  // REQUIRES: dispatcher != nullptr.
  void setBusDispatcher(std::shared_ptr<VehicleBus::BusDispatcher> dispatcher);
  // Loads the installed configuration when the table is still empty.
  void initialise();
  // Empties the property and permission tables (shutdown). Monitor registrations stay. A later
  // access loads the configuration again.
  void release();
  // Rebuilds both tables from the installed configuration; copes with the file being absent
  // (the table stays empty and every later access retries the load).
  void reloadConfig();

  // The text of the property's current value, or "" when the name is unknown or the property has
  // no valid value (both logged: ERROR, then at most 32 of the known keys at DEBUG).
  std::string getPropertyValue(const std::string& name);

  // Answers the IPC request document `request` (an IpcMessagePropertyRequest of any kind) with a
  // serialised IpcMessagePropertyResult. A document that does not parse is answered with the
  // empty result document; "" only when even that cannot be serialised.
  std::string getXmlPropertyResult(const std::string& request);

  // getXmlPropertyResult and getPropertyValue for a caller that must not wait (the IPC transport's
  // own thread): the same answer, given only when the map is not busy on another thread and the
  // property read is known and holds its value in memory (literals, store booleans). Otherwise
  // false, having done nothing: the caller then takes the ordinary path. Never does file I/O.
  // REQUIRES: answer / value != nullptr.
  bool tryGetXmlPropertyResultAtOnce(const std::string& request, std::string* answer);
  bool tryGetPropertyValueAtOnce(const std::string& name, std::string* value);

  // Applies the IPC update document `update` (IpcMessagePropertyUpdate) on behalf of the caller
  // known by `callerNames` (every component name the bus vouches for), and answers a serialised
  // IpcMessagePropertyResult holding a PropertyUpdateResult. A property with an owner list may be
  // updated only when one of `callerNames` is listed (an empty list is not checked); a refused or
  // failed update stores nothing and answers false.
  std::string setXmlPropertyResult(const std::string& update, const std::vector<std::string>& callerNames);
  // The same for a caller known by `component` alone; an empty `component` is not checked.
  std::string setXmlPropertyResult(const std::string& update, const std::string& component);

  // Writes `value` (not taken over; may be null) to the property `name` without a permission
  // check. Returns true when the origin accepted and stored it.
  bool updateProperty(const Sarnet_Configuration::Types::PersistedValue* value, const std::string& name);

  // Appends to `out` one entry with key `name` and the property's current value as a typed
  // persisted value. Returns false, adding nothing, when the property is unknown or has no valid
  // value. REQUIRES: out != nullptr.
  bool getRequestPropertyResult(const std::string& name, Sarnet_Configuration::Types::PersistedMapValue* out);

  // The origin element of the property for the origin kinds that expose one (certificates), null
  // otherwise or when the name is unknown. The caller shares ownership of an immutable copy, so
  // the element stays valid across a reload of the map.
  std::shared_ptr<const Sarnet_Configuration::Types::PropertyOrigin> getPropertyConfig(const std::string& name);

  // Registers a monitor for the property `name` on behalf of the caller on `connection` (`sender`
  // names it in logs): from then on its changes are announced. Registering twice is once. Returns
  // kAdded, or refuses: kUnknownProperty for a name the map does not hold, kTooManyMonitors when
  // the caller monitors MonitorTable::kMaxNamesPerCaller other names. Refusals are WARNed at most
  // once a second per caller, with their count. Registrations survive reloads and last until
  // removePropertyMonitors for the caller's connection.
  MonitorTable::Result addPropertyMonitor(const std::string& name, const std::string& connection,
                                          const std::string& sender);
  // Drops every registration of the caller on `connection` (it left the bus); a name no other
  // caller monitors is no longer announced.
  void removePropertyMonitors(const std::string& connection);
  // Emits "PropertyValueChanged" {"property": name, "value": value} when `name` is monitored.
  void notifyMonitors(const std::string& name, const std::string& value);

 private:
  static std::shared_ptr<provisioningAdapter_impl> impl_;
};
