// The host's bus monitoring and platform services: what apply() restarts and drops, its statuses,
// the forced-status seam, and the platform request history.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kest/BusMonitoringService.h"
#include "kest/PlatformService.h"
#include "kest/testing/LogCapture.h"
#include "kest/vehiclebus/BusDispatcher.h"
#include "kest/vehiclebus/ByteFieldFactory.h"
#include "kest/vehiclebus/FrameSource.h"

namespace {

using kest::testing::LogCapture;
using VehicleBus::BusDispatcher;
using VehicleBus::CanFrame;

// A source that counts its starts and refuses to start when told to.
struct FakeSource : VehicleBus::FrameSource {
  explicit FakeSource(std::string name) : name(std::move(name)) {}
  const std::string& interface() const override { return name; }
  void start() override {
    if (refuse) throw std::runtime_error("Cannot open CAN interface " + name + ": No such device");
    ++starts;
    running = true;
  }
  void stop() override { running = false; }
  const std::string name;
  bool refuse = false, running = false;
  int starts = 0;
};

// An 8-byte J1939 frame from sender 1.
CanFrame j1939(std::uint32_t pgnWithDestination, const std::array<std::uint8_t, CanFrame::kMaxData>& bytes,
               std::int64_t timestampUs) {
  return CanFrame{0x18000000U | (pgnWithDestination << 8) | 0x01, true, false, 8, bytes, timestampUs};
}

TEST(BusMonitoringServiceTest, ApplyRestartsTheSourcesAndDropsOpenTransfersOrReportsTheFailedSource) {
  FakeSource can0("can0"), can1("can1");
  std::vector<VehicleBus::FrameSource*> sources{&can0, &can1};
  std::size_t openWhileStopped = 99;
  const auto bus = std::make_shared<BusDispatcher>();
  BusMonitoringService service(
      [&](const std::function<void()>& whileStopped) {
        return BusMonitoringService::restartAll(sources, [&] {
          EXPECT_FALSE(can0.running || can1.running);
          whileStopped();
          openWhileStopped = bus->openTransfers();
        });
      },
      bus);

  const std::string interface = "bm-apply";
  Sarnet_Configuration::Types::J1939ByteFieldSignal config;
  config.set_busInterface(interface);
  config.set_pgn(0xFEE5);
  const auto field = VehicleBus::ByteFieldFactory::create(config, bus);
  ASSERT_NE(field, nullptr);
  bus->dispatch(interface, {j1939(0xECFF, {32, 10, 0, 2, 0xFF, 0xE5, 0xFE, 0x00}, 0),
                            j1939(0xEBFF, {1, 1, 2, 3, 4, 5, 6, 7}, 10)});
  ASSERT_EQ(bus->openTransfers(), 1U);

  EXPECT_EQ(service.apply(), BusMonitoringService::kApplied);
  EXPECT_EQ(openWhileStopped, 0U);
  EXPECT_EQ(can0.starts + can1.starts, 2);
  bus->dispatch(interface, j1939(0xEBFF, {2, 8, 9, 10, 0xFF, 0xFF, 0xFF, 0xFF}, 20));
  EXPECT_FALSE(field->getRawValue().has_value());

  can0.refuse = true;
  LogCapture log;
  EXPECT_EQ(service.apply(), BusMonitoringService::kSourceFailed);
  EXPECT_TRUE(can1.running);  // the others keep running
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Cannot open CAN interface can0: No such device")) << log.dump();

  EXPECT_EQ(BusMonitoringService(BusMonitoringService::RestartSources(), nullptr).apply(),
            BusMonitoringService::kNotSupported);
}

TEST(PlatformServiceTest, EveryRequestIsLoggedAndTheLastSixteenAreKept) {
  PlatformService platform;
  EXPECT_EQ(platform.request(PlatformService::kClientCertificateProvisioning), 0);
  EXPECT_EQ(platform.request(99), -1);
  for (int code = 0; code < 15; ++code) platform.request(code);
  const std::vector<int> codes = platform.lastCodes();
  ASSERT_EQ(codes.size(), PlatformService::kHistorySize);
  EXPECT_EQ(codes.front(), 99);
  EXPECT_EQ(codes.back(), 14);
}

}  // namespace
