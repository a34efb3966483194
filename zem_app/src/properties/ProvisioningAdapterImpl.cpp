#include "properties/ProvisioningAdapterImpl.h"

#include <algorithm>
#include <exception>
#include <fstream>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "ipc/IpcDefinitions.h"
#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/File.h"
#include "kest/ipc/IpcService.h"
#include "kest/vehiclebus/ByteFieldFactory.h"
#include "kest/vehiclebus/SignalFactory.h"
#include "kest/vehiclebus/ValueFactory.h"
#include "kolconfig/XSDEnumException.h"
#include "libraries/SharedLibrary.h"
#include "libraries/VehicleProperty.h"
#include "properties/DatabaseProperty.h"
#include "properties/DatabaseVehicleProperty.h"
#include "properties/MapAdapter.h"
#include "properties/PropertyChangeHandlers.h"
#include "properties/PropertyResultConverter.h"
#include "properties/ProvisioningAdapterMap.h"
#include "values/ListValue.h"
#include "values/MapValue.h"
#include "values/StringValue.h"
#include "values/ValueUtils.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

// Names and texts from IPC callers are cut before they are logged.
constexpr size_t kMaxLoggedNameBytes = 256;
std::string shown(const std::string& text) { return ApplicationLogger::shortened(text, kMaxLoggedNameBytes); }

// The names of a caller as one text: "A, B".
std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

bool isPresent(const PropertyValue& value) { return value && value->isValid(); }

// False, after an ERROR, for a value that `name` must never hold: start-up applies the stored log
// level, so a level it cannot parse would stop every later start. Every write path passes here.
bool fitFor(const std::string& name, const Types::PersistedValue* value) {
  if (name != ProvisioningAdapterMap::kLogLevelProperty) return true;
  const auto* text = dynamic_cast<const Types::PersistedStringValue*>(value);
  if (text != nullptr) {
    try {
      Types::LogLevelType::parse(text->get_stringValue());
      return true;
    } catch (const XSDEnumException&) {
    }
  }
  ZEM_LOG_ESCAPED(log4cplus::ERROR_LOG_LEVEL, ProvisioningAdapterMap::kLogLevelProperty
                                                  << " takes only a log level name, not "
                                                  << (text != nullptr ? "'" + shown(text->get_stringValue()) + "'"
                                                                      : std::string("a value of another kind")));
  return false;
}

// The value as the kind a caller asked for; null when it is not of that kind.
template <class V>
std::shared_ptr<const V> asKind(PropertyValue value) {
  return std::dynamic_pointer_cast<const V>(std::move(value));
}
template <>
std::shared_ptr<const StringValue> asKind<StringValue>(PropertyValue value) {
  // A plain string is handed on as it is; every other kind as its text.
  if (typeid(*value) == typeid(StringValue)) return std::static_pointer_cast<const StringValue>(value);
  return std::make_shared<const StringValue>(value->str());
}

template <class V>
std::shared_ptr<const V> emptyValue() {
  return std::make_shared<const V>(false);
}
template <>
std::shared_ptr<const StringValue> emptyValue<StringValue>() {
  return std::make_shared<const StringValue>();
}

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
template <class Source, class Config>
MapAdapter<Source> liveAdapter(const Config& config, std::shared_ptr<Source> source, const std::string& key) {
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

// The property name of each adapter type, before the prefix.
const std::string& nameOf(const Types::ImeiPropertyAdapter&) {
  static const std::string name = "Imei";
  return name;
}
const std::string& nameOf(const Types::GeoLocationPropertyAdapter&) {
  static const std::string name = "GeoLocation";
  return name;
}
const std::string& nameOf(const Types::TcuIdPropertyAdapter&) {
  static const std::string name = "TcuId";
  return name;
}
const std::string& nameOf(const Types::VinPropertyAdapter&) {
  static const std::string name = "VIN";
  return name;
}
const std::string& nameOf(const Types::SystemTimePropertyAdapter&) {
  static const std::string name = "SystemTime";
  return name;
}
const std::string& nameOf(const Types::VehiclePropertyAdapter& adapter) { return adapter.get_vehicleProperty(); }
template <class AdapterType>
const std::string& nameOf(const AdapterType& adapter) {
  return adapter.get_propertyName();
}

}  // namespace

// ---- loading

