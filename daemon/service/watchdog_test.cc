#include "daemon/service/watchdog.h"

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <string>

#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

TEST(SystemdServiceNotifier, SendsEachStateToTheNotifySocketAndNothingWithoutOne) {
  ScratchDirectory scratch("watchdog");
  const std::string path = (scratch.path() / "notify").string();
  const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(socket, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  ASSERT_EQ(::setenv("NOTIFY_SOCKET", path.c_str(), 1), 0);
  const ServiceNotifier notify = systemdServiceNotifier();
  for (const std::string_view state : {kServing, kAlive, kAlive}) {
    notify(state);
    char buffer[64] = {};
    const ssize_t count = ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
    EXPECT_EQ(std::string(buffer, count > 0 ? static_cast<std::size_t>(count) : 0), state);
  }
  ASSERT_EQ(::unsetenv("NOTIFY_SOCKET"), 0);
  notify(kAlive);
  char buffer[64];
  EXPECT_EQ(::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT), -1) << "nothing sent";
  ::close(socket);
}

}  // namespace
}  // namespace tamrin
