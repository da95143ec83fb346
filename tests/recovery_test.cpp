// The recovery scan on a disk image with recordings of a real H.264 clip, then made
// recoverable the ways disks really lose them: a deleted entry (its file's head still
// describes it), a free file that still holds frames, and the tail of a recording that a later
// one recycled. Each piece is found with its exact frames, key frames and times; a frame the
// index covers is never listed; a recovered piece is read back, and backed up, like a record.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "api/context.h"
#include "index/index_format.h"
#include "indexed_recording.h"
#include "media_clips.h"
#include "qvfs/qvfs.h"
#include "record/record_format.h"
#include "record/record_reader.h"
#include "record/record_region.h"
#include "recorder/disk_watch.h"
#include "test_support.h"

using testsupport::LibraryTest;

namespace {

constexpr int64_t kT0 = 1767607200000;  // 2026-01-05 10:00:00 UTC

class RecoveryTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    drive_ = MakeRecordDisk(2, "recover.img");
    ASSERT_FALSE(drive_.empty());
  }
  void TearDown() override {
    StopLibraryThreads();
    LibraryTest::TearDown();
  }
  // `seconds` of the clip with audio on a channel from t0, the recorder's headers carrying the
  // channel; the frames as written, and the record file.
  int Record(int channel, int64_t t0, int seconds, std::vector<std::vector<uint8_t>>* written) {
    const testsupport::MediaClip& clip = testsupport::TestClip();
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < seconds * 25; ++i) {
      const size_t k = static_cast<size_t>(i) % clip.pictures.size();
      const int64_t t = t0 + i * 40;
      const auto no = static_cast<uint32_t>(i);
      frames.push_back(testsupport::TaggedFrame(clip.key[k] ? 'I' : 'P', t, clip.pictures[k], no));
      frames.push_back(testsupport::TaggedFrame('A', t, clip.audio[k % clip.audio.size()], no));
    }
    for (auto& f : frames) f[6] = static_cast<uint8_t>(channel);
    if (written) *written = frames;
    return testsupport::RecordIndexed(ctx_->get(), channel, frames);
  }
  std::vector<RecoveredPiece> Scan() {
    std::vector<RecoveredPiece> out(64);
    const int n = QVFS_RecoverScan(drive_.c_str(), out.data(),
                                   static_cast<int>(out.size() * sizeof out[0]), 0xFFFFFFFFu, 0,
                                   UINT32_MAX, nullptr, nullptr);
    EXPECT_GE(n, 0);
    out.resize(static_cast<size_t>(std::max(n, 0)));
    return out;
  }
  void Delete(int channel) {
    DiskIndexRef index = ctx_->get().diskWatch().IndexSet(0).Find(drive_);
    ASSERT_TRUE(index);
    for (const _rec_file_info_& r : Recordings(channel)) ASSERT_EQ(index->DeleteRecord(r), 0);
  }
  // Overwrites bytes of record file i from offset on.
  void Overwrite(int fileIndex, uint32_t offset, const std::vector<uint8_t>& bytes) {
    RecordRegion region;
    ASSERT_EQ(OpenRecordRegion(drive_, static_cast<uint32_t>(fileIndex), 64u << 20, MODE_RDWR,
                               &region), 0);
    ASSERT_EQ(region.file->WritePos(offset, bytes.data(), static_cast<uint32_t>(bytes.size()), true),
              static_cast<int>(bytes.size()));
  }
  // The expected piece of the frames from index `first` on: from the first key frame there.
  static void ExpectPiece(const RecoveredPiece& p, const std::vector<std::vector<uint8_t>>& frames,
                          size_t first, int64_t t0) {
    size_t k = first;
    while (k < frames.size() && frames[k][5] != 'I') ++k;
    ASSERT_LT(k, frames.size());
    uint32_t keys = 0;
    uint64_t bytes = 0;
    for (size_t i = k; i < frames.size(); ++i) {
      keys += frames[i][5] == 'I';
      bytes += frames[i].size();
    }
    EXPECT_EQ(p.frames, frames.size() - k);
    EXPECT_EQ(p.keyFrames, keys);
    EXPECT_EQ(p.bytes, bytes);
    EXPECT_EQ(p.startMs, t0 + static_cast<int64_t>(k / 2) * 40);
    EXPECT_EQ(p.endMs, t0 + static_cast<int64_t>(frames.size() / 2 - 1) * 40);
  }

  std::string drive_;
};

TEST_F(RecoveryTest, ADiskWithNothingToRecoverListsNothing) {
  ASSERT_GE(Record(0, kT0, 3, nullptr), 0);
  ASSERT_GE(Record(1, kT0, 3, nullptr), 0);
  EXPECT_TRUE(Scan().empty());
  std::vector<RecoveredPiece> none(1);
  EXPECT_EQ(QVFS_RecoverScan("\\\\.\\PhysicalDrive9", none.data(), sizeof none[0], ~0u, 0, 10,
                             nullptr, nullptr), -5002);
  EXPECT_EQ(QVFS_RecoverScan(drive_.c_str(), none.data(), sizeof none[0], ~0u, 10, 0, nullptr,
                             nullptr), -101);
}

