// tamrin-nsswitch add|remove|check [FILE]: puts the "tamrin" source first on the hosts: line
// of FILE (default /etc/nsswitch.conf; refused when it has several), takes it off every hosts:
// line again leaving every other byte, or tells whether it is first on each. Used by
// installation, removal and the package's maintainer scripts. Exit status 0 on success (check:
// tamrin is first), 1 with one "tamrin-nsswitch: ..." line on standard error otherwise, 2 for
// a wrong command line.
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>

#include "core/file_io.h"
#include "core/nsswitch_hosts.h"

namespace {

int fail(const std::string& message, int status) {
  std::fprintf(stderr, "tamrin-nsswitch: %s\n", message.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tamrin;
  if (argc < 2 || argc > 3) return fail("usage: tamrin-nsswitch add|remove|check [FILE]", 2);
  const std::string_view command = argv[1];
  const std::string file = argc == 3 ? argv[2] : "/etc/nsswitch.conf";
  try {
    if (command == "add") {
      const bool wrote = editNsswitchFile(file, withTamrinFirst);
      std::printf("tamrin-nsswitch: %s\n", wrote ? "tamrin is now the first hosts: source"
                                                 : "tamrin was the first hosts: source already");
    } else if (command == "remove") {
      editNsswitchFile(file, withoutTamrin);
    } else if (command == "check") {
      if (tamrinSourceOnHostsLine(readFile(file)) != TamrinSource::first) {
        return fail("tamrin is not the first source of the hosts: line of " + file, 1);
      }
    } else {
      return fail("usage: tamrin-nsswitch add|remove|check [FILE]", 2);
    }
  } catch (const std::exception& error) {
    return fail(std::string(error.what()) + " (" + file + "; nothing was changed)", 1);
  }
  return 0;
}
