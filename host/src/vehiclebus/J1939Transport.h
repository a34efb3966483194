// Reassembly of J1939 broadcast transfers (TP.CM BAM + TP.DT) of several interfaces, at most one
// open transfer per (interface, sender), each at most kMaxTransferBytes.
// Thread safety: none of its own; BusDispatcher calls it with its lock held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>
#include <vector>

namespace VehicleBus {

class J1939Transport {
 public:
  static constexpr std::uint32_t kConnectionManagementPgn = 0xEC00;  // TP.CM
  static constexpr std::uint32_t kDataTransferPgn = 0xEB00;          // TP.DT
  static constexpr std::size_t kMaxTransferBytes = 1785;             // 255 packets of 7 bytes

  // A completed transfer: the transported group, its sender and exactly the announced bytes.
  struct Message {
    std::uint32_t pgn = 0;
    std::uint8_t sourceAddress = 0;
    std::vector<std::uint8_t> bytes;
  };

  // `timeoutUs`: the longest wait for the next packet of a transfer.
  explicit J1939Transport(std::int64_t timeoutUs) : timeoutUs_(timeoutUs) {}

  // Drops the transfers of `interface` whose last packet came more than the timeout before `nowUs`.
  void expire(unsigned interface, std::int64_t nowUs);
  // Takes a TP.CM message from `sender`. A BAM announcement opens a transfer (replacing the
  // sender's open one) when `wanted(pgn)` says its group is decoded; an abort drops the sender's
  // transfer; an announcement that cannot be valid drops it too; other control bytes are ignored.
  void connectionManagement(unsigned interface, std::uint8_t sender, const std::uint8_t* data, std::size_t length,
                            std::int64_t timestampUs, const std::function<bool(std::uint32_t)>& wanted);
  // Takes a TP.DT packet from `sender`. Returns true with `*done` filled when it completes the
  // sender's transfer; a packet out of sequence, too short, or stamped before the transfer's
  // previous frame drops the transfer.
  bool dataTransfer(unsigned interface, std::uint8_t sender, const std::uint8_t* data, std::size_t length,
                    std::int64_t timestampUs, Message* done);
  // Transfers open over every interface.
  std::size_t openTransfers() const { return open_; }

 private:
  struct Session {
    std::uint32_t pgn = 0;
    std::size_t size = 0;       // announced bytes
    unsigned packets = 0;       // announced packets
    unsigned nextSequence = 1;  // the sequence number the next packet must carry
    std::int64_t lastUs = 0;    // time stamp of the announcement or the last packet
    std::vector<std::uint8_t> bytes;
  };
  struct InterfaceSessions {
    std::unordered_map<std::uint8_t, Session> bySender;
    std::int64_t oldestUs = 0;  // at most the smallest lastUs of bySender: a scan before it is useless
  };

  void drop(InterfaceSessions& sessions, std::uint8_t sender);

  const std::int64_t timeoutUs_;
  std::unordered_map<unsigned, InterfaceSessions> interfaces_;
  std::size_t open_ = 0;
};

}  // namespace VehicleBus
