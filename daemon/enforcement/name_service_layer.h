#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace tamrin {

// The files of the name-service layer.
struct NameServicePaths {
  std::filesystem::path suffixList;  // read by the module: one suffix per line
  std::filesystem::path nsswitch;
  std::filesystem::path module;  // libnss_tamrin.so.2 where glibc finds it

  // /run/tamrin/suffixes, /etc/nsswitch.conf, and the module in the directory of the C
  // library this program runs with.
  static NameServicePaths system();
};

// The list text for the suffix rules among `domains`: each rule's domain without "*." and
// without a trailing dot, one per line, in order, without repetition; empty without rules.
std::string suffixListText(const std::vector<std::string>& domains);

// Keeps the module's suffix list in line with the schedule and, while a block with suffix rules
// runs, the module file and the "tamrin" source first on the hosts: line (put back when edited).
class NameServiceLayer {
 public:
  static constexpr const char* kName = "nameService";

  explicit NameServiceLayer(NameServicePaths paths) : paths_(std::move(paths)) {}

  // Writes the list (the rules' suffixes while blocking, empty otherwise) when it differs,
  // atomically with mode 0644 in a directory of mode 0755 (made so when missing), whatever
  // the umask. A FIFO or a device at its name is never opened, and nothing is written
  // through a link: the new list is renamed into place. While blocking with suffix rules, adds
  // kName to `inForce` or the reason to `problems`. Never throws.
  void reconcile(bool blocking, const std::vector<std::string>& domains,
                 std::vector<std::string>& inForce,
                 std::map<std::string, std::string>& problems) const;
  // Empties the list. Throws the file system's error.
  void remove() const;
  // Removes the temporaries that a writer killed in the middle of a write left beside the
  // list (removeStaleTemporaries). Call it only while no pass runs. Never throws.
  void removeStaleTemporaries() const;

 private:
  void writeList(const std::string& text) const;
  const NameServicePaths paths_;
};

}  // namespace tamrin
