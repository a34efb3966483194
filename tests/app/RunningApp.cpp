#include "RunningApp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "DatabaseTestAccess.h"
#include "app/ZemApp.h"
#include "database/Database.h"
#include "ipc/ZemJobAppearedIpcHandler.h"
#include "kest/DevicePaths.h"
#include "kest/MetaDataService.h"

namespace apptest {

RunningApp::RunningApp(const Options& options) {
  if (options.freshDevice) freshDevice();
  DatabaseTestAccess::reset();
  services_->setIpcService(ipc_);
  if (options.metaDataService) services_->setMetaDataService(std::make_shared<MetaDataService>("19.22.3"));
  std::unique_ptr<Ipc::IpcMethodServlet> servlet(zemCreateJobAppearedServlet(services_.get()));
  EXPECT_NE(servlet, nullptr);
  if (servlet != nullptr) {
    const Ipc::IpcMessageDefinition definition = servlet->getDefinition();
    ipc_->registerServlet(definition, std::move(servlet));
  }
  getApp()->initialise(settings_, services_);
}

RunningApp::~RunningApp() {
  getApp()->shutdown();
  DatabaseTestAccess::reset();
}

int64_t RunningApp::announce(const std::string& jobLocation) {
  Ipc::IpcParameterSet in;
  in.add(std::make_unique<Ipc::IpcStringParameter>("jobLocation", jobLocation));
  return ipc_->call("Zem", "JobAppeared", in).get<Ipc::IpcIntegerParameter>("status").getValue();
}

ResultPackage RunningApp::runJob(const File& container) {
  const std::vector<File> before = outboxPackages();
  EXPECT_EQ(announce(container.getPath()), 1);
  EXPECT_TRUE(waitUntil([&] { return outboxPackages().size() > before.size() && !container.exists(); }));
  for (const File& package : outboxPackages())
    if (std::find(before.begin(), before.end(), package) == before.end()) return readPackage(package);
  ADD_FAILURE() << "no package for " << container.getPath();
  return ResultPackage();
}

File inboxFile(const std::string& name) { return File(File(DevicePaths::inboxFolder()), name); }

}  // namespace apptest
