#include "daemon/enforcement/wire_names_layer.h"

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <exception>

#include "core/packet_filter_rules.h"
#include "core/poll_thread.h"
#include "daemon/enforcement/flow_marks.h"
#include "daemon/enforcement/socket_destroy.h"

namespace tamrin {
namespace {

// How often flows left undecided are looked at.
constexpr double kExpiryInterval = 2.0;

class SystemWireKernel final : public WireKernel {
 public:
  SystemWireKernel() : copies_(kPacketCopyGroup) {}

  int copiesFd() const override { return copies_.fd(); }
  std::size_t readCopies(const PacketCopies::Handler& handler) override {
    return copies_.readWaiting(handler);
  }
  std::uint64_t overruns() const override { return copies_.overruns(); }
  std::error_code mark(const FlowTuple& flow, std::uint32_t mark) override {
    return marks_.mark(flow, mark);
  }
  std::error_code destroySocket(const FlowTuple& flow) override { return sockets_.destroy(flow); }

 private:
  PacketCopies copies_;
  FlowMarks marks_;
  SocketDestroyer sockets_;
};

// Throws when the kernel answers a request about a flow that cannot exist with anything but
// "no such flow": the right to mark or destroy is missing, or the kernel lacks the feature.
void requireAnswerForNoFlow(std::error_code answer, const char* what) {
  if (answer && answer != std::errc::no_such_file_or_directory) {
    throw std::system_error(answer, what);
  }
}

}  // namespace

std::unique_ptr<WireKernel> openWireKernel() {
  auto kernel = std::make_unique<SystemWireKernel>();
  const FlowTuple nobody{.protocol = IPPROTO_TCP};
  requireAnswerForNoFlow(kernel->mark(nobody, kFlowMarkPassed), "marking connections");
  requireAnswerForNoFlow(kernel->destroySocket(nobody), "destroying sockets");
  return kernel;
}

struct WireNamesLayer::Tally {
  std::atomic<std::uint64_t> refusedFlows{0};
  std::atomic<std::uint64_t> lostInspections{0};
};

// One run of the reading thread, from its start to the block's end or its failure.
class WireNamesLayer::Inspection {
 public:
  Inspection(std::unique_ptr<WireKernel> kernel, std::unique_ptr<FlowJudge> judge,
             std::shared_ptr<Tally> tally, std::function<double()> now)
      : kernel_(std::move(kernel)),
        judge_(std::move(judge)),
        tally_(std::move(tally)),
        now_(std::move(now)) {
    thread_.watch(kernel_->copiesFd(), POLLIN, [this](short) { readCopies(); });
    thread_.start({.beforeWait = [this] { return beforeWait(); },
                   .failed =
                       [this](int error) {
                         MutexLock hold(lock_);
                         failure_ = "waiting for packet copies failed: " +
                                    std::generic_category().message(error);
                         ended_ = true;
                       }});
  }

  // From the pass: the thread applies them before its next wait.
  void useDomains(const std::vector<std::string>& domains) EXCLUDES(lock_) {
    {
      MutexLock hold(lock_);
      pendingDomains_ = domains;
    }
    thread_.wake();
  }

  // Why the layer is not in force ("" when it is), and whether the thread has ended.
  std::string problem() const EXCLUDES(lock_) {
    MutexLock hold(lock_);
    return failure_;
  }
  bool ended() const EXCLUDES(lock_) {
    MutexLock hold(lock_);
    return ended_;
  }

 private:
  PollThread::Wait beforeWait() EXCLUDES(lock_) {
    std::optional<std::vector<std::string>> domains;
    {
      MutexLock hold(lock_);
      domains.swap(pendingDomains_);
    }
    try {
      if (domains) judge_->useDomains(*domains);
      const double now = now_();
      if (now >= nextExpiry_) {
        judge_->expire(now);
        nextExpiry_ = now + kExpiryInterval;
      }
    } catch (const std::exception& error) {
      fail(std::string("inspecting flows failed: ") + error.what());
    }
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(kExpiryInterval));
  }

