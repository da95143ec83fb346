// Damaged record disks: frame tags that cannot be frames and the walks that meet them (repair,
// play buffers, the reader's refills in every mode, backups), and record heads whose fields run
// past their file. Each case damages a small image that the test formats and records, one fault
// per case; a walk that stands still fails its test through RunWithin instead of hanging.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <vector>

#include "api/context.h"
#include "backup/backup_engine.h"
#include "disklayout/le.h"
#include "fifo/mp_frame_buf.h"
#include "fifo/play_buf.h"
#include "indexed_recording.h"
#include "media_clips.h"
#include "qvfs/qvfs.h"
#include "record/record_format.h"
#include "record/record_reader.h"
#include "record/record_writer.h"
#include "test_support.h"

using testsupport::LibraryTest;
using testsupport::ReadFileBytes;
using testsupport::RunWithin;
using testsupport::WriteFileBytes;

namespace {

constexpr int64_t kT0 = 1767607200000;  // 2026-01-05 10:00:00 UTC
constexpr int kSeconds = 8;
constexpr int kPictures = kSeconds * 25;

// A tag a torn write can leave: the magic and a valid time stamp, header and payload length 0.
void ZeroTheLengths(uint8_t* tag) {
  tag[4] = 0;
  le::Put32(tag + 12, 0);
}

class DamagedDiskTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    drive_ = MakeRecordDisk(2, "damaged.img");
    ASSERT_FALSE(drive_.empty());
    out_ = tmp_.path() + "/out";
    ::mkdir(out_.c_str(), 0755);
  }
  void TearDown() override {
    StopLibraryThreads();
    LibraryTest::TearDown();
  }
  // kSeconds of the test clip (a key frame every 25 pictures, 40 ms apart, no audio).
  static std::vector<std::vector<uint8_t>> ClipFrames(int64_t t0) {
    return testsupport::ClipFrames(t0, kPictures, false);
  }
  uint64_t FileOffset(int fileIndex) {
    return ctx_->get().diskWatch().RecordFileLba(drive_, static_cast<uint32_t>(fileIndex)) * 512;
  }
  recfile::RecordHead HeadOf(int fileIndex) {
    auto b = ReadFileBytes(imagePath_, FileOffset(fileIndex), sizeof(recfile::RecordHead));
    recfile::RecordHead h{};
    std::memcpy(&h, b.data(), sizeof h);
    return h;
  }
  std::vector<recfile::IndexEntry> IndexOf(int fileIndex) {
    auto area = ReadFileBytes(imagePath_, FileOffset(fileIndex) + recfile::kIndexOffset,
                              recfile::kIndexAreaBytes);
    std::vector<recfile::IndexEntry> index;
    recfile::ParseIndexArea(area.data(), area.size(), &index, nullptr);
    return index;
  }
  // The file offset of the frame `ahead` frames after the file's last indexed key frame,
  // walked by the frames' own lengths.
  uint32_t FrameAfterLastKey(int fileIndex, int ahead) {
    const auto index = IndexOf(fileIndex);
    EXPECT_FALSE(index.empty());
    uint32_t at = index.empty() ? recfile::kDataOffset : index.back().offset;
    for (int i = 0; i < ahead; ++i) {
      auto h = ReadFileBytes(imagePath_, FileOffset(fileIndex) + at, 16);
      at += h[4] + le::Get32(&h[12]);
    }
    return at;
  }
  void DamageTag(int fileIndex, uint32_t at) {
    auto tag = ReadFileBytes(imagePath_, FileOffset(fileIndex) + at, 24);
    ASSERT_EQ(std::memcmp(tag.data(), "PTMF", 4), 0) << "no tag at " << at;
    ZeroTheLengths(tag.data());
    WriteFileBytes(imagePath_, FileOffset(fileIndex) + at, tag.data(), tag.size());
  }
  // The frames a reader hands out for a record in a play mode, and how many were key frames.
  static int Play(const _rec_file_info_& r, int mode, int speed, int* keys) {
    CRecordReader reader;
    if (reader.OpenRecord(r, r.startMs, true) != 0) return -1;
    if (mode != kModeNormal) {
      EXPECT_EQ(reader.SetReplayMode(mode, speed), 0);
    }
    std::vector<uint8_t> buf(1 << 20);
    CFrmStategy sel;
    int frames = 0;
    *keys = 0;
    while (reader.GetFrameInRange(buf.data(), static_cast<uint32_t>(buf.size())) > 0) {
      ++frames;
      if (sel.SelectValid(buf.data()) && sel.Current()->IsKeyFrame()) ++*keys;
    }
    return frames;
  }
  std::vector<BackupEngine::Output> Backup(const std::vector<_rec_file_info_>& list, int type) {
    EXPECT_EQ(QVFS_BackupSrcLstStart(const_cast<_rec_file_info_*>(list.data()),
                                     static_cast<int>(list.size()), type, out_.c_str()),
              0);
    ctx_->get().backup().Wait();
    return ctx_->get().backup().Outputs();
  }
  std::string drive_, out_;
};

