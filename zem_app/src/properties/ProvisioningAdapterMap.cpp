#include "properties/ProvisioningAdapterMap.h"

#include <mutex>

#include "properties/ProvisioningAdapterImpl.h"
#include "values/StringValue.h"

std::shared_ptr<provisioningAdapter_impl> ProvisioningAdapterMap::impl_;

ProvisioningAdapterMap::ProvisioningAdapterMap() {
  // call_once orders the creation before every later read of impl_ on any thread.
  static std::once_flag created;
  std::call_once(created, [] { impl_ = std::make_shared<provisioningAdapter_impl>(); });
}

void ProvisioningAdapterMap::setBusDispatcher(std::shared_ptr<VehicleBus::BusDispatcher> dispatcher) {
  impl_->setBusDispatcher(std::move(dispatcher));
}
void ProvisioningAdapterMap::initialise() { impl_->initialise(); }
void ProvisioningAdapterMap::release() { impl_->release(); }
void ProvisioningAdapterMap::reloadConfig() { impl_->reloadConfig(); }

std::string ProvisioningAdapterMap::getPropertyValue(const std::string& name) {
  return impl_->getPropertyValue<StringValue>(name)->getText();
}

std::string ProvisioningAdapterMap::getXmlPropertyResult(const std::string& request) {
  return impl_->getXmlPropertyResult(request);
}

bool ProvisioningAdapterMap::tryGetXmlPropertyResultAtOnce(const std::string& request, std::string* answer) {
  return impl_->tryGetXmlPropertyResultAtOnce(request, answer);
}

bool ProvisioningAdapterMap::tryGetPropertyValueAtOnce(const std::string& name, std::string* value) {
  return impl_->tryGetPropertyValueAtOnce(name, value);
}

std::string ProvisioningAdapterMap::setXmlPropertyResult(const std::string& update,
                                                         const std::vector<std::string>& callerNames) {
  return impl_->setXmlPropertyResult(update, callerNames);
}

std::string ProvisioningAdapterMap::setXmlPropertyResult(const std::string& update, const std::string& component) {
  return impl_->setXmlPropertyResult(update, component.empty() ? std::vector<std::string>() : std::vector{component});
}

bool ProvisioningAdapterMap::updateProperty(const Sarnet_Configuration::Types::PersistedValue* value,
                                            const std::string& name) {
  return impl_->updateProperty(value, name);
}

bool ProvisioningAdapterMap::getRequestPropertyResult(const std::string& name,
                                                      Sarnet_Configuration::Types::PersistedMapValue* out) {
  return impl_->getRequestPropertyResult(name, out);
}

std::shared_ptr<const Sarnet_Configuration::Types::PropertyOrigin> ProvisioningAdapterMap::getPropertyConfig(
    const std::string& name) {
  return impl_->getPropertyConfig(name);
}

MonitorTable::Result ProvisioningAdapterMap::addPropertyMonitor(const std::string& name, const std::string& connection,
                                                                const std::string& sender) {
  return impl_->addPropertyMonitor(name, connection, sender);
}

void ProvisioningAdapterMap::removePropertyMonitors(const std::string& connection) {
  impl_->removePropertyMonitors(connection);
}

void ProvisioningAdapterMap::notifyMonitors(const std::string& name, const std::string& value) {
  impl_->notifyMonitors(name, value);
}
