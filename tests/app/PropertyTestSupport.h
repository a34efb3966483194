// Shared set-up of the property-model tests: an in-process IPC service that records the signals
// sent and answers calls to the components a test puts on the "bus", and a fixture that gives
// every test a fresh device, store and property map.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ProvisioningAdapterMap.h"
#include "RunningApp.h"
#include "database/Database.h"
#include "kest/DevicePaths.h"
#include "kest/ipc/InProcessIpcService.h"
#include "kest/testing/LogCapture.h"

namespace proptest {

using namespace apptest;
using kest::testing::LogCapture;

// A definition of "<adapter>PropertyAdapter" with propertyName `name` and an origin of
// "<origin>PropertyOrigin" holding `body`.
inline std::string named(const std::string& adapter, const std::string& name, const std::string& origin,
                         const std::string& body) {
  return propertyXml(adapter + "PropertyAdapter", "propertyName=\"" + name + "\"", origin + "PropertyOrigin", body);
}
inline std::string keyXml(const std::string& key) { return "<k:key>" + key + "</k:key>"; }

// Records the signals sent (string and byte-field parameters as text) and answers the calls to
// the components added with addPeer; the other components are "not running".
class RecordingIpcService : public Ipc::InProcessIpcService {
 public:
  struct Sent {
    std::string name;
    std::map<std::string, std::string> parameters;
  };
  using Peer = std::function<Ipc::IpcParameterSet(const std::string& interfaceName, const Ipc::IpcParameterSet&)>;

  void sendSignal(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcParameterSet& parameters) override {
    InProcessIpcService::sendSignal(definition, parameters);
    Sent sent{definition.getName(), {}};
    for (const auto& p : parameters.all()) {
      const auto* s = dynamic_cast<const Ipc::IpcStringParameter*>(p.second.get());
      const auto* b = dynamic_cast<const Ipc::IpcByteFieldParameter*>(p.second.get());
      sent.parameters[p.first] = s != nullptr ? s->getValue() : b != nullptr ? b->getValueAsString() : "?";
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back(std::move(sent));
  }
  Ipc::IpcParameterSet callMethod(const std::string& component, const std::string& interfaceName,
                                  const Ipc::IpcMessageDefinition& definition, const Ipc::IpcParameterSet& parameters,
                                  std::chrono::milliseconds timeout) override {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto found = peers_.find(component + "/" + definition.getName());
    if (found == peers_.end()) {
      lock.unlock();
      return InProcessIpcService::callMethod(component, interfaceName, definition, parameters, timeout);
    }
    const Peer peer = found->second;
    lock.unlock();
    return peer(interfaceName, parameters);
  }
  void addPeer(const std::string& component, const std::string& method, Peer peer) {
    const std::lock_guard<std::mutex> lock(mutex_);
    peers_[component + "/" + method] = std::move(peer);
  }
  // The signals named `name`, in sending order.
  std::vector<Sent> sent(const std::string& name) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Sent> matching;
    std::copy_if(sent_.begin(), sent_.end(), std::back_inserter(matching),
                 [&](const Sent& s) { return s.name == name; });
    return matching;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Sent> sent_;
  std::map<std::string, Peer> peers_;
};

// A fresh device whose store holds `storeEntries` (k:entry XML) as its default database, the
// recording service as the process's IPC service, and an empty property map that loads the
// configuration installed by the test on first use.
class PropertyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    freshDevice();
    Ipc::IpcService::setInstance(&ipc_);
    map_.release();
    Database::getInstance()->resetForTesting();
  }
  void TearDown() override {
    map_.release();
    Ipc::IpcService::setInstance(nullptr);
    Database::getInstance()->resetForTesting();
  }
  // Lays out the store and the configuration, then loads the map.
  void load(const std::string& definitions, const std::string& storeEntries = "") {
    writeFile(File(File(DevicePaths::defaultConfigFolder()), DevicePaths::kDatabaseFileName),
              databaseXml(storeEntries));
    Database::getInstance()->resetForTesting();
    installConfig(definitions);
    map_.reloadConfig();
  }
  std::string stored(const std::string& key) { return Database::getInstance()->getString(key)->str(); }

  RecordingIpcService ipc_;
  ProvisioningAdapterMap map_;
};

}  // namespace proptest