provisioningAdapter_impl::MapType& provisioningAdapter_impl::storedMap() {
  static MapType map(10);
  return map;
}

provisioningAdapter_impl::MapType& provisioningAdapter_impl::getMap() {
  MapType& map = storedMap();
  if (map.empty()) loadProvisioningConfig(map, getPermissionsMap());
  return map;
}

provisioningAdapter_impl::MapPermissionsType& provisioningAdapter_impl::getPermissionsMap() {
  static MapPermissionsType permissions(10);
  return permissions;
}

bool provisioningAdapter_impl::loadProvisioningConfig(MapType& map, MapPermissionsType& permissionsMap) {
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
      createKeyFromOriginAndAddToMap(definition.get(), map, "", permissionsMap, permissions);
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
                                                              permissionsType& permissions) {
  if (const auto* group = dynamic_cast<const Types::GroupAdapter*>(adapter)) {
    permissions.insert(group->elements_owner().begin(), group->elements_owner().end());
    const std::string nested = prefix + group->get_name() + ".";
    for (const auto& definition : group->elements_provisioningDefinitions()) {
      createKeyFromOriginAndAddToMap(definition.get(), map, nested, permissionsMap, permissions);
    }
    return;
  }
#define ZEM_PROPERTY_ADAPTER(AdapterType)                                                 \
  if (const auto* typed = dynamic_cast<const Types::AdapterType*>(adapter)) {             \
    addAnyOriginToMap(*typed, prefix + nameOf(*typed), map, permissionsMap, permissions); \
    return;                                                                               \
  }
  ZEM_PROPERTY_ADAPTER(ImeiPropertyAdapter)
  ZEM_PROPERTY_ADAPTER(IntegerPropertyAdapter)
  ZEM_PROPERTY_ADAPTER(FloatPropertyAdapter)
  ZEM_PROPERTY_ADAPTER(GeoLocationPropertyAdapter)
  ZEM_PROPERTY_ADAPTER(VehiclePropertyAdapter)
  ZEM_PROPERTY_ADAPTER(StringPropertyAdapter)
  ZEM_PROPERTY_ADAPTER(TcuIdPropertyAdapter)
  ZEM_PROPERTY_ADAPTER(VinPropertyAdapter)
  ZEM_PROPERTY_ADAPTER(SystemTimePropertyAdapter)
  ZEM_PROPERTY_ADAPTER(BooleanPropertyAdapter)
  ZEM_PROPERTY_ADAPTER(ByteFieldPropertyAdapter)
  ZEM_PROPERTY_ADAPTER(ListPropertyAdapter)
  ZEM_PROPERTY_ADAPTER(MapPropertyAdapter)
#undef ZEM_PROPERTY_ADAPTER
  ZEM_ERROR("ProvisioningAdapter type not recognized: "
            << (adapter != nullptr ? adapter->typeName() : Types::ProvisioningAdapter::staticTypeName()));
}

