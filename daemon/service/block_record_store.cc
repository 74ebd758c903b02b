#include "daemon/service/block_record_store.h"

#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <system_error>

#include "core/directories.h"
#include "core/file_io.h"
#include "core/first_failure.h"
#include "core/regular_file.h"

namespace tamrin {
namespace {

namespace fs = std::filesystem;

std::optional<std::string> readRunFile(const fs::path& file) {
  std::error_code error;
  const fs::file_status status = fs::symlink_status(file, error);
  if (status.type() == fs::file_type::not_found) return std::nullopt;
  if (error) throw std::system_error(error, "Could not look at " + file.string());
  if (status.type() != fs::file_type::regular) return std::nullopt;  // replaced when kept
  const RegularFileContents contents = readRegularFile(file, kMaximumBlockRecordBytes + 1);
  if (contents.info.st_uid != ::geteuid() || (contents.info.st_mode & 022) != 0) {
    return std::nullopt;  // not ours
  }
  return contents.bytes;
}

void writeRunFile(const fs::path& file, const std::string& text) {
  createDirectories(file.parent_path(), 0755, "Could not create ");
  // The rename replaces whatever entry is there, a link included, and never writes through it.
  writeFileAtomically(file, text + "\n", 0600);
}

void removeRunFile(const fs::path& file) {
  std::error_code error;
  fs::remove(file, error);
  if (error) throw std::system_error(error, "Could not remove " + file.string());
}

}  // namespace

BlockRecordStore runFileRecordStore(fs::path file) {
  return {.read = [file] { return readRunFile(file); },
          .write = [file](const std::string& text) { writeRunFile(file, text); },
          .clear = [file] { removeRunFile(file); },
          .costly = false};
}

BlockRecordStore packetFilterRecordStore(PacketFilter filter) {
  return {.read = [filter] { return filter.blockRecord(); },
          .write = [filter](const std::string& text) { filter.setBlockRecord(text); },
          .clear = [filter] { filter.clearBlockRecord(); },
          .costly = true};
}

BlockRecordStore MemoryRecordStore::store(bool costly) {
  const auto check = [this] {
    if (failing) throw std::runtime_error("The record store failed.");
  };
  return {.read =
              [this, check] {
                ++reads;
                check();
                return text;
              },
          .write =
              [this, check](const std::string& written) {
                ++writes;
                check();
                text = written;
              },
          .clear =
              [this, check] {
                ++clears;
                check();
                text.reset();
              },
          .costly = costly};
}

std::optional<BlockRecord> BlockRecordKeeper::load() {
  std::optional<BlockRecord> latest;
  for (std::size_t i = 0; i < stores_.size(); ++i) {
    try {
      const std::optional<std::string> text = stores_[i].read();
      known_[i] = text;
      const auto record = text ? decodeBlockRecord(*text) : std::nullopt;
      if (record && (!latest || *record->end.endsAt > *latest->end.endsAt)) latest = record;
    } catch (const std::exception&) {
      known_[i].reset();
    }
  }
  return latest;
}

void BlockRecordKeeper::keep(const std::optional<BlockRecord>& record, bool recheck) {
  std::optional<std::string> wanted;
  try {
    if (record) wanted = encodeBlockRecord(*record);
  } catch (const std::exception&) {
    return;  // too large to record: the copies stay as they are
  }
  for (std::size_t i = 0; i < stores_.size(); ++i) {
    const BlockRecordStore& store = stores_[i];
    try {
      const bool sameAsKept = known_[i] && *known_[i] == wanted;
      if (store.costly && sameAsKept && !recheck) continue;
      std::optional<std::string> held = store.read();
      if (held && held->ends_with('\n')) held->pop_back();
      if (held != wanted) {
        known_[i].reset();
        if (wanted) {
          store.write(*wanted);
        } else {
          store.clear();
        }
      }
      known_[i] = wanted;
    } catch (const std::exception&) {
      known_[i].reset();
    }
  }
}

void BlockRecordKeeper::clear() {
  FirstFailure failures;
  for (std::size_t i = 0; i < stores_.size(); ++i) {
    known_[i].reset();
    failures.attempt([&] {
      stores_[i].clear();
      known_[i] = std::optional<std::string>();
    });
  }
  failures.rethrow();
}

}  // namespace tamrin
