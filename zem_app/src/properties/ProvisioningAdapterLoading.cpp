// Loading of the property table: from the installed configuration document to one OriginMapItem
// per property. Which item an adapter and its origin become is decided by the generated visitors
// over their most-derived schema types, so a type added to the schema does not compile here until
// it is given its own handling.
#include <exception>
#include <fstream>
#include <utility>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/File.h"
#include "kest/vehiclebus/BusDispatcher.h"
#include "kest/vehiclebus/ByteFieldFactory.h"
#include "kest/vehiclebus/SignalFactory.h"
#include "kest/vehiclebus/ValueFactory.h"
#include "libraries/SharedLibrary.h"
#include "libraries/VehicleProperty.h"
#include "properties/DatabaseProperty.h"
#include "properties/DatabaseVehicleProperty.h"
#include "properties/MapAdapter.h"
#include "properties/PropertyChangeHandlers.h"
#include "properties/ProvisioningAdapterImpl.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

// Names from the configuration are cut before they are logged.
constexpr size_t kMaxLoggedNameBytes = 256;
std::string shown(const std::string& text) { return ApplicationLogger::shortened(text, kMaxLoggedNameBytes); }

// A MapAdapter over a store boolean, its listener attached.
template <class Source>
MapAdapter<Source> databaseAdapter(const Types::PersistedBooleanPropertyOrigin& origin, const std::string& key) {
  auto config = std::make_shared<const Types::PersistedBooleanPropertyOrigin>(origin);
  auto source = std::make_shared<Source>(origin);
  auto listener = std::make_shared<attachToAsListener<Source>>(source, key);
  return MapAdapter<Source>(std::move(config), std::move(source), std::move(listener));
}

// A MapAdapter over a live source: a polymorphic copy of the element it was built from, the source
// (null when none could be built from the element) and, with a source, its listener.
template <class Source>
MapAdapter<Source> liveAdapter(const Types::XmlNode& config, std::shared_ptr<Source> source, const std::string& key) {
  std::shared_ptr<const Types::XmlNode> copy(config.cloneNode());
  std::shared_ptr<attachToAsListener<Source>> listener;
  if (source) listener = std::make_shared<attachToAsListener<Source>>(source, key);
  return MapAdapter<Source>(std::move(copy), std::move(source), std::move(listener));
}

// True when `library` may be loaded (SharedLibrary::trustedPath); otherwise an ERROR naming it and
// the property `key`, both escaped and bounded.
bool libraryAdmitted(const std::string& library, const std::string& key) {
  if (SharedLibrary::trustedPath(library)) return true;
  ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL,
                  "Library refused, not in a library folder: " << shown(library) << " (property " << shown(key) << ")");
  return false;
}

}  // namespace