template <class AdapterType>
void provisioningAdapter_impl::addAnyOriginToMap(const AdapterType& adapter, const std::string& key, MapType& map,
                                                 MapPermissionsType& permissionsMap,
                                                 const permissionsType& permissions) {
  const Types::PropertyOrigin* const origin = adapter.element_origin();
  // Sources (store booleans, CAN signals, library vehicle properties) are built only for a new key:
  // building attaches a listener, which a duplicate would only detach again.
  const auto duplicate = [&] {
    if (map.count(key) == 0) return false;
    ZEM_ERROR("Property with key " << key << " already in map! Ignoring this property!");
    return true;
  };
  // Derived kinds are tested before their bases: the first match decides.
#define ZEM_ORIGIN_ITSELF(OriginType)                                               \
  if (const auto* typed = dynamic_cast<const Types::OriginType*>(origin)) {         \
    addItemToMap(Types::OriginType(*typed), key, map, permissionsMap, permissions); \
    return;                                                                         \
  }
  ZEM_ORIGIN_ITSELF(StringLiteralPropertyOrigin)
  ZEM_ORIGIN_ITSELF(BooleanLiteralPropertyOrigin)
  ZEM_ORIGIN_ITSELF(FloatLiteralPropertyOrigin)
  ZEM_ORIGIN_ITSELF(BytefieldLiteralPropertyOrigin)
  ZEM_ORIGIN_ITSELF(IntegerLiteralPropertyOrigin)
  ZEM_ORIGIN_ITSELF(CertificatePropertyOrigin)
  ZEM_ORIGIN_ITSELF(TqlBackendConfigPropertyOrigin)
  ZEM_ORIGIN_ITSELF(ComponentLogLevelPropertyOrigin)
  ZEM_ORIGIN_ITSELF(PersistedStringPropertyOrigin)
  ZEM_ORIGIN_ITSELF(PersistedIntegerPropertyOrigin)
  ZEM_ORIGIN_ITSELF(PersistedFloatPropertyOrigin)
  if (const auto* typed = dynamic_cast<const Types::PersistedBooleanPropertyOrigin*>(origin)) {
    if (duplicate()) return;
    storedBooleanKeys().insert(typed->get_key());
    if constexpr (std::is_same<AdapterType, Types::VehiclePropertyAdapter>::value) {
      addItemToMap(databaseAdapter<DatabaseVehicleProperty>(*typed, key), key, map, permissionsMap, permissions);
    } else {
      addItemToMap(databaseAdapter<DatabaseProperty>(*typed, key), key, map, permissionsMap, permissions);
    }
    return;
  }
  ZEM_ORIGIN_ITSELF(PersistedByteFieldPropertyOrigin)
  ZEM_ORIGIN_ITSELF(PersistedListPropertyOrigin)
  ZEM_ORIGIN_ITSELF(PersistedMapPropertyOrigin)
  if (const auto* typed = dynamic_cast<const Types::CanBooleanPropertyOrigin*>(origin)) {
    const Types::BooleanSignal* const signal = typed->element_canValue();
    if (dynamic_cast<const Types::BytefieldMatchBooleanSignal*>(signal) != nullptr ||
        dynamic_cast<const Types::ValueRangeBooleanSignal*>(signal) != nullptr) {
      if (duplicate()) return;
      addItemToMap(liveAdapter(*signal, VehicleBus::SignalFactory::create(*signal), key), key, map, permissionsMap,
                   permissions);
    } else {
      ZEM_ERROR("Config not recongnised! "
                << (signal != nullptr ? signal->typeName() : Types::BooleanSignal::staticTypeName()));
    }
    return;
  }
  if (const auto* typed = dynamic_cast<const Types::CanFloatPropertyOrigin*>(origin)) {
    const Types::ValueSignal* const signal = typed->element_canValue();
    if (const auto* array = dynamic_cast<const Types::ArrayValueSignal*>(signal)) {
      if (duplicate()) return;
      addItemToMap(liveAdapter(*array, VehicleBus::ValueFactory::create(*array), key), key, map, permissionsMap,
                   permissions);
    } else {
      ZEM_ERROR("Config not recongnised! "
                << (signal != nullptr ? signal->typeName() : Types::ValueSignal::staticTypeName()));
    }
    return;
  }
  if (const auto* typed = dynamic_cast<const Types::CanBytefieldPropertyOrigin*>(origin)) {
    const Types::ByteFieldSignal* const signal = typed->element_canValue();
    if (dynamic_cast<const Types::RawCanByteFieldSignal*>(signal) != nullptr ||
        dynamic_cast<const Types::J1939ByteFieldSignal*>(signal) != nullptr) {
      if (duplicate()) return;
      addItemToMap(liveAdapter(*signal, VehicleBus::ByteFieldFactory::create(*signal), key), key, map, permissionsMap,
                   permissions);
    } else {
      ZEM_ERROR("Config not recongnised! "
                << (signal != nullptr ? signal->typeName() : Types::ByteFieldSignal::staticTypeName()));
    }
    return;
  }
  // A library is checked here, before anything opens it: one outside the library folders leaves
  // its property in the map without a source, so it reads empty and nothing of the library runs.
  if (const auto* typed = dynamic_cast<const Types::LibraryCallPropertyOrigin*>(origin)) {
    if (duplicate()) return;
    if (libraryAdmitted(typed->get_libraryName(), key)) {
      addItemToMap(Types::LibraryCallPropertyOrigin(*typed), key, map, permissionsMap, permissions);
    } else {
      std::shared_ptr<const Types::XmlNode> copy(typed->cloneNode());
      addItemToMap(MapAdapter<SharedLibrary>(std::move(copy), nullptr, nullptr), key, map, permissionsMap, permissions);
    }
    return;
  }
  if (const auto* typed = dynamic_cast<const Types::LibraryCallVehiclePropertyOrigin*>(origin)) {
    if (duplicate()) return;
    std::shared_ptr<VehicleProperty> source;
    if (libraryAdmitted(typed->get_libraryName(), key)) source = VehicleProperty::create(*typed);
    addItemToMap(liveAdapter(*typed, std::move(source), key), key, map, permissionsMap, permissions);
    return;
  }
#undef ZEM_ORIGIN_ITSELF
  ZEM_ERROR("Origin type not recognised!");
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

// ---- reading

void provisioningAdapter_impl::logNotFound(const std::string& name, const MapType& map) {
  ZEM_ERROR("No value found for key " << shown(name));
  if (!ApplicationLogger::isEnabled(ApplicationLogger::logger(), log4cplus::DEBUG_LOG_LEVEL)) return;
  ZEM_DEBUG("Knowns key:");
  size_t listed = 0;
  for (const auto& entry : map) {
    if (listed == kMaxListedKeys) break;
    ZEM_DEBUG("    " << entry.first);
    ++listed;
  }
  if (map.size() > listed) ZEM_DEBUG("    ... and " << map.size() - listed << " more");
}

template <class V>
std::shared_ptr<const V> provisioningAdapter_impl::getPropertyValue(const std::string& name) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const MapType& map = getMap();
  const auto found = map.find(name);
  if (found == map.end()) {
    logNotFound(name, map);
    return emptyValue<V>();
  }
  PropertyValue value = found->second.getValue_();
  std::shared_ptr<const V> typed = isPresent(value) ? asKind<V>(std::move(value)) : nullptr;
  if (!typed) {
    logNotFound(name, map);
    return emptyValue<V>();
  }
  ZEM_DEBUG("Found a value for property key " << name << " : " << typed->str());
  return typed;
}

