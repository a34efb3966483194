#include "ipc/NameOwnerWatch.h"

#include <sdbus-c++/Message.h>

#include <chrono>
#include <utility>
#include <vector>

#include "ipc/DBusNames.h"
#include "kest/ApplicationLogger.h"
#include "kest/ipc/IpcTypes.h"

namespace Ipc {
namespace detail {

namespace {

const char kNameOwnerChangedRule[] =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg0namespace='com.olvane'";
// Names that lost their owner; for a unique name (":1.42") that is its connection leaving the bus.
const char kNameVanishedRule[] =
    "type='signal',sender='org.freedesktop.DBus',path='/org/freedesktop/DBus',"
    "interface='org.freedesktop.DBus',member='NameOwnerChanged',arg2=''";

// Fills the owner cache with the current owners of "com.olvane.*" names.
void loadNameOwners(BusConnection& bus, NameOwnerCache& owners) {
  std::vector<std::string> names;
  bus.call(
      "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames", [](sdbus::MethodCall&) {},
      [&](sdbus::MethodReply& reply) { reply >> names; }, std::chrono::milliseconds(5000));
  for (const std::string& name : names) {
    if (componentOfBusName(name).empty()) continue;
    try {
      std::string owner;
      bus.call(
          "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner",
          [&](sdbus::MethodCall& message) { message << name; }, [&](sdbus::MethodReply& reply) { reply >> owner; },
          std::chrono::milliseconds(5000));
      owners.setOwner(name, owner);
    } catch (const IpcException&) {
      // Released meanwhile: the NameOwnerChanged signal already on its way says so.
    }
  }
}

// Bus thread: hands the name and new owner of a NameOwnerChanged signal to `use`; an unreadable
// signal is logged and dropped.
template <class Use>
void onOwnerChanged(sdbus::Message& message, const Use& use) noexcept {
  try {
    std::string name;
    std::string oldOwner;
    std::string newOwner;
    message >> name >> oldOwner >> newOwner;
    use(name, newOwner);
  } catch (const std::exception& e) {
    ZEM_ERROR("Unreadable NameOwnerChanged signal: " << e.what());
  }
}

}  // namespace

sdbus::Slot followNameOwners(BusConnection& bus, NameOwnerCache& owners) {
  sdbus::Slot slot = bus.addMatch(kNameOwnerChangedRule, [&owners](sdbus::Message& message) {
    onOwnerChanged(
        message, [&owners](const std::string& name, const std::string& newOwner) { owners.setOwner(name, newOwner); });
  });
  loadNameOwners(bus, owners);
  return slot;
}

sdbus::Slot watchDepartures(BusConnection& bus, std::function<void(const std::string&)> departed) {
  return bus.addMatch(kNameVanishedRule, [departed = std::move(departed)](sdbus::Message& message) {
    onOwnerChanged(message, [&departed](const std::string& name, const std::string& newOwner) {
      if (!name.empty() && name[0] == ':' && newOwner.empty()) departed(name);
    });
  });
}

}  // namespace detail
}  // namespace Ipc