// Adds the item of one origin (and, for a CAN origin, of its signal) under one key. Literal and
// store origins are copied as their most-derived type; live sources are built only for a new key,
// since building attaches a listener, which a duplicate would only detach again.
class provisioningAdapter_impl::OriginLoader final : public Types::PropertyOriginVisitor,
                                                     public Types::BooleanSignalVisitor,
                                                     public Types::ValueSignalVisitor,
                                                     public Types::ByteFieldSignalVisitor {
 public:
  // `vehicleProperty`: the origin belongs to a VehiclePropertyAdapter (a store boolean then
  // becomes a DatabaseVehicleProperty).
  OriginLoader(bool vehicleProperty, const std::string& key, MapType& map, MapPermissionsType& permissionsMap,
               const permissionsType& permissions, const std::shared_ptr<VehicleBus::BusDispatcher>& bus)
      : vehicleProperty_(vehicleProperty),
        key_(key),
        map_(map),
        permissionsMap_(permissionsMap),
        permissions_(permissions),
        bus_(bus) {}

  void load(const Types::PropertyOrigin* origin) {
    if (origin == nullptr || !origin->accept(*this)) ZEM_ERROR("Origin type not recognised!");
  }

  void visit(const Types::StringLiteralPropertyOrigin& o) override { itself(o); }
  void visit(const Types::BooleanLiteralPropertyOrigin& o) override { itself(o); }
  void visit(const Types::FloatLiteralPropertyOrigin& o) override { itself(o); }
  void visit(const Types::BytefieldLiteralPropertyOrigin& o) override { itself(o); }
  void visit(const Types::IntegerLiteralPropertyOrigin& o) override { itself(o); }
  void visit(const Types::CertificatePropertyOrigin& o) override { itself(o); }
  void visit(const Types::TqlBackendConfigPropertyOrigin& o) override { itself(o); }
  void visit(const Types::ComponentLogLevelPropertyOrigin& o) override { itself(o); }
  void visit(const Types::PersistedStringPropertyOrigin& o) override { itself(o); }
  void visit(const Types::PersistedIntegerPropertyOrigin& o) override { itself(o); }
  void visit(const Types::PersistedFloatPropertyOrigin& o) override { itself(o); }
  void visit(const Types::PersistedByteFieldPropertyOrigin& o) override { itself(o); }
  void visit(const Types::PersistedListPropertyOrigin& o) override { itself(o); }
  void visit(const Types::PersistedMapPropertyOrigin& o) override { itself(o); }

  void visit(const Types::PersistedBooleanPropertyOrigin& o) override {
    if (duplicate()) return;
    storedBooleanKeys().insert(o.get_key());
    if (vehicleProperty_) {
      add(databaseAdapter<DatabaseVehicleProperty>(o, key_));
    } else {
      add(databaseAdapter<DatabaseProperty>(o, key_));
    }
  }

  void visit(const Types::CanBooleanPropertyOrigin& o) override { signal<Types::BooleanSignal>(o.element_canValue()); }
  void visit(const Types::CanFloatPropertyOrigin& o) override { signal<Types::ValueSignal>(o.element_canValue()); }
  void visit(const Types::CanBytefieldPropertyOrigin& o) override {
    signal<Types::ByteFieldSignal>(o.element_canValue());
  }

  // A library is checked here, before anything opens it: one outside the library folders leaves
  // its property in the map without a source, so it reads empty and nothing of the library runs.
  void visit(const Types::LibraryCallPropertyOrigin& o) override {
    if (duplicate()) return;
    if (libraryAdmitted(o.get_libraryName(), key_)) {
      add(Types::LibraryCallPropertyOrigin(o));
    } else {
      std::shared_ptr<const Types::XmlNode> copy(o.cloneNode());
      add(MapAdapter<SharedLibrary>(std::move(copy), nullptr, nullptr));
    }
  }
  void visit(const Types::LibraryCallVehiclePropertyOrigin& o) override {
    if (duplicate()) return;
    std::shared_ptr<VehicleProperty> source;
    if (libraryAdmitted(o.get_libraryName(), key_)) source = VehicleProperty::create(o);
    add(liveAdapter(o, std::move(source), key_));
  }

  // The plain signal bases name no bits to watch: no source is built from them.
  void visit(const Types::BooleanSignal& s) override { notRecognised(s.typeName()); }
  void visit(const Types::BytefieldMatchBooleanSignal& s) override {
    live(s, VehicleBus::SignalFactory::create(s, bus_));
  }
  void visit(const Types::ValueRangeBooleanSignal& s) override { live(s, VehicleBus::SignalFactory::create(s, bus_)); }
  void visit(const Types::ValueSignal& s) override { notRecognised(s.typeName()); }
  void visit(const Types::ArrayValueSignal& s) override { live(s, VehicleBus::ValueFactory::create(s, bus_)); }
  void visit(const Types::ByteFieldSignal& s) override { notRecognised(s.typeName()); }
  void visit(const Types::RawCanByteFieldSignal& s) override { live(s, VehicleBus::ByteFieldFactory::create(s, bus_)); }
  void visit(const Types::J1939ByteFieldSignal& s) override { live(s, VehicleBus::ByteFieldFactory::create(s, bus_)); }

 private:
  bool duplicate() const {
    if (map_.count(key_) == 0) return false;
    ZEM_ERROR("Property with key " << key_ << " already in map! Ignoring this property!");
    return true;
  }
  template <class Item>
  void add(Item&& item) {
    addItemToMap(std::forward<Item>(item), key_, map_, permissionsMap_, permissions_);
  }
  // The origin element itself, copied as its most-derived type.
  template <class Origin>
  void itself(const Origin& origin) {
    add(Origin(origin));
  }
  template <class Signal>
  void signal(const Signal* node) {
    if (node == nullptr || !node->accept(*this)) notRecognised(Signal::staticTypeName());
  }
  template <class Source>
  void live(const Types::XmlNode& signal, std::shared_ptr<Source> source) {
    if (duplicate()) return;
    add(liveAdapter(signal, std::move(source), key_));
  }
  static void notRecognised(const std::string& typeName) { ZEM_ERROR("Config not recongnised! " << typeName); }

  const bool vehicleProperty_;
  const std::string& key_;
  MapType& map_;
  MapPermissionsType& permissionsMap_;
  const permissionsType& permissions_;
  const std::shared_ptr<VehicleBus::BusDispatcher>& bus_;
};

