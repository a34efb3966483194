// Shared set-up of the property-model tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "DatabaseTestAccess.h"
#include "RunningApp.h"
#include "database/Database.h"
#include "kest/DevicePaths.h"
#include "kest/TrustBoundaries.h"
#include "kest/ipc/InProcessIpcService.h"
#include "kest/testing/LogCapture.h"
#include "kolconfig/XmlDoc.h"
#include "properties/ProvisioningAdapterMap.h"

namespace proptest {

using namespace apptest;
using kest::testing::LogCapture;

// A "<adapter>PropertyAdapter" named `name` whose "<origin>PropertyOrigin" holds `body`.
inline std::string named(const std::string& adapter, const std::string& name, const std::string& origin,
                         const std::string& body) {
  return propertyXml(adapter + "PropertyAdapter", "propertyName=\"" + name + "\"", origin + "PropertyOrigin", body);
}
inline std::string keyXml(const std::string& key) { return "<k:key>" + key + "</k:key>"; }

// Starts the application on a fresh device whose default configuration is `config` (laid out
// before start-up, as on a new unit).
inline std::unique_ptr<RunningApp> startWithDefaultConfig(const std::string& config) {
  freshDevice();
  writeFile(File(DevicePaths::defaultConfigFolder() + "/config.xml"), config);
  return std::make_unique<RunningApp>(RunningApp::Options{false, false});
}
// Runs on `app` a job of description `type` with task id `id` whose properties are the map
// entries `entries`; returns its result package.
inline ResultPackage runPropertiesJob(RunningApp& app, const std::string& type, const std::string& id,
                                      const std::string& entries) {
  return app.runJob(makeJob(inboxFile(id + ".zip"),
                            document(type, "<k:properties>" + entries + "</k:properties>", "taskId=\"" + id + "\"")));
}

// "property=value " of every ZemVehicleProperty sent so far.
inline std::string vehicleAnnouncements(const Ipc::InProcessIpcService& ipc) {
  std::string all;
  for (const auto& p : ipc.sent("ZemVehicleProperty")) {
    const auto result = xmldoc::parseString<Types::IpcMessagePropertyResult>(p.at("property"));
    const auto* boolean = dynamic_cast<const Types::BooleanPropertyResult*>(result->element_value());
    all += boolean != nullptr ? boolean->get_property() + "=" + boolean->get_value() + " " : "? ";
  }
  return all;
}

// Checks that `package` holds a result of `resultType` whose error fields read `success`, `type` and
// `message` (type 0 and message "": the fields are absent).
inline void expectErrorInfo(const ResultPackage& package, const std::string& resultType, bool success, int type,
                            const std::string& message) {
  ASSERT_NE(package.result, nullptr);
  EXPECT_EQ(package.result->typeName(), resultType);
  EXPECT_EQ(package.result->element_errorInfo()->get_success(), success);
  EXPECT_EQ(package.result->element_errorInfo()->get_errorType(), type);
  EXPECT_EQ(package.result->element_errorInfo()->get_errorMessage(), message);
}

// The trust settings in force plus the build's example library folder, as zem-host --library-dir
// adds it.
inline TrustBoundaries::Settings withExampleLibraries() {
  TrustBoundaries::Settings settings = TrustBoundaries::settings();
  settings.extraLibraryFolders.emplace_back(ZEM_EXAMPLE_LIB_DIR);
  return settings;
}

// A fresh device, the in-process service as the process's IPC service, an empty property map, and
// the build's example libraries loadable.
class PropertyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    freshDevice();
    Ipc::IpcService::setInstance(&ipc_);
    map_.release();
    DatabaseTestAccess::reset();
  }
  void TearDown() override {
    map_.release();
    Ipc::IpcService::setInstance(nullptr);
    DatabaseTestAccess::reset();
  }
  // Lays out the store and the configuration, then loads the map.
  void load(const std::string& definitions, const std::string& storeEntries = "") {
    writeFile(File(File(DevicePaths::defaultConfigFolder()), DevicePaths::kDatabaseFileName),
              databaseXml(storeEntries));
    DatabaseTestAccess::reset();
    installConfig(definitions);
    map_.reloadConfig();
  }
  std::string stored(const std::string& key) { return Database::getInstance()->getString(key)->str(); }
  // Writes `node` to the property `name` as an unnamed caller; returns updateProperty's answer.
  bool update(const std::string& name, const Types::PersistedValue& node) { return map_.updateProperty(&node, name); }

  const ScopedTrustBoundaries exampleLibraries_{withExampleLibraries()};
  Ipc::InProcessIpcService ipc_;
  ProvisioningAdapterMap map_;
};

}  // namespace proptest
