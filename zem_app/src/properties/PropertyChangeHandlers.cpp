#include "properties/PropertyChangeHandlers.h"

#include <exception>
#include <utility>

#include "app/ZemApp.h"
#include "database/Database.h"
#include "kest/ApplicationLogger.h"
#include "kolconfig/XmlDoc.h"
#include "libraries/VehicleProperty.h"
#include "properties/IpcChangeNotification.h"
#include "properties/ProvisioningAdapterMap.h"

namespace Types = Sarnet_Configuration::Types;

namespace {
const char* text(bool value) { return value ? "true" : "false"; }
}  // namespace

namespace {
// A vehicle property's change, from the store or from a library, is announced under its name.
void announceVehicleProperty(Types::VehiclePropertyType::Enum property, bool value) {
  const std::string& name = Types::VehiclePropertyType::toString(property);
  ZEM_DEBUG(name << " = " << text(value));
  sendBooleanChangeNotification(name, value);
}
}  // namespace

void sendBooleanChangeNotification(const std::string& property, bool value) {
  const std::shared_ptr<IpcChangeNotification> notification = getApp()->getIpcChangeNotification().lock();
  if (!notification) return;
  try {
    const auto document = xmldoc::createDocument<Types::IpcMessagePropertyResult>();
    auto* result = document->add_node_value<Types::BooleanPropertyResult>();
    result->set_value(text(value));
    result->set_property(property);
    notification->sendChangeNotification(xmldoc::toString(*document));
  } catch (const std::exception& e) {
    ZEM_ERROR("Unable to build the change notification of " << property << " : " << e.what());
  }
}

attachToAsListener<DatabaseProperty>::attachToAsListener(std::shared_ptr<DatabaseProperty> source, std::string key)
    : source_(std::move(source)), key_(std::move(key)), store_(Database::getInstance()) {
  source_->setListener(this);
  store_->addListener(source_->getKey(), source_.get());
}

attachToAsListener<DatabaseProperty>::~attachToAsListener() {
  store_->removeListener(source_->getKey(), source_.get());
  source_->setListener(nullptr);
}

void attachToAsListener<DatabaseProperty>::booleanChanged(const std::string& key, bool value) {
  ZEM_DEBUG(key << " = " << text(value));
  ProvisioningAdapterMap().notifyMonitors(key, text(value));
}

attachToAsListener<DatabaseVehicleProperty>::attachToAsListener(std::shared_ptr<DatabaseVehicleProperty> source,
                                                                std::string key)
    : source_(std::move(source)), key_(std::move(key)), store_(Database::getInstance()) {
  source_->setVehicleListener(this);
  store_->addListener(source_->getKey(), source_.get());
}

attachToAsListener<DatabaseVehicleProperty>::~attachToAsListener() {
  store_->removeListener(source_->getKey(), source_.get());
  source_->setVehicleListener(nullptr);
}

void attachToAsListener<DatabaseVehicleProperty>::vehiclePropertyEvent(Types::VehiclePropertyType::Enum property,
                                                                       bool value) {
  announceVehicleProperty(property, value);
}

attachToAsListener<Signal>::attachToAsListener(std::shared_ptr<Signal> source, std::string key)
    : source_(std::move(source)), key_(std::move(key)) {
  source_->addListener(this);
}

attachToAsListener<Signal>::~attachToAsListener() { source_->removeListener(this); }

void attachToAsListener<Signal>::signalEvent(const Signal& /*signal*/, std::int64_t /*timestampUs*/, bool state) {
  ZEM_DEBUG(key_ << " = " << text(state));
  sendBooleanChangeNotification(key_, state);
}

attachToAsListener<Value>::attachToAsListener(std::shared_ptr<Value> source, std::string key)
    : source_(std::move(source)), key_(std::move(key)) {
  source_->addListener(this);
}

attachToAsListener<Value>::~attachToAsListener() { source_->removeListener(this); }

void attachToAsListener<Value>::valueEvent(const Value& /*value*/, std::int64_t /*timestampUs*/, double /*physical*/) {}

attachToAsListener<ByteField>::attachToAsListener(std::shared_ptr<ByteField> source, std::string key)
    : source_(std::move(source)), key_(std::move(key)) {
  source_->addListener(this);
}

attachToAsListener<ByteField>::~attachToAsListener() { source_->removeListener(this); }

void attachToAsListener<ByteField>::byteFieldEvent(const ByteField& /*field*/, std::int64_t /*timestampUs*/,
                                                   const std::vector<std::uint8_t>& /*bytes*/) {}

attachToAsListener<VehicleProperty>::attachToAsListener(std::shared_ptr<VehicleProperty> source, std::string key)
    : source_(std::move(source)), key_(std::move(key)) {
  source_->attachListener(this);
}

attachToAsListener<VehicleProperty>::~attachToAsListener() { source_->detachListener(); }

void attachToAsListener<VehicleProperty>::vehiclePropertyEvent(Types::VehiclePropertyType::Enum property, bool value) {
  announceVehicleProperty(property, value);
}
