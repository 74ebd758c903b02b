#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "core/mutex.h"
#include "daemon/enforcement/flow_tuple.h"
#include "daemon/enforcement/packet_copies.h"

namespace tamrin {

// What the first packets of one flow told: its tuple, whether it is refused, the name read.
struct FlowJudgement {
  FlowTuple flow;
  bool refused = false;
  std::string name;  // "" when no name could be read
};

// Decides flows from copies of their packets against the blocked domains. Used from one
// thread at a time.
class FlowJudge {
 public:
  virtual ~FlowJudge() = default;
  // The domains whose names (and their subdomains) are refused from now on.
  virtual void useDomains(const std::vector<std::string>& domains) = 0;
  // The decision on the packet's flow once its packets so far suffice, else nothing; a packet
  // of a flow already decided gives nothing. `now`: seconds on a clock that never goes back.
  virtual std::optional<FlowJudgement> judge(std::span<const std::uint8_t> ipPacket,
                                             double now) = 0;
  // Forgets the flows that stayed undecided too long.
  virtual void expire(double now) = 0;
};

// The kernel's side of reading names on the wire: the copies of packets, the marks of
// connections and the local sockets. Used from one thread at a time.
class WireKernel {
 public:
  virtual ~WireKernel() = default;
  virtual int copiesFd() const = 0;
  // PacketCopies::readWaiting; throws std::system_error.
  virtual std::size_t readCopies(const PacketCopies::Handler& handler) = 0;
  virtual std::uint64_t overruns() const = 0;
  virtual std::error_code mark(const FlowTuple& flow, std::uint32_t mark) = 0;  // FlowMarks
  virtual std::error_code destroySocket(const FlowTuple& flow) = 0;             // SocketDestroyer
};

// The kernel itself: binds kPacketCopyGroup and opens the conntrack and sock_diag sockets, and
// checks that the kernel lets this process mark connections and destroy sockets. Throws
// std::system_error naming what failed.
std::unique_ptr<WireKernel> openWireKernel();

// While a block runs, reads the server name of every new web flow on the wire (the packet
// filter's names table copies the flows' first packets) and stops the flows of blocked
// domains: the local socket is destroyed at once and the connection is marked refused, so
// the filter rejects whatever else it sends; a flow allowed is marked passed and no longer
// copied. One thread of its own does this, from the first pass of a block to its end.
class WireNamesLayer {
 public:
  static constexpr const char* kName = "namesOnTheWire";

  struct Seams {
    std::function<std::unique_ptr<WireKernel>()> openKernel = openWireKernel;
    std::function<std::unique_ptr<FlowJudge>()> newJudge;
    std::function<double()> now;  // seconds on a clock that never goes back
  };

  // What the layer did since the block began.
  struct Counts {
    std::uint64_t refusedFlows = 0;     // flows refused by their name
    std::uint64_t lostInspections = 0;  // times the kernel dropped copies (ENOBUFS)
  };

  explicit WireNamesLayer(Seams seams);
  ~WireNamesLayer();
  WireNamesLayer(const WireNamesLayer&) = delete;
  WireNamesLayer& operator=(const WireNamesLayer&) = delete;

  // While blocking with domains: starts the reading (again, after a failure) with `domains`,
  // or hands the running one the new domains, and adds kName to `inForce`, or the reason it is
  // not to `problems`. Otherwise: stops reading and reports nothing. Never throws.
  void reconcile(bool blocking, const std::vector<std::string>& domains,
                 std::vector<std::string>& inForce, std::map<std::string, std::string>& problems)
      EXCLUDES(lock_);
  // Zero outside blocks.
  Counts counts() const EXCLUDES(lock_);
  // Stops reading, waiting for the thread to end. Never throws.
  void stop() EXCLUDES(lock_);

 private:
  class Inspection;
  struct Tally;

  const Seams seams_;
  mutable Mutex lock_;
  std::unique_ptr<Inspection> inspection_ GUARDED_BY(lock_);
  std::shared_ptr<Tally> tally_ GUARDED_BY(lock_);  // since the block began
  std::vector<std::string> domains_ GUARDED_BY(lock_);
};

}  // namespace tamrin
