#include "kest/BackendAdapterIpcCommunicator.h"

#include <gtest/gtest.h>

#include "kest/ExtensionServices.h"
#include "kest/ipc/InProcessIpcService.h"
#include "kest/testing/LogCapture.h"

namespace {

struct BrokenIpcService : Ipc::InProcessIpcService {  // fails every signal like an unreachable bus
  void sendSignal(const Ipc::IpcMessageDefinition&, const Ipc::IpcParameterSet&) override {
    throw Ipc::IpcException("bus is gone");
  }
};

}  // namespace

TEST(BackendAdapterIpcCommunicatorTest, ReportsFailureWhenTheBusFailsOrThereIsNoIpcService) {
  kest::testing::LogCapture log;
  const Ipc::ZemMessageDefinition jobAppeared("JobAppeared", {});
  ExtensionServices services;
  services.setIpcService(std::make_shared<BrokenIpcService>());
  EXPECT_FALSE(BackendAdapterIpcCommunicator(services, jobAppeared).sendTaskStatus("t", 1));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "bus is gone"));
  ExtensionServices empty;
  EXPECT_FALSE(BackendAdapterIpcCommunicator(empty, jobAppeared).sendResultPlaced("/x.zip"));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "no IPC service"));
}