template std::shared_ptr<const StringValue> provisioningAdapter_impl::getPropertyValue<StringValue>(
    const std::string& name);
template std::shared_ptr<const ListValue> provisioningAdapter_impl::getPropertyValue<ListValue>(
    const std::string& name);
template std::shared_ptr<const MapValue> provisioningAdapter_impl::getPropertyValue<MapValue>(const std::string& name);

namespace {

// A scalar result read from `readName`, with `property` set unless the result kind has none.
template <class Result>
void addScalarResult(provisioningAdapter_impl& impl, Types::IpcMessagePropertyResult& document,
                     const std::string& readName, const std::string* property) {
  const std::shared_ptr<const StringValue> value = impl.getPropertyValue<StringValue>(readName);
  auto* result = document.add_node_value<Result>();
  result->set_value(value->getText());
  if constexpr (!std::is_same<Result, Types::ImeiPropertyResult>::value &&
                !std::is_same<Result, Types::TcuIdPropertyResult>::value &&
                !std::is_same<Result, Types::VinPropertyResult>::value) {
    if (property != nullptr) result->set_property(*property);
  }
}

}  // namespace

xmldoc::DocumentPtr<Types::IpcMessagePropertyResult> provisioningAdapter_impl::getPropertyResult(
    const std::string& request) {
  xmldoc::DocumentPtr<Types::IpcMessagePropertyRequest> parsed;
  try {
    parsed = xmldoc::parseString<Types::IpcMessagePropertyRequest>(request);
  } catch (const std::exception& e) {
    ZEM_ERROR(e.what());
    ZEM_ERROR("Unable to parse request - xml/schema out of date?");
    return xmldoc::createDocument<Types::IpcMessagePropertyResult>();
  }
  return resultFor(*parsed, request);
}

