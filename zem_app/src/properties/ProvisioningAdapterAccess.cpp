// Run-time access to the property table: reads, writes, IPC property requests and monitors.
#include "properties/ProvisioningAdapterImpl.h"

#include <algorithm>
#include <exception>
#include <type_traits>
#include <typeinfo>
#include <utility>

#include "ipc/IpcDefinitions.h"
#include "kest/ApplicationLogger.h"
#include "kest/ipc/IpcService.h"
#include "kolconfig/XSDEnumException.h"
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

// The document that `parse` reads from a caller's text; null, after two ERRORs, when it does not parse.
template <class Parse>
auto parsedOrLogged(const Parse& parse) -> decltype(parse()) {
  try {
    return parse();
  } catch (const std::exception& e) {
    ZEM_ERROR(e.what());
    ZEM_ERROR("Unable to parse request - xml/schema out of date?");
    return nullptr;
  }
}

bool isPresent(const PropertyValue& value) { return value && value->isValid(); }

// False, after an ERROR, for a value that `name` must never hold: start-up applies the stored log
// level, so a level it cannot parse would stop every later start. Every write path passes here.
bool fitFor(const std::string& name, const Types::PersistedValue* value) {
  if (name != ProvisioningAdapterMap::kLogLevelProperty) return true;
  const auto* text = Types::exactly<Types::PersistedStringValue>(value);
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
  const auto& held = *value;
  if (typeid(held) == typeid(StringValue)) return std::static_pointer_cast<const StringValue>(value);
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

}  // namespace

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

xmldoc::DocumentPtr<Types::IpcMessagePropertyResult> provisioningAdapter_impl::getPropertyResult(
    const std::string& request) {
  const auto parsed = parsedOrLogged([&] { return requests_.parse(request); });
  if (!parsed) return xmldoc::createDocument<Types::IpcMessagePropertyResult>();
  return resultFor(*parsed, request);
}

namespace {

// The property name a request kind reads; null for the kinds that read none or a list or map.
class RequestedName final : public Types::IpcMessagePropertyRequestVisitor {
 public:
  const std::string* name = nullptr;

  void visit(const Types::IpcMessageStringPropertyRequest& r) override { name = &r.get_propertyName(); }
  void visit(const Types::IpcMessageIntegerPropertyRequest& r) override { name = &r.get_propertyName(); }
  void visit(const Types::IpcMessageFloatPropertyRequest& r) override { name = &r.get_propertyName(); }
  void visit(const Types::IpcMessageBooleanPropertyRequest& r) override { name = &r.get_propertyName(); }
  void visit(const Types::IpcMessageByteFieldPropertyRequest& r) override { name = &r.get_propertyName(); }
  void visit(const Types::IpcMessageVehiclePropertyRequest& r) override { name = &r.get_vehicleProperty(); }
  void visit(const Types::IpcMessageImeiPropertyRequest&) override { name = &kImei; }
  void visit(const Types::IpcMessageSystemTimePropertyRequest&) override { name = &kSystemTime; }
  void visit(const Types::IpcMessageTcuIdPropertyRequest&) override { name = &kTcuId; }
  void visit(const Types::IpcMessageVinPropertyRequest&) override { name = &kVin; }
  void visit(const Types::IpcMessageGeoLocationPropertyRequest&) override {}
  void visit(const Types::IpcMessageListPropertyRequest&) override {}
  void visit(const Types::IpcMessageMapPropertyRequest&) override {}

 private:
  static const std::string kImei;
  static const std::string kSystemTime;
  static const std::string kTcuId;
  static const std::string kVin;
};

const std::string RequestedName::kImei = "Imei";
const std::string RequestedName::kSystemTime = "SystemTime";
const std::string RequestedName::kTcuId = "TcuId";
const std::string RequestedName::kVin = "VIN";

// Adds the result of one request kind to the answer document. A value read already (`readName`,
// `readValue`; may be null) is taken as it is instead of being read again.
class RequestAnswerer final : public Types::IpcMessagePropertyRequestVisitor {
 public:
  RequestAnswerer(provisioningAdapter_impl& impl, Types::IpcMessagePropertyResult& document,
                  const std::string* readName, const std::shared_ptr<const StringValue>& readValue)
      : impl_(impl), document_(document), readName_(readName), readValue_(readValue) {}

  void visit(const Types::IpcMessageStringPropertyRequest& r) override { named<Types::StringPropertyResult>(r); }
  void visit(const Types::IpcMessageIntegerPropertyRequest& r) override { named<Types::IntegerPropertyResult>(r); }
  void visit(const Types::IpcMessageFloatPropertyRequest& r) override { named<Types::FloatPropertyResult>(r); }
  void visit(const Types::IpcMessageBooleanPropertyRequest& r) override {
    named<Types::SimpleBooleanPropertyResult>(r);
  }
  void visit(const Types::IpcMessageByteFieldPropertyRequest& r) override { named<Types::ByteFieldPropertyResult>(r); }
  void visit(const Types::IpcMessageVehiclePropertyRequest& r) override {
    scalar<Types::BooleanPropertyResult>(r.get_vehicleProperty(), &r.get_vehicleProperty());
  }
  void visit(const Types::IpcMessageImeiPropertyRequest&) override { scalar<Types::ImeiPropertyResult>("Imei"); }
  void visit(const Types::IpcMessageSystemTimePropertyRequest&) override {
    scalar<Types::StringPropertyResult>("SystemTime");
  }
  void visit(const Types::IpcMessageTcuIdPropertyRequest&) override { scalar<Types::TcuIdPropertyResult>("TcuId"); }
  void visit(const Types::IpcMessageVinPropertyRequest&) override { scalar<Types::VinPropertyResult>("VIN"); }
  void visit(const Types::IpcMessageGeoLocationPropertyRequest&) override {
    document_.add_node_value<Types::GeolocationPropertyResult>();
    ZEM_WARN("No support for GeolocationPropertyResults yet!");
  }
  void visit(const Types::IpcMessageListPropertyRequest& r) override {
    container<ListValue, Types::ListPropertyResult>(r.get_propertyName());
  }
  void visit(const Types::IpcMessageMapPropertyRequest& r) override {
    container<MapValue, Types::MapPropertyResult>(r.get_propertyName());
  }

