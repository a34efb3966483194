// Shared set-up of the property-model tests: an in-process IPC service that records the signals
// sent and answers calls to the components a test puts on the "bus", and a fixture that gives
// every test a fresh device, store and property map.
#pragma once

#include <gtest/gtest.h>

#include <functional>
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

class RecordingIpcService : public Ipc::InProcessIpcService {
 public:
  struct Sent {
    std::string name;
    std::map<std::string, std::string> parameters;  // strings and byte fields by name
  };
  using Peer = std::function<Ipc::IpcParameterSet(const std::string& interfaceName, const Ipc::IpcParameterSet&)>;

  void sendSignal(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcParameterSet& parameters) override {
    InProcessIpcService::sendSignal(definition, parameters);
    Sent sent{definition.getName(), {}};
    for (const auto& p : parameters.all()) {
      if (const auto* s = dynamic_cast<const Ipc::IpcStringParameter*>(p.second.get()))
        sent.parameters[p.first] = s->getValue();
      if (const auto* b = dynamic_cast<const Ipc::IpcByteFieldParameter*>(p.second.get()))
        sent.parameters[p.first] = b->getValueAsString();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    sent_.push_back(std::move(sent));
  }
  // A component on the bus answers with `peer`; the others are "not running".
  Ipc::IpcParameterSet callMethod(const std::string& component, const std::string& interfaceName,
                                  const Ipc::IpcMessageDefinition& definition, const Ipc::IpcParameterSet& parameters,
                                  std::chrono::milliseconds timeout) override {
    Peer peer;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      const auto found = peers_.find(component + "/" + definition.getName());
      if (found != peers_.end()) peer = found->second;
    }
    if (!peer) return InProcessIpcService::callMethod(component, interfaceName, definition, parameters, timeout);
    return peer(interfaceName, parameters);
  }
  void addPeer(const std::string& component, const std::string& method, Peer peer) {
    const std::lock_guard<std::mutex> lock(mutex_);
    peers_[component + "/" + method] = std::move(peer);
  }
  std::vector<Sent> sent(const std::string& name) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Sent> matching;
    for (const Sent& s : sent_)
      if (s.name == name) matching.push_back(s);
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
