#pragma once

#include <memory>
#include <string>
#include <string_view>

struct nft_ctx;

namespace tamrin {

// Runs nftables commands in the kernel.
class Nftables {
 public:
  virtual ~Nftables() = default;
  // Runs `commands` (nft syntax, one per line) as one transaction: all take effect or none.
  // Returns the JSON output of list commands (empty for others). Throws PfctlError with the
  // first error line nftables reports.
  virtual std::string run(std::string_view commands) = 0;
};

// Nftables through libnftables, in the caller's network namespace.
class LibNftables final : public Nftables {
 public:
  // Throws PfctlError when the kernel offers no netfilter netlink interface.
  LibNftables();
  ~LibNftables() override;
  std::string run(std::string_view commands) override;

 private:
  nft_ctx* context_;
};

}  // namespace tamrin
