#include "kest/BackendAdapterIpcCommunicator.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "kest/ExtensionServices.h"
#include "kest/ipc/IpcService.h"
#include "kest/testing/LogCapture.h"

namespace {

// Records emitted signals; can be told to fail like an unreachable bus.
class RecordingIpcService : public Ipc::IpcService {
 public:
  struct Signal {
    std::string key;
    Ipc::IpcParameterSet parameters;
  };
  void registerServlet(const Ipc::IpcMessageDefinition&, std::unique_ptr<Ipc::IpcMethodServlet>) override {}
  void addListener(const Ipc::IpcMessageDefinition&, IpcListener*) override {}
  void removeListener(const Ipc::IpcMessageDefinition&, IpcListener*) override {}
  void sendSignal(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcParameterSet& parameters) override {
    if (fail) throw Ipc::IpcException("bus is gone");
    signals.push_back(Signal{definition.getKey(), parameters});
  }
  Ipc::IpcParameterSet callMethod(const std::string&, const std::string&, const Ipc::IpcMessageDefinition&,
                                  const Ipc::IpcParameterSet&, std::chrono::milliseconds) override {
    return {};
  }

  bool fail = false;
  std::vector<Signal> signals;
};

const Ipc::ZemMessageDefinition kJobAppeared("JobAppeared", {});

}  // namespace

TEST(BackendAdapterIpcCommunicatorTest, SendsTaskStatusAndResultPlacedAsSignals) {
  auto ipc = std::make_shared<RecordingIpcService>();
  ExtensionServices services;
  services.setIpcService(ipc);
  BackendAdapterIpcCommunicator communicator(services, kJobAppeared);

  EXPECT_TRUE(communicator.sendTaskStatus("task-17", 3));
  EXPECT_TRUE(communicator.sendResultPlaced("/outbox/OBU.LOGFILES_task-17.zip"));

  ASSERT_EQ(ipc->signals.size(), 2u);
  EXPECT_EQ(ipc->signals[0].key, "com.olvane.Zem.TaskStatus");
  EXPECT_EQ(ipc->signals[0].parameters.get<Ipc::IpcStringParameter>("taskId").getValue(), "task-17");
  EXPECT_EQ(ipc->signals[0].parameters.get<Ipc::IpcIntegerParameter>("status").getValue(), 3);
  EXPECT_EQ(ipc->signals[1].key, "com.olvane.Zem.ResultPlaced");
  EXPECT_EQ(ipc->signals[1].parameters.get<Ipc::IpcStringParameter>("location").getValue(),
            "/outbox/OBU.LOGFILES_task-17.zip");
}

TEST(BackendAdapterIpcCommunicatorTest, ReportsFailureWhenTheBusFailsOrThereIsNoIpcService) {
  kest::testing::LogCapture log;
  auto ipc = std::make_shared<RecordingIpcService>();
  ipc->fail = true;
  ExtensionServices services;
  services.setIpcService(ipc);
  BackendAdapterIpcCommunicator communicator(services, kJobAppeared);
  EXPECT_FALSE(communicator.sendTaskStatus("t", 1));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "bus is gone"));

  ExtensionServices empty;
  BackendAdapterIpcCommunicator orphan(empty, kJobAppeared);
  EXPECT_FALSE(orphan.sendResultPlaced("/x.zip"));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "no IPC service"));
}