const std::string* provisioningAdapter_impl::nameReadBy(const Types::IpcMessagePropertyRequest& r) {
  static const std::string kImei = "Imei";
  static const std::string kSystemTime = "SystemTime";
  static const std::string kTcuId = "TcuId";
  static const std::string kVin = "VIN";
  if (const auto* q = dynamic_cast<const Types::IpcMessageStringPropertyRequest*>(&r)) return &q->get_propertyName();
  if (const auto* q = dynamic_cast<const Types::IpcMessageIntegerPropertyRequest*>(&r)) return &q->get_propertyName();
  if (const auto* q = dynamic_cast<const Types::IpcMessageFloatPropertyRequest*>(&r)) return &q->get_propertyName();
  if (const auto* q = dynamic_cast<const Types::IpcMessageBooleanPropertyRequest*>(&r)) return &q->get_propertyName();
  if (const auto* q = dynamic_cast<const Types::IpcMessageByteFieldPropertyRequest*>(&r)) return &q->get_propertyName();
  if (const auto* q = dynamic_cast<const Types::IpcMessageVehiclePropertyRequest*>(&r))
    return &q->get_vehicleProperty();
  if (dynamic_cast<const Types::IpcMessageImeiPropertyRequest*>(&r) != nullptr) return &kImei;
  if (dynamic_cast<const Types::IpcMessageSystemTimePropertyRequest*>(&r) != nullptr) return &kSystemTime;
  if (dynamic_cast<const Types::IpcMessageTcuIdPropertyRequest*>(&r) != nullptr) return &kTcuId;
  if (dynamic_cast<const Types::IpcMessageVinPropertyRequest*>(&r) != nullptr) return &kVin;
  return nullptr;
}

bool provisioningAdapter_impl::holdsValueInMemory(const std::string& name) {
  const MapType& map = storedMap();
  const auto found = map.find(name);
  return found != map.end() && found->second.holdsValueInMemory();
}

bool provisioningAdapter_impl::tryGetXmlPropertyResultAtOnce(const std::string& request, std::string* answer) {
  xmldoc::DocumentPtr<Types::IpcMessagePropertyRequest> parsed;
  try {
    parsed = xmldoc::parseString<Types::IpcMessagePropertyRequest>(request);
  } catch (const std::exception&) {
    return false;  // the ordinary path answers and logs it
  }
  const std::string* name = nameReadBy(*parsed);
  if (name == nullptr) return false;
  std::unique_lock<std::recursive_mutex> lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock() || !holdsValueInMemory(*name)) return false;
  ZEM_TRACE("Xml Content: " << ApplicationLogger::shortened(request, ApplicationLogger::kMaxMessageBytes));
  try {
    *answer = xmldoc::toString(*resultFor(*parsed, request));
  } catch (const std::exception&) {
    return false;
  }
  ZEM_TRACE("Xml content: " << *answer);
  return true;
}

bool provisioningAdapter_impl::tryGetPropertyValueAtOnce(const std::string& name, std::string* value) {
  std::unique_lock<std::recursive_mutex> lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock() || !holdsValueInMemory(name)) return false;
  *value = getPropertyValue<StringValue>(name)->getText();
  return true;
}

