#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

struct nflog_handle;
struct nflog_g_handle;

namespace tamrin {

// The packets the packet filter copies to an NFLOG group ("log group N"), read by this process
// alone: the group is bound here, each copy holds up to kCopyRange bytes of the packet from its
// IP header on, and each is delivered at once. Packets never wait for the reader: when it falls
// behind, the kernel drops copies and says so (ENOBUFS), which is counted here, not fatal.
class PacketCopies {
 public:
  // A whole datagram of a 1500-byte link with its headers, so a QUIC Initial arrives whole.
  static constexpr std::uint32_t kCopyRange = 2048;

  // Binds `group`. Throws std::system_error when it cannot (EBUSY: another reader holds it;
  // EPERM without CAP_NET_ADMIN).
  explicit PacketCopies(std::uint16_t group);
  ~PacketCopies();
  PacketCopies(const PacketCopies&) = delete;
  PacketCopies& operator=(const PacketCopies&) = delete;

  // The descriptor to poll for POLLIN; it never blocks.
  int fd() const;

  using Handler = std::function<void(std::span<const std::uint8_t> ipPacket)>;
  // Reads every copy waiting and hands each to `handler`, on this thread; returns how many.
  // A loss reported by the kernel is counted and reading goes on. Throws std::system_error for
  // any other failure of the socket.
  std::size_t readWaiting(const Handler& handler);

  // How many times the kernel reported copies lost since the group was bound.
  std::uint64_t overruns() const { return overruns_; }

 private:
  nflog_handle* handle_ = nullptr;
  nflog_g_handle* group_ = nullptr;
  const Handler* handler_ = nullptr;                       // during readWaiting only
  std::vector<char> buffer_ = std::vector<char>(1 << 16);  // one message: a copy and its attributes
  std::uint64_t overruns_ = 0;
};

}  // namespace tamrin
