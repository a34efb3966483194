#include "vehiclebus/J1939Transport.h"

#include <algorithm>

#include "kest/ApplicationLogger.h"

namespace VehicleBus {

namespace {

constexpr std::uint8_t kBroadcastAnnounce = 32;
constexpr std::uint8_t kAbort = 255;
constexpr std::size_t kPacketBytes = 7;

}  // namespace

void J1939Transport::expire(unsigned interface, std::int64_t nowUs) {
  const auto found = interfaces_.find(interface);
  if (found == interfaces_.end() || found->second.bySender.empty() || nowUs - found->second.oldestUs <= timeoutUs_) {
    return;
  }
  InterfaceSessions& sessions = found->second;
  std::int64_t oldest = nowUs;
  for (auto it = sessions.bySender.begin(); it != sessions.bySender.end();) {
    if (nowUs - it->second.lastUs > timeoutUs_) {
      ZEM_DEBUG("J1939 transfer of PGN 0x" << std::hex << it->second.pgn << " from 0x"
                                           << static_cast<unsigned>(it->first) << " timed out");
      it = sessions.bySender.erase(it);
      --open_;
    } else {
      oldest = std::min(oldest, it->second.lastUs);
      ++it;
    }
  }
  sessions.oldestUs = oldest;
}

void J1939Transport::drop(InterfaceSessions& sessions, std::uint8_t sender) {
  open_ -= sessions.bySender.erase(sender);
}

void J1939Transport::connectionManagement(unsigned interface, std::uint8_t sender, const std::uint8_t* data,
                                          std::size_t length, std::int64_t timestampUs,
                                          const std::function<bool(std::uint32_t)>& wanted) {
  if (length < 8 || (data[0] != kBroadcastAnnounce && data[0] != kAbort)) {
    return;  // connection-mode transfers are addressed to other nodes
  }
  InterfaceSessions& sessions = interfaces_[interface];
  drop(sessions, sender);
  if (data[0] == kAbort) {
    return;
  }
  const std::size_t size = data[1] | (static_cast<std::size_t>(data[2]) << 8);
  const unsigned packets = data[3];
  const std::uint32_t pgn =
      data[5] | (static_cast<std::uint32_t>(data[6]) << 8) | (static_cast<std::uint32_t>(data[7]) << 16);
  if (size <= 8 || size > kMaxTransferBytes || packets != (size + kPacketBytes - 1) / kPacketBytes || pgn > 0x3FFFF) {
    ZEM_DEBUG("J1939 BAM from 0x" << std::hex << static_cast<unsigned>(sender) << " announces " << std::dec << size
                                  << " bytes in " << packets << " packets: ignored");
    return;
  }
  if (!wanted(pgn)) {
    return;
  }
  Session& session = sessions.bySender[sender];
  session.pgn = pgn;
  session.size = size;
  session.packets = packets;
  session.lastUs = timestampUs;
  session.bytes.reserve(packets * kPacketBytes);
  if (sessions.bySender.size() == 1 || timestampUs < sessions.oldestUs) {
    sessions.oldestUs = timestampUs;
  }
  ++open_;
}

bool J1939Transport::dataTransfer(unsigned interface, std::uint8_t sender, const std::uint8_t* data, std::size_t length,
                                  std::int64_t timestampUs, Message* done) {
  const auto found = interfaces_.find(interface);
  if (found == interfaces_.end()) {
    return false;
  }
  InterfaceSessions& sessions = found->second;
  const auto it = sessions.bySender.find(sender);
  if (it == sessions.bySender.end()) {
    return false;
  }
  Session& session = it->second;
  // A packet stamped before its predecessor cannot belong to the same transfer in order: the
  // timeout could never expire it, so the transfer is dropped.
  if (timestampUs < session.lastUs) {
    ZEM_DEBUG("J1939 transfer of PGN 0x" << std::hex << session.pgn << " from 0x" << static_cast<unsigned>(sender)
                                         << std::dec << " dropped: a packet's time stamp runs backwards");
    drop(sessions, sender);
    return false;
  }
  const std::size_t wantedBytes = std::min(kPacketBytes, session.size - session.bytes.size());
  if (length < 1 || data[0] != session.nextSequence || length - 1 < wantedBytes) {
    ZEM_DEBUG("J1939 transfer of PGN 0x" << std::hex << session.pgn << " from 0x" << static_cast<unsigned>(sender)
                                         << std::dec << " dropped: packet " << (length < 1 ? 0U : data[0]) << " where "
                                         << session.nextSequence << " was due");
    drop(sessions, sender);
    return false;
  }
  session.bytes.insert(session.bytes.end(), data + 1, data + 1 + wantedBytes);
  session.lastUs = timestampUs;
  if (++session.nextSequence <= session.packets) {
    return false;
  }
  done->pgn = session.pgn;
  done->sourceAddress = sender;
  done->bytes = std::move(session.bytes);
  drop(sessions, sender);
  return true;
}

}  // namespace VehicleBus
