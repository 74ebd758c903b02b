#include "pfctl/nftables.h"

#include <fcntl.h>
#include <linux/netlink.h>
#include <nftables/libnftables.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>

#include "pfctl/pfctl_error.h"

namespace tamrin {
namespace {

// libnftables ends the process when it cannot open its netlink socket; ask the kernel first.
void requireNetfilterNetlink() {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
  if (fd < 0) {
    throw PfctlError(std::string("nftables is not available in this kernel: ") +
                     std::strerror(errno));
  }
  ::close(fd);
}

// Runs `action` with file descriptor 2 sent to a memory file and returns what was written
// there: some libnftables messages (about missing privileges) bypass its error buffer.
std::string capturingStandardError(const std::function<void()>& action) {
  const int capture = ::memfd_create("tamrin-pfctl-stderr", MFD_CLOEXEC);
  const int saved = capture >= 0 ? ::fcntl(2, F_DUPFD_CLOEXEC, 3) : -1;
  if (saved < 0 || ::dup2(capture, 2) < 0) {
    if (saved >= 0) ::close(saved);
    if (capture >= 0) ::close(capture);
    action();
    return {};
  }
  std::fflush(stderr);
  action();
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  std::string text;
  char buffer[4096];
  ssize_t count;
  while ((count = ::pread(capture, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
    text.append(buffer, static_cast<size_t>(count));
  }
  ::close(capture);
  return text;
}

// The first "Error: ..." line of libnftables' error output, without that prefix; the first
// non-empty line when there is none.
std::string firstErrorLine(std::string_view errorOutput) {
  constexpr std::string_view kPrefix = "Error: ";
  std::string_view fallback;
  while (!errorOutput.empty()) {
    const size_t end = errorOutput.find('\n');
    const std::string_view line = errorOutput.substr(0, end);
    errorOutput.remove_prefix(end == std::string_view::npos ? errorOutput.size() : end + 1);
    if (line.starts_with(kPrefix)) return std::string(line.substr(kPrefix.size()));
    if (fallback.empty() && !line.empty()) fallback = line;
  }
  return fallback.empty() ? "unknown error" : std::string(fallback);
}

}  // namespace

LibNftables::LibNftables() {
  requireNetfilterNetlink();
  context_ = nft_ctx_new(NFT_CTX_DEFAULT);
  if (context_ == nullptr) throw PfctlError("cannot create an nftables context");
  nft_ctx_output_set_flags(context_, NFT_CTX_OUTPUT_JSON);
  if (nft_ctx_buffer_output(context_) != 0 || nft_ctx_buffer_error(context_) != 0) {
    nft_ctx_free(context_);
    throw PfctlError("cannot buffer the output of nftables");
  }
}

LibNftables::~LibNftables() { nft_ctx_free(context_); }

std::string LibNftables::run(std::string_view commands) {
  const std::string terminated(commands);
  int result = 0;
  const std::string stray = capturingStandardError(
      [&] { result = nft_run_cmd_from_buffer(context_, terminated.c_str()); });
  const char* output = nft_ctx_get_output_buffer(context_);
  if (result != 0) {
    const char* errors = nft_ctx_get_error_buffer(context_);
    std::string_view report = stray;
    if (report.empty() && errors != nullptr) report = errors;
    throw PfctlError("nftables: " + firstErrorLine(report));
  }
  return output != nullptr ? output : "";
}

}  // namespace tamrin