xmldoc::DocumentPtr<Types::IpcMessagePropertyResult> provisioningAdapter_impl::resultFor(
    const Types::IpcMessagePropertyRequest& request, const std::string& requestText) {
  auto document = xmldoc::createDocument<Types::IpcMessagePropertyResult>();
  const Types::IpcMessagePropertyRequest* const r = &request;
  if (const auto* q = dynamic_cast<const Types::IpcMessageStringPropertyRequest*>(r)) {
    addScalarResult<Types::StringPropertyResult>(*this, *document, q->get_propertyName(), &q->get_propertyName());
  } else if (const auto* q = dynamic_cast<const Types::IpcMessageIntegerPropertyRequest*>(r)) {
    addScalarResult<Types::IntegerPropertyResult>(*this, *document, q->get_propertyName(), &q->get_propertyName());
  } else if (const auto* q = dynamic_cast<const Types::IpcMessageFloatPropertyRequest*>(r)) {
    addScalarResult<Types::FloatPropertyResult>(*this, *document, q->get_propertyName(), &q->get_propertyName());
  } else if (const auto* q = dynamic_cast<const Types::IpcMessageBooleanPropertyRequest*>(r)) {
    addScalarResult<Types::SimpleBooleanPropertyResult>(*this, *document, q->get_propertyName(),
                                                        &q->get_propertyName());
  } else if (const auto* q = dynamic_cast<const Types::IpcMessageByteFieldPropertyRequest*>(r)) {
    addScalarResult<Types::ByteFieldPropertyResult>(*this, *document, q->get_propertyName(), &q->get_propertyName());
  } else if (const auto* q = dynamic_cast<const Types::IpcMessageVehiclePropertyRequest*>(r)) {
    addScalarResult<Types::BooleanPropertyResult>(*this, *document, q->get_vehicleProperty(),
                                                  &q->get_vehicleProperty());
  } else if (dynamic_cast<const Types::IpcMessageImeiPropertyRequest*>(r) != nullptr) {
    addScalarResult<Types::ImeiPropertyResult>(*this, *document, "Imei", nullptr);
  } else if (dynamic_cast<const Types::IpcMessageSystemTimePropertyRequest*>(r) != nullptr) {
    addScalarResult<Types::StringPropertyResult>(*this, *document, "SystemTime", nullptr);
  } else if (dynamic_cast<const Types::IpcMessageTcuIdPropertyRequest*>(r) != nullptr) {
    addScalarResult<Types::TcuIdPropertyResult>(*this, *document, "TcuId", nullptr);
  } else if (dynamic_cast<const Types::IpcMessageVinPropertyRequest*>(r) != nullptr) {
    addScalarResult<Types::VinPropertyResult>(*this, *document, "VIN", nullptr);
  } else if (dynamic_cast<const Types::IpcMessageGeoLocationPropertyRequest*>(r) != nullptr) {
    document->add_node_value<Types::GeolocationPropertyResult>();
    ZEM_WARN("No support for GeolocationPropertyResults yet!");
  } else if (const auto* q = dynamic_cast<const Types::IpcMessageListPropertyRequest*>(r)) {
    const std::shared_ptr<const ListValue> value = getPropertyValue<ListValue>(q->get_propertyName());
    auto* result = document->add_node_value<Types::ListPropertyResult>();
    result->set_property(q->get_propertyName());
    convertValueToResult(result, *value);
  } else if (const auto* q = dynamic_cast<const Types::IpcMessageMapPropertyRequest*>(r)) {
    const std::shared_ptr<const MapValue> value = getPropertyValue<MapValue>(q->get_propertyName());
    auto* result = document->add_node_value<Types::MapPropertyResult>();
    result->set_property(q->get_propertyName());
    convertValueToResult(result, *value);
  } else {
    ZEM_ERROR("Property Request not recognised: " << shown(requestText));
  }
  return document;
}

std::string provisioningAdapter_impl::getXmlPropertyResult(const std::string& request) {
  ZEM_TRACE("Xml Content: " << ApplicationLogger::shortened(request, ApplicationLogger::kMaxMessageBytes));
  try {
    std::string answer = xmldoc::toString(*getPropertyResult(request));
    ZEM_TRACE("Xml content: " << answer);
    return answer;
  } catch (const std::exception& e) {
    ZEM_ERROR("Unable to serialise the property result: " << e.what());
    return std::string();
  }
}

// ---- writing

xmldoc::DocumentPtr<Types::IpcMessagePropertyResult> provisioningAdapter_impl::setPropertyResult(
    const std::string& update, const std::vector<std::string>& callerNames) {
  auto document = xmldoc::createDocument<Types::IpcMessagePropertyResult>();
  xmldoc::DocumentPtr<Types::IpcMessagePropertyUpdate> parsed;
  try {
    parsed = xmldoc::parseString<Types::IpcMessagePropertyUpdate>(update);
  } catch (const std::exception& e) {
    ZEM_ERROR(e.what());
    ZEM_ERROR("Unable to parse request - xml/schema out of date?");
    return document;
  }
  bool outcome = false;
  {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const std::string& name = parsed->get_propertyName();
    const Types::PersistedValue* const value = parsed->element_propertyValue();
    const MapType& map = getMap();
    const MapPermissionsType& permissionsMap = getPermissionsMap();
    const auto permitted = permissionsMap.find(name);
    const auto isOwner = [&](const std::string& component) { return permitted->second.count(component) != 0; };
    if (!callerNames.empty() && permitted != permissionsMap.end() &&
        std::none_of(callerNames.begin(), callerNames.end(), isOwner)) {
      ZEM_WARN("Update of property " << name << " is not allowed because the updating component ("
                                     << shown(joined(callerNames)) << ") does not having update permissions");
    } else {
      const auto found = map.find(name);
      try {
        outcome = found != map.end() && fitFor(name, value) && found->second.setValue_(value);
      } catch (const std::exception& e) {
        ZEM_ERROR(e.what());
      }
      if (outcome) {
        printValue(name, value);
      } else {
        ZEM_ERROR("Cannot update value for property key " << shown(name));
      }
    }
  }
  document->add_node_value<Types::PropertyUpdateResult>()->set_value(outcome);
  return document;
}

