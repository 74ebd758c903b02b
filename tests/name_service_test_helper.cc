// Looks names up the way programs do, with getaddrinfo, and prints one line per name: the name
// and its distinct addresses in the order returned, or the name and "NOTFOUND".
// Usage: name_service_test_helper unspec|inet|inet6 NAME...
//
// With "module", calls the entry point _nss_tamrin_gethostbyname4_r of the module file itself
// (opened with dlopen, as glibc does) and prints "NAME sink" or "NAME NOTFOUND" per name.
// Usage: name_service_test_helper module MODULE NAME...
//
// With "fork-stress", 8 threads look names up through the module while the list at LIST is
// replaced over and over and the program forks FORKS times; each child looks one listed name
// up and exits. Prints "forks N hung H wrong W" (a child that has not exited after 10 s is
// hung and killed; after 3 hung children it stops forking) and exits 0 only when H and W are 0.
// Usage: name_service_test_helper fork-stress MODULE LIST FORKS
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netdb.h>
#include <nss.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

int lookUpWithGetaddrinfo(int argc, char** argv) {
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

using ByName4 = nss_status (*)(const char*, gaih_addrtuple**, char*, size_t, int*, int*, int32_t*);

ByName4 openModule(const char* path) {
  void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  void* entry = module ? dlsym(module, "_nss_tamrin_gethostbyname4_r") : nullptr;
  if (entry == nullptr) {
    std::fprintf(stderr, "cannot use %s: %s\n", path, dlerror());
    std::exit(2);
  }
  return reinterpret_cast<ByName4>(entry);
}

// Whether the module sinks `name`: success with 0.0.0.0 first. Anything else is false.
bool sinks(ByName4 byName4, const char* name) {
  char buffer[1024];
  gaih_addrtuple* tuples = nullptr;
  int error = 0, hostError = 0;
  int32_t ttl = 0;
  if (byName4(name, &tuples, buffer, sizeof buffer, &error, &hostError, &ttl) !=
      NSS_STATUS_SUCCESS) {
    return false;
  }
  return tuples != nullptr && tuples->family == AF_INET && tuples->addr[0] == 0;
}

int lookUpWithModule(int argc, char** argv) {
  const ByName4 byName4 = openModule(argv[2]);
  for (int i = 3; i < argc; ++i)
    std::printf("%s %s\n", argv[i], sinks(byName4, argv[i]) ? "sink" : "NOTFOUND");
  return 0;
}

// Waits up to `seconds` for the child; false when it had to be killed.
bool reap(pid_t child, int seconds, int* status) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child, 0));
  pollfd exited{.fd = pidfd, .events = POLLIN, .revents = 0};
  const bool done = pidfd < 0 || poll(&exited, 1, seconds * 1000) == 1;
  if (!done) kill(child, SIGKILL);
  if (pidfd >= 0) close(pidfd);
  waitpid(child, status, 0);
  return done;
}

int forkWhileResolving(char** argv) {
  const ByName4 byName4 = openModule(argv[2]);
  const std::string list = argv[3];
  const int forks = std::atoi(argv[4]);
  std::string large, small = "example.com\n";
  for (int i = 0; i < 5000; ++i) large += "blocked-" + std::to_string(i) + ".example.net\n";
  large += small;

  const auto replace = [&](const std::string& text) {
    std::ofstream(list + ".new", std::ios::trunc) << text;
    std::rename((list + ".new").c_str(), list.c_str());
  };
  replace(small);
  std::atomic<bool> stop = false;
  std::atomic<int> wrong = 0;
  std::vector<std::jthread> threads;
  threads.emplace_back([&] {
    for (int i = 0; !stop; ++i) {
      replace(i % 2 ? large : small);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      while (!stop) {
        if (!sinks(byName4, "www.example.com") || sinks(byName4, "allowed.example.org")) ++wrong;
      }
    });
  }
  int forked = 0, hung = 0;
  for (; forked < forks && hung < 3; ++forked) {
    const pid_t child = fork();
    if (child == 0) _exit(sinks(byName4, "cdn.example.com") ? 0 : 3);
    if (child < 0) {
      ++wrong;
      continue;
    }
    int status = 0;
    if (!reap(child, 10, &status)) {
      ++hung;
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      ++wrong;
    }
  }
  stop = true;
  threads.clear();
  std::printf("forks %d hung %d wrong %d\n", forked, hung, wrong.load());
  return hung == 0 && wrong == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::string_view mode = argv[1];
  if (mode == "module") return lookUpWithModule(argc, argv);
  if (mode == "fork-stress") return argc == 5 ? forkWhileResolving(argv) : 2;
  return lookUpWithGetaddrinfo(argc, argv);
}