 private:
  // A scalar result read from the property the request names, with that name as its property.
  template <class Result, class Request>
  void named(const Request& request) {
    scalar<Result>(request.get_propertyName(), &request.get_propertyName());
  }
  // A scalar result read from `readName`, with `property` set unless the result kind has none.
  template <class Result>
  void scalar(const std::string& readName, const std::string* property = nullptr) {
    const std::shared_ptr<const StringValue> value =
        readName_ != nullptr && *readName_ == readName ? readValue_ : impl_.getPropertyValue<StringValue>(readName);
    auto* result = document_.add_node_value<Result>();
    result->set_value(value->getText());
    if constexpr (!std::is_same<Result, Types::ImeiPropertyResult>::value &&
                  !std::is_same<Result, Types::TcuIdPropertyResult>::value &&
                  !std::is_same<Result, Types::VinPropertyResult>::value) {
      if (property != nullptr) result->set_property(*property);
    }
  }
  template <class Value, class Result>
  void container(const std::string& name) {
    const std::shared_ptr<const Value> value = impl_.getPropertyValue<Value>(name);
    auto* result = document_.add_node_value<Result>();
    result->set_property(name);
    convertValueToResult(result, *value);
  }

  provisioningAdapter_impl& impl_;
  Types::IpcMessagePropertyResult& document_;
  const std::string* const readName_;
  const std::shared_ptr<const StringValue>& readValue_;
};

}  // namespace

const std::string* provisioningAdapter_impl::nameReadBy(const Types::IpcMessagePropertyRequest& r) {
  RequestedName requested;
  r.accept(requested);
  return requested.name;
}

bool provisioningAdapter_impl::holdsValueInMemory(const std::string& name) {
  const MapType& map = storedMap();
  const auto found = map.find(name);
  return found != map.end() && found->second.holdsValueInMemory();
}

bool provisioningAdapter_impl::tryGetXmlPropertyResultAtOnce(const std::string& request, std::string* answer) {
  std::shared_ptr<const Types::IpcMessagePropertyRequest> parsed;
  try {
    parsed = requests_.parse(request);
  } catch (const std::exception&) {
    return false;  // the ordinary path answers and logs it
  }
  const std::string* name = nameReadBy(*parsed);
  if (name == nullptr) return false;
  std::unique_lock<std::recursive_mutex> lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock() || !holdsValueInMemory(*name)) return false;
  const bool tracing = ApplicationLogger::isEnabled(ApplicationLogger::logger(), log4cplus::TRACE_LOG_LEVEL);
  if (tracing) ZEM_TRACE("Xml Content: " << ApplicationLogger::shortened(request, ApplicationLogger::kMaxMessageBytes));
  // The one value the request reads, read once: the same text answers with the answer kept for it.
  const std::shared_ptr<const StringValue> value = getPropertyValue<StringValue>(*name);
  if (!requests_.findAnswer(request, value->getText(), answer)) {
    try {
      *answer = xmldoc::toString(*resultFor(*parsed, request, name, value));
    } catch (const std::exception&) {
      return false;
    }
    requests_.keepAnswer(request, value->getText(), *answer);
  }
  if (tracing) ZEM_TRACE("Xml content: " << *answer);
  return true;
}

bool provisioningAdapter_impl::tryGetPropertyValueAtOnce(const std::string& name, std::string* value) {
  std::unique_lock<std::recursive_mutex> lock(mutex_, std::try_to_lock);
  if (!lock.owns_lock() || !holdsValueInMemory(name)) return false;
  *value = getPropertyValue<StringValue>(name)->getText();
  return true;
}

xmldoc::DocumentPtr<Types::IpcMessagePropertyResult> provisioningAdapter_impl::resultFor(
    const Types::IpcMessagePropertyRequest& request, const std::string& requestText, const std::string* readName,
    const std::shared_ptr<const StringValue>& readValue) {
  auto document = xmldoc::createDocument<Types::IpcMessagePropertyResult>();
  RequestAnswerer answerer(*this, *document, readName, readValue);
  if (!request.accept(answerer)) ZEM_ERROR("Property Request not recognised: " << shown(requestText));
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
  const auto parsed = parsedOrLogged([&] { return xmldoc::parseString<Types::IpcMessagePropertyUpdate>(update); });
  if (!parsed) return document;
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
  // A copy of the most-derived type, shared with the caller: valid across a reload of the map.
  return std::shared_ptr<const Types::PropertyOrigin>(config->clone());
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