// A recording left open by a power loss holds a tag with header and payload length 0 a few
// frames after its last indexed key frame. The next start's repair steps past it and keeps the
// frames after it; searches, replays in every mode and backups of the recording finish.
TEST_F(DamagedDiskTest, AZeroLengthTagInAFileLeftOpenIsSteppedOver) {
  const auto frames = ClipFrames(kT0);
  const int closed = testsupport::RecordIndexed(ctx_->get(), 1, ClipFrames(kT0 - 60000));
  const int cut = testsupport::RecordIndexedCut(ctx_->get(), 0, frames, *faults_);
  ASSERT_GE(cut, 0);
  ASSERT_EQ(HeadOf(cut).state, recfile::kStateWriting);
  DamageTag(cut, FrameAfterLastKey(cut, 3));

  RunWithin(60, "the start that repairs the file", [&] { Restart(2); });
  EXPECT_TRUE(Printed("Start repair record.num 1"));
  const recfile::RecordHead repaired = HeadOf(cut);
  EXPECT_EQ(repaired.state, recfile::kStateClosed);
  EXPECT_EQ(repaired.endTime, kT0 + (kPictures - 1) * 40) << "frames after the tag were lost";
  EXPECT_EQ(repaired.indexCount, static_cast<uint32_t>(kSeconds)) << "a key frame a second";

  std::vector<_rec_file_info_> list;
  RunWithin(60, "the search", [&] { list = Recordings(0); });
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].fileIndex, cut);
  EXPECT_EQ(Recordings(1).size(), 1u) << "the closed recording of another channel";
  EXPECT_EQ(Recordings(1)[0].fileIndex, closed);

  RunWithin(60, "replays in every mode", [&] {
    int keys = 0;
    EXPECT_EQ(Play(list[0], kModeNormal, 1, &keys), kPictures - 1);
    EXPECT_EQ(Play(list[0], kModeFast, 2, &keys), kPictures - 1);
    EXPECT_EQ(Play(list[0], kModeFast, 4, &keys), kSeconds / 4);  // every fourth key frame
    EXPECT_EQ(keys, kSeconds / 4);
  });
  RunWithin(120, "the backups", [&] {
    for (int type : {kBackupBin, kBackupMp4, kBackupAsf}) {
      auto outputs = Backup(list, type);
      ASSERT_EQ(outputs.size(), 1u);
      EXPECT_EQ(outputs[0].result, 0) << "backup type " << type;
    }
  });
}

// The same tag inside a closed recording, met by the play buffers of either kind in normal play
// and fast forward, and on an indexed key frame by the key-frame walk, which steps past it.
TEST_F(DamagedDiskTest, AZeroLengthTagInAClosedFileIsSteppedOverByEveryPlayBuffer) {
  const int file = testsupport::RecordIndexed(ctx_->get(), 0, ClipFrames(kT0));
  ASSERT_GE(file, 0);
  DamageTag(file, FrameAfterLastKey(file, 5));
  ASSERT_EQ(IndexOf(file).size(), static_cast<size_t>(kSeconds));
  DamageTag(file, IndexOf(file)[3].offset);
  const auto list = Recordings(0);
  ASSERT_EQ(list.size(), 1u);
  for (int multiUser : {0, 1}) {
    ctx_->get().shared().params().multiUserPlayBuffer = multiUser;
    RunWithin(60, multiUser ? "replays through the shared play buffer" : "replays", [&] {
      int keys = 0;
      EXPECT_EQ(Play(list[0], kModeNormal, 1, &keys), kPictures - 2) << multiUser;
      EXPECT_EQ(keys, kSeconds - 1);
      EXPECT_EQ(Play(list[0], kModeFast, 2, &keys), kPictures - 2);
      EXPECT_EQ(keys, kSeconds - 1);
      EXPECT_EQ(Play(list[0], kModeFast, 3, &keys), 2) << "key frames 0 and 6: 3 is damaged";
    });
  }
}

// A head whose sizes run past its file (fileSize and dataEnd of 4 GiB, an index count past the
// index area): the reader stays inside the record file the disk's table gives, never reading
// on into the next files, and an append takes only the index entries really there.
TEST_F(DamagedDiskTest, HeadSizesAreBoundedByTheDisksRecordFileSize) {
  const int file = testsupport::RecordIndexed(ctx_->get(), 0, ClipFrames(kT0));
  ASSERT_GE(file, 0);
  ASSERT_GE(testsupport::RecordIndexed(ctx_->get(), 0, ClipFrames(kT0 + 60000)), 0);
  recfile::RecordHead h = HeadOf(file);
  h.fileSize = 0xFFFFFFFF;
  h.dataEnd = 0xFFFFFFF0;
  h.indexCount = 0xFFFFFF;
  WriteFileBytes(imagePath_, FileOffset(file), &h, sizeof h);
  const auto list = Recordings(0);
  ASSERT_EQ(list.size(), 2u);
  CRecordReader reader;
  ASSERT_EQ(reader.OpenRecord(list[0], list[0].startMs, true), 0);
  EXPECT_EQ(reader.regionBytes(), 64u << 20);
  reader.Close();

  // An append counts the index entries in the index area, not the head's word.
  CRecordWriter w(0);
  ASSERT_EQ(w.OpenAppend(drive_, list[0], 64 << 20, list[0].endMs), 0);
  EXPECT_EQ(w.head().indexCount, static_cast<uint32_t>(kSeconds));
  w.Close();
}

}  // namespace
