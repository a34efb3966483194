#include "kest/vehiclebus/SocketCanSource.h"

#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "kest/ApplicationLogger.h"

namespace VehicleBus {

namespace {

std::int64_t realtimeUs() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

SocketCanSource::Descriptor::~Descriptor() {
  if (fd_ >= 0) ::close(fd_);
}

SocketCanSource::Descriptor& SocketCanSource::Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

SocketCanSource::SocketCanSource(std::string interface, std::shared_ptr<BusDispatcher> dispatcher, FrameSink sink)
    : interface_(std::move(interface)), sink_(sinkOrDispatcher(std::move(sink), std::move(dispatcher))) {}

SocketCanSource::~SocketCanSource() { stop(); }

bool SocketCanSource::isValidInterfaceName(const std::string& name) {
  if (name.empty() || name.size() >= IFNAMSIZ) return false;
  for (const char c : name) {
    const bool ok =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
    if (!ok) return false;
  }
  return true;
}

std::optional<CanFrame> SocketCanSource::convert(const struct canfd_frame& raw, std::size_t bytesRead,
                                                 std::int64_t timestampUs) {
  CanFrame frame;
  frame.fd = bytesRead == CANFD_MTU;
  frame.remote = (raw.can_id & CAN_RTR_FLAG) != 0;
  const bool valid = frame.fd ? !frame.remote && CanFrame::isFdLength(raw.len)
                              : bytesRead == CAN_MTU && raw.len <= CanFrame::kMaxClassicData;
  if (!valid || (raw.can_id & CAN_ERR_FLAG) != 0) return std::nullopt;
  frame.extended = (raw.can_id & CAN_EFF_FLAG) != 0;
  frame.id = raw.can_id & (frame.extended ? CAN_EFF_MASK : CAN_SFF_MASK);
  frame.length = frame.remote ? 0 : raw.len;
  frame.fdFlags = frame.fd ? static_cast<std::uint8_t>(raw.flags & 0xF) : 0;
  std::copy(raw.data, raw.data + frame.length, frame.data.begin());
  frame.timestampUs = timestampUs;
  return frame;
}

void SocketCanSource::start() {
  if (thread_.joinable()) return;
  const std::string prefix = "Cannot open CAN interface " + ApplicationLogger::shortened(interface_, 32) + ": ";
  if (!isValidInterfaceName(interface_)) throw std::runtime_error(prefix + "invalid interface name");
  Descriptor socket(::socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW));
  if (socket.get() < 0) throw std::runtime_error(prefix + std::strerror(errno));
  const unsigned index = if_nametoindex(interface_.c_str());
  if (index == 0) throw std::runtime_error(prefix + std::strerror(errno));
  struct sockaddr_can address {};
  address.can_family = AF_CAN;
  address.can_ifindex = static_cast<int>(index);
  // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the sockets API takes a generic address
  if (::bind(socket.get(), reinterpret_cast<const struct sockaddr*>(&address), sizeof address) != 0)
    throw std::runtime_error(prefix + std::strerror(errno));
  const int on = 1;
  if (::setsockopt(socket.get(), SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on) != 0)
    ZEM_WARN("No kernel time stamps on " << interface_ << ": " << std::strerror(errno) << "; using arrival times");
  if (::setsockopt(socket.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) != 0)
    ZEM_WARN("No CAN FD frames on " << interface_ << ": " << std::strerror(errno) << "; reading classical frames");
  Descriptor wakeup(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (wakeup.get() < 0) throw std::runtime_error(prefix + "no eventfd: " + std::strerror(errno));
  socket_ = std::move(socket);
  wakeup_ = std::move(wakeup);
  try {
    thread_ = std::thread([this] { read(); });
  } catch (const std::system_error& e) {
    socket_ = Descriptor();
    wakeup_ = Descriptor();
    throw std::runtime_error(prefix + "cannot start the reader thread: " + e.what());
  }
  ZEM_INFO("Reading CAN frames from " << interface_);
}

void SocketCanSource::stop() {
  if (thread_.joinable()) {
    const std::uint64_t one = 1;
    if (::write(wakeup_.get(), &one, sizeof one) < 0) ZEM_ERROR("Cannot wake the CAN reader of " << interface_);
    thread_.join();
  }
  socket_ = Descriptor();
  wakeup_ = Descriptor();
}

void SocketCanSource::read() {
  std::size_t failures = 0;
  std::vector<CanFrame> one(1);  // the frame handed on, without an allocation per frame
  while (true) {
    struct pollfd fds[2] = {{socket_.get(), POLLIN, 0}, {wakeup_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      ZEM_ERROR("Waiting for CAN frames on " << interface_ << " failed: " << std::strerror(errno));
      return;
    }
    if ((fds[1].revents & POLLIN) != 0) return;
    if ((fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0 && (fds[0].revents & POLLIN) == 0) {
      ZEM_ERROR("The CAN interface " << interface_ << " went away");
      return;
    }
    struct canfd_frame raw {};  // a classical frame fills its first CAN_MTU bytes
    struct iovec data {
      &raw, sizeof raw
    };
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(struct timeval))];
    struct msghdr message {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = ::recvmsg(socket_.get(), &message, MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      // A bus-off or a full queue reports errors; give up only when they keep coming.
      ZEM_ERROR("Reading from the CAN interface " << interface_ << " failed: " << std::strerror(errno));
      if (++failures > 100) return;
      continue;
    }
    failures = 0;
    std::int64_t stamp = realtimeUs();
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SO_TIMESTAMP) {
        struct timeval tv {};
        std::memcpy(&tv, CMSG_DATA(c), sizeof tv);
        stamp = static_cast<std::int64_t>(tv.tv_sec) * 1'000'000 + tv.tv_usec;
      }
    }
    if (const std::optional<CanFrame> frame = convert(raw, static_cast<std::size_t>(n), stamp)) {
      one[0] = *frame;
      sink_(interface_, one);
    }
  }
}

}  // namespace VehicleBus
