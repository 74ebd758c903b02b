#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tamrin {

// The service manager that runs the daemon as a unit. Reached for each question, so a manager
// restarted meanwhile is simply asked again. Calls throw what the manager answered.
class ServiceManager {
 public:
  // What the manager has loaded for the unit.
  struct UnitState {
    bool refusesManualStop = false;
    bool needsReload = false;  // a file of the unit changed since the manager read it
  };

  virtual ~ServiceManager() = default;
  // The daemon's own unit ("tamrin-daemon.service").
  virtual std::string unit() const = 0;
  virtual UnitState unitState() = 0;
  // Has the manager read every unit's files again, and returns once it has.
  virtual void reload() = 0;
};

// The systemd that runs this process as a service unit, over its private socket or else the
// system bus; nothing when systemd is not the service manager or this process is not in one of
// its services (a daemon started by hand in a login session).
std::shared_ptr<ServiceManager> systemdServiceManager();

// While a block runs, the daemon's unit refuses a manual stop or restart (and stays through
// an isolate): a runtime drop-in of the unit, gone at reboot, that the manager is asked to load.
// Without a service manager it does nothing and reports nothing.
class StopGuard {
 public:
  static constexpr const char* kName = "stopGuard";
  static constexpr const char* kFileName = "tamrin-stop-guard.conf";
  static constexpr const char* kText =
      "# Written by TamrinDaemon while a block runs and removed when the block ends.\n"
      "[Unit]\n"
      "RefuseManualStop=yes\n"
      "IgnoreOnIsolate=yes\n";

  // `runtimeUnits`: where the manager reads runtime units (/run/systemd/system).
  StopGuard(std::filesystem::path runtimeUnits, std::shared_ptr<ServiceManager> manager)
      : runtimeUnits_(std::move(runtimeUnits)), manager_(std::move(manager)) {}
  // The guard of the systemd that runs this process, if any.
  static StopGuard system();

  // The drop-in's path; empty without a service manager.
  std::filesystem::path dropIn() const;

  // While blocking, writes the drop-in when it is not exactly in place; otherwise removes it.
  // The manager reloads when this pass changed the file, or when it has not read a change and
  // what it loaded is not what the block wants; never otherwise. While blocking, adds kName to `inForce` once the manager refuses
  // a manual stop, or the reason it does not to `problems`. Never throws.
  void reconcile(bool blocking, std::vector<std::string>& inForce,
                 std::map<std::string, std::string>& problems) const;
  // Removes the drop-in and has the manager load its removal. Throws the first failure.
  void remove() const;
  // Removes what a writer killed in the middle of a write left beside the drop-in.
  void removeStaleTemporaries() const;

 private:
  // Puts the file as `blocking` wants it; returns whether it changed anything.
  bool placeFile(bool blocking) const;
  // Has the manager load the file when it must (`changed`: this pass wrote or removed it);
  // returns whether the unit then refuses a manual stop.
  bool managerRefusesStop(bool blocking, bool changed) const;
  // What the unit refuses once the manager has loaded the file, reloading when it must.
  bool loadedRefusal(bool blocking, bool changed) const;

  const std::filesystem::path runtimeUnits_;
  const std::shared_ptr<ServiceManager> manager_;
  // systemd was last seen with no guard loaded, outside a block. Calls are serialised by the
  // holder, as every pass is.
  mutable bool released_ = false;
};

}  // namespace tamrin
