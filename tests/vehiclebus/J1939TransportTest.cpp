// Reassembly of J1939 broadcast (BAM) transfers, seen through J1939 byte fields.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kest/vehiclebus/BusDispatcher.h"
#include "kest/vehiclebus/ByteFieldFactory.h"

namespace VehicleBus {
namespace {

namespace Types = Sarnet_Configuration::Types;

constexpr std::uint32_t kGroup = 0xFEE5;
constexpr std::int64_t kStep = 10'000;  // between packets, well within the transport timeout

CanFrame j1939(std::uint32_t pgnWithDestination, std::uint8_t sender, const std::vector<std::uint8_t>& bytes,
               std::int64_t timestampUs) {
  CanFrame f;
  f.id = 0x18000000U | (pgnWithDestination << 8) | sender;
  f.extended = true;
  f.length = static_cast<std::uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), f.data.begin());
  f.timestampUs = timestampUs;
  return f;
}

// TP.CM BAM announcing `size` bytes of `pgn` in `packets` packets, to every node.
CanFrame announce(std::uint8_t sender, unsigned size, unsigned packets, std::int64_t ts) {
  return j1939(0xECFF, sender,
               {32, static_cast<std::uint8_t>(size), static_cast<std::uint8_t>(size >> 8),
                static_cast<std::uint8_t>(packets), 0xFF, static_cast<std::uint8_t>(kGroup),
                static_cast<std::uint8_t>(kGroup >> 8), static_cast<std::uint8_t>(kGroup >> 16)},
               ts);
}

CanFrame abortTransfer(std::uint8_t sender, std::int64_t ts) {
  return j1939(0xECFF, sender, {255, 0xFF, 0xFF, 0xFF, 0xFF, 0xE5, 0xFE, 0x00}, ts);
}

// TP.DT packet `sequence` carrying bytes first..first+6 (values equal to their positions + 1).
CanFrame packet(std::uint8_t sender, std::uint8_t sequence, std::int64_t ts, std::uint8_t base = 0) {
  std::vector<std::uint8_t> bytes{sequence};
  for (unsigned i = 0; i < 7; ++i) bytes.push_back(static_cast<std::uint8_t>(base + (sequence - 1) * 7 + i + 1));
  return j1939(0xEBFF, sender, bytes, ts);
}

template <typename... Frames>
std::vector<CanFrame> seq(Frames... frames) {
  return {frames...};
}

std::string hex(const std::optional<std::vector<std::uint8_t>>& bytes) {
  if (!bytes) return "none";
  std::string text;
  for (const std::uint8_t byte : *bytes) {
    text += "0123456789ABCDEF"[byte >> 4];
    text += "0123456789ABCDEF"[byte & 0xF];
  }
  return text;
}

TEST(J1939TransportTest, BroadcastTransfersAreReassembledOrDropped) {
  const std::string ten = "0102030405060708090A";
  const struct {
    const char* what;
    std::string expected;
    std::size_t openAfter;
    std::vector<CanFrame> frames;
    int sourceFilter = -1;
  } cases[] = {
      {"complete", ten, 0, seq(announce(1, 10, 2, 0), packet(1, 1, kStep), packet(1, 2, 2 * kStep))},
      {"from another sender than filtered", "none", 0,
       seq(announce(1, 10, 2, 0), packet(1, 1, kStep), packet(1, 2, 2 * kStep)), 2},
      {"still open", "none", 1, seq(announce(1, 10, 2, 0), packet(1, 1, kStep))},
      {"missing packet", "none", 0, seq(announce(1, 17, 3, 0), packet(1, 1, kStep), packet(1, 3, 2 * kStep))},
      {"out of order", "none", 0, seq(announce(1, 10, 2, 0), packet(1, 2, kStep), packet(1, 1, 2 * kStep))},
      {"aborted", "none", 0,
       seq(announce(1, 10, 2, 0), packet(1, 1, kStep), abortTransfer(1, 2 * kStep), packet(1, 2, 3 * kStep))},
      {"next packet too late", "none", 0,
       seq(announce(1, 10, 2, 0), packet(1, 1, kStep), packet(1, 2, kStep + 800'000))},
      {"time stamp running backwards", "none", 0,
       seq(announce(1, 10, 2, 10 * kStep), packet(1, 1, 11 * kStep), packet(1, 2, 5 * kStep))},
      {"expired by a later frame", "none", 0, seq(announce(1, 10, 2, 0), j1939(0xFEF1, 9, {0}, 760'000))},
      {"packet count not matching the size", "none", 0, seq(announce(1, 10, 3, 0), packet(1, 1, kStep))},
      {"replaced by a new announcement", "111213141516171819", 0,
       seq(announce(1, 10, 2, 0), packet(1, 1, kStep), announce(1, 9, 2, 2 * kStep), packet(1, 1, 3 * kStep, 0x10),
           packet(1, 2, 4 * kStep, 0x10))},
      {"two senders interleaved", "2122232425262728292A", 0,
       seq(announce(1, 10, 2, 0), announce(2, 10, 2, 1), packet(1, 1, 2), packet(2, 1, 3, 0x20), packet(1, 2, 4),
           packet(2, 2, 5, 0x20))},
  };
  const auto bus = std::make_shared<BusDispatcher>();
  int row = 0;
  for (const auto& c : cases) {
    const std::string interface = "t4-" + std::to_string(row++);
    Types::J1939ByteFieldSignal config;
    config.set_busInterface(interface);
    config.set_pgn(kGroup);
    if (c.sourceFilter >= 0) config.set_sourceAddress(static_cast<std::uint32_t>(c.sourceFilter));
    const auto field = ByteFieldFactory::create(config, bus);
    ASSERT_NE(field, nullptr) << c.what;
    bus->dispatch(interface, c.frames);
    EXPECT_EQ(hex(field->getRawValue()), c.expected) << c.what;
    EXPECT_EQ(bus->openTransfers(), c.openAfter) << c.what;
    // Whatever is left open times out once any later frame of its interface arrives.
    bus->dispatch(interface, j1939(0xFEF1, 9, {0}, 10'000'000));
    EXPECT_EQ(bus->openTransfers(), 0U) << c.what;
  }
}

}  // namespace
}  // namespace VehicleBus
