// The one implementation behind every ProvisioningAdapterMap handle: property, permission and monitor tables.
// Thread safety: a recursive mutex serialises the property and permission tables; the monitor
// table has its own lock, never held while calling out. Lock order: map lock, then the store's.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "ipc/MonitorTable.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"
#include "properties/OriginMapItem.h"
#include "properties/ParsedRequestCache.h"

class StringValue;
namespace VehicleBus {
class BusDispatcher;
}

// The property table maps a property name to its OriginMapItem; the permission table maps a name
// to the components that may update it (a property without an entry may be updated by any
// component). Both are process-wide (function-local statics of storedMap() and
// getPermissionsMap()) and touched only with mutex_ held. mutex_ is recursive because an origin's
// write may read another property (backend profile) and a store listener may call back into the
// map on the writing thread. notifyMonitors takes only the monitor table's lock, so it may run on
// any thread, the map lock held or not. Loading is defined in ProvisioningAdapterLoading.cpp; reads,
// writes, requests and monitors in ProvisioningAdapterAccess.cpp.
class provisioningAdapter_impl {
 public:
  using MapType = std::unordered_map<std::string, const OriginMapItem>;
  using permissionsType = std::set<std::string>;
  using MapPermissionsType = std::unordered_map<std::string, const permissionsType>;

  // Names beyond this many are not listed in the "Knowns key:" diagnostic of a failed lookup,
  // which a caller naming unknown properties could otherwise make arbitrarily long.
  static constexpr size_t kMaxListedKeys = 32;
  // Longer names are refused as monitors without a lookup: no property is named like that.
  static constexpr size_t kMaxMonitoredNameBytes = 1024;

  // Starts with a BusDispatcher of its own until setBusDispatcher() names the host's.
  provisioningAdapter_impl();
  provisioningAdapter_impl(const provisioningAdapter_impl&) = delete;
  provisioningAdapter_impl& operator=(const provisioningAdapter_impl&) = delete;

  // The operations of ProvisioningAdapterMap, with the same results; see ProvisioningAdapterMap.h.
  void setBusDispatcher(std::shared_ptr<VehicleBus::BusDispatcher> dispatcher);
  void initialise();
  void release();
  void reloadConfig();

  // The property's value as V (StringValue: the value's text; ListValue / MapValue: the value
  // itself). Never null: an empty, invalid V when the name is unknown, the property has no valid
  // value or (lists, maps) a value of another kind; each logged with the known keys.
  template <class V>
  std::shared_ptr<const V> getPropertyValue(const std::string& name);

  // The answer document to the request text: empty when the text does not parse as an
  // IpcMessagePropertyRequest, without a value for an unknown request kind. Never null.
  xmldoc::DocumentPtr<Sarnet_Configuration::Types::IpcMessagePropertyResult> getPropertyResult(
      const std::string& request);
  // getPropertyResult serialised; "" when serialising fails.
  std::string getXmlPropertyResult(const std::string& request);
  // The answers of getXmlPropertyResult and getPropertyValue<StringValue>, given only when they
  // can be had at once: the map lock is free and the property read is known and holds its value in
  // memory (OriginMapItem::holdsValueInMemory). Otherwise false, nothing done and nothing logged,
  // and the caller takes the ordinary path. Never loads the configuration.
  bool tryGetXmlPropertyResultAtOnce(const std::string& request, std::string* answer);
  bool tryGetPropertyValueAtOnce(const std::string& name, std::string* value);

  // Applies the update document on behalf of the caller known by `callerNames` (see
  // ProvisioningAdapterMap): the answer holds a PropertyUpdateResult with the outcome; empty when
  // the text does not parse.
  xmldoc::DocumentPtr<Sarnet_Configuration::Types::IpcMessagePropertyResult> setPropertyResult(
      const std::string& update, const std::vector<std::string>& callerNames);
  std::string setXmlPropertyResult(const std::string& update, const std::vector<std::string>& callerNames);

