// InjectFrames served by a real DBusIpcService on the session bus of the test run, called at
// /com/olvane/VehicleBus: frames reach the sink in order, defaults applied; a bad line refuses the
// whole call; a flood of 100,000 frames goes through in one call.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <mutex>

#include "kest/ipc/DBusIpcService.h"
#include "kest/vehiclebus/InjectFramesServlet.h"

using Ipc::DBusIpcService;
using VehicleBus::CanFrame;
using VehicleBus::InjectFramesServlet;

namespace {

class InjectFramesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    component_ = "VehicleBusTest_" + std::to_string(::getpid());
    service_ = std::make_unique<DBusIpcService>(component_);
    service_->registerServlet(InjectFramesServlet::definition(),
                              std::make_unique<InjectFramesServlet>(
                                  [this](const std::string& interface, const std::vector<CanFrame>& frames) {
                                    const std::lock_guard<std::mutex> lock(mutex_);
                                    for (const CanFrame& f : frames) received_.emplace_back(interface, f);
                                  }));
    service_->start();
    client_ = std::make_unique<DBusIpcService>(DBusIpcService::ClientOnly{}, DBusIpcService::Options());
    client_->start();
  }

  // The "accepted" answer of one call carrying `frames`; throws IpcException on a refusal.
  int64_t inject(const std::string& frames) {
    Ipc::IpcParameterSet in;
    in.add(std::make_unique<Ipc::IpcStringParameter>("frames", frames));
    const Ipc::IpcParameterSet out =
        client_->callMethod(component_, "", InjectFramesServlet::definition(), in, std::chrono::milliseconds(60000));
    return out.get<Ipc::IpcIntegerParameter>("accepted").getValue();
  }

  std::string component_;
  std::unique_ptr<DBusIpcService> service_;
  std::unique_ptr<DBusIpcService> client_;
  std::mutex mutex_;
  std::vector<std::pair<std::string, CanFrame>> received_;  // guarded by mutex_
};

int64_t nowUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

TEST_F(InjectFramesTest, DeliversFramesInOrderWithDefaultInterfaceAndArrivalTime) {
  const int64_t before = nowUs();
  EXPECT_EQ(inject("123#01\n(7.000001) can1 18FEF100#00FF\n\n7FF#R\n"), 3);
  const int64_t after = nowUs();
  ASSERT_EQ(received_.size(), 3U);
  EXPECT_EQ(received_[0].first, "sim0");
  EXPECT_TRUE(received_[0].second.timestampUs >= before && received_[0].second.timestampUs <= after);
  EXPECT_EQ(received_[1].first, "can1");
  EXPECT_EQ(received_[1].second.timestampUs, 7000001);
  EXPECT_TRUE(received_[1].second.extended);
  EXPECT_EQ(received_[2].first, "sim0");
  EXPECT_TRUE(received_[2].second.remote);
}

TEST_F(InjectFramesTest, TakesAHundredThousandFramesInOneCall) {
  std::string text;
  for (int i = 0; i < 100000; ++i)
    text += "(1600000000." + std::to_string(100000 + i) + ") sim0 18FEF100#0011223344556677\n";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(inject(text), 100000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  ASSERT_EQ(received_.size(), 100000U);
  EXPECT_EQ(received_.back().second.timestampUs, 1600000000199999);
}
