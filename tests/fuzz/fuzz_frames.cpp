// Frame sequences into the decoders. Input: one byte N, then N bytes configuring one source of each
// kind (value, range and match signals, raw and J1939 byte fields, all on one interface; every
// setting has a default when those bytes run out), then frames of 16 bytes each: flags (1 extended,
// 2 remote, 4 batch with the next, 8 CAN FD), identifier (4, little-endian), length (1), data (8),
// microseconds since the previous frame (2, little-endian), J1939 broadcast transfers included. No
// byte field may exceed the largest transfer, and every open transfer must be dropped once a frame
// far later comes.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "kest/vehiclebus/BusDispatcher.h"
#include "kest/vehiclebus/ByteFieldFactory.h"
#include "kest/vehiclebus/SignalFactory.h"
#include "kest/vehiclebus/ValueFactory.h"

namespace {

namespace Types = Sarnet_Configuration::Types;
using VehicleBus::BusDispatcher;
using VehicleBus::CanFrame;

constexpr const char* kInterface = "f";
constexpr std::size_t kMaxTransferBytes = 1785;

void check(bool condition) {
  if (!condition) std::abort();
}

// A setting from the configuration bytes, or `fallback` when they are used up.
template <typename T>
T pick(FuzzedDataProvider& in, T fallback, T lowest, T highest) {
  return in.remaining_bytes() == 0 ? fallback : in.ConsumeIntegralInRange<T>(lowest, highest);
}

bool pickBool(FuzzedDataProvider& in, bool fallback) { return in.remaining_bytes() == 0 ? fallback : in.ConsumeBool(); }

double pickDouble(FuzzedDataProvider& in, double fallback) {
  return in.remaining_bytes() == 0 ? fallback : in.ConsumeFloatingPoint<double>();
}

// Identifiers of 29 bits, or of 12 bits where 11 are allowed, so that too wide ones come up.
template <typename Config>
void onBus(FuzzedDataProvider& in, Config& config) {
  config.set_busInterface(kInterface);
  const bool extended = pickBool(in, false);
  config.set_extendedId(extended);
  config.set_canId(pick<std::uint32_t>(in, 0x100, 0, extended ? CanFrame::kMaxExtendedId : 0xFFF));
}

struct Sources {
  std::shared_ptr<VehicleBus::Value> value;
  std::shared_ptr<VehicleBus::Signal> range;
  std::shared_ptr<VehicleBus::Signal> match;
  std::shared_ptr<VehicleBus::ByteField> raw;
  std::shared_ptr<VehicleBus::ByteField> group;
};

Sources makeSources(FuzzedDataProvider& in, const std::shared_ptr<BusDispatcher>& bus) {
  Sources sources;
  Types::ArrayValueSignal value;
  onBus(in, value);
  value.set_startBit(pick(in, 0, -8, 520));
  value.set_length(pick(in, 16, -1, 70));
  value.set_bigEndian(pickBool(in, false));
  value.set_signed(pickBool(in, true));
  value.set_factor(pickDouble(in, 0.5));
  value.set_offset(pickDouble(in, -10));
  sources.value = VehicleBus::ValueFactory::create(value, bus);

  Types::ValueRangeBooleanSignal range;
  onBus(in, range);
  range.set_startBit(pick(in, 15, -8, 520));
  range.set_length(pick(in, 12, -1, 70));
  range.set_bigEndian(pickBool(in, true));
  range.set_minimum(pickDouble(in, 10));
  range.set_maximum(pickDouble(in, 100));
  sources.range = VehicleBus::SignalFactory::create(range, bus);

  Types::BytefieldMatchBooleanSignal match;
  onBus(in, match);
  match.set_startByte(pick(in, 1, -2, 66));
  match.set_mask(in.remaining_bytes() == 0 ? "F0FF" : in.ConsumeRandomLengthString(140));
  match.set_match(in.remaining_bytes() == 0 ? "A0" : in.ConsumeRandomLengthString(140));
  sources.match = VehicleBus::SignalFactory::create(match, bus);

  Types::RawCanByteFieldSignal raw;
  onBus(in, raw);
  raw.set_startByte(pick(in, 2, -2, 66));
  if (pickBool(in, true)) raw.set_length(pick(in, 3, -2, 66));
  sources.raw = VehicleBus::ByteFieldFactory::create(raw, bus);

  Types::J1939ByteFieldSignal group;
  group.set_busInterface(kInterface);
  group.set_pgn(pick<std::uint32_t>(in, 0xFEE5, 0, 0x3FFFF));
  if (pickBool(in, false)) group.set_sourceAddress(pick<std::uint8_t>(in, 1, 0, 255));
  if (pickBool(in, false)) group.set_startByte(pick(in, 0, -2, 1800));
  if (pickBool(in, false)) group.set_length(pick(in, 0, -2, 1800));
  sources.group = VehicleBus::ByteFieldFactory::create(group, bus);
  return sources;
}

void checkField(const std::shared_ptr<VehicleBus::ByteField>& field) {
  if (field == nullptr) return;
  const auto bytes = field->getRawValue();
  check(!bytes || bytes->size() <= kMaxTransferBytes);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zem_fuzz::silenceLogging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t configBytes = std::min<std::size_t>(data[0], size - 1);
  FuzzedDataProvider config(data + 1, configBytes);
  // A dispatcher per input: nothing of one input (open transfers, interfaces) reaches the next.
  const auto dispatcher = std::make_shared<BusDispatcher>();
  const Sources sources = makeSources(config, dispatcher);
  BusDispatcher& bus = *dispatcher;
  std::int64_t now = 0;
  std::vector<CanFrame> frames;
  constexpr std::size_t kRecord = 16;
  for (const std::uint8_t* p = data + 1 + configBytes; p + kRecord <= data + size; p += kRecord) {
    CanFrame frame;
    frame.extended = (p[0] & 1) != 0;
    frame.remote = (p[0] & 2) != 0;
    const std::uint32_t id = p[1] | (p[2] << 8) | (p[3] << 16) | (static_cast<std::uint32_t>(p[4]) << 24);
    frame.id = id & (frame.extended ? CanFrame::kMaxExtendedId : CanFrame::kMaxStandardId);
    // Flag 8: a CAN FD frame, whose bytes past the record's eight are zero.
    frame.fd = (p[0] & 8) != 0;
    frame.length = frame.fd && CanFrame::isFdLength(p[5]) ? p[5] : std::min<std::uint8_t>(p[5], 8);
    std::copy(p + 6, p + 6 + std::min<std::uint8_t>(frame.length, 8), frame.data.begin());
    now += p[14] | (p[15] << 8);
    frame.timestampUs = now;
    // One frame at a time, or batches as the sources deliver them.
    frames.push_back(frame);
    if ((p[0] & 4) == 0) {
      bus.dispatch(kInterface, frames);
      frames.clear();
    }
  }
  bus.dispatch(kInterface, frames);
  checkField(sources.raw);
  checkField(sources.group);

  // A frame far later drops whatever transfer is still open, so no input leaves state behind.
  CanFrame later;
  later.extended = true;
  later.id = 0x18FEF109;
  later.length = 1;
  later.timestampUs = now + 100 * BusDispatcher::kTransportTimeoutUs;
  bus.dispatch(kInterface, later);
  check(bus.openTransfers() == 0);
  return 0;
}
