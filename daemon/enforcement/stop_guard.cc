#include "daemon/enforcement/stop_guard.h"

#include <systemd/sd-bus.h>
#include <systemd/sd-daemon.h>
#include <systemd/sd-login.h>

#include <cstdlib>
#include <system_error>

#include "core/directories.h"
#include "core/file_io.h"
#include "core/regular_file.h"
#include "core/system_error.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

constexpr const char* kDestination = "org.freedesktop.systemd1";
constexpr const char* kManagerPath = "/org/freedesktop/systemd1";
constexpr const char* kManagerInterface = "org.freedesktop.systemd1.Manager";
constexpr const char* kUnitInterface = "org.freedesktop.systemd1.Unit";
// A reload of every unit can take seconds on a loaded machine; a pass never waits longer.
constexpr uint64_t kCallTimeoutMicroseconds = 30'000'000;

// Throws the manager's answer, or the errno value `result` stands for.
void check(int result, const sd_bus_error& error, std::string_view what) {
  if (result >= 0) return;
  if (sd_bus_error_is_set(&error) && error.message != nullptr) {
    throw std::runtime_error(std::string(what) + ": " + error.message);
  }
  throwErrno(-result, what);
}

struct BusError {
  sd_bus_error value{};  // SD_BUS_ERROR_NULL, which is a C compound literal
  ~BusError() { sd_bus_error_free(&value); }
};

// A connection to systemd: its private socket, which only root reaches and which works with
// no bus daemon; else the system bus.
struct Bus {
  sd_bus* bus = nullptr;

  Bus() {
    const BusError none;
    if (sd_bus_new(&bus) >= 0 && sd_bus_set_address(bus, "unix:path=/run/systemd/private") >= 0 &&
        sd_bus_start(bus) >= 0) {
      sd_bus_set_method_call_timeout(bus, kCallTimeoutMicroseconds);
      return;
    }
    bus = sd_bus_flush_close_unref(bus);
    check(sd_bus_open_system(&bus), none.value, "connect to systemd");
    sd_bus_set_method_call_timeout(bus, kCallTimeoutMicroseconds);
  }
  ~Bus() { sd_bus_flush_close_unref(bus); }
  Bus(const Bus&) = delete;
  Bus& operator=(const Bus&) = delete;
};

class Systemd final : public ServiceManager {
 public:
  explicit Systemd(std::string unit) : unit_(std::move(unit)) {
    char* path = nullptr;
    if (sd_bus_path_encode("/org/freedesktop/systemd1/unit", unit_.c_str(), &path) < 0) {
      throw std::bad_alloc();
    }
    unitPath_ = path;
    std::free(path);
  }

  std::string unit() const override { return unit_; }

  UnitState unitState() override {
    const Bus bus;
    return {.refusesManualStop = flag(bus, "RefuseManualStop"),
            .needsReload = flag(bus, "NeedDaemonReload")};
  }

  void reload() override {
    const Bus bus;
    BusError error;
    sd_bus_message* reply = nullptr;
    const int result = sd_bus_call_method(bus.bus, kDestination, kManagerPath, kManagerInterface,
                                          "Reload", &error.value, &reply, "");
    sd_bus_message_unref(reply);
    check(result, error.value, "have systemd reload its units");
  }

 private:
  bool flag(const Bus& bus, const char* property) const {
    BusError error;
    int value = 0;
    check(sd_bus_get_property_trivial(bus.bus, kDestination, unitPath_.c_str(), kUnitInterface,
                                      property, &error.value, 'b', &value),
          error.value, std::string("read ") + property + " of " + unit_);
    return value != 0;
  }

  const std::string unit_;
  std::string unitPath_;
};

}  // namespace

std::shared_ptr<ServiceManager> systemdServiceManager() {
  if (sd_booted() <= 0) return nullptr;
  char* unit = nullptr;
  if (sd_pid_get_unit(0, &unit) < 0 || unit == nullptr) return nullptr;
  const std::string name = unit;
  std::free(unit);
  // A daemon started by hand runs in a login session's scope, which is not ours to guard.
  if (!name.ends_with(".service")) return nullptr;
  return std::make_shared<Systemd>(name);
}

StopGuard StopGuard::system() { return StopGuard("/run/systemd/system", systemdServiceManager()); }

fs::path StopGuard::dropIn() const {
  if (!manager_) return {};
  return runtimeUnits_ / (manager_->unit() + ".d") / kFileName;
}

bool StopGuard::placeFile(bool blocking) const {
  const fs::path file = dropIn();
  std::error_code ignored;
  if (!blocking) {
    const bool removed = fs::remove(file);
    fs::remove(file.parent_path(), ignored);  // only when empty: others may keep drop-ins there
    return removed;
  }
  try {
    if (readRegularFile(file, 4096).bytes == kText) return false;
  } catch (const std::exception&) {
    // Missing, another kind of file, or unreadable: replaced below.
  }
  createDirectories(file.parent_path(), 0755);
  writeFileAtomically(file, kText, 0644);
  return true;
}

bool StopGuard::loadedRefusal(bool blocking, bool changed) const {
  if (!changed) {
    const ServiceManager::UnitState state = manager_->unitState();
    // Loaded as wanted, or as someone else's drop-in wants it: a reload would change nothing.
    if (state.refusesManualStop == blocking || !state.needsReload) return state.refusesManualStop;
  }
  manager_->reload();
  return manager_->unitState().refusesManualStop;
}

bool StopGuard::managerRefusesStop(bool blocking, bool changed) const {
  // Released and untouched since: outside blocks, idle passes ask systemd nothing.
  if (!blocking && !changed && released_) return false;
  released_ = false;  // until systemd has answered
  const bool refuses = loadedRefusal(blocking, changed);
  released_ = !blocking && !refuses;
  return refuses;
}

void StopGuard::reconcile(bool blocking, std::vector<std::string>& inForce,
                          std::map<std::string, std::string>& problems) const {
  if (!manager_) return;
  try {
    const bool refuses = managerRefusesStop(blocking, placeFile(blocking));
    if (!blocking) return;
    if (refuses) {
      inForce.emplace_back(kName);
    } else {
      problems[kName] = "systemd does not refuse to stop " + manager_->unit() +
                        ": a drop-in of its own may undo " + dropIn().string();
    }
  } catch (const std::exception& error) {
    if (blocking) problems[kName] = std::string("the stop guard is not in force: ") + error.what();
  }
}

void StopGuard::remove() const {
  if (manager_) managerRefusesStop(false, placeFile(false));
}

void StopGuard::removeStaleTemporaries() const {
  if (manager_) tamrin::removeStaleTemporaries(dropIn());
}

}  // namespace tamrin