  void readCopies() {
    try {
      kernel_->readCopies([this](std::span<const std::uint8_t> packet) {
        if (const auto judgement = judge_->judge(packet, now_())) decide(*judgement);
      });
    } catch (const std::exception& error) {
      fail(std::string("reading packet copies failed: ") + error.what());
    }
    const std::uint64_t overruns = kernel_->overruns();
    tally_->lostInspections += overruns - overrunsSeen_;
    overrunsSeen_ = overruns;
  }

  // Stops the flow refused at once and marks it, or marks the flow passed. The last answer of
  // the kernel other than "no such flow" stays the layer's problem until a later one succeeds.
  void decide(const FlowJudgement& judgement) EXCLUDES(lock_) {
    std::error_code destroyed;
    if (judgement.refused) {
      tally_->refusedFlows += 1;  // first: whoever sees the flow stopped sees it counted
      destroyed = kernel_->destroySocket(judgement.flow);
    }
    const std::error_code marked =
        kernel_->mark(judgement.flow, judgement.refused ? kFlowMarkRefused : kFlowMarkPassed);
    const auto counts = [](std::error_code answer) {
      return answer && answer != std::errc::no_such_file_or_directory;
    };
    MutexLock hold(lock_);
    if (counts(marked)) {
      failure_ = "connections cannot be marked: " + marked.message();
    } else if (counts(destroyed)) {
      failure_ = "sockets cannot be destroyed: " + destroyed.message();
    } else if (!ended_) {
      failure_.clear();
    }
  }

  void fail(std::string reason) EXCLUDES(lock_) {
    {
      MutexLock hold(lock_);
      failure_ = std::move(reason);
      ended_ = true;
    }
    thread_.stop();
  }

  // Constant after construction; used by the thread alone.
  const std::unique_ptr<WireKernel> kernel_;
  const std::unique_ptr<FlowJudge> judge_;
  const std::shared_ptr<Tally> tally_;
  const std::function<double()> now_;
  double nextExpiry_ = 0;
  std::uint64_t overrunsSeen_ = 0;

  mutable Mutex lock_;
  std::optional<std::vector<std::string>> pendingDomains_ GUARDED_BY(lock_);
  std::string failure_ GUARDED_BY(lock_);
  bool ended_ GUARDED_BY(lock_) = false;

  PollThread thread_;  // last: it stops before what its callbacks use goes
};

WireNamesLayer::WireNamesLayer(Seams seams) : seams_(std::move(seams)) {}

WireNamesLayer::~WireNamesLayer() { stop(); }

void WireNamesLayer::reconcile(bool blocking, const std::vector<std::string>& domains,
                               std::vector<std::string>& inForce,
                               std::map<std::string, std::string>& problems) {
  MutexLock hold(lock_);
  if (!blocking || domains.empty()) {
    inspection_.reset();
    tally_.reset();
    domains_.clear();
    return;
  }
  if (!tally_) tally_ = std::make_shared<Tally>();
  // A reading that ended is reported this once and started again at once.
  std::string ended;
  if (inspection_ && inspection_->ended()) {
    ended = inspection_->problem();
    inspection_.reset();
  }
  try {
    if (!inspection_) {
      auto judge = seams_.newJudge();
      judge->useDomains(domains);
      inspection_ =
          std::make_unique<Inspection>(seams_.openKernel(), std::move(judge), tally_, seams_.now);
      domains_ = domains;
    } else if (domains != domains_) {
      inspection_->useDomains(domains);
      domains_ = domains;
    }
  } catch (const std::exception& error) {
    problems[kName] = std::string("cannot inspect server names: ") + error.what();
    return;
  }
  if (std::string problem = ended.empty() ? inspection_->problem() : ended; !problem.empty()) {
    problems[kName] = std::move(problem);
  } else {
    inForce.emplace_back(kName);
  }
}

WireNamesLayer::Counts WireNamesLayer::counts() const {
  MutexLock hold(lock_);
  if (!tally_) return {};
  return {.refusedFlows = tally_->refusedFlows, .lostInspections = tally_->lostInspections};
}

void WireNamesLayer::stop() {
  std::unique_ptr<Inspection> ending;
  {
    MutexLock hold(lock_);
    ending = std::move(inspection_);
    tally_.reset();
    domains_.clear();
  }
}

}  // namespace tamrin