// Adds the properties of one definition: a group recurses with its name as a prefix and adds its
// owners to the permissions; a property adapter adds its origin's item under prefix + its name.
class provisioningAdapter_impl::AdapterLoader final : public Types::ProvisioningAdapterVisitor {
 public:
  AdapterLoader(const std::string& prefix, MapType& map, MapPermissionsType& permissionsMap,
                permissionsType& permissions, const std::shared_ptr<VehicleBus::BusDispatcher>& bus)
      : prefix_(prefix), map_(map), permissionsMap_(permissionsMap), permissions_(permissions), bus_(bus) {}

  void visit(const Types::GroupAdapter& group) override {
    permissions_.insert(group.elements_owner().begin(), group.elements_owner().end());
    const std::string nested = prefix_ + group.get_name() + ".";
    for (const auto& definition : group.elements_provisioningDefinitions()) {
      createKeyFromOriginAndAddToMap(definition.get(), map_, nested, permissionsMap_, permissions_, bus_);
    }
  }
  void visit(const Types::ImeiPropertyAdapter& a) override { origin(a, "Imei"); }
  void visit(const Types::GeoLocationPropertyAdapter& a) override { origin(a, "GeoLocation"); }
  void visit(const Types::TcuIdPropertyAdapter& a) override { origin(a, "TcuId"); }
  void visit(const Types::VinPropertyAdapter& a) override { origin(a, "VIN"); }
  void visit(const Types::SystemTimePropertyAdapter& a) override { origin(a, "SystemTime"); }
  void visit(const Types::VehiclePropertyAdapter& a) override { origin(a, a.get_vehicleProperty(), true); }
  void visit(const Types::IntegerPropertyAdapter& a) override { origin(a, a.get_propertyName()); }
  void visit(const Types::FloatPropertyAdapter& a) override { origin(a, a.get_propertyName()); }
  void visit(const Types::StringPropertyAdapter& a) override { origin(a, a.get_propertyName()); }
  void visit(const Types::BooleanPropertyAdapter& a) override { origin(a, a.get_propertyName()); }
  void visit(const Types::ByteFieldPropertyAdapter& a) override { origin(a, a.get_propertyName()); }
  void visit(const Types::ListPropertyAdapter& a) override { origin(a, a.get_propertyName()); }
  void visit(const Types::MapPropertyAdapter& a) override { origin(a, a.get_propertyName()); }

 private:
  template <class Adapter>
  void origin(const Adapter& adapter, const std::string& name, bool vehicleProperty = false) {
    OriginLoader(vehicleProperty, prefix_ + name, map_, permissionsMap_, permissions_, bus_)
        .load(adapter.element_origin());
  }

  const std::string& prefix_;
  MapType& map_;
  MapPermissionsType& permissionsMap_;
  permissionsType& permissions_;
  const std::shared_ptr<VehicleBus::BusDispatcher>& bus_;
};

