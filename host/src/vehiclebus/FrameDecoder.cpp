#include "kest/vehiclebus/FrameDecoder.h"

#include <array>
#include <optional>
#include <unordered_map>
#include <utility>

#include "vehiclebus/BitField.h"
#include "vehiclebus/PhysicalValue.h"

namespace VehicleBus {

namespace {

constexpr std::uint32_t kNone = ~std::uint32_t{0};

// How a decodable signal is read; parallel to FrameDecoder::signals().
struct Field {
  BitField bits;
  bool isSigned;
  double factor;
  double offset;
};

// The decodable signals of one message: signals()[first, first + count).
struct MessageSignals {
  const DbcMessage* message;
  std::uint32_t first;
  std::uint32_t count;
};

}  // namespace

struct FrameDecoder::Impl {
  DbcFile dbc;
  std::vector<Entry> signals;
  std::vector<Field> fields;
  std::vector<LeftOut> leftOut;
  std::vector<MessageSignals> messages;
  // Index into `messages` by identifier: a table for standard identifiers, a map for extended ones.
  std::array<std::uint32_t, CanFrame::kMaxStandardId + 1> standard;
  std::unordered_map<std::uint32_t, std::uint32_t> extended;

  const MessageSignals* find(std::uint32_t id, bool isExtended) const {
    std::uint32_t at = kNone;
    if (!isExtended) {
      if (id <= CanFrame::kMaxStandardId) at = standard[id];
    } else if (const auto found = extended.find(id); found != extended.end()) {
      at = found->second;
    }
    return at == kNone ? nullptr : &messages[at];
  }

  // Adds the signals of `message` that `keep` accepts; `owner` is the message that holds its
  // identifier first in the file.
  void add(const DbcMessage& message, const DbcMessage& owner, const Filter& keep) {
    MessageSignals entry{&message, static_cast<std::uint32_t>(signals.size()), 0};
    for (const DbcSignal& signal : message.signals) {
      if (keep && !keep(message, signal)) continue;
      std::string why =
          &owner == &message ? signal.unsupportedReason() : "identifier already used by message " + owner.name;
      std::optional<BitField> bits;
      if (why.empty()) bits = BitField::make(signal.startBit, signal.length, signal.bigEndian, &why);
      if (!bits) {
        leftOut.push_back({{&message, &signal}, std::move(why)});
        continue;
      }
      signals.push_back({&message, &signal});
      fields.push_back({*bits, signal.isSigned, signal.factor, signal.offset});
      ++entry.count;
    }
    if (entry.count == 0) return;
    const auto at = static_cast<std::uint32_t>(messages.size());
    messages.push_back(entry);
    if (message.extended) {
      extended.emplace(message.id, at);
    } else {
      standard[message.id] = at;
    }
  }
};

FrameDecoder::FrameDecoder(DbcFile dbc, const Filter& keep) : impl_(std::make_unique<Impl>()) {
  impl_->dbc = std::move(dbc);
  impl_->standard.fill(kNone);
  // The first message of each identifier, by identifier (extended ones with bit 31 set).
  std::unordered_map<std::uint32_t, const DbcMessage*> owners;
  for (const DbcMessage& message : impl_->dbc.messages) {
    const bool fits = message.id <= (message.extended ? CanFrame::kMaxExtendedId : CanFrame::kMaxStandardId);
    const std::uint32_t key = message.id | (message.extended ? 0x80000000U : 0U);
    const DbcMessage& owner = *owners.emplace(key, &message).first->second;
    if (fits) {
      impl_->add(message, owner, keep);
      continue;
    }
    for (const DbcSignal& signal : message.signals) {
      if (!keep || keep(message, signal)) {
        impl_->leftOut.push_back(
            {{&message, &signal}, message.extended ? "identifier exceeds 29 bits" : "identifier exceeds 11 bits"});
      }
    }
  }
}

FrameDecoder::~FrameDecoder() = default;
FrameDecoder::FrameDecoder(FrameDecoder&&) noexcept = default;
FrameDecoder& FrameDecoder::operator=(FrameDecoder&&) noexcept = default;

const DbcMessage* FrameDecoder::decode(const CanFrame& frame, std::vector<Decoded>* values) const {
  values->clear();
  if (frame.remote) return nullptr;
  const MessageSignals* const message = impl_->find(frame.id, frame.extended);
  if (message == nullptr) return nullptr;
  for (std::uint32_t i = message->first; i < message->first + message->count; ++i) {
    const Field& field = impl_->fields[i];
    if (frame.length < field.bits.bytesNeeded()) continue;
    values->push_back({i, physicalValue(field.bits, field.isSigned, field.factor, field.offset, frame.data.data())});
  }
  return values->empty() ? nullptr : message->message;
}

const std::vector<FrameDecoder::Entry>& FrameDecoder::signals() const { return impl_->signals; }

const std::vector<FrameDecoder::LeftOut>& FrameDecoder::leftOut() const { return impl_->leftOut; }

const DbcFile& FrameDecoder::dbc() const { return impl_->dbc; }

}  // namespace VehicleBus