  // True when the item stored `value`; false (logged) for an unknown name, a refused value or a
  // failed write (a PropertyException of the origin is caught here).
  bool updateProperty(const Sarnet_Configuration::Types::PersistedValue* value, const std::string& name);
  // Appends {name, typed value} to `out`; false, nothing appended, when there is no valid value.
  bool getRequestPropertyResult(const std::string& name, Sarnet_Configuration::Types::PersistedMapValue* out);
  // A copy of the origin element (certificates), shared with the caller; null otherwise.
  std::shared_ptr<const Sarnet_Configuration::Types::PropertyOrigin> getPropertyConfig(const std::string& name);

  // Registers `name` for the caller on `connection` (see ProvisioningAdapterMap).
  MonitorTable::Result addPropertyMonitor(const std::string& name, const std::string& connection,
                                          const std::string& sender);
  // Drops the registrations of the caller on `connection`.
  void removePropertyMonitors(const std::string& connection);
  // Sends "PropertyValueChanged" {"property", "value"} when `name` is monitored; IPC failures are
  // logged and swallowed.
  void notifyMonitors(const std::string& name, const std::string& value);

 private:
  // Adds the properties of the installed "config.xml" to `map` and `permissionsMap`, its CAN
  // sources registered with `bus`. Returns false (logged) when the file is missing, unreadable or
  // does not parse (entries added before a failure stay).
  static bool loadProvisioningConfig(MapType& map, MapPermissionsType& permissionsMap,
                                     const std::shared_ptr<VehicleBus::BusDispatcher>& bus);
  // Adds the properties of one definition under `prefix`: a group adds its owners to
  // `permissions` (shared by the whole top-level definition, so owners accumulate in document
  // order) and recurses with prefix + name + "."; a property adapter adds its origin's item.
  static void createKeyFromOriginAndAddToMap(const Sarnet_Configuration::Types::ProvisioningAdapter* adapter,
                                             MapType& map, const std::string& prefix,
                                             MapPermissionsType& permissionsMap, permissionsType& permissions,
                                             const std::shared_ptr<VehicleBus::BusDispatcher>& bus);

  // The process-wide property table as it is. REQUIRES: mutex_ held.
  static MapType& storedMap();
  // The property table; loads the installed configuration first whenever it is empty.
  // REQUIRES: mutex_ held.
  MapType& getMap();
  // REQUIRES: mutex_ held.
  static MapPermissionsType& getPermissionsMap();

  // The visitors that turn a definition's adapter and its origin into items of the table
  // (ProvisioningAdapterLoading.cpp).
  class AdapterLoader;
  class OriginLoader;
  // Adds `item` (an origin element or a MapAdapter) under `key` unless the key is taken (ERROR).
  template <class ItemType>
  static void addItemToMap(ItemType&& item, const std::string& key, MapType& map, MapPermissionsType& permissionsMap,
                           const permissionsType& permissions);

  // The answer document to a parsed request; `requestText` is only logged. When `readName` is given,
  // `readValue` is that property's value, read already: it is not read again. Never null.
  xmldoc::DocumentPtr<Sarnet_Configuration::Types::IpcMessagePropertyResult> resultFor(
      const Sarnet_Configuration::Types::IpcMessagePropertyRequest& request, const std::string& requestText,
      const std::string* readName = nullptr, const std::shared_ptr<const StringValue>& readValue = nullptr);
  // The property name a request kind reads; null for the kinds that read none or a list or map.
  static const std::string* nameReadBy(const Sarnet_Configuration::Types::IpcMessagePropertyRequest& request);
  // True when `name` is in the table as loaded and its item holds its value. REQUIRES: mutex_ held.
  static bool holdsValueInMemory(const std::string& name);

  // The store keys of the table's persisted booleans, which announce their changes to monitors
  // under that key, so they may be monitored too. Filled and cleared with the table.
  // REQUIRES: mutex_ held.
  static std::set<std::string>& storedBooleanKeys();
  // ERROR "No value found for key <name>", then the known keys at DEBUG. REQUIRES: mutex_ held.
  static void logNotFound(const std::string& name, const MapType& map);

  std::recursive_mutex mutex_;
  // The bus the CAN sources of later loads register with; shared with them. Guarded by mutex_.
  std::shared_ptr<VehicleBus::BusDispatcher> busDispatcher_;
  MonitorTable monitors_;  // synchronises itself
  // The request documents read last, for both request paths; synchronises itself.
  ParsedRequestCache requests_;
};