TEST_F(RecoveryTest, ADeletedEntryAndAFreeFileAreFoundWholeAndReadBack) {
  std::vector<std::vector<uint8_t>> a, b;
  const int fileA = Record(0, kT0, 3, &a);
  const int fileB = Record(1, kT0 + 60000, 3, &b);
  ASSERT_GE(fileA, 0);
  ASSERT_GE(fileB, 0);
  Delete(0);
  std::vector<RecoveredPiece> found = Scan();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].fileIndex, fileA);
  EXPECT_EQ(found[0].channel, 0);
  EXPECT_EQ(found[0].reason, 1);  // deleted: the file's own head still describes it
  ExpectPiece(found[0], a, 0, kT0);
  EXPECT_EQ(found[0].startOffset, recfile::kDataOffset);

  // Read back through a reader as the player and the backups do: every frame, in order.
  _rec_file_info_ rec{};
  ASSERT_EQ(QVFS_RecoveredRecord(&found[0], &rec), 0);
  CRecordReader reader(3);
  ASSERT_EQ(reader.OpenRecord(rec, rec.startMs, true), 0);
  std::vector<uint8_t> buffer(1 << 20);
  size_t got = 0;
  for (int n; (n = reader.GetFrame(buffer.data(), static_cast<uint32_t>(buffer.size()))) > 0; ++got) {
    ASSERT_LT(got, a.size());
    ASSERT_EQ(static_cast<size_t>(n), a[got].size());
    EXPECT_EQ(std::memcmp(buffer.data(), a[got].data(), a[got].size()), 0) << got;
  }
  EXPECT_EQ(got, a.size());
  reader.Close();

  // Without its head the file is a free one that still holds frames.
  Overwrite(fileA, 0, std::vector<uint8_t>(recfile::kHeadBlockBytes, 0));
  found = Scan();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].reason, 3);
  ExpectPiece(found[0], a, 0, kT0);

  // The channel and time filters.
  std::vector<RecoveredPiece> out(4);
  EXPECT_EQ(QVFS_RecoverScan(drive_.c_str(), out.data(), sizeof out[0] * 4, 1u << 1, 0, UINT32_MAX,
                             nullptr, nullptr), 0);
  EXPECT_EQ(QVFS_RecoverScan(drive_.c_str(), out.data(), sizeof out[0] * 4, ~0u,
                             kT0 / 1000 + 3600, UINT32_MAX, nullptr, nullptr), 0);
}

TEST_F(RecoveryTest, TheTailOfARecycledRecordingIsFoundAndTheNewRecordingIsNot) {
  std::vector<std::vector<uint8_t>> a, c;
  const int fileA = Record(0, kT0, 6, &a);
  ASSERT_GE(fileA, 0);
  Delete(0);
  Restart(2);  // the freed file goes back into the free list, first in file order
  const int fileC = Record(1, kT0 + 3600000, 2, &c);
  ASSERT_EQ(fileC, fileA) << "the later recording did not take the freed file";
  // Where the later recording's data ends (and its writes' last block with it), the older
  // one's frames go on: the first of them still whole on the disk begins what is left.
  uint32_t end = recfile::kDataOffset;
  for (const auto& f : c) end += static_cast<uint32_t>(f.size());
  RecordRegion region;
  ASSERT_EQ(OpenRecordRegion(drive_, static_cast<uint32_t>(fileA), 64u << 20, MODE_RDONLY, &region), 0);
  size_t first = 0;
  for (uint32_t at = recfile::kDataOffset; first < a.size(); at += static_cast<uint32_t>(a[first++].size())) {
    if (at < end) continue;
    std::vector<uint8_t> disk(a[first].size());
    ASSERT_EQ(region.file->ReadPos(at, disk.data(), static_cast<uint32_t>(disk.size()), true),
              static_cast<int>(disk.size()));
    if (disk == a[first]) break;
  }
  ASSERT_LT(first, a.size()) << "nothing of the older recording is left";
  std::vector<RecoveredPiece> found = Scan();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].fileIndex, fileA);
  EXPECT_EQ(found[0].channel, 0);
  EXPECT_EQ(found[0].reason, 2);
  ExpectPiece(found[0], a, first, kT0);
  EXPECT_GE(found[0].startOffset, end);
}

TEST_F(RecoveryTest, AFileWhoseEntryIsDamagedIsFoundAsUnindexed) {
  std::vector<std::vector<uint8_t>> a;
  const int fileA = Record(0, kT0, 3, &a);
  ASSERT_GE(fileA, 0);
  ASSERT_GE(Record(1, kT0, 3, nullptr), 0);
  // The entry's link points past the files: the index takes the file for one it cannot use.
  {
    DiskIndexRef index = ctx_->get().diskWatch().IndexSet(0).Find(drive_);
    ASSERT_TRUE(index);
    const int32_t bad = 0x7FFFFFFF;
    ASSERT_EQ(index->file->WritePos(
                  static_cast<uint32_t>(recindex::kEntriesOffset +
                                        uint64_t{static_cast<uint32_t>(fileA)} * recindex::kEntryBytes +
                                        offsetof(recindex::RecIndexSummary, linkIndex)),
                  &bad, sizeof bad, true),
              static_cast<int>(sizeof bad));
  }
  Restart(2);
  std::vector<RecoveredPiece> found = Scan();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].fileIndex, fileA);
  EXPECT_EQ(found[0].reason, 4);
  ExpectPiece(found[0], a, 0, kT0);
}

}  // namespace
