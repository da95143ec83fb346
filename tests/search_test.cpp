// The searches over hand-filled indexes (a folder disk, and two record disks): order, the
// output rules, segment records, files being written, the cache of client 0, history pairs,
// day masks and spans of days, and damaged entries.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "api/context.h"
#include "device/dev_registry.h"
#include "disklayout/disk_table.h"
#include "index/record_search.h"
#include "index_images.h"
#include "platform/scsi.h"
#include "qvfs/qvfs.h"
#include "test_support.h"

using testimg::IndexBytes;
using testsupport::LibraryTest;

namespace {

constexpr int64_t kT0 = 1700000000000;  // 2023-11-14 22:13:20 UTC
constexpr int64_t kMin = 60000;

class SearchTest : public LibraryTest {
 protected:
  SearchTest() : ib_(64) {}
  // A closed one-segment recording in file i.
  void Closed(uint32_t i, uint8_t channel, int64_t start, int64_t end, int32_t size = 5000000,
              uint16_t type = 2) {
    IndexBytes::Entry e;
    e.channel = channel;
    e.start = start;
    e.end = end;
    e.size = size;
    e.type = type;
    e.sn = ++sn_;
    ib_.SetEntry(i, e);
  }
  // Writes the index as a folder disk and scans.
  void Scan(int channels = 4) {
    testsupport::WriteFileBytes(tmp_.File("recordIdx.bin"), 0, ib_.bytes().data(),
                                ib_.bytes().size());
    QVFS_AddVolume(tmp_.path().c_str(), 0);
    ASSERT_GE(QVFS_ScanDisksForSearch(channels), 1);
  }
  std::vector<_rec_file_info_> PlayList(int64_t from = 0, int64_t to = UINT32_MAX,
                                        int32_t mask = -1, int32_t types = 0, int client = 0,
                                        int capacity = 1000) {
    std::vector<_rec_file_info_> out(capacity);
    int n = QVFS_SearchPlayList(out.data(), capacity * 40, from, to, mask, types, 0, 0, client);
    EXPECT_GE(n, 0);
    out.resize(n < 0 ? 0 : n);
    return out;
  }
  static std::vector<int> Files(const std::vector<_rec_file_info_>& v) {
    std::vector<int> out;
    for (const auto& r : v) out.push_back(r.fileIndex);
    return out;
  }
  uint64_t TwoRecordDisks();
  IndexBytes ib_;
  uint32_t sn_ = 0;
};

// Two record disks, a and b; b (disk 1, the second set) gets a one-segment recording in file 1
// and a two-segment one in file 2, written behind the library's back, then both are scanned
// for searching. b's index LBA.
uint64_t SearchTest::TwoRecordDisks() {
  const std::string a = AttachImage(1ull << 30, 512, false, "a.img");
  EXPECT_GT(QVFS_FormatToRecdisk(a.c_str(), 64, 0), 0);
  const std::string b = AttachImage(1ull << 30, 512, false, "b.img");
  EXPECT_GT(QVFS_FormatToRecdisk(b.c_str(), 64, 0), 0);
  CDiskTable table;
  EXPECT_EQ(table.Init(CDevFlyWeightFactory::getSingleton()->CreateScsiDev(b.c_str(), false)), 0);
  IndexBytes ib(4);
  IndexBytes::Entry e;
  e.start = kT0;
  e.end = kT0 + kMin;
  ib.SetEntry(1, e);
  IndexBytes::Entry two = e;
  two.segments = 2;
  two.start = kT0 + 2 * kMin;
  two.end = kT0 + 4 * kMin;
  ib.SetEntry(2, two);
  ib.SetSegment(2, 0, 1, 2, kT0 + 2 * kMin, kT0 + 3 * kMin, 2000000);
  ib.SetSegment(2, 1, 1, 2, kT0 + 3 * kMin, kT0 + 4 * kMin, 2000000);
  for (uint32_t i : {1u, 2u}) {
    auto bytes = ib.EntryBytes(i);
    testsupport::WriteFileBytes(imagePath_, table.GetIndexLba() * 512 + 0x8000 + i * 4096,
                                bytes.data(), bytes.size());
  }
  ctx_->get().diskWatch().ForgetIndex(b);  // read the entries written behind its back
  EXPECT_EQ(QVFS_ScanDisksForSearch(4), 2);
  return table.GetIndexLba();
}

TEST_F(SearchTest, ChannelsAscendingNewestFirstWithTheOutputRules) {
  Closed(0, 0, kT0, kT0 + kMin);
  Closed(1, 0, kT0 + 2 * kMin, kT0 + 3 * kMin);
  Closed(2, 1, kT0, kT0 + kMin);                   // same times as file 0, other channel
  Closed(3, 1, kT0 + 5 * kMin, kT0 + 5 * kMin + 500, 100);      // short: left out
  Closed(4, 1, kT0 + 6 * kMin, kT0 + 6 * kMin + 500, 2000000);  // large: kept
  Closed(5, 0, kT0 + 2 * kMin, kT0 + 3 * kMin);    // a duplicate of file 1
  Closed(6, 2, kT0, kT0 + kMin, 5000000, 4);       // an event recording
  Scan();
  auto all = PlayList();
  EXPECT_EQ(Files(all), (std::vector<int>{1, 0, 4, 2, 6}));
  EXPECT_EQ(all[0].channel, 0);
  EXPECT_EQ(int64_t{all[0].startMs}, kT0 + 2 * kMin);
  EXPECT_EQ(all[0].segmentNo, 0);
  EXPECT_EQ(uint32_t{all[0].endOffset}, 5000000u + 0x2F000);
  EXPECT_EQ(all[0].tzByte, 8 << 1);

  EXPECT_EQ(Files(PlayList(0, UINT32_MAX, 0b10)), (std::vector<int>{4, 2}));
  EXPECT_EQ(Files(PlayList(0, UINT32_MAX, -1, 4, 1)), (std::vector<int>{6}));
  // Only what overlaps the range.
  EXPECT_EQ(Files(PlayList((kT0 + 2 * kMin) / 1000, (kT0 + 4 * kMin) / 1000, -1, 0, 2)),
            (std::vector<int>{1}));

  // RecordItems: at most what the output holds.
  std::vector<RecordItem> items(2);
  EXPECT_EQ(QVFS_SearchRec(items.data(), 2 * 32, 0, UINT32_MAX, -1, 0, 0, 0, 3), 2);
  EXPECT_EQ(items[0].startSec, static_cast<uint32_t>((kT0 + 2 * kMin) / 1000));
  EXPECT_EQ(items[0].tzHours, 8);
  EXPECT_EQ(items[0].fileIndex, 1);

  EXPECT_EQ(QVFS_SearchPlayList(nullptr, 40, 0, 10, -1, 0, 0, 0, 0), -2005);
  std::vector<_rec_file_info_> one(1);
  EXPECT_EQ(QVFS_SearchPlayList(one.data(), 40, 10, 5, -1, 0, 0, 0, 0), -101);
  EXPECT_EQ(QVFS_SearchPlayList(one.data(), 40, 0, 10, 0, 0, 0, 0, 0), -101);
  EXPECT_EQ(QVFS_SearchPlayList(one.data(), 40, kT0 / 1000, kT0 / 1000, -1, 0, 0, 0, 4), 0);
}

TEST_F(SearchTest, SegmentsAndFilesBeingWritten) {
  IndexBytes::Entry multi;
  multi.channel = 1;
  multi.segments = 3;
  multi.start = kT0;
  multi.end = kT0 + 10 * kMin;
  multi.sn = 40;
  ib_.SetEntry(7, multi);
  ib_.SetSegment(7, 0, 1, 2, kT0, kT0 + kMin, 3000000, 0x2F000 + 3000000, 5);
  ib_.SetSegment(7, 1, 1, 4, kT0 + 2 * kMin, kT0 + 2 * kMin, 3000000, 0x2F000 + 6000000);
  ib_.SetSegment(7, 2, 2, 2, kT0 + 4 * kMin, kT0 + 5 * kMin, 3000000, 0x2F000 + 9000000);
  // An open recording (left by the writer that is still at it).
  IndexBytes::Entry open;
  open.channel = 2;
  open.state = 0x80;
  open.segments = 1;
  open.size = 0;
  open.start = kT0 + kMin;
  open.end = kT0 + kMin;
  ib_.SetEntry(9, open);
  ib_.SetSegment(9, 0, 0x80, 2, kT0 + kMin, kT0 + kMin, 0);
  Scan();

  auto recs = PlayList();
  ASSERT_EQ(Files(recs), (std::vector<int>{7, 7, 7}));
  EXPECT_EQ(recs[0].segmentNo, 2);
  EXPECT_EQ(recs[0].state, 2);  // locked segment
  EXPECT_EQ(uint32_t{recs[0].endOffset}, 0x2F000u + 9000000);
  EXPECT_EQ(recs[2].tzByte, 5 << 1);  // every segment record takes segment 0's zone
  EXPECT_EQ(recs[1].tzByte, 5 << 1);
  // A segment that ends where it starts runs to the next segment's start.
  EXPECT_EQ(int64_t{recs[1].endMs}, kT0 + 4 * kMin);
  EXPECT_EQ(recs[1].typeBits, 4);

  struct Writer : IndexedWriter {
    uint32_t WriterFileIndex() const override { return 9; }
    int64_t WriterEndMs() const override { return kT0 + 3 * kMin; }
    int32_t WriterDataSize() const override { return 7000000; }
  } writer;
  DiskIndexRef index = ctx_->get().diskWatch().IndexSet(0).Indexes().at(0);
  {
    CAutoLock g(&index->lock());
    index->writerMap[2] = &writer;
  }
  recs = PlayList(0, UINT32_MAX, 0b100, 0, 1);
  ASSERT_EQ(Files(recs), (std::vector<int>{9}));
  EXPECT_EQ(int64_t{recs[0].endMs}, kT0 + 3 * kMin);
  EXPECT_EQ(int32_t{recs[0].size}, 7000000);
  CAutoLock g(&index->lock());
  index->writerMap.clear();
}

TEST_F(SearchTest, ClientZeroReusesItsResultForThreeSeconds) {
  QVFS_SetManualClock(1, kT0 + 3600000);
  Closed(0, 0, kT0, kT0 + kMin);
  Scan();
  ASSERT_EQ(PlayList().size(), 1u);
  DiskIndexRef index = ctx_->get().diskWatch().IndexSet(0).Indexes().at(0);
  {
    CAutoLock g(&index->lock());
    index->timeMap.clear();  // a new walk would find nothing now
  }
  QVFS_AdvanceClock(2999);
  EXPECT_EQ(PlayList().size(), 1u);  // the cached result
  EXPECT_EQ(PlayList(0, UINT32_MAX - 1).size(), 0u);  // other parameters: a new walk
  QVFS_AdvanceClock(3000);
  EXPECT_EQ(PlayList().size(), 0u);
}

TEST_F(SearchTest, HistoryMergesTouchingRecordings) {
  Closed(0, 1, kT0, kT0 + kMin);
  Closed(1, 1, kT0 + kMin + 400, kT0 + 2 * kMin);      // starts in the second file 0 ended
  Closed(2, 1, kT0 + 3 * kMin, kT0 + 4 * kMin);
  Closed(3, 1, kT0 + 4 * kMin + 1000, kT0 + 5 * kMin);  // one second after: a new span
  Closed(4, 0, kT0, kT0 + 9 * kMin);                    // another channel
  Scan();
  std::vector<uint32_t> spans(16);
  ASSERT_EQ(QVFS_SearchHistoryRec(spans.data(), 64, 0, UINT32_MAX, 1, 0, 0), 3);
  const uint32_t s0 = static_cast<uint32_t>(kT0 / 1000);
  EXPECT_EQ(spans[0], s0);
  EXPECT_EQ(spans[1], s0 + 120);
  EXPECT_EQ(spans[2], s0 + 180);
  EXPECT_EQ(spans[3], s0 + 240);
  EXPECT_EQ(spans[4], s0 + 241);
  EXPECT_EQ(spans[5], s0 + 300);
  EXPECT_EQ(QVFS_SearchHistoryRec(spans.data(), 8, 0, UINT32_MAX, 1, 0, 0), 1);
  EXPECT_EQ(QVFS_SearchHistoryRec(spans.data(), 64, 0, UINT32_MAX, 4, 0, 0), -101);
}

TEST_F(SearchTest, DaysOfTheMonthAndSpansOfDays) {
  // 2023-11-14 23:50 to 2023-11-15 00:10 UTC marks the 14th only.
  const int64_t d14 = 1699920000000;  // 2023-11-14 00:00 UTC
  const int64_t day = 86400000;
  Closed(0, 0, d14 + 23 * 3600000 + 50 * kMin, d14 + day + 10 * kMin);
  Closed(1, 1, d14 + 3 * day, d14 + 3 * day + kMin, 5000000, 8);
  Closed(2, 0, d14 - 14 * day - kMin, d14 - 13 * day + kMin);  // October 30th to November 1st
  Scan();
  EXPECT_EQ(QVFS_SearchRecordDayOfMonth(2023, 11, 0), (1 << 13) | (1 << 16) | (1 << 0));
  EXPECT_EQ(QVFS_SearchRecordDayOfMonth(2023, 11, 8), 1 << 16);
  EXPECT_EQ(QVFS_SearchRecordDayOfMonth(2023, 12, 0), 0);

  std::vector<int64_t> spans(8);
  ASSERT_EQ(QVFS_SearchRecordAllDayEx(spans.data(), 64), 3);
  EXPECT_EQ(spans[0], (d14 - 15 * day) / 1000);  // October 30th
  EXPECT_EQ(spans[1], (d14 - 13 * day) / 1000);  // November 1st
  EXPECT_EQ(spans[2], d14 / 1000);               // 14th to 15th (the 17th is two days on)
  EXPECT_EQ(spans[3], (d14 + day) / 1000);
  EXPECT_EQ(spans[4], (d14 + 3 * day) / 1000);
  EXPECT_EQ(QVFS_SearchRecordAllDayEx(spans.data(), 32), 2);  // told its size, it stops
}

TEST_F(SearchTest, DamagedEntriesAreSkipped) {
  Closed(0, 0, kT0, kT0 + kMin);
  IndexBytes::Entry bad;
  bad.channel = 0;
  bad.segments = 255;  // a table without terminator
  bad.start = kT0 + 2 * kMin;
  bad.end = kT0 + 3 * kMin;
  ib_.SetEntry(1, bad);
  for (uint32_t k = 0; k < 64; ++k)
    ib_.SetSegment(1, k, 1, 2, kT0 + 2 * kMin + k * 100, kT0 + 2 * kMin + k * 100 + 50, 10);
  IndexBytes::Entry future = bad;  // times beyond 2^31 seconds
  future.segments = 2;
  future.start = (int64_t{1} << 31) * 1000 + 5;
  future.end = future.start + kMin;
  ib_.SetEntry(2, future);
  ib_.SetSegment(2, 0, 1, 2, future.start, future.end, 0);
  ib_.SetSegment(2, 1, 1, 2, future.start, future.end, 3000000);
  Scan();
  auto recs = PlayList();
  // The 64 segments of file 1 are records of a single second each and tiny: left out. File 2's
  // segments are refused for their times.
  EXPECT_EQ(Files(recs), (std::vector<int>{0}));
  EXPECT_TRUE(Printed("Record Error  start Time"));
  EXPECT_TRUE(Printed("Record Error start Time"));
}

// Outputs in exact-size heap buffers, so that a write past one is caught.
TEST_F(SearchTest, OutputsSmallerThanOneRecordAreRefusedAndLeftUntouched) {
  Closed(0, 0, kT0, kT0 + kMin);
  Closed(1, 1, kT0 + 2 * kMin, kT0 + 3 * kMin);
  Closed(2, 1, kT0 + 4 * kMin, kT0 + 5 * kMin);
  Scan();
  auto refused = [](int bytes, auto search) {
    std::vector<uint8_t> small(static_cast<size_t>(bytes), 0xEE);
    EXPECT_EQ(search(small.data(), bytes), -101) << bytes << " bytes";
    EXPECT_EQ(small, std::vector<uint8_t>(static_cast<size_t>(bytes), 0xEE));
  };
  for (int bytes : {1, 16, 39}) {
    refused(bytes, [](uint8_t* p, int n) {
      return QVFS_SearchPlayList(reinterpret_cast<_rec_file_info_*>(p), n, 0, UINT32_MAX, -1, 0,
                                 0, 0, 1);
    });
  }
  for (int bytes : {1, 31}) {
    refused(bytes, [](uint8_t* p, int n) {
      return QVFS_SearchRec(reinterpret_cast<RecordItem*>(p), n, 0, UINT32_MAX, -1, 0, 0, 0, 1);
    });
  }
  refused(7, [](uint8_t* p, int n) {
    return QVFS_SearchHistoryRec(reinterpret_cast<uint32_t*>(p), n, 0, UINT32_MAX, 1, 0, 0);
  });
  refused(15, [](uint8_t* p, int n) {
    return QVFS_SearchRecordAllDayEx(reinterpret_cast<int64_t*>(p), n);
  });
  // One record's room is enough for one.
  std::vector<_rec_file_info_> one(1);
  EXPECT_EQ(QVFS_SearchPlayList(one.data(), 40, 0, UINT32_MAX, -1, 0, 0, 0, 2), 1);
  std::vector<RecordItem> item(1);
  EXPECT_EQ(QVFS_SearchRec(item.data(), 32, 0, UINT32_MAX, -1, 0, 0, 0, 3), 1);
  std::vector<uint32_t> pair(2);
  EXPECT_EQ(QVFS_SearchHistoryRec(pair.data(), 8, 0, UINT32_MAX, 1, 0, 0), 1);
}

TEST_F(SearchTest, TimesWhoseSecondsDoNotFit32BitsAreRefused) {
  Closed(0, 0, kT0, kT0 + kMin);
  Scan();
  const int64_t beyond = int64_t{UINT32_MAX} + 1;
  const std::vector<std::pair<int64_t, int64_t>> ranges = {
      {-1, 10}, {0, beyond}, {INT64_MIN, 0}, {0, INT64_MAX}, {INT64_MAX, INT64_MAX}};
  std::vector<_rec_file_info_> out(4);
  std::vector<RecordItem> items(4);
  std::vector<uint32_t> spans(8);
  for (const auto& r : ranges) {
    SCOPED_TRACE(testing::Message() << r.first << " .. " << r.second);
    EXPECT_EQ(QVFS_SearchPlayList(out.data(), 160, r.first, r.second, -1, 0, 0, 0, 1), -101);
    EXPECT_EQ(QVFS_SearchRec(items.data(), 128, r.first, r.second, -1, 0, 0, 0, 1), -101);
    EXPECT_EQ(QVFS_SearchHistoryRec(spans.data(), 32, r.first, r.second, 0, 0, 0), -101);
  }
  EXPECT_EQ(QVFS_SearchPlayList(out.data(), 160, 0, UINT32_MAX, -1, 0, 0, 0, 1), 1);
  EXPECT_EQ(QVFS_SearchHistoryRec(spans.data(), 32, 0, UINT32_MAX, 0, 0, 0), 1);
  // Months whose seconds do not fit hold nothing.
  for (int32_t year : {INT32_MIN, -1, 1969, 2107, INT32_MAX})
    EXPECT_EQ(QVFS_SearchRecordDayOfMonth(year, 11, 0), 0) << year;
  EXPECT_EQ(QVFS_SearchRecordDayOfMonth(2023, INT32_MAX, 0), 0);
  EXPECT_EQ(QVFS_SearchRecordDayOfMonth(2023, 11, 0), 1 << 13);
}

TEST_F(SearchTest, TheCacheKeepsTheReplayClientsResultsWithinItsCap) {
  for (uint32_t i = 0; i < 10; ++i) Closed(i, 0, kT0 + i * 2 * kMin, kT0 + (i * 2 + 1) * kMin);
  Closed(10, 1, kT0, kT0 + kMin);
  Scan();
  SearchCache& cache = ctx_->get().searchCache();
  // Any client id searches, but only the replay clients' results stay.
  for (int client = -50; client < 200; client += 7)
    EXPECT_EQ(PlayList(0, UINT32_MAX, -1, 0, client).size(), 11u) << client;
  EXPECT_LE(cache.ClientsKept(), static_cast<size_t>(kClientRecordCount) + 1);
  // Past the cap a client keeps the earliest records of each channel it asked for.
  cache.SetRecordCap(6);
  auto recs = PlayList(0, UINT32_MAX, 0b11, 0, 2);
  EXPECT_EQ(Files(recs), (std::vector<int>{2, 1, 0, 10}));
  EXPECT_LE(cache.RecordsHeld(2), 6u);
  recs = PlayList(0, UINT32_MAX, 0b1, 0, 3);
  EXPECT_EQ(Files(recs), (std::vector<int>{5, 4, 3, 2, 1, 0}));
  EXPECT_LE(cache.RecordsHeld(3), 6u);
}

// Two record disks: the second's recordings are found with source 1.
// The second disk set; a failed window read; entry heads kept from a read that worked until
// the entry is written again.
TEST_F(SearchTest, SecondDiskSetAFailedWindowReadAndKeptEntryHeads) {
  const uint64_t indexLba = TwoRecordDisks();
  std::vector<_rec_file_info_> out(16);
  EXPECT_EQ(QVFS_SearchPlayList(out.data(), 16 * 40, 0, UINT32_MAX, -1, 0, 0, 0, 0), 0);

  // The window read of the two-segment entry fails: the one-segment recording is still found.
  platform::FaultRule r;
  r.opcodes = {platform::kOpRead10, platform::kOpRead16};
  r.firstLba = indexLba + 64;
  r.lastLba = indexLba + 64 + 8 * 4;
  r.key = platform::kSkMediumError;
  r.asc = 0x11;
  faults_->AddRule(r);
  ASSERT_EQ(QVFS_SearchPlayList(out.data(), 16 * 40, 0, UINT32_MAX, -1, 0, 1, 0, 1), 1);
  EXPECT_EQ(int32_t{out[0].fileIndex}, 1);
  EXPECT_TRUE(Printed("Read data fail."));

  // Nothing was kept from the failed read: once the sectors read again, both segments come.
  faults_->ClearRules();
  ASSERT_EQ(QVFS_SearchPlayList(out.data(), 16 * 40, 0, UINT32_MAX, -1, 0, 1, 0, 2), 3);
  EXPECT_EQ(out[0].diskNo, 1);
  // The head read then is kept: the same sectors failing now do not change the answer.
  faults_->AddRule(r);
  ASSERT_EQ(QVFS_SearchPlayList(out.data(), 16 * 40, 0, UINT32_MAX, -1, 0, 1, 0, 3), 3);
  faults_->ClearRules();

  // A write of the entry drops its kept head: after segment 1 is locked the search reads the
  // entry again and shows the lock.
  std::vector<RecordItem> items(16);
  ASSERT_EQ(QVFS_SearchRec(items.data(), 16 * 32, 0, UINT32_MAX, -1, 0, 1, 0, 5), 3);
  const auto second = std::find_if(items.begin(), items.begin() + 3, [](const RecordItem& i) {
    return i.fileIndex == 2 && i.segmentNo == 1;
  });
  ASSERT_NE(second, items.begin() + 3);
  EXPECT_EQ(second->state, 1);
  ASSERT_EQ(QVFS_LockRecord(&*second), 0);
  ASSERT_EQ(QVFS_SearchPlayList(out.data(), 16 * 40, 0, UINT32_MAX, -1, 0, 1, 0, 4), 3);
  int locked = 0;
  for (int k = 0; k < 3; ++k)
    if (out[k].fileIndex == 2 && out[k].segmentNo == 1) locked = out[k].state;
  EXPECT_EQ(locked, 2);
}

// Lock, unlock and delete reach the disk whose number the record carries, in the second set
// too; a record of no disk present changes nothing and says so.
TEST_F(SearchTest, LockUnlockAndDeleteReachTheDiskOfTheRecordInEitherSet) {
  TwoRecordDisks();
  std::vector<RecordItem> items(16);
  ASSERT_EQ(QVFS_SearchRec(items.data(), 16 * 32, 0, UINT32_MAX, -1, 0, 1, 0, 1), 3);
  const auto one = std::find_if(items.begin(), items.begin() + 3,
                                [](const RecordItem& r) { return r.fileIndex == 1; });
  ASSERT_NE(one, items.begin() + 3);  // the one-segment recording: a delete takes its entry
  RecordItem item = *one;
  ASSERT_EQ(item.diskNo, 1);
  DiskIndexRef b = ctx_->get().diskWatch().IndexSet(1).Indexes().at(0);
  const auto stateOf = [&b](int32_t file) {
    CAutoLock g(&b->lock());
    for (const auto& kv : b->timeMap)
      if (kv.first.fileIndex == static_cast<uint32_t>(file)) return int{kv.second.state};
    return -1;
  };
  ASSERT_EQ(QVFS_LockRecord(&item), 0);
  EXPECT_NE(stateOf(item.fileIndex) & 0x02, 0);
  ASSERT_EQ(QVFS_UnlockRecord(&item), 0);
  EXPECT_EQ(stateOf(item.fileIndex) & 0x02, 0);
  RecordItem nowhere = item;
  nowhere.diskNo = 7;
  EXPECT_EQ(QVFS_LockRecord(&nowhere), -5002);
  EXPECT_EQ(QVFS_UnlockRecord(&nowhere), -5002);
  EXPECT_EQ(QVFS_DeleteRecord(&nowhere), -5002);
  EXPECT_NE(stateOf(item.fileIndex), -1);
  ASSERT_EQ(QVFS_DeleteRecord(&item), 0);
  EXPECT_EQ(stateOf(item.fileIndex), -1);
}

// Client 0's cached result is reused only for the same question: another disk set, a larger
// output, or a scan in between search again.
TEST_F(SearchTest, TheCachedResultBelongsToItsSourceOutputAndScan) {
  QVFS_SetManualClock(1, kT0 + 3600000);
  for (uint32_t i = 0; i < 4; ++i) Closed(i, 0, kT0 + i * kMin, kT0 + (i + 1) * kMin);
  Scan();
  std::vector<_rec_file_info_> out(8);
  ASSERT_EQ(QVFS_SearchPlayList(out.data(), 2 * 40, 0, UINT32_MAX, -1, 0, 0, 0, 0), 2);
  EXPECT_EQ(QVFS_SearchPlayList(out.data(), 8 * 40, 0, UINT32_MAX, -1, 0, 0, 0, 0), 4);
  EXPECT_EQ(QVFS_SearchPlayList(out.data(), 8 * 40, 0, UINT32_MAX, -1, 0, 1, 0, 0), 0);
  EXPECT_EQ(QVFS_SearchPlayList(out.data(), 8 * 40, 0, UINT32_MAX, -1, 0, 0, 0, 0), 4);
  Closed(5, 0, kT0 + 10 * kMin, kT0 + 11 * kMin);  // a recording more, then a rescan
  ctx_->get().diskWatch().ForgetIndex(WithTrailingSlash(tmp_.path()));
  Scan();
  EXPECT_EQ(QVFS_SearchPlayList(out.data(), 8 * 40, 0, UINT32_MAX, -1, 0, 0, 0, 0), 5);
}

}  // namespace

// Segment runs of one file: one record while the segments follow each other; with a gap limit a
// later recording that went on filling the same file is a record of its own.
TEST(MergeSegmentRuns, JoinsFollowingSegmentsAndSplitsAtLongGaps) {
  auto seg = [](uint8_t no, int64_t start, int64_t end) {
    _rec_file_info_ r{};
    r.fileIndex = 7;
    r.segmentNo = no;
    r.startMs = start;
    r.endMs = end;
    r.size = 100;
    return r;
  };
  const RecordList records = {seg(2, 70000000, 70060000), seg(0, 1000, 61000),
                              seg(1, 61000, 120000)};
  const RecordList all = MergeSegmentRuns(records);
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].size, 300);
  const int64_t allEnd = all[0].endMs;
  EXPECT_EQ(allEnd, 70060000);
  const RecordList split = MergeSegmentRuns(records, 5000);
  ASSERT_EQ(split.size(), 2u);
  const int64_t end0 = split[0].endMs, start1 = split[1].startMs;
  EXPECT_EQ(end0, 120000);
  EXPECT_EQ(split[0].size, 200);
  EXPECT_EQ(start1, 70000000);
}
