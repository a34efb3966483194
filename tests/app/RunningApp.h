// The application started as the host starts it, for the plug-in tests: an in-process IPC service
// serving the plug-in's "JobAppeared" servlet (registered before initialise, as the host does),
// on a fresh device unless told otherwise. Shut down on destruction. Not thread-safe: one owner.
#pragma once

#include <memory>
#include <string>

#include "ZemTestSupport.h"
#include "kest/ExtensionServices.h"
#include "kest/ZemSettings.h"
#include "kest/ipc/InProcessIpcService.h"

namespace apptest {

using namespace zem_test;  // the shared helpers, unqualified in the plug-in tests

class RunningApp {
 public:
  struct Options {
    bool metaDataService = false;  // a MetaDataService writing "MetaData.xml"
    bool freshDevice = true;       // empty the device first (false: keep what the test laid out)
  };
  RunningApp() : RunningApp(Options()) {}
  explicit RunningApp(const Options& options);
  ~RunningApp();
  RunningApp(const RunningApp&) = delete;
  RunningApp& operator=(const RunningApp&) = delete;

  Ipc::InProcessIpcService& ipc() { return *ipc_; }
  const std::shared_ptr<ExtensionServices>& services() const { return services_; }
  ZemSettings& settings() { return *settings_; }
  // Calls "JobAppeared" with a string "jobLocation"; returns the answered status.
  int64_t announce(const std::string& jobLocation);
  // Announces `container`; once its result package is in the outbox and the container is gone,
  // the package read back (an empty one, and a failure, when none came).
  ResultPackage runJob(const File& container);

 private:
  std::shared_ptr<Ipc::InProcessIpcService> ipc_ = std::make_shared<Ipc::InProcessIpcService>();
  std::shared_ptr<ExtensionServices> services_ = std::make_shared<ExtensionServices>();
  std::shared_ptr<ZemSettings> settings_ = std::make_shared<ZemSettings>();
};

// The schema in the source tree, for stores opened on explicit paths.
inline std::string sourceSchemaFile() { return std::string(ZEM_SOURCE_DIR) + "/schema/kolconfig.xsd"; }
// Whether the package's result reports success.
inline bool succeeded(const ResultPackage& package) {
  return package.result != nullptr && package.result->element_errorInfo() != nullptr &&
         package.result->element_errorInfo()->get_success();
}
// A file of the device's inbox.
File inboxFile(const std::string& name);

}  // namespace apptest
