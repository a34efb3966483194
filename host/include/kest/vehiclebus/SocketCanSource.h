// Reads CAN frames, classical and CAN FD, from a SocketCAN interface through a raw socket and
// delivers them under the interface's name. Error frames are skipped; each frame carries the
// kernel's receive time (SO_TIMESTAMP), or its arrival time when the kernel gave none. A kernel
// that refuses CAN_RAW_FD_FRAMES leaves the source reading classical frames only.
// Thread safety: start() and stop() from one controlling thread; frames are delivered from the
// source's own reader thread. The descriptors are owned by the source and closed by stop().
#pragma once

#include <linux/can.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>

#include "kest/Export.h"
#include "kest/vehiclebus/FrameSink.h"
#include "kest/vehiclebus/FrameSource.h"

namespace VehicleBus {

class KEST_EXPORT SocketCanSource : public FrameSource {
 public:
  // `interface` names the network interface ("can0"); `sink` receives the frames (`dispatcher`,
  // kept alive by the source, when empty). REQUIRES: sink or dispatcher != nullptr.
  SocketCanSource(std::string interface, std::shared_ptr<BusDispatcher> dispatcher, FrameSink sink = FrameSink());
  ~SocketCanSource() override;
  SocketCanSource(const SocketCanSource&) = delete;
  SocketCanSource& operator=(const SocketCanSource&) = delete;

  // Whether `name` can name a network interface: 1 to 15 characters of [A-Za-z0-9_.-].
  static bool isValidInterfaceName(const std::string& name);
  // The frame that one read of `bytesRead` bytes left in `raw`, stamped `timestampUs`: CAN_MTU
  // bytes are a classical frame (a struct can_frame), CANFD_MTU bytes an FD frame. Nothing for any
  // other size, an error frame, a classical length over 8, an FD length CAN FD does not allow, or
  // an FD remote frame. The identifier is masked to 29 bits (CAN_EFF_FLAG) or 11 bits.
  static std::optional<CanFrame> convert(const struct canfd_frame& raw, std::size_t bytesRead,
                                         std::int64_t timestampUs);

  const std::string& interface() const override { return interface_; }
  // Opens a raw CAN socket bound to the interface, asks for FD frames (a WARN when the kernel
  // refuses) and starts the reader thread. Throws
  // std::runtime_error "Cannot open CAN interface IFACE: REASON" when the kernel has no CAN
  // support, the interface does not exist or cannot be bound. A second call does nothing.
  void start() override;
  // Wakes and joins the reader thread, then closes the socket. Idempotent.
  void stop() override;

 private:
  // Owns a file descriptor; closes it when destroyed.
  class Descriptor {
   public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor();
    Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    Descriptor& operator=(Descriptor&& other) noexcept;
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }

   private:
    int fd_;
  };

  // Reader thread: waits on the socket and the stop descriptor, delivering frame by frame.
  void read();

  const std::string interface_;
  const FrameSink sink_;
  Descriptor socket_;  // set by start(), before the thread exists
  Descriptor wakeup_;  // an eventfd written by stop()
  std::thread thread_;
};

}  // namespace VehicleBus
