#include "daemon/enforcement/packet_copies.h"

#include <fcntl.h>
#include <libnetfilter_log/libnetfilter_log.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

namespace tamrin {
namespace {

// Room for bursts of copies while the reader is busy.
constexpr int kReceiveBuffer = 4 << 20;

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

PacketCopies::PacketCopies(std::uint16_t group) {
  const std::string name = "log group " + std::to_string(group);
  handle_ = nflog_open();
  if (handle_ == nullptr) fail("netfilter log socket");
  try {
    group_ = nflog_bind_group(handle_, group);
    if (group_ == nullptr) fail("binding " + name);
    if (nflog_set_mode(group_, NFULNL_COPY_PACKET, kCopyRange) < 0) fail("copy mode of " + name);
    // One copy per message, sent at once: the kernel's defaults batch them for up to a second.
    if (nflog_set_qthresh(group_, 1) < 0 || nflog_set_timeout(group_, 0) < 0) {
      fail("delivery of " + name);
    }
    const auto callback = [](nflog_g_handle*, nfgenmsg*, nflog_data* data, void* self) {
      char* payload = nullptr;
      const int length = nflog_get_payload(data, &payload);
      const Handler* handler = static_cast<PacketCopies*>(self)->handler_;
      if (length > 0 && handler != nullptr) {
        (*handler)({reinterpret_cast<const std::uint8_t*>(payload), static_cast<size_t>(length)});
      }
      return 0;
    };
    if (nflog_callback_register(group_, callback, this) < 0) fail("callback of " + name);
    const int socket = nflog_fd(handle_);
    if (setsockopt(socket, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) !=
        0) {
      setsockopt(socket, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    }
    const int flags = fcntl(socket, F_GETFL);
    if (flags < 0 || fcntl(socket, F_SETFL, flags | O_NONBLOCK) < 0) fail("reading " + name);
  } catch (...) {
    if (group_ != nullptr) nflog_unbind_group(group_);
    nflog_close(handle_);
    throw;
  }
}

PacketCopies::~PacketCopies() {
  nflog_unbind_group(group_);
  nflog_close(handle_);
}

int PacketCopies::fd() const { return nflog_fd(handle_); }

std::size_t PacketCopies::readWaiting(const Handler& handler) {
  std::size_t count = 0;
  const Handler counting = [&](std::span<const std::uint8_t> packet) {
    ++count;
    handler(packet);
  };
  handler_ = &counting;
  struct Reset {
    const Handler*& handler;
    ~Reset() { handler = nullptr; }
  } reset{handler_};
  for (;;) {
    const ssize_t received = recv(fd(), buffer_.data(), buffer_.size(), 0);
    if (received >= 0) {
      nflog_handle_packet(handle_, buffer_.data(), static_cast<int>(received));
    } else if (errno == ENOBUFS) {
      ++overruns_;
    } else if (errno == EAGAIN) {
      return count;
    } else if (errno != EINTR) {
      fail("reading packet copies");
    }
  }
}

}  // namespace tamrin
