#include "kest/BackendAdapterIpcCommunicator.h"

#include <gtest/gtest.h>

#include "kest/ExtensionServices.h"
#include "kest/ipc/InProcessIpcService.h"
#include "kest/testing/LogCapture.h"

namespace {

const Ipc::ZemMessageDefinition kJobAppeared("JobAppeared", {});

struct BrokenIpcService : Ipc::InProcessIpcService {  // fails every signal like an unreachable bus
  void sendSignal(const Ipc::IpcMessageDefinition&, const Ipc::IpcParameterSet&) override {
    throw Ipc::IpcException("bus is gone");
  }
};

}  // namespace

TEST(BackendAdapterIpcCommunicatorTest, SendsTaskStatusAndResultPlacedAsSignalsAndReportsFailure) {
  auto ipc = std::make_shared<Ipc::InProcessIpcService>();
  ExtensionServices services;
  services.setIpcService(ipc);
  BackendAdapterIpcCommunicator communicator(services, kJobAppeared);
  EXPECT_TRUE(communicator.sendTaskStatus("task-17", 3));
  EXPECT_TRUE(communicator.sendResultPlaced("/outbox/OBU.LOGFILES_task-17.zip"));
  const auto signals = ipc->signals();
  ASSERT_EQ(signals.size(), 2u);
  EXPECT_EQ(signals[0].name, "TaskStatus");
  EXPECT_EQ(signals[0].parameters.get<Ipc::IpcStringParameter>("taskId").getValue(), "task-17");
  EXPECT_EQ(signals[0].parameters.get<Ipc::IpcIntegerParameter>("status").getValue(), 3);
  EXPECT_EQ(signals[1].name, "ResultPlaced");
  EXPECT_EQ(signals[1].parameters.get<Ipc::IpcStringParameter>("location").getValue(),
            "/outbox/OBU.LOGFILES_task-17.zip");

  kest::testing::LogCapture log;
  services.setIpcService(std::make_shared<BrokenIpcService>());
  EXPECT_FALSE(BackendAdapterIpcCommunicator(services, kJobAppeared).sendTaskStatus("t", 1));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "bus is gone"));
  ExtensionServices empty;
  EXPECT_FALSE(BackendAdapterIpcCommunicator(empty, kJobAppeared).sendResultPlaced("/x.zip"));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "no IPC service"));
}
