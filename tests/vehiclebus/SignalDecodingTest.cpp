// Decoding of frames into signals, values and byte fields built through the factories.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "kest/vehiclebus/BusDispatcher.h"
#include "kest/vehiclebus/ByteFieldFactory.h"
#include "kest/vehiclebus/SignalFactory.h"
#include "kest/vehiclebus/ValueFactory.h"

namespace VehicleBus {
namespace {

namespace Types = Sarnet_Configuration::Types;

CanFrame frame(std::uint32_t id, bool extended, const std::vector<std::uint8_t>& bytes, bool remote = false) {
  CanFrame f;
  f.id = id;
  f.extended = extended;
  f.remote = remote;
  f.length = static_cast<std::uint8_t>(bytes.size());
  std::copy(bytes.begin(), bytes.end(), f.data.begin());
  return f;
}

// A classical frame with a standard identifier 0x100, the one most rows decode.
CanFrame on100(const std::vector<std::uint8_t>& bytes) { return frame(0x100, false, bytes); }

// A CAN FD frame of `bytes` (an FD length), or of 64 bytes 00, 01, ... 3F with `tail` as its last bytes.
CanFrame fdFrame(std::uint32_t id, bool extended, std::vector<std::uint8_t> bytes) {
  CanFrame f = frame(id, extended, bytes);
  f.fd = true;
  return f;
}
CanFrame fdFrameEndingIn(const std::vector<std::uint8_t>& tail) {
  std::vector<std::uint8_t> bytes(CanFrame::kMaxData);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i);
  std::copy(tail.begin(), tail.end(), bytes.end() - static_cast<std::ptrdiff_t>(tail.size()));
  return fdFrame(0x100, false, bytes);
}

// A source built for one table row and how to read its current value as text ("none": no value).
struct Probe {
  std::shared_ptr<void> source;
  std::function<std::string()> read;
};

template <typename Config>
Config onId(Config config, std::uint32_t id, const char* interface = "t1") {
  config.set_busInterface(interface);
  config.set_canId(id);
  return config;
}

Probe probe(const std::shared_ptr<BusDispatcher>& bus, const Types::BooleanSignal& config) {
  auto signal = SignalFactory::create(config, bus);
  return {signal, [signal] {
            const auto state = signal ? signal->getCurrentState() : std::nullopt;
            return state ? (*state ? "true" : "false") : "none";
          }};
}

Probe probe(const std::shared_ptr<BusDispatcher>& bus, const Types::ValueSignal& config) {
  auto value = ValueFactory::create(config, bus);
  return {value, [value] {
            const auto number = value ? value->getCurrentValue() : std::nullopt;
            std::ostringstream text;
            text << number.value_or(0);
            return number ? text.str() : "none";
          }};
}

Probe probe(const std::shared_ptr<BusDispatcher>& bus, const Types::ByteFieldSignal& config) {
  auto field = ByteFieldFactory::create(config, bus);
  return {field, [field] {
            const auto bytes = field ? field->getRawValue() : std::nullopt;
            std::ostringstream text;
            for (const std::uint8_t byte : bytes.value_or(std::vector<std::uint8_t>{}))
              text << std::hex << std::uppercase << (byte >> 4) << (byte & 0xF);
            return bytes ? text.str() : "none";
          }};
}

Types::ArrayValueSignal bits(int startBit, int length, bool bigEndian = false, bool isSigned = false) {
  Types::ArrayValueSignal config = onId(Types::ArrayValueSignal(), 0x100);
  config.set_startBit(startBit);
  config.set_length(length);
  config.set_bigEndian(bigEndian);
  config.set_signed(isSigned);
  return config;
}

Types::BytefieldMatchBooleanSignal matching(int startByte, const char* match, const char* mask = nullptr) {
  Types::BytefieldMatchBooleanSignal config = onId(Types::BytefieldMatchBooleanSignal(), 0x100);
  config.set_startByte(startByte);
  config.set_match(match);
  if (mask != nullptr) config.set_mask(mask);
  return config;
}

Types::ValueRangeBooleanSignal range(double minimum, double maximum) {
  Types::ValueRangeBooleanSignal config = onId(Types::ValueRangeBooleanSignal(), 0x100);
  config.set_startBit(0);
  config.set_length(8);
  config.set_minimum(minimum);
  config.set_maximum(maximum);
  return config;
}

Types::RawCanByteFieldSignal rawBytes(std::uint32_t id, int startByte, int length = -1) {
  Types::RawCanByteFieldSignal config = onId(Types::RawCanByteFieldSignal(), id);
  config.set_startByte(startByte);
  if (length >= 0) config.set_length(length);
  return config;
}

Types::J1939ByteFieldSignal group(std::uint32_t pgn, int sourceAddress = -1) {
  Types::J1939ByteFieldSignal config;
  config.set_busInterface("t1");
  config.set_pgn(pgn);
  if (sourceAddress >= 0) config.set_sourceAddress(static_cast<std::uint32_t>(sourceAddress));
  return config;
}

TEST(SignalDecodingTest, FramesDecodeByDbcConventions) {
  const auto bus = std::make_shared<BusDispatcher>();
  Types::ArrayValueSignal extendedOnly = bits(0, 8);
  extendedOnly.set_extendedId(true);
  // Each row's source is made only when its row runs: made at once, all would decode every frame.
  const auto of = [&](const auto& config) {
    return std::function<Probe()>([&bus, config] { return probe(bus, config); });
  };
  const struct {
    const char* what;
    std::function<Probe()> make;
    CanFrame frame;
    std::string expected;
  } cases[] = {
      {"little-endian across bytes", of(bits(4, 12)), on100({0x12, 0x34}), "833"},
      {"big-endian across bytes", of(bits(7, 16, true)), on100({0x12, 0x34}), "4660"},
      {"big-endian from mid-byte", of(bits(3, 8, true)), on100({0xA5, 0x3C}), "83"},
      // The sign bit alone, and the bit just below it: a sign read one bit off gets one of them wrong.
      {"signed, minimum", of(bits(0, 8, false, true)), on100({0x80}), "-128"},
      {"signed, only the bit below the sign", of(bits(0, 8, false, true)), on100({0x40}), "64"},
      {"frame too short", of(bits(8, 16)), on100({1, 2}), "none"},
      {"remote frame", of(bits(0, 8)), frame(0x100, false, {}, true), "none"},
      {"standard frame, extended signal", of(extendedOnly), on100({1}), "none"},
      {"masked match", of(matching(1, "0x20", "F0")), on100({0, 0x2A}), "true"},
      {"masked mismatch", of(matching(1, "0x20", "F0")), on100({0, 0x3A}), "false"},
      {"unmasked match", of(matching(6, "DEad")), on100({0, 0, 0, 0, 0, 0, 0xDE, 0xAD}), "true"},
      {"in range", of(range(10, 20)), on100({20}), "true"},
      {"above range", of(range(10, 20)), on100({21}), "false"},
      {"raw bytes", of(rawBytes(0x100, 2, 3)), on100({0, 1, 2, 3, 4, 5}), "020304"},
      {"raw bytes to the end", of(rawBytes(0x100, 5)), on100({0, 1, 2, 3, 4, 5, 6}), "0506"},
      {"raw bytes, implied extended", of(rawBytes(0x18FEF100, 0, 2)), frame(0x18FEF100, true, {7, 8, 9}), "0708"},
      {"J1939 PDU2", of(group(0xFEF1)), frame(0x18FEF117, true, {1, 2}), "0102"},
      {"J1939 PDU2, other sender", of(group(0xFEF1, 0x18)), frame(0x18FEF117, true, {1}), "none"},
      {"J1939 PDU1 ignores destination", of(group(0xEF00, 0x03)), frame(0x18EF2A03, true, {9}), "09"},
      {"J1939 data page", of(group(0x1FEF1)), frame(0x19FEF100, true, {5}), "05"},
      {"J1939 needs a 29-bit identifier", of(group(0x0100)), on100({1}), "none"},
      {"J1939 takes no FD frame", of(group(0xFEF1)), fdFrame(0x18FEF117, true, {1, 2}), "none"},
      // CAN FD: fields at the far end of 64 bytes, fields over nine bytes (bits outside set on purpose).
      {"little-endian at the end of 64 bytes", of(bits(500, 12)), fdFrameEndingIn({0x5A, 0xC3}), "3125"},
      {"big-endian at the end of 64 bytes", of(bits(499, 12, true)), fdFrameEndingIn({0xA5, 0x3C}), "1340"},
      {"little-endian over nine bytes", of(bits(4, 64, false, true)),
       fdFrame(0x100, false, {0xEA, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x5F, 0, 0, 0}), "-2"},
      {"big-endian over nine bytes", of(bits(3, 64, true, true)),
       fdFrame(0x100, false, {0xAF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xE5, 0, 0, 0}), "-2"},
      {"FD frame too short", of(bits(100, 8)), fdFrame(0x100, false, std::vector<std::uint8_t>(12)), "none"},
      {"match over the last ten bytes", of(matching(54, "363738393A3B3C3D3E3F")), fdFrameEndingIn({}), "true"},
      {"64-byte raw bytes", of(rawBytes(0x100, 0, 64)), fdFrameEndingIn({}),
       "000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F"
       "202122232425262728292A2B2C2D2E2F303132333435363738393A3B3C3D3E3F"},
  };
  for (const auto& c : cases) {
    const Probe p = c.make();
    ASSERT_NE(p.source, nullptr) << c.what;
    EXPECT_EQ(p.read(), "none") << c.what;
    bus->dispatch("t1", c.frame);
    EXPECT_EQ(p.read(), c.expected) << c.what;
  }
}

TEST(SignalDecodingTest, SignalsReportChangesValuesReportEveryFrameUntilRemoved) {
  const auto bus = std::make_shared<BusDispatcher>();
  struct Recorder : SignalEventListener, ValueEventListener {
    std::vector<std::string> events;
    void signalEvent(const Signal& s, std::int64_t ts, bool state) override {
      events.push_back(s.getName() + "@" + std::to_string(ts) + "=" + (state ? "1" : "0"));
    }
    void valueEvent(const Value& v, std::int64_t ts, double physical) override {
      events.push_back(v.getName() + "@" + std::to_string(ts) + "=" + std::to_string(static_cast<int>(physical)));
    }
  } recorder;
  Types::BytefieldMatchBooleanSignal flagConfig = onId(matching(0, "01"), 0x200, "t2");
  flagConfig.set_signalName("flag");
  Types::ArrayValueSignal levelConfig = onId(bits(0, 8), 0x200, "t2");
  levelConfig.set_signalName("level");
  const auto flag = SignalFactory::create(flagConfig, bus);
  const auto level = ValueFactory::create(levelConfig, bus);
  ASSERT_TRUE(flag && level);
  flag->addListener(&recorder);
  level->addListener(&recorder);

  std::int64_t ts = 0;
  for (const std::uint8_t byte : {0, 0, 1, 1}) {
    CanFrame f = frame(0x200, false, {byte});
    f.timestampUs = ++ts;
    bus->dispatch("t2", f);
  }
  EXPECT_EQ(recorder.events,
            (std::vector<std::string>{"flag@1=0", "level@1=0", "level@2=0", "flag@3=1", "level@3=1", "level@4=1"}));
  flag->removeListener(&recorder);
  level->removeListener(&recorder);
  bus->dispatch("t2", frame(0x200, false, {0}));
  EXPECT_EQ(recorder.events.size(), 6U);
  EXPECT_EQ(flag->getCurrentState(), false);
}

TEST(SignalDecodingTest, FactoriesRefuseDefinitionsThatCanNeverDecode) {
  const auto bus = std::make_shared<BusDispatcher>();
  // Each factory through the probe of its kind.
  const auto refused = [&](const auto& config) { return probe(bus, config).source == nullptr; };
  Types::ArrayValueSignal noId = bits(0, 8);
  noId.clear_canId();
  Types::ArrayValueSignal wideStandard = bits(0, 8);
  wideStandard.set_canId(0x800);
  wideStandard.set_extendedId(false);
  Types::ArrayValueSignal wideExtended = bits(0, 8);
  wideExtended.set_canId(0x20000000);
  Types::J1939ByteFieldSignal tooLong = group(0xFEF1);
  tooLong.set_startByte(1780);
  tooLong.set_length(6);
  const struct {
    const char* what;
    std::function<bool()> refused;
  } cases[] = {
      {"boolean base kind", [&] { return refused(onId(Types::BooleanSignal(), 1)); }},
      {"no canId", [&] { return refused(noId); }},
      {"standard id over 11 bits", [&] { return refused(wideStandard); }},
      {"id over 29 bits", [&] { return refused(wideExtended); }},
      {"length 0", [&] { return refused(bits(0, 0)); }},
      {"length 65", [&] { return refused(bits(0, 65)); }},
      {"little-endian past the frame", [&] { return refused(bits(508, 8)); }},
      {"big-endian past the frame", [&] { return refused(bits(504, 2, true)); }},
      {"odd hex digits", [&] { return refused(matching(0, "0xABC")); }},
      {"mask and match lengths", [&] { return refused(matching(0, "ABCD", "FF")); }},
      {"match past the frame", [&] { return refused(matching(62, "ABCDEF")); }},
      {"raw startByte past the frame", [&] { return refused(rawBytes(0x100, 64)); }},
      {"pgn over 18 bits", [&] { return refused(group(0x40000)); }},
      {"PDU1 pgn with a destination", [&] { return refused(group(0xEF01)); }},
      {"J1939 bytes past the largest transfer", [&] { return refused(tooLong); }},
  };
  const std::size_t before = bus->registeredSources();
  for (const auto& c : cases) EXPECT_TRUE(c.refused()) << c.what;
  EXPECT_EQ(bus->registeredSources(), before);
}

}  // namespace
}  // namespace VehicleBus
