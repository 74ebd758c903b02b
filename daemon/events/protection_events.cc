#include "daemon/events/protection_events.h"

#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nf_tables.h>
#include <linux/netfilter/nfnetlink.h>
#include <sys/inotify.h>

#include <cstring>
#include <string_view>

namespace tamrin {
namespace {

constexpr std::string_view kTable = "tamrin";
// Every nftables object message carries its table's name as attribute 1
// (NFTA_TABLE_NAME, NFTA_CHAIN_TABLE, NFTA_RULE_TABLE, NFTA_SET_TABLE, ...).
constexpr uint16_t kTableAttribute = 1;

bool concernsAnchor(const nlmsghdr* message) {
  if (NFNL_SUBSYS_ID(message->nlmsg_type) != NFNL_SUBSYS_NFTABLES) return false;
  if (NFNL_MSG_TYPE(message->nlmsg_type) == NFT_MSG_NEWGEN) return false;
  if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nfgenmsg))) return true;
  const auto* header = static_cast<const nfgenmsg*>(mnl_nlmsg_get_payload(message));
  const auto* start =
      static_cast<const char*>(mnl_nlmsg_get_payload_offset(message, sizeof(nfgenmsg)));
  const auto* end = reinterpret_cast<const char*>(message) + message->nlmsg_len;
  for (auto* attribute = reinterpret_cast<const nlattr*>(start);
       mnl_attr_ok(attribute, static_cast<int>(end - reinterpret_cast<const char*>(attribute)));
       attribute = mnl_attr_next(attribute)) {
    if (mnl_attr_get_type(attribute) != kTableAttribute) continue;
    const auto* text = static_cast<const char*>(mnl_attr_get_payload(attribute));
    const std::string_view name(text, strnlen(text, mnl_attr_get_payload_len(attribute)));
    return header->nfgen_family == NFPROTO_INET && name == kTable;
  }
  return true;
}

}  // namespace

bool concernsAnchorTable(const void* messages, std::size_t length) {
  auto remaining = static_cast<int>(length);
  for (auto* message = static_cast<const nlmsghdr*>(messages); mnl_nlmsg_ok(message, remaining);
       message = mnl_nlmsg_next(message, &remaining)) {
    if (concernsAnchor(message)) return true;
  }
  return false;
}

InotifyVerdict interpretInotifyEvents(const void* events, std::size_t length,
                                      const std::map<int, std::vector<std::string>>& watches) {
  InotifyVerdict verdict;
  const auto* bytes = static_cast<const char*>(events);
  for (std::size_t offset = 0; offset + sizeof(inotify_event) <= length;) {
    inotify_event event;
    std::memcpy(&event, bytes + offset, sizeof event);
    const char* name = bytes + offset + sizeof event;
    offset += sizeof event + event.len;
    if (offset > length) break;
    if (event.mask & IN_Q_OVERFLOW) verdict.relevant = true;  // events were lost
    const auto found = watches.find(event.wd);
    if (found == watches.end()) continue;
    if (event.mask & IN_IGNORED) {
      verdict.dropped.push_back(event.wd);
      verdict.relevant = true;  // the watched file or directory is gone
    } else if (found->second.empty()) {
      verdict.relevant = true;
    } else if (event.len > 0) {
      const std::string_view changed(name, strnlen(name, event.len));
      for (const std::string& watched : found->second) verdict.relevant |= watched == changed;
    }
  }
  return verdict;
}

}  // namespace tamrin
