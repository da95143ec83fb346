// The index kept current while recording, on a folder disk's index file: files handed out and
// recycled, a recording's entry through start, progress and close, the 64-segment limit, SNs
// and their reset, lock, unlock and delete (surviving a re-open), and the repair of entries left
// open.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "index/disk_index.h"
#include "index/disk_index_set.h"
#include "index/index_format.h"
#include "index/record_search.h"
#include "index_images.h"
#include "platform/platform_context.h"
#include "test_support.h"

using testimg::IndexBytes;
using testsupport::LibraryTest;

namespace {

constexpr int64_t kT0 = 1700000000000;
constexpr int64_t kMin = 60000;

class IndexMaintenanceTest : public LibraryTest {
 protected:
  IndexMaintenanceTest() : ib_(8, 64) {}
  void Closed(uint32_t i, uint8_t channel, int64_t start, uint32_t sn, uint16_t type = 1) {
    IndexBytes::Entry e;
    e.channel = channel;
    e.start = start;
    e.end = start + kMin;
    e.type = type;
    e.sn = sn;
    ib_.SetEntry(i, e);
    ib_.SetSegment(i, 0, 1, type, start, start + kMin, 5000000);
  }
  // Writes the index file and opens it.
  void Open() {
    testsupport::WriteFileBytes(tmp_.File("recordIdx.bin"), 0, ib_.bytes().data(),
                                ib_.bytes().size());
    ASSERT_EQ(d_.Open(0, tmp_.path(), 0, true), 0);
  }
  recindex::RecIndexEntry EntryOnDisk(uint32_t i) {
    auto b = testsupport::ReadFileBytes(tmp_.File("recordIdx.bin"), 0x8000 + uint64_t{i} * 4096,
                                        4096);
    recindex::RecIndexEntry e;
    std::memcpy(&e, b.data(), sizeof e);
    return e;
  }
  _rec_file_info_ Start(uint8_t channel, uint32_t file, int64_t at, uint8_t type = 2) {
    _rec_file_info_ r{};
    r.channel = channel;
    r.fileIndex = static_cast<int32_t>(file);
    r.kind = 1;
    r.typeBits = type;
    r.state = 0x81;
    r.tzByte = 8 << 1;
    r.startMs = r.endMs = at;
    r.operation = kOpRecordStart;
    return r;
  }
  bool InTimeMap(uint32_t file) {
    for (const auto& kv : d_.timeMap)
      if (kv.first.fileIndex == file) return true;
    return false;
  }
  IndexBytes ib_;
  DiskIndex d_;
};

TEST_F(IndexMaintenanceTest, FreeFilesFirstThenTheOldestRecordingNotBeingWritten) {
  Closed(0, 0, kT0 + 2 * kMin, 3);
  Closed(1, 1, kT0, 1);  // the oldest
  Closed(2, 0, kT0 + kMin, 2);
  for (uint32_t i = 3; i < 8; ++i) Closed(i, 1, kT0 + (i + 1) * kMin, i + 1);
  ib_.SetEntry(7, IndexBytes::Entry{0});  // file 7 is free
  Open();
  uint32_t f = 99;
  ASSERT_EQ(d_.TakeFreeFile(&f), 0);
  EXPECT_EQ(f, 7u);
  EXPECT_EQ(d_.TakeFreeFile(&f), -5002);

  platform::TheClock().SetManual(true, kT0 + 100 * kMin);
  // File 1 is oldest, but its channel's writer is writing it: file 2 goes instead.
  d_.writeStates[1].fileIndex = 1;
  d_.writeStates[1].image.summary.state = recindex::kStateRecording;
  ASSERT_EQ(d_.Recycle(&f), 0);
  EXPECT_EQ(f, 2u);
  EXPECT_FALSE(InTimeMap(2));
  d_.writeStates.clear();
  ASSERT_EQ(d_.Recycle(&f), 0);
  EXPECT_EQ(f, 1u);
}

// With the clock set back before the recorded history, start times say nothing: the least SN
// goes, and manual recordings are kept.
TEST_F(IndexMaintenanceTest, ClockBeforeTheHistoryRecyclesByLeastSn) {
  Closed(0, 0, kT0, 9);
  Closed(1, 0, kT0 + kMin, 4, 2);  // manual: kept
  Closed(2, 0, kT0 + 2 * kMin, 5);
  Closed(3, 0, kT0 + 3 * kMin, 7);
  for (uint32_t i = 4; i < 8; ++i) Closed(i, 0, kT0 + (i + 1) * kMin, 10 + i);
  Open();
  platform::TheClock().SetManual(true, kT0 - 3600000);
  uint32_t f = 99;
  ASSERT_EQ(d_.Recycle(&f), 0);
  EXPECT_EQ(f, 2u);
  EXPECT_FALSE(InTimeMap(2));
  ASSERT_EQ(d_.Recycle(&f), 0);
  EXPECT_EQ(f, 3u);
}

TEST_F(IndexMaintenanceTest, RecordingStartProgressAndCloseReachTheDisk) {
  ib_.SetEntry(0, IndexBytes::Entry{0});
  Closed(1, 2, kT0 - kMin, 41);
  Open();
  EXPECT_EQ(d_.nextSn, 42u);
  _rec_file_info_ r = Start(3, 0, kT0);
  ASSERT_EQ(d_.WriteRecord(r, 4), 0);
  EXPECT_EQ(r.sn, 42u);
  EXPECT_EQ(r.segmentNo, 0);
  recindex::RecIndexEntry e = EntryOnDisk(0);
  EXPECT_EQ(int32_t{e.summary.linkIndex}, 0);
  EXPECT_EQ(e.summary.channel, 3);
  EXPECT_EQ(uint32_t{e.summary.sn}, 42u);
  EXPECT_TRUE(e.summary.state & recindex::kStateRecording);
  EXPECT_TRUE(InTimeMap(0));

  // Progress updates grow segment record 0 in place: its size, its end and the data end, with
  // the entry's size, count and CRC, on the disk at once (a power loss now loses nothing).
  int32_t total = 0;
  for (int k = 0; k < 3; ++k) {
    r.operation = 0;
    r.size = 1000 * (k + 1);
    r.endMs = kT0 + (k + 1) * 1400;
    r.endOffset = 0x2F000 + static_cast<uint32_t>(total + r.size);
    total += r.size;
    ASSERT_EQ(d_.UpdateRecordInfo(r, 4), 0);
    EXPECT_EQ(r.segmentNo, 0);
    e = EntryOnDisk(0);
    EXPECT_EQ(e.summary.segmentCount, 1);
    EXPECT_EQ(int32_t{e.summary.size}, total);
    EXPECT_EQ(int32_t{e.segments[0].size}, total);
    EXPECT_EQ(int64_t{e.segments[0].startMs}, kT0);
    EXPECT_EQ(int64_t{e.segments[0].endMs}, int64_t{r.endMs});
    EXPECT_EQ(uint32_t{e.segments[0].dataEnd}, uint32_t{r.endOffset});
    EXPECT_EQ(e.segments[1].state, 0);
    EXPECT_EQ(uint32_t{e.crc},
              recindex::Crc32(reinterpret_cast<const uint8_t*>(&e) + 256, 4096 - 256));
  }
  r.operation = kOpRecordClose;
  r.state = 0x01;
  r.size = 500;
  r.endMs = kT0 + 5000;
  total += 500;
  ASSERT_EQ(d_.UpdateRecordInfo(r, 4), 0);
  e = EntryOnDisk(0);
  EXPECT_EQ(e.summary.segmentCount, 1);
  EXPECT_EQ(int32_t{e.summary.size}, total);
  EXPECT_EQ(int32_t{e.segments[0].size}, total);
  EXPECT_EQ(int64_t{e.summary.startMs}, kT0);
  EXPECT_EQ(int64_t{e.summary.endMs}, kT0 + 5000);
  EXPECT_EQ(int64_t{e.segments[0].endMs}, kT0 + 5000);
  EXPECT_EQ(e.summary.state & recindex::kStateRecording, 0);
  EXPECT_EQ(e.segments[0].state & 0x80, 0);
  EXPECT_EQ(uint32_t{e.crc},
            recindex::Crc32(reinterpret_cast<const uint8_t*>(&e) + 256, 4096 - 256));
  // What a re-open sees: a closed recording with every segment.
  DiskIndex again;
  ASSERT_EQ(again.Open(0, tmp_.path(), 0, true), 0);
  ASSERT_EQ(again.timeMap.count((TimeKey{kT0, 0u})), 1u);
  EXPECT_EQ(again.timeMap[(TimeKey{kT0, 0u})].size, total);
  EXPECT_TRUE(again.repairList.empty());
  // Progress for a channel that records nothing, or beyond the channel limit.
  _rec_file_info_ none = Start(1, 0, kT0);
  none.operation = 0;
  EXPECT_EQ(d_.UpdateRecordInfo(none, 4), -5002);
  none.channel = 9;
  EXPECT_EQ(d_.UpdateRecordInfo(none, 4), -5002);
}

// A segment record is taken only when a segment ends (its recording closed while the file
// stays open); however many progress updates a segment gets, it keeps one record, so a file
// is filled to its end. The 65th segment of an entry is refused.
TEST_F(IndexMaintenanceTest, OneSegmentRecordPerSegmentAndNoMoreThan64) {
  ib_.SetEntry(0, IndexBytes::Entry{0});
  Open();
  _rec_file_info_ r = Start(0, 0, kT0);
  ASSERT_EQ(d_.WriteRecord(r, 4), 0);
  int32_t total = 0;
  for (int seg = 0; seg < 64; ++seg) {
    if (seg > 0) {  // the file kept open: a new segment after the last close
      r.operation = 2;
      r.state = 0x81;
      r.size = 0;
      r.startMs = r.endMs = kT0 + seg * 10000;
      ASSERT_EQ(d_.WriteRecord(r, 4), 0) << seg;
      EXPECT_EQ(r.segmentNo, seg);
      // The new segment's record, the open bit and the count are on the disk already.
      const recindex::RecIndexEntry e = EntryOnDisk(0);
      EXPECT_EQ(e.summary.segmentCount, seg + 1);
      EXPECT_TRUE(e.summary.state & recindex::kStateRecording);
      EXPECT_EQ(int64_t{e.segments[seg].startMs}, int64_t{r.startMs});
    }
    for (int k = 0; k < 100; ++k) {  // far more updates than an entry has records
      r.operation = 0;
      r.size = 10;
      r.endMs = kT0 + seg * 10000 + (k + 1) * 40;
      total += 10;
      ASSERT_EQ(d_.UpdateRecordInfo(r, 4), 0);
      ASSERT_EQ(r.segmentNo, seg);
    }
    r.operation = kOpRecordClose;
    r.state = 0x01;
    r.size = 5;
    r.endMs = kT0 + seg * 10000 + 5000;
    total += 5;
    ASSERT_EQ(d_.UpdateRecordInfo(r, 4), 0);
  }
  const recindex::RecIndexEntry e = EntryOnDisk(0);
  EXPECT_EQ(e.summary.segmentCount, 64);
  EXPECT_EQ(int32_t{e.summary.size}, total);
  EXPECT_EQ(int32_t{e.segments[63].size}, 1005);
  EXPECT_EQ(int64_t{e.segments[0].startMs}, kT0);
  EXPECT_EQ(int64_t{e.segments[63].endMs}, kT0 + 63 * 10000 + 5000);
  EXPECT_EQ(int64_t{e.summary.startMs}, kT0);
  EXPECT_EQ(e.summary.state, recindex::kStateClosed);
  EXPECT_EQ(d_.UpdateRecordInfo(r, 4), -5002);  // the channel has no recording now
  // A 65th segment is refused, and nothing past the table is written.
  r.operation = 2;
  r.state = 0x81;
  EXPECT_EQ(d_.WriteRecord(r, 4), -107);
  EXPECT_EQ(EntryOnDisk(0).summary.segmentCount, 64);
}

TEST_F(IndexMaintenanceTest, SnResetStartsAboveTheLargestRemainingSn) {
  Closed(1, 0, kT0, 0xFFFFFF00u);
  Closed(2, 0, kT0 + kMin, 0xFFFFFFF0u);
  Closed(3, 0, kT0 + 2 * kMin, 0xFFFFFFFCu);
  ib_.SetEntry(0, IndexBytes::Entry{0});
  Open();
  EXPECT_EQ(d_.nextSn, 0xFFFFFFFDu);
  _rec_file_info_ r = Start(0, 0, kT0 + 3 * kMin);
  ASSERT_EQ(d_.WriteRecord(r, 4), 0);
  // Least SN 0xFFFFFF00 is taken from every SN: the largest left is 0xFC, and the new
  // recording is numbered after it.
  EXPECT_EQ(r.sn, 0xFDu);
  EXPECT_EQ(d_.nextSn, 0xFEu);
  EXPECT_EQ(d_.timeMap[(TimeKey{kT0 + 2 * kMin, 3u})].sn, 0xFCu);
}

TEST_F(IndexMaintenanceTest, LockUnlockAndDeleteSurviveAReopen) {
  Closed(0, 0, kT0, 1);
  IndexBytes::Entry three;
  three.segments = 3;
  three.start = kT0 + kMin;
  three.end = kT0 + 4 * kMin;
  three.sn = 2;
  ib_.SetEntry(1, three);
  for (uint32_t k = 0; k < 3; ++k)
    ib_.SetSegment(1, k, 1, 2, kT0 + (k + 1) * kMin, kT0 + (k + 2) * kMin, 1000 * (k + 1));
  IndexBytes::Entry open;
  open.state = 0x81;
  open.start = kT0 + 10 * kMin;
  open.end = kT0 + 11 * kMin;
  ib_.SetEntry(2, open);
  Open();
  _rec_file_info_ r{};
  r.fileIndex = 1;
  r.segmentNo = 1;
  ASSERT_EQ(d_.LockRecord(r), 0);
  recindex::RecIndexEntry e = EntryOnDisk(1);
  EXPECT_EQ(e.segments[1].state, recindex::kSegmentLocked);
  EXPECT_EQ(e.summary.lockedSegments, 1);
  EXPECT_TRUE(e.summary.state & recindex::kStateLocked);
  ASSERT_EQ(d_.UnlockRecord(r), 0);
  e = EntryOnDisk(1);
  EXPECT_EQ(e.segments[1].state, recindex::kSegmentClosed);
  EXPECT_EQ(e.summary.lockedSegments, 0);
  EXPECT_FALSE(e.summary.state & recindex::kStateLocked);
  // A segment number past the count changes nothing; a file past the count is refused.
  r.segmentNo = 200;
  ASSERT_EQ(d_.LockRecord(r), 0);
  EXPECT_EQ(EntryOnDisk(1).summary.lockedSegments, 0);
  r.fileIndex = -1;
  EXPECT_EQ(d_.LockRecord(r), -5002);
  r.fileIndex = 8;
  EXPECT_EQ(d_.DeleteRecord(r), -5002);

  // Deleting the middle segment moves the last one down: nothing after it is hidden.
  r.fileIndex = 1;
  r.segmentNo = 1;
  ASSERT_EQ(d_.DeleteRecord(r), 0);
  e = EntryOnDisk(1);
  EXPECT_EQ(e.summary.segmentCount, 2);
  EXPECT_EQ(int64_t{e.segments[1].startMs}, kT0 + 3 * kMin);
  EXPECT_EQ(e.segments[2].state, 0);
  // Deleting the only segment empties the entry; an open recording cannot be deleted.
  r.fileIndex = 0;
  r.segmentNo = 0;
  ASSERT_EQ(d_.DeleteRecord(r), 0);
  EXPECT_FALSE(InTimeMap(0));
  r.fileIndex = 2;
  EXPECT_EQ(d_.DeleteRecord(r), -111);

  DiskIndex again;
  ASSERT_EQ(again.Open(0, tmp_.path(), 0, true), 0);
  EXPECT_EQ(again.timeMap.count((TimeKey{kT0, 0u})), 0u);
  EXPECT_NE(std::find(again.freeList.begin(), again.freeList.end(), 0u), again.freeList.end());
  ASSERT_EQ(again.timeMap.count((TimeKey{kT0 + kMin, 1u})), 1u);
  EXPECT_EQ(again.timeMap[(TimeKey{kT0 + kMin, 1u})].segmentCount, 2);
}

// Entries left open: one whose record file repairs (closed with the end found), one whose file
// is past repair and held nothing (zeroed, back to the free list, not into the time map).
TEST_F(IndexMaintenanceTest, RepairClosesWhatItCanAndFreesWhatHeldNothing) {
  IndexBytes::Entry open;
  open.state = 0x81;
  open.start = kT0;
  open.end = kT0;
  open.size = 0;
  ib_.SetEntry(3, open);
  ib_.SetSegment(3, 0, 0x81, 2, kT0, kT0, 0);
  IndexBytes::Entry empty = open;
  empty.start = empty.end = kT0 + kMin;
  ib_.SetEntry(5, empty);
  ib_.SetSegment(5, 0, 0x81, 2, kT0 + kMin, kT0 + kMin, 0);
  Open();
  ASSERT_EQ(d_.repairList.size(), 2u);
  std::vector<int> asked;
  auto repair = [&](const _rec_file_info_& r, uint32_t* dataEnd, int64_t* endMs) {
    asked.push_back(r.fileIndex);
    if (r.fileIndex == 5) return -1;
    *dataEnd = 0x2F000 + 60 * 1024 * 1024;  // within 8 MiB of the 64 MiB file: done with
    *endMs = kT0 + 30000;
    return 0;
  };
  ASSERT_EQ(d_.Repair(repair), 0);
  EXPECT_EQ(asked, (std::vector<int>{3, 5}));
  recindex::RecIndexEntry e = EntryOnDisk(3);
  EXPECT_EQ(e.summary.state, recindex::kStateClosed);
  EXPECT_EQ(int64_t{e.summary.endMs}, kT0 + 30000);
  EXPECT_EQ(e.segments[0].state, 1);
  EXPECT_EQ(int32_t{e.summary.size}, 60 * 1024 * 1024);
  EXPECT_TRUE(InTimeMap(3));
  EXPECT_EQ(EntryOnDisk(5).summary.kind, 0);
  EXPECT_FALSE(InTimeMap(5));
  EXPECT_FALSE(InTimeMap(0));  // a zeroed entry never lands in the time map as file 0
  EXPECT_NE(std::find(d_.freeList.begin(), d_.freeList.end(), 5u), d_.freeList.end());
  EXPECT_TRUE(d_.repairList.empty());
}

// An open entry as a power loss leaves it: three segment records written, the count still 1
// (as disks written before the count was kept current show it), every record still open.
void PutCutRecording(IndexBytes& ib, uint32_t i) {
  IndexBytes::Entry open;
  open.state = 0x81;
  open.start = kT0;
  open.end = kT0 + 95000;  // a progress update counted frames the power loss took from the cache
  open.size = 3500;
  open.segments = 1;
  ib.SetEntry(i, open);
  ib.SetSegment(i, 0, 0x81, 2, kT0, kT0 + 30000, 1000);
  ib.SetSegment(i, 1, 0x81, 2, kT0 + 30000, kT0 + 60000, 2000);
  ib.SetSegment(i, 2, 0x81, 2, kT0 + 60000, kT0 + 95000, 500);
}

// What the file holds: its frames end at kT0 + 90 s, 10000 bytes into the data area.
int CutFileRepair(const _rec_file_info_&, uint32_t* dataEnd, int64_t* endMs) {
  *dataEnd = 0x2F000 + 10000;
  *endMs = kT0 + 90000;
  return 0;
}

TEST_F(IndexMaintenanceTest, RepairWalksEverySegmentAndCountsTheWholeFile) {
  PutCutRecording(ib_, 2);
  Open();
  ASSERT_EQ(d_.repairList.size(), 1u);
  EXPECT_EQ(d_.repairList.front().segmentNo, 2);  // the walk went past the stale count
  ASSERT_EQ(d_.Repair(CutFileRepair), 0);
  const recindex::RecIndexEntry e = EntryOnDisk(2);
  EXPECT_EQ(e.summary.segmentCount, 3);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(e.segments[k].state & 0x80, 0) << k;
  // The last segment takes what the file holds beyond the others: the sizes sum to the data.
  EXPECT_EQ(int32_t{e.segments[2].size}, 10000 - 3000);
  EXPECT_EQ(int32_t{e.summary.size}, 10000);
  EXPECT_EQ(uint32_t{e.segments[2].dataEnd}, 0x2F000u + 10000);
  // The end is the last frame's, not the progress update's that ran ahead of the data.
  EXPECT_EQ(int64_t{e.summary.endMs}, kT0 + 90000);
  EXPECT_EQ(int64_t{e.segments[2].endMs}, kT0 + 90000);
  EXPECT_EQ(e.summary.state, recindex::kStateClosed);
}

// A drive that must not be written: the same repair in memory. The recording is listed with
// its segments and its data end, the index file is unchanged, and the repair list is kept for
// a repair that writes.
TEST_F(IndexMaintenanceTest, InMemoryRepairListsTheCutRecordingAndWritesNothing) {
  PutCutRecording(ib_, 2);
  Closed(0, 0, kT0 - 10 * kMin, 1);
  Open();
  const auto before = testsupport::ReadFileBytes(tmp_.File("recordIdx.bin"), 0, ib_.bytes().size());
  EXPECT_EQ(d_.RepairInMemory(CutFileRepair), 1);
  EXPECT_EQ(testsupport::ReadFileBytes(tmp_.File("recordIdx.bin"), 0, before.size()), before);
  EXPECT_EQ(d_.repairList.size(), 1u);
  EXPECT_TRUE(InTimeMap(2));
  EXPECT_EQ(d_.RepairedDataEnd(2), 0x2F000u + 10000);
  EXPECT_EQ(d_.RepairedDataEnd(0), 0u);
  // The search lists its three segments over the whole written time.
  SearchWindow window;
  RecordList list;
  ASSERT_EQ(SearchOneChannel(d_, 0, kT0 - kMin, kT0 + 10 * kMin, -1, 4, list, window), 3);
  EXPECT_EQ(int64_t{list.front().startMs}, kT0);
  EXPECT_EQ(int64_t{list.back().endMs}, kT0 + 90000);
  // Once a repair that writes has run, the disk holds it and the in-memory copy is dropped.
  ASSERT_EQ(d_.Repair(CutFileRepair), 0);
  EXPECT_EQ(d_.RepairedDataEnd(2), 0u);
  EXPECT_EQ(EntryOnDisk(2).summary.state, recindex::kStateClosed);
}

// A recording without an SN (0) is no minimum: the least SN is the smallest non-zero one.
TEST_F(IndexMaintenanceTest, TheLeastSnSkipsRecordingsWithoutOne) {
  Closed(0, 0, kT0, 5);
  Closed(1, 0, kT0 + kMin, 0);
  Closed(2, 0, kT0 + 2 * kMin, 9);
  Open();
  platform::TheClock().SetManual(true, kT0 + 100 * kMin);
  uint32_t f = 99;
  ASSERT_EQ(d_.Recycle(&f), 0);
  EXPECT_EQ(f, 0u);
  EXPECT_EQ(d_.leastSn, 6u);  // SN 5 went: the next least is above it (not 9, nor 0)
}

TEST_F(IndexMaintenanceTest, TheSetDispatchesByDiskAndKeepsRecentRecords) {
  ib_.SetEntry(0, IndexBytes::Entry{0});
  Open();
  DiskIndexSet set;
  EXPECT_EQ(set.LockRecord(_rec_file_info_{}), -5002);
  FileGrant none;
  EXPECT_EQ(set.TakeFreeFile(&none), -5002);
  auto owned = std::make_unique<DiskIndex>();
  ASSERT_EQ(owned->Open(0, tmp_.path(), 0, true), 0);
  set.Add(std::move(owned));
  set.SetChannelLimit(4);
  FileGrant g;
  ASSERT_EQ(set.TakeFreeFile(&g), 0);
  EXPECT_EQ(g.fileIndex, 0u);
  EXPECT_EQ(g.fileBytes, 64u << 20);
  _rec_file_info_ r = Start(1, g.fileIndex, kT0);
  ASSERT_EQ(set.WriteRecord(r), 0);
  r.operation = 0;
  r.size = 10;
  ASSERT_EQ(set.UpdateRecordInfo(r), 0);
  r.size = 20;
  ASSERT_EQ(set.UpdateRecordInfo(r), 0);
  auto recent = set.RecentRecords(1);
  ASSERT_EQ(recent.size(), 1u);  // the same recording, newest picture
  EXPECT_EQ(recent[0].size, 20);
}

}  // namespace