provisioningAdapter_impl::MapType& provisioningAdapter_impl::storedMap() {
  static MapType map(10);
  return map;
}

provisioningAdapter_impl::MapType& provisioningAdapter_impl::getMap() {
  MapType& map = storedMap();
  if (map.empty()) loadProvisioningConfig(map, getPermissionsMap(), busDispatcher_);
  return map;
}

provisioningAdapter_impl::MapPermissionsType& provisioningAdapter_impl::getPermissionsMap() {
  static MapPermissionsType permissions(10);
  return permissions;
}

std::set<std::string>& provisioningAdapter_impl::storedBooleanKeys() {
  static std::set<std::string> keys;
  return keys;
}

bool provisioningAdapter_impl::loadProvisioningConfig(MapType& map, MapPermissionsType& permissionsMap,
                                                      const std::shared_ptr<VehicleBus::BusDispatcher>& bus) {
  const File file(DevicePaths::installedConfigFolder(), DevicePaths::kConfigFileName);
  if (!file.exists()) {
    ZEM_ERROR("Config file doesn't exist: " << file.getAbsolutePath());
    return false;
  }
  if (!std::ifstream(file.getPath(), std::ios::binary)) {
    ZEM_ERROR("Unable to open config file! " << file.getPath());
    return false;
  }
  try {
    // parseFile refuses a file over the document size cap before reading it.
    const auto config = xmldoc::parseFile<Types::ProvisioningConfig>(file.getPath());
    for (const auto& definition : config->elements_provisioningDefinitions()) {
      permissionsType permissions;
      createKeyFromOriginAndAddToMap(definition.get(), map, "", permissionsMap, permissions, bus);
    }
  } catch (const std::exception& e) {
    ZEM_ERROR(e.what());
    ZEM_ERROR("Unable to parse config file: " << file.getPath());
    return false;
  }
  return true;
}

void provisioningAdapter_impl::createKeyFromOriginAndAddToMap(const Types::ProvisioningAdapter* adapter, MapType& map,
                                                              const std::string& prefix,
                                                              MapPermissionsType& permissionsMap,
                                                              permissionsType& permissions,
                                                              const std::shared_ptr<VehicleBus::BusDispatcher>& bus) {
  AdapterLoader loader(prefix, map, permissionsMap, permissions, bus);
  if (adapter == nullptr || !adapter->accept(loader)) {
    ZEM_ERROR("ProvisioningAdapter type not recognized: "
              << (adapter != nullptr ? adapter->typeName() : Types::ProvisioningAdapter::staticTypeName()));
  }
}

template <class ItemType>
void provisioningAdapter_impl::addItemToMap(ItemType&& item, const std::string& key, MapType& map,
                                            MapPermissionsType& permissionsMap, const permissionsType& permissions) {
  using Item = std::decay_t<ItemType>;
  if (map.count(key) != 0) {
    ZEM_ERROR("Property with key " << key << " already in map! Ignoring this property!");
  } else {
    map.emplace(key, OriginMapItem(std::forward<ItemType>(item)));
    if (!permissions.empty()) permissionsMap.emplace(key, permissions);
  }
  ZEM_TRACE("Inserted item to map: key = " << key << " and of type = " << Item::staticTypeName());
  ZEM_TRACE("Number of items in property map: " << map.size());
}

provisioningAdapter_impl::provisioningAdapter_impl() : busDispatcher_(std::make_shared<VehicleBus::BusDispatcher>()) {}

void provisioningAdapter_impl::setBusDispatcher(std::shared_ptr<VehicleBus::BusDispatcher> dispatcher) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  busDispatcher_ = std::move(dispatcher);
}

void provisioningAdapter_impl::initialise() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  getMap();
}

void provisioningAdapter_impl::release() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  storedMap().clear();
  storedBooleanKeys().clear();
  getPermissionsMap().clear();
}

void provisioningAdapter_impl::reloadConfig() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  storedMap().clear();
  storedBooleanKeys().clear();
  getPermissionsMap().clear();
  getMap();
}
