// The frame sources: a candump log replayed on its time stamps and stopped promptly, a bad log
// refused before anything is delivered, and SocketCAN's refusal and frame conversion.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <sstream>

#include "ZemTestSupport.h"
#include "kest/vehiclebus/CandumpReplaySource.h"
#include "kest/vehiclebus/SocketCanSource.h"

using VehicleBus::CandumpReplaySource;
using VehicleBus::CanFrame;
using VehicleBus::SocketCanSource;
using Clock = std::chrono::steady_clock;

namespace {

// Records what a source delivers and when.
struct Recorder {
  struct Arrival {
    std::string interface;
    CanFrame frame;
    Clock::time_point at;
  };
  VehicleBus::FrameSink sink() {
    return [this](const std::string& interface, const std::vector<CanFrame>& frames) {
      const std::lock_guard<std::mutex> lock(mutex);
      for (const CanFrame& f : frames) arrivals.push_back({interface, f, Clock::now()});
    };
  }
  std::size_t count() {
    const std::lock_guard<std::mutex> lock(mutex);
    return arrivals.size();
  }
  // The sources' dispatcher: only its default interface is used, frames go to sink().
  const std::shared_ptr<VehicleBus::BusDispatcher> bus = std::make_shared<VehicleBus::BusDispatcher>();
  std::mutex mutex;
  std::vector<Arrival> arrivals;  // guarded by mutex
};

std::string logFile(const std::string& content) {
  const File folder = zem_test::freshFolder("replay");
  std::string path = folder.getPath() + "/log.txt";
  std::ofstream(path) << content;
  return path;
}

long long msBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count();
}

}  // namespace

TEST(FrameSourceTest, ReplayHonoursTheLogTimeStampsAndStopInterruptsALongWaitPromptly) {
  Recorder recorder;
  CandumpReplaySource source(
      logFile("(100.000000) sim0 101#01\n(100.050000) can1 102#02\n(100.100000) 103##1000102030405060708090A0B\n"
              "104#04\n"),
      recorder.bus, recorder.sink());
  const Clock::time_point start = Clock::now();
  source.start();
  ASSERT_TRUE(zem_test::waitUntil([&] { return recorder.count() == 4; }));
  EXPECT_TRUE(zem_test::waitUntil([&] { return source.finished(); }));
  const auto& a = recorder.arrivals;
  std::string seen;  // "INTERFACE ID LENGTH[fd] LASTBYTE" per frame: unnamed lines go to the default interface
  for (const auto& r : a)
    seen += r.interface + " " + std::to_string(r.frame.id) + " " + std::to_string(r.frame.length) +
            (r.frame.fd ? "fd " : " ") + std::to_string(r.frame.data[r.frame.length - 1]) + ", ";
  EXPECT_EQ(seen, "sim0 257 1 1, can1 258 1 2, sim0 259 12fd 11, sim0 260 1 4, ");
  EXPECT_LT(msBetween(start, a[0].at), 45);  // bounds leave room for a loaded machine
  EXPECT_GE(msBetween(a[0].at, a[1].at), 45);
  EXPECT_LT(msBetween(a[0].at, a[1].at), 95);
  EXPECT_LT(msBetween(a[2].at, a[3].at), 45);  // an unstamped line follows at once
  EXPECT_EQ(a[2].frame.timestampUs - a[0].frame.timestampUs, 100000);

  Recorder waiting;
  CandumpReplaySource hourLong(logFile("(1.0) 101#01\n(3601.0) 102#02\n"), waiting.bus, waiting.sink());
  hourLong.start();
  ASSERT_TRUE(zem_test::waitUntil([&] { return waiting.count() == 1; }));
  const Clock::time_point before = Clock::now();
  hourLong.stop();
  EXPECT_LT(msBetween(before, Clock::now()), 500);
  EXPECT_EQ(waiting.count(), 1U);
  hourLong.stop();  // idempotent
}

TEST(FrameSourceTest, ABadLogIsRefusedAtStartNamingTheLineAndDeliversNothing) {
  Recorder recorder;
  const std::pair<std::string, std::string> rows[] = {
      {"(1.0) 101#01\n\n101#0\n", "line 3: data needs two hexadecimal digits"},
      {"101#01\n" + std::string(100000, '1') + "\n", "line 2: line longer than 320"},
  };
  for (const auto& [content, reason] : rows) {
    CandumpReplaySource source(logFile(content), recorder.bus, recorder.sink());
    try {
      source.start();
      ADD_FAILURE() << "accepted: " << reason;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
    }
  }
  CandumpReplaySource missing("/nonexistent/log", recorder.bus, recorder.sink());
  EXPECT_THROW(missing.start(), std::runtime_error);
  EXPECT_EQ(recorder.count(), 0U);
}

TEST(FrameSourceTest, SocketCanRefusesToStartWithoutKernelSupport) {
  SocketCanSource source("can0", std::make_shared<VehicleBus::BusDispatcher>());
  try {
    source.start();
    GTEST_SKIP() << "this kernel has CAN support";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Cannot open CAN interface can0: Address family not supported by protocol");
  }
  source.stop();
}

// Each kernel frame read as "ID[x] [R] [fd] LENGTH" or "none" (CAN_MTU read: classical, CANFD_MTU: FD).
TEST(FrameSourceTest, SocketCanConvertsKernelFramesByReadSizeAndSkipsErrorFrames) {
  const struct {
    canid_t id;
    uint8_t len;
    std::size_t bytesRead;
    const char* expected;
  } rows[] = {
      {0x123, 2, CAN_MTU, "123 2"},
      {0x18FEF100 | CAN_EFF_FLAG, 8, CAN_MTU, "18FEF100x 8"},
      {0x7FF | CAN_RTR_FLAG, 4, CAN_MTU, "7FF R 0"},
      {0x004 | CAN_ERR_FLAG, 8, CAN_MTU, "none"},
      {0x123, 9, CAN_MTU, "none"},
      {0x18FEF100 | CAN_EFF_FLAG, 64, CANFD_MTU, "18FEF100x fd 64"},
      {0x123, 12, CANFD_MTU, "123 fd 12"},
      {0x123, 9, CANFD_MTU, "none"},
      {0x123 | CAN_RTR_FLAG, 8, CANFD_MTU, "none"},
      {0x123, 8, CAN_MTU - 1, "none"},
  };
  for (const auto& row : rows) {
    struct canfd_frame raw {};
    raw.can_id = row.id;
    raw.len = row.len;
    raw.flags = CANFD_BRS | CANFD_FDF;
    for (uint8_t i = 0; i < CANFD_MAX_DLEN; ++i) raw.data[i] = static_cast<uint8_t>(0xA0 + i);
    const std::optional<CanFrame> frame = SocketCanSource::convert(raw, row.bytesRead, 42);
    std::ostringstream text;
    if (frame)
      text << std::hex << std::uppercase << frame->id << std::dec << (frame->extended ? "x" : "")
           << (frame->remote ? " R" : "") << (frame->fd ? " fd " : " ") << static_cast<int>(frame->length);
    EXPECT_EQ(frame ? text.str() : "none", row.expected) << std::hex << row.id << " " << std::dec << row.bytesRead;
    if (!frame) continue;
    EXPECT_EQ(frame->fdFlags, frame->fd ? CANFD_BRS | CANFD_FDF : 0);
    EXPECT_EQ(frame->timestampUs, 42);
    if (frame->length > 0) {
      EXPECT_EQ(frame->data[frame->length - 1], 0xA0 + frame->length - 1);
    }
  }
}
