#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "daemon/enforcement/packet_filter.h"
#include "daemon/service/block_record.h"

namespace tamrin {

// One place that holds a copy of the block record's text. `read` gives absent when there is
// none; all three throw when the place cannot be read or changed.
struct BlockRecordStore {
  std::function<std::optional<std::string>()> read;
  std::function<void(const std::string&)> write;
  std::function<void()> clear;
  // Reading costs a run of a tool: read again only when asked to recheck.
  bool costly = false;
};

// The file under /run/tamrin: written atomically with mode 0600, read only when it is a
// regular file (never a link) owned by this process's user and writable by no one else.
BlockRecordStore runFileRecordStore(std::filesystem::path file);
// The record kept in the packet filter's table, through the tool.
BlockRecordStore packetFilterRecordStore(PacketFilter filter);

// A store in memory that counts what it was asked; `failing` makes every call throw.
struct MemoryRecordStore {
  std::optional<std::string> text;
  int reads = 0;
  int writes = 0;
  int clears = 0;
  bool failing = false;

  BlockRecordStore store(bool costly = false);
};

// Keeps the same record in every store. Not synchronised: the service calls it under its lock.
class BlockRecordKeeper {
 public:
  explicit BlockRecordKeeper(std::vector<BlockRecordStore> stores) : stores_(std::move(stores)) {}

  // The record of the latest end among the copies that can be read and decoded.
  std::optional<BlockRecord> load();
  // Makes every store hold `record` (none: nothing), writing only where it differs. A costly
  // store is read again only when `recheck` or when the record changed since it was kept.
  // Absorbs every failure: the next call tries again.
  void keep(const std::optional<BlockRecord>& record, bool recheck);
  // Removes the record from every store; throws the first failure after trying all.
  void clear();

 private:
  std::vector<BlockRecordStore> stores_;
  // What each store was last seen or made to hold; absent: not known.
  std::vector<std::optional<std::optional<std::string>>> known_ =
      std::vector<std::optional<std::optional<std::string>>>(stores_.size());
};

}  // namespace tamrin
