#include "kest/vehiclebus/SignalFactory.h"

#include <algorithm>
#include <limits>
#include <sstream>
#include <utility>
#include <vector>

#include "kest/ApplicationLogger.h"
#include "kest/vehiclebus/BusDispatcher.h"
#include "vehiclebus/BusDispatcherImpl.h"
#include "vehiclebus/SignalImpl.h"

namespace VehicleBus {

namespace {

namespace Types = Sarnet_Configuration::Types;

// The decoder of a byte-match signal, or null with `*why` set.
std::unique_ptr<Signal::Impl> matchDecoder(const Types::BytefieldMatchBooleanSignal& config, Route route,
                                           std::string* why) {
  std::vector<std::uint8_t> match;
  std::vector<std::uint8_t> mask;
  if (!parseHexBytes(config.get_match(), &match)) {
    *why = "match \"" + ApplicationLogger::shortened(config.get_match(), 40) + "\" is not hexadecimal bytes";
    return nullptr;
  }
  if (config.has_mask() && !parseHexBytes(config.get_mask(), &mask)) {
    *why = "mask \"" + ApplicationLogger::shortened(config.get_mask(), 40) + "\" is not hexadecimal bytes";
    return nullptr;
  }
  if (!config.has_mask()) {
    mask.assign(match.size(), 0xFF);
  }
  if (mask.size() != match.size()) {
    *why = "mask and match differ in length";
    return nullptr;
  }
  const int startByte = config.has_startByte() ? config.get_startByte() : 0;
  if (startByte < 0 || static_cast<std::size_t>(startByte) + match.size() > CanFrame::kMaxData) {
    std::ostringstream reason;
    reason << match.size() << " bytes from startByte " << startByte << " are outside a " << CanFrame::kMaxData
           << "-byte frame";
    *why = reason.str();
    return nullptr;
  }
  // One word per 8 compared bytes; the last word of a frame's end starts early enough to stay in it.
  const auto start = static_cast<std::size_t>(startByte);
  const std::size_t end = start + match.size();
  std::vector<Signal::Impl::MatchWord> words;
  for (std::size_t piece = start; piece < end; piece += 8) {
    Signal::Impl::MatchWord word;
    word.offset = std::min(piece, CanFrame::kMaxData - 8);
    for (std::size_t i = piece; i < std::min(end, piece + 8); ++i) {
      const auto shift = static_cast<unsigned>(8 * (i - word.offset));
      word.mask |= static_cast<std::uint64_t>(mask[i - start]) << shift;
      word.match |= static_cast<std::uint64_t>(match[i - start]) << shift;
    }
    words.push_back(word);
  }
  return Signal::Impl::matching(config.get_signalName(), std::move(route), std::move(words), end);
}

// The decoder of a value-range signal, or null with `*why` set.
std::unique_ptr<Signal::Impl> rangeDecoder(const Types::ValueRangeBooleanSignal& config, Route route,
                                           std::string* why) {
  const auto bits = BitField::make(config.get_startBit(), config.get_length(), config.get_bigEndian(), why);
  if (!bits) {
    return nullptr;
  }
  const double minimum = config.has_minimum() ? config.get_minimum() : -std::numeric_limits<double>::infinity();
  const double maximum = config.has_maximum() ? config.get_maximum() : std::numeric_limits<double>::infinity();
  return Signal::Impl::inRange(config.get_signalName(), std::move(route), *bits, minimum, maximum);
}

}  // namespace

std::shared_ptr<Signal> SignalFactory::create(const Types::BooleanSignal& config,
                                              std::shared_ptr<BusDispatcher> dispatcher) {
  std::string why;
  std::unique_ptr<Signal::Impl> impl;
  Route route;
  route.interface = config.has_busInterface() && !config.get_busInterface().empty() ? config.get_busInterface()
                                                                                    : dispatcher->defaultInterface();
  route.id = config.get_canId();
  const auto* match = dynamic_cast<const Types::BytefieldMatchBooleanSignal*>(&config);
  const auto* range = dynamic_cast<const Types::ValueRangeBooleanSignal*>(&config);
  if (match == nullptr && range == nullptr) {
    why = "a " + config.typeName() + " is not a boolean signal kind this host decodes";
  } else if (resolveIdentifier(config.has_canId(), config.get_canId(), config.has_extendedId(), config.get_extendedId(),
                               &route.extended, &why)) {
    impl =
        match != nullptr ? matchDecoder(*match, std::move(route), &why) : rangeDecoder(*range, std::move(route), &why);
  }
  if (impl == nullptr) {
    ZEM_ERROR("boolean signal \"" << ApplicationLogger::shortened(config.get_signalName(), 80)
                                  << "\" refused: " << why);
    return nullptr;
  }
  Signal::Impl* const decoder = impl.get();
  std::shared_ptr<Signal> signal(new Signal(std::move(impl), dispatcher));  // the constructor is private to the factory
  dispatcher->impl().add(decoder);
  return signal;
}

}  // namespace VehicleBus
