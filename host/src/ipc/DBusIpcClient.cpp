#include "kest/ipc/DBusIpcClient.h"

#include <sdbus-c++/Error.h>
#include <sdbus-c++/Message.h>

#include "ipc/BusConnection.h"
#include "ipc/DBusConversion.h"
#include "ipc/DBusNames.h"
#include "kest/ApplicationLogger.h"

namespace Ipc {

namespace {

class MatchSubscription : public DBusIpcClient::Subscription {
 public:
  MatchSubscription(detail::BusConnection& bus, sdbus::Slot slot) : bus_(bus), slot_(std::move(slot)) {}
  ~MatchSubscription() override {
    slot_.reset();
    bus_.wake();  // the rule's removal is queued output
  }

 private:
  detail::BusConnection& bus_;
  sdbus::Slot slot_;
};

}  // namespace

class DBusIpcClient::Impl {
 public:
  explicit Impl(DBusBusType bus) : bus_(bus) {}
  detail::BusConnection bus_;
};

DBusIpcClient::DBusIpcClient(DBusBusType bus, const std::string& ownedName) : impl_(std::make_unique<Impl>(bus)) {
  if (!ownedName.empty()) impl_->bus_.ownName(ownedName);
  impl_->bus_.start();
}

DBusIpcClient::~DBusIpcClient() = default;

IpcParameterSet DBusIpcClient::call(const std::string& component, const std::string& interfaceName,
                                    const std::string& method, const IpcParameterSet& in,
                                    std::chrono::milliseconds timeout) {
  const detail::DBusDestination destination = detail::destinationOf(component);
  if (interfaceName.empty()) throw IpcException("No interface given for " + method);
  const std::string interface = detail::resolveInterface(interfaceName, std::string());
  detail::checkMemberName(method);
  detail::checkSendable(in);
  // The vehicle bus's interface lives on an object of its own, whichever component serves it.
  const VehicleBusMessageDefinition vehicleBus(method, {});
  const std::string& objectPath =
      interface == vehicleBus.getInterface() ? vehicleBus.getObjectPath() : destination.objectPath;
  IpcParameterSet result;
  impl_->bus_.call(
      destination.busName, objectPath, interface, method,
      [&](sdbus::MethodCall& message) { detail::appendParameters(message, in); },
      [&](sdbus::MethodReply& reply) { result = detail::readParameters(reply); }, timeout);
  return result;
}

void DBusIpcClient::peerPing(const std::string& component, std::chrono::milliseconds timeout) {
  const detail::DBusDestination destination = detail::destinationOf(component);
  impl_->bus_.call(
      destination.busName, destination.objectPath, "org.freedesktop.DBus.Peer", "Ping", [](sdbus::MethodCall&) {},
      [](sdbus::MethodReply&) {}, timeout);
}

std::unique_ptr<DBusIpcClient::Subscription> DBusIpcClient::subscribe(const std::string& component,
                                                                      SignalHandler handler) {
  const detail::DBusDestination destination = detail::destinationOf(component);
  const std::string rule = "type='signal',sender='" + destination.busName + "',interface='com.olvane.Zem'";
  sdbus::Slot slot = impl_->bus_.addMatch(rule, [handler = std::move(handler)](sdbus::Message& message) {
    try {
      handler(message.getMemberName(), detail::readParameters(message));
    } catch (const std::exception& e) {
      ZEM_ERROR("Cannot deliver the signal " << message.getMemberName() << ": " << e.what());
    }
  });
  return std::make_unique<MatchSubscription>(impl_->bus_, std::move(slot));
}

std::string DBusIpcClient::getUniqueName() const { return impl_->bus_.uniqueName(); }

}  // namespace Ipc
