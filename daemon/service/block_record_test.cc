#include "daemon/service/block_record.h"

#include <gtest/gtest.h>

#include "daemon/enforcement/fake_packet_filter_runner.h"
#include "daemon/service/block_record_store.h"
#include "tests/support/scratch_directory.h"

namespace tamrin {
namespace {

const BlockRecord kRecord{.end = {.bootId = "5b0c-boot",
                                  .endsAtBootTime = 37000.5,
                                  .endsAt = Instant(8.2e8 + 0.25),
                                  .recordedAtBootTime = 1000},
                          .domains = {"example.com", "*.news.example.org", "odd name,=%"},
                          .addresses = {"192.0.2.1", "2001:db8::1"}};

TEST(BlockRecordTest, TextRoundTripsInPlainCharactersAndRefusesAnythingElse) {
  const std::string text = encodeBlockRecord(kRecord);
  EXPECT_EQ(text.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                                   ".,:=*_%+-"),
            std::string::npos)
      << text;
  EXPECT_EQ(decodeBlockRecord(text), kRecord);
  EXPECT_EQ(decodeBlockRecord(text + "\n"), kRecord);

  const std::string head = "tamrin-block-record-1,end=5,boot=b,bootEnd=6,recorded=1";
  const std::string bad[] = {
      "",
      head,                           // no name
      head + ",d=",                   // an empty name
      head + ",a=192.0.2.1,d=a.org",  // names come first
      head + ",d=a.org,x=1",          // an unknown field
      head + ",d=a%4",                // a cut escape
      head + ",d=a b",                // a character no record holds
      "tamrin-block-record-2,end=5,boot=b,bootEnd=6,recorded=1,d=a.org",
      "tamrin-block-record-1,end=-5,boot=b,bootEnd=6,recorded=1,d=a.org",
      "tamrin-block-record-1,end=5,boot=,bootEnd=6,recorded=1,d=a.org",
      "tamrin-block-record-1,end=inf,boot=b,bootEnd=6,recorded=1,d=a.org",
      "tamrin-block-record-1,boot=b,end=5,bootEnd=6,recorded=1,d=a.org",
      text + "\n\n",
  };
  for (const std::string& text : bad) EXPECT_EQ(decodeBlockRecord(text), std::nullopt) << text;
  EXPECT_TRUE(decodeBlockRecord(head + ",d=a.org").has_value());

  BlockRecord huge = kRecord;
  huge.domains.assign(5000, std::string(250, 'a'));
  EXPECT_THROW(encodeBlockRecord(huge), std::length_error);
  EXPECT_EQ(blockRecordEndText(Instant(8.2e8 + 0.75)), "2026-12-26T17:46:41Z");
}

TEST(BlockRecordTest, TheKeeperLoadsTheLatestCopyAndWritesOnlyWhereItDiffers) {
  MemoryRecordStore file;
  MemoryRecordStore filter;
  BlockRecordKeeper keeper({file.store(), filter.store(/*costly=*/true)});
  EXPECT_EQ(keeper.load(), std::nullopt);

  BlockRecord later = kRecord;
  later.end.endsAt = *kRecord.end.endsAt + 60;
  file.text = "corrupt";
  filter.text = encodeBlockRecord(later);
  EXPECT_EQ(keeper.load(), later);
  file.text = encodeBlockRecord(kRecord);
  EXPECT_EQ(keeper.load(), later) << "the later end of two";

  keeper.keep(later, false);
  EXPECT_EQ(file.writes, 1);
  EXPECT_EQ(filter.writes, 0) << "already held";
  const int filterReads = filter.reads;
  keeper.keep(later, false);
  EXPECT_EQ(filter.reads, filterReads) << "a costly copy is not read again unasked";
  filter.text.reset();
  keeper.keep(later, true);
  EXPECT_EQ(filter.text, encodeBlockRecord(later));
  EXPECT_EQ(file.writes, 1);

  filter.failing = true;
  keeper.keep(std::nullopt, false);  // a failing store is absorbed; the other one is cleared
  EXPECT_EQ(file.text, std::nullopt);
  EXPECT_THROW(keeper.clear(), std::runtime_error);
  filter.failing = false;
  keeper.clear();
  EXPECT_EQ(filter.text, std::nullopt);
}

TEST(BlockRecordTest, StoresInARunFileAndInThePacketFilter) {
  ScratchDirectory scratch{"block-record"};
  const std::string text = encodeBlockRecord(kRecord);
  const BlockRecordStore file = runFileRecordStore(scratch.path() / "run" / "block-record");
  EXPECT_EQ(file.read(), std::nullopt);
  file.write(text);
  EXPECT_EQ(file.read(), text + "\n");
  EXPECT_EQ(std::filesystem::status(scratch.path() / "run" / "block-record").permissions(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  std::filesystem::remove(scratch.path() / "run" / "block-record");
  std::filesystem::create_symlink(scratch.path() / "elsewhere",
                                  scratch.path() / "run" / "block-record");
  EXPECT_EQ(file.read(), std::nullopt) << "a link is never read";
  file.write(text);
  EXPECT_FALSE(std::filesystem::exists(scratch.path() / "elsewhere")) << "nor written through";
  file.clear();
  file.clear();
  EXPECT_EQ(file.read(), std::nullopt);

  FakePacketFilterRunner fake;
  const BlockRecordStore filter = packetFilterRecordStore(PacketFilter{
      .directory = scratch.path() / "pf",
      .runner = [&](const std::vector<std::string>& arguments) { return fake.run(arguments); }});
  EXPECT_TRUE(filter.costly);
  EXPECT_EQ(filter.read(), std::nullopt);
  filter.write(text);
  EXPECT_EQ(fake.record, text);
  EXPECT_EQ(filter.read(), text);
  EXPECT_FALSE(std::filesystem::exists(scratch.path() / "pf" / "pf-record"));
  filter.clear();
  EXPECT_EQ(filter.read(), std::nullopt);
}

}  // namespace
}  // namespace tamrin
