// Looks names up the way programs do, with getaddrinfo, and prints one line per name: the name
// and its distinct addresses in the order returned, or the name and "NOTFOUND".
// Usage: name_service_test_helper unspec|inet|inet6 NAME...
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string_view family = argv[1];
  addrinfo hints{};
  hints.ai_family = family == "inet" ? AF_INET : family == "inet6" ? AF_INET6 : AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  for (int i = 2; i < argc; ++i) {
    addrinfo* result = nullptr;
    std::string line = argv[i];
    if (getaddrinfo(argv[i], nullptr, &hints, &result) != 0) {
      line += " NOTFOUND";
    } else {
      std::vector<std::string> seen;
      for (const addrinfo* entry = result; entry != nullptr; entry = entry->ai_next) {
        char text[NI_MAXHOST];
        if (getnameinfo(entry->ai_addr, entry->ai_addrlen, text, sizeof text, nullptr, 0,
                        NI_NUMERICHOST) != 0) {
          continue;
        }
        if (std::find(seen.begin(), seen.end(), text) != seen.end()) continue;
        seen.emplace_back(text);
        line += " " + seen.back();
      }
      freeaddrinfo(result);
    }
    std::puts(line.c_str());
  }
  return 0;
}