std::string provisioningAdapter_impl::setXmlPropertyResult(const std::string& update,
                                                           const std::vector<std::string>& callerNames) {
  ZEM_TRACE("Xml Content: " << ApplicationLogger::shortened(update, ApplicationLogger::kMaxMessageBytes));
  try {
    std::string answer = xmldoc::toString(*setPropertyResult(update, callerNames));
    ZEM_TRACE("Xml content: " << answer);
    return answer;
  } catch (const std::exception& e) {
    ZEM_ERROR("Unable to serialise the property update result: " << e.what());
    return std::string();
  }
}

bool provisioningAdapter_impl::updateProperty(const Types::PersistedValue* value, const std::string& name) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const MapType& map = getMap();
  const auto found = map.find(name);
  bool updated = false;
  try {
    updated = found != map.end() && fitFor(name, value) && found->second.setValue_(value);
  } catch (const std::exception& e) {
    ZEM_ERROR(e.what());
  }
  if (updated) {
    ZEM_DEBUG("Updated value for property key " << name);
  } else {
    ZEM_ERROR("Cannot update value for property key " << shown(name));
  }
  return updated;
}

bool provisioningAdapter_impl::getRequestPropertyResult(const std::string& name, Types::PersistedMapValue* out) {
  if (out == nullptr) return false;
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const MapType& map = getMap();
  const auto found = map.find(name);
  const PropertyValue value = found != map.end() ? found->second.getValue_() : nullptr;
  if (!isPresent(value)) {
    ZEM_ERROR("No value found for property key " << shown(name));
    return false;
  }
  ZEM_DEBUG("Found a value for property key " << name);
  auto* entry = out->add_node_entry();
  entry->set_key(name);
  entry->set_element_value(toPersistedValue(*value));
  return true;
}

std::shared_ptr<const Types::PropertyOrigin> provisioningAdapter_impl::getPropertyConfig(const std::string& name) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  const MapType& map = getMap();
  const auto found = map.find(name);
  if (found == map.end()) {
    ZEM_ERROR("No configuration found for property key " << shown(name));
    return nullptr;
  }
  const Types::PropertyOrigin* const config = found->second.getConfig_();
  if (config == nullptr) return nullptr;
  // A copy of the dynamic type, shared with the caller: valid across a reload of the map.
  std::unique_ptr<Types::XmlNode> copy = config->cloneNode();
  return std::shared_ptr<const Types::PropertyOrigin>(static_cast<const Types::PropertyOrigin*>(copy.release()));
}

// ---- monitors

MonitorTable::Result provisioningAdapter_impl::addPropertyMonitor(const std::string& name,
                                                                  const std::string& connection,
                                                                  const std::string& sender) {
  bool known = false;
  if (name.size() <= kMaxMonitoredNameBytes) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    const MapType& map = storedMap();  // as loaded: a refusal never retries a missing configuration
    known = map.count(name) != 0 || storedBooleanKeys().count(name) != 0;
  }
  // The map lock is released first: a store write holds it while it takes the monitor table's.
  return monitors_.add(name, known, connection, sender);
}

std::set<std::string>& provisioningAdapter_impl::storedBooleanKeys() {
  static std::set<std::string> keys;
  return keys;
}

void provisioningAdapter_impl::removePropertyMonitors(const std::string& connection) {
  monitors_.dropCaller(connection);
}

void provisioningAdapter_impl::notifyMonitors(const std::string& name, const std::string& value) {
  if (!monitors_.isMonitored(name)) return;
  try {
    Ipc::IpcService* const service = Ipc::IpcService::getInstance();
    if (service == nullptr) throw Ipc::IpcException("no IPC service");
    Ipc::IpcParameterSet parameters;
    parameters.add(std::make_unique<Ipc::IpcStringParameter>("property", name));
    parameters.add(std::make_unique<Ipc::IpcStringParameter>("value", value));
    service->sendSignal(IpcDefinitions::propertyValueChanged(), parameters);
  } catch (const std::exception& e) {
    ZEM_ERROR("Unable to notify registered monitor for property" << shown(name) << " : " << e.what());
  }
}
