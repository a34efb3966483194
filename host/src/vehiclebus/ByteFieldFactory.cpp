#include "kest/vehiclebus/ByteFieldFactory.h"

#include <sstream>
#include <utility>

#include "kest/ApplicationLogger.h"
#include "kest/vehiclebus/BusDispatcher.h"
#include "vehiclebus/BitField.h"
#include "vehiclebus/BusDispatcherImpl.h"
#include "vehiclebus/ByteFieldImpl.h"
#include "vehiclebus/J1939Transport.h"

namespace VehicleBus {

namespace {

namespace Types = Sarnet_Configuration::Types;

constexpr std::uint32_t kMaxPgn = 0x3FFFF;
constexpr std::uint32_t kMaxSourceAddress = 0xFF;
constexpr std::uint32_t kPduFormatBroadcast = 240;

// Checks `length` bytes (0: the rest) from `startByte` against a message of at most `largest`
// bytes; returns false with `*why` set when they cannot fit.
bool checkBytes(bool hasStart, int startByte, bool hasLength, int length, std::size_t largest, std::string* why) {
  std::ostringstream reason;
  const int start = hasStart ? startByte : 0;
  const auto limit = static_cast<long long>(largest);
  if (start < 0 || start >= limit) {
    reason << "startByte " << start << " is outside a message of at most " << largest << " bytes";
  } else if (hasLength && (length < 1 || start + static_cast<long long>(length) > limit)) {
    reason << "length " << length << " from startByte " << start << " is outside a message of at most " << largest
           << " bytes";
  }
  *why = reason.str();
  return why->empty();
}

std::unique_ptr<ByteField::Impl> rawCanDecoder(const Types::RawCanByteFieldSignal& config, Route route,
                                               std::string* why) {
  route.id = config.get_canId();
  if (!resolveIdentifier(true, config.get_canId(), config.has_extendedId(), config.get_extendedId(), &route.extended,
                         why) ||
      !checkBytes(config.has_startByte(), config.get_startByte(), config.has_length(), config.get_length(),
                  CanFrame::kMaxData, why)) {
    return nullptr;
  }
  return std::make_unique<ByteField::Impl>(config.get_signalName(), std::move(route),
                                           config.has_startByte() ? config.get_startByte() : 0,
                                           config.has_length() ? config.get_length() : 0);
}

std::unique_ptr<ByteField::Impl> j1939Decoder(const Types::J1939ByteFieldSignal& config, Route route,
                                              std::string* why) {
  std::ostringstream reason;
  const std::uint32_t pgn = config.get_pgn();
  if (pgn > kMaxPgn) {
    reason << "pgn 0x" << std::hex << std::uppercase << pgn << " exceeds 18 bits";
  } else if (((pgn >> 8) & 0xFF) < kPduFormatBroadcast && (pgn & 0xFF) != 0) {
    reason << "pgn 0x" << std::hex << std::uppercase << pgn << " is addressed (PDU1) but does not end in 00";
  } else if (config.has_sourceAddress() && config.get_sourceAddress() > kMaxSourceAddress) {
    reason << "sourceAddress " << config.get_sourceAddress() << " exceeds 8 bits";
  }
  *why = reason.str();
  if (!why->empty() || !checkBytes(config.has_startByte(), config.get_startByte(), config.has_length(),
                                   config.get_length(), J1939Transport::kMaxTransferBytes, why)) {
    return nullptr;
  }
  route.kind = Route::Kind::kJ1939;
  route.id = pgn;
  route.sourceAddress = config.has_sourceAddress() ? static_cast<int>(config.get_sourceAddress()) : -1;
  return std::make_unique<ByteField::Impl>(config.get_signalName(), std::move(route),
                                           config.has_startByte() ? config.get_startByte() : 0,
                                           config.has_length() ? config.get_length() : 0);
}

}  // namespace

std::shared_ptr<ByteField> ByteFieldFactory::create(const Types::ByteFieldSignal& config,
                                                    std::shared_ptr<BusDispatcher> dispatcher) {
  std::string why;
  std::unique_ptr<ByteField::Impl> impl;
  Route route;
  route.interface = config.has_busInterface() && !config.get_busInterface().empty() ? config.get_busInterface()
                                                                                    : dispatcher->defaultInterface();
  if (const auto* raw = dynamic_cast<const Types::RawCanByteFieldSignal*>(&config)) {
    impl = rawCanDecoder(*raw, std::move(route), &why);
  } else if (const auto* j1939 = dynamic_cast<const Types::J1939ByteFieldSignal*>(&config)) {
    impl = j1939Decoder(*j1939, std::move(route), &why);
  } else {
    why = "a " + config.typeName() + " is not a byte field kind this host decodes";
  }
  if (impl == nullptr) {
    ZEM_ERROR("byte field \"" << ApplicationLogger::shortened(config.get_signalName(), 80) << "\" refused: " << why);
    return nullptr;
  }
  ByteField::Impl* const decoder = impl.get();
  std::shared_ptr<ByteField> field(
      new ByteField(std::move(impl), dispatcher));  // the constructor is private to the factory
  dispatcher->impl().add(decoder);
  return field;
}

}  // namespace VehicleBus
