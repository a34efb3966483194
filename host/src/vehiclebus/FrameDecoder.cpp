#include "kest/vehiclebus/FrameDecoder.h"

#include <algorithm>
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

// The decodable signals of one identifier, of every message that has it: signals()[first,
// first + count). `message` is the first of those messages in the file.
struct Group {
  const DbcMessage* message;
  std::uint32_t first;
  std::uint32_t count;
};

// A signal that passed every check, before the signals are laid out by identifier.
struct Candidate {
  FrameDecoder::Entry entry;
  BitField bits;
  std::uint32_t group;
};

}  // namespace

struct FrameDecoder::Impl {
  DbcFile dbc;
  std::vector<Entry> signals;
  std::vector<Field> fields;
  std::vector<LeftOut> leftOut;
  std::vector<Group> groups;
  // Index into `groups` by identifier: a table for standard identifiers, a map for extended ones.
  std::array<std::uint32_t, CanFrame::kMaxStandardId + 1> standard;
  std::unordered_map<std::uint32_t, std::uint32_t> extended;
  std::unordered_map<std::string, int> names;  // MESSAGE.SIGNAL of every signal taken -> its line

  const Group* find(std::uint32_t id, bool isExtended) const {
    std::uint32_t at = kNone;
    if (!isExtended) {
      if (id <= CanFrame::kMaxStandardId) at = standard[id];
    } else if (const auto found = extended.find(id); found != extended.end()) {
      at = found->second;
    }
    return at == kNone ? nullptr : &groups[at];
  }

  // The group of `message`'s identifier, made when it is the first message with it.
  // REQUIRES: the identifier fits 11 bits, or 29 when extended.
  std::uint32_t groupOf(const DbcMessage& message) {
    std::uint32_t& at = message.extended ? extended.emplace(message.id, kNone).first->second : standard[message.id];
    if (at == kNone) {
      at = static_cast<std::uint32_t>(groups.size());
      groups.push_back({&message, 0, 0});
    }
    return at;
  }

  // Why `signal` of `message` is not decoded, as an import leaves it out (no provisioning form,
  // bits beyond the message, a repeated name) or the daemon refuses it (bits beyond a frame);
  // empty with `*bits` set when it is decoded.
  std::string check(const DbcMessage& message, const DbcSignal& signal, std::optional<BitField>* bits) {
    if (message.id > (message.extended ? CanFrame::kMaxExtendedId : CanFrame::kMaxStandardId))
      return message.extended ? "identifier exceeds 29 bits" : "identifier exceeds 11 bits";
    std::string why = signal.unsupportedReason();
    if (why.empty()) *bits = BitField::make(signal.startBit, signal.length, signal.bigEndian, &why);
    if (!*bits) return why;
    if ((*bits)->bytesNeeded() > message.length) {
      return "its bits need " + std::to_string((*bits)->bytesNeeded()) + " bytes, the message has " +
             std::to_string(message.length);
    }
    const auto [taken, added] = names.emplace(message.name + "." + signal.name, signal.line);
    if (!added) return "its name repeats the signal on line " + std::to_string(taken->second);
    return {};
  }
};

FrameDecoder::FrameDecoder(DbcFile dbc, const Filter& keep) : impl_(std::make_unique<Impl>()) {
  Impl& d = *impl_;
  d.dbc = std::move(dbc);
  d.standard.fill(kNone);
  std::vector<Candidate> taken;
  for (const DbcMessage& message : d.dbc.messages) {
    for (const DbcSignal& signal : message.signals) {
      if (keep && !keep(message, signal)) continue;
      std::optional<BitField> bits;
      std::string why = d.check(message, signal, &bits);
      if (why.empty()) {
        taken.push_back({{&message, &signal}, *bits, d.groupOf(message)});
      } else {
        d.leftOut.push_back({{&message, &signal}, std::move(why)});
      }
    }
  }
  // The signals of one identifier side by side, so that a frame's signals are one run.
  std::stable_sort(taken.begin(), taken.end(),
                   [](const Candidate& a, const Candidate& b) { return a.group < b.group; });
  for (const Candidate& candidate : taken) {
    Group& group = d.groups[candidate.group];
    if (group.count++ == 0) group.first = static_cast<std::uint32_t>(d.signals.size());
    d.signals.push_back(candidate.entry);
    const DbcSignal& signal = *candidate.entry.signal;
    d.fields.push_back({candidate.bits, signal.isSigned, signal.factor, signal.offset});
  }
}

FrameDecoder::~FrameDecoder() = default;
FrameDecoder::FrameDecoder(FrameDecoder&&) noexcept = default;
FrameDecoder& FrameDecoder::operator=(FrameDecoder&&) noexcept = default;

const DbcMessage* FrameDecoder::decode(const CanFrame& frame, std::vector<Decoded>* values) const {
  values->clear();
  if (frame.remote) return nullptr;
  const Group* const group = impl_->find(frame.id, frame.extended);
  if (group == nullptr) return nullptr;
  for (std::uint32_t i = group->first; i < group->first + group->count; ++i) {
    const Field& field = impl_->fields[i];
    if (frame.length < field.bits.bytesNeeded()) continue;
    values->push_back({i, physicalValue(field.bits, field.isSigned, field.factor, field.offset, frame.data.data())});
  }
  return values->empty() ? nullptr : group->message;
}

const std::vector<FrameDecoder::Entry>& FrameDecoder::signals() const { return impl_->signals; }

const std::vector<FrameDecoder::LeftOut>& FrameDecoder::leftOut() const { return impl_->leftOut; }

const DbcFile& FrameDecoder::dbc() const { return impl_->dbc; }

}  // namespace VehicleBus
