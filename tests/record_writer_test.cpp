// The record writer on an ordinary file and on a record disk: the bytes a closed file holds
// (head, segments, index, frames back to back), the write checks in their order, appending a
// segment, repairing a file left open, and a device that fails a flush.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "api/context.h"
#include "device/dev_registry.h"
#include "disklayout/disk_table.h"
#include "disklayout/le.h"
#include "platform/scsi.h"
#include "qvfs/qvfs.h"
#include "record/record_format.h"
#include "record/record_writer.h"
#include "test_support.h"

using testsupport::LibraryTest;
using testsupport::ReadFileBytes;

namespace {

constexpr int64_t kT0 = 1700000000000;
constexpr uint32_t kFileBytes = 8 << 20;

using testsupport::PtmfFrame;
const auto& Frame = PtmfFrame;

class RecordWriterTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ctx_->get().deviceServices().SetIntervals(5, 50);
    path_ = tmp_.File("00000.asf");
    testsupport::MakeSparseFile(path_, kFileBytes);
  }
  void TearDown() override {
    ctx_->get().deviceServices().StopAll();
    LibraryTest::TearDown();
  }
  // Writes frames: a key frame every `gop`, 40 ms apart, odd payload sizes.
  std::vector<std::vector<uint8_t>> WriteFrames(CRecordWriter& w, int n, int64_t t0, int gop = 10) {
    std::vector<std::vector<uint8_t>> frames;
    for (int i = 0; i < n; ++i) {
      auto f = Frame(i % gop == 0 ? 'I' : 'P', t0 + i * 40, 3001 + (i % 7) * 2, i);
      EXPECT_EQ(w.WriteFrame(f.data(), f.size()), static_cast<int>(f.size())) << "frame " << i;
      frames.push_back(f);
    }
    return frames;
  }
  recfile::RecordHead Head() {
    auto b = ReadFileBytes(path_, 0, sizeof(recfile::RecordHead));
    recfile::RecordHead h;
    std::memcpy(&h, b.data(), sizeof h);
    return h;
  }
  std::vector<recfile::IndexEntry> Index() {
    auto area = ReadFileBytes(path_, recfile::kIndexOffset, recfile::kIndexAreaBytes);
    std::vector<recfile::IndexEntry> index;
    recfile::ParseIndexArea(area.data(), area.size(), &index, nullptr);
    return index;
  }
  std::string path_;
};

TEST_F(RecordWriterTest, ClosedFileHoldsHeadIndexAndFramesBackToBack) {
  CRecordWriter w(2);
  RecordDescriptor d;
  d.recordSN = 41;
  std::strcpy(d.text3, "V1.0.0");
  ASSERT_EQ(w.OpenNew(path_, 0, kFileBytes, kT0, &d), 0);
  EXPECT_EQ(w.OpenNew(path_, 0, kFileBytes, kT0, &d), -105);
  auto frames = WriteFrames(w, 60, kT0);
  ASSERT_EQ(w.Close(), 0);

  const recfile::RecordHead h = Head();
  uint32_t total = 0;
  for (auto& f : frames) total += static_cast<uint32_t>(f.size());
  EXPECT_EQ(h.state, recfile::kStateClosed);
  EXPECT_EQ(h.dataEnd, recfile::kDataOffset + total);
  EXPECT_EQ(h.channel, 2);
  EXPECT_EQ(h.recordSN, 41u);
  EXPECT_STREQ(h.text3, "V1.0.0");
  EXPECT_EQ(int64_t{h.startTime}, kT0);
  EXPECT_EQ(int64_t{h.endTime}, kT0 + 59 * 40);
  EXPECT_EQ(h.segCount, 1u);
  EXPECT_EQ(h.indexCount, 6u);
  auto segs = ReadFileBytes(path_, 512, 64);
  EXPECT_EQ(0, std::memcmp(&segs[60], "RSEG", 4));
  EXPECT_EQ(le::Get32(&segs[4]), total);  // data length

  auto index = Index();
  ASSERT_EQ(index.size(), 6u);
  uint32_t offset = recfile::kDataOffset;
  for (int i = 0; i < 60; ++i) {
    if (i % 10 == 0) {
      const recfile::IndexEntry e = index[i / 10];
      EXPECT_EQ(uint32_t{e.offset}, offset);
      EXPECT_EQ(uint32_t{e.size}, (frames[i].size() + 1) & ~1u);  // even
      EXPECT_EQ(uint32_t{e.time}, static_cast<uint32_t>((kT0 + i * 40) / 1000));
      EXPECT_EQ(uint16_t{e.number}, i / 10 + 1);
    }
    auto onDisk = ReadFileBytes(path_, offset, frames[i].size());
    ASSERT_EQ(onDisk, frames[i]) << "frame " << i;
    offset += static_cast<uint32_t>(frames[i].size());
  }
}

TEST_F(RecordWriterTest, WriteChecksInTheirOrder) {
  CRecordWriter w(0);
  ASSERT_EQ(w.OpenNew(path_, 0, kFileBytes, kT0, nullptr), 0);
  auto p = Frame('P', kT0, 100, 0);
  EXPECT_EQ(w.WriteFrame(p.data(), p.size()), -4013);  // a file starts with a key frame
  EXPECT_EQ(w.position(), recfile::kDataOffset);
  auto i0 = Frame('I', kT0 + 10000, 100, 1);
  ASSERT_GT(w.WriteFrame(i0.data(), i0.size()), 0);
  auto back = Frame('P', kT0 + 10000 - 4999, 100, 2);
  EXPECT_GT(w.WriteFrame(back.data(), back.size()), 0);
  auto jump = Frame('P', kT0 + 10000 - 4999 - 5001, 100, 3);
  EXPECT_EQ(w.WriteFrame(jump.data(), jump.size()), -4007);
  auto ahead = Frame('P', kT0 + 60000, 100, 4);  // 60 s after the new reference
  EXPECT_GT(w.WriteFrame(ahead.data(), ahead.size()), 0);
  auto far = Frame('P', kT0 + 120001, 100, 5);
  EXPECT_EQ(w.WriteFrame(far.data(), far.size()), -4006);
  std::vector<uint8_t> big = Frame('P', kT0 + 60040, kFileBytes, 6);
  EXPECT_EQ(w.WriteFrame(big.data(), big.size()), -2004);
  std::vector<uint8_t> junk(300, 0x11);
  EXPECT_EQ(w.WriteFrame(junk.data(), junk.size()), -101);

  _rec_file_info_ seg{};
  seg.segmentNo = 64;
  seg.startMs = kT0 + 70000;
  ASSERT_EQ(w.NewSegment(seg), 0);
  auto late = Frame('I', kT0 + 70000, 100, 7);
  EXPECT_EQ(w.WriteFrame(late.data(), late.size()), -4001);
  ASSERT_EQ(w.Close(), 0);
}

TEST_F(RecordWriterTest, AppendingASegmentContinuesAtDataEnd) {
  {
    CRecordWriter w(1);
    ASSERT_EQ(w.OpenNew(path_, 0, kFileBytes, kT0, nullptr), 0);
    WriteFrames(w, 20, kT0);
    ASSERT_EQ(w.Close(), 0);
  }
  const uint32_t firstEnd = Head().dataEnd;
  CRecordWriter w(1);
  _rec_file_info_ desc{};
  desc.fileIndex = 0;
  desc.segmentNo = 0;
  desc.startMs = kT0 + 100000;
  ASSERT_EQ(w.OpenAppend(path_, desc, kFileBytes, kT0 + 100000), 0);
  EXPECT_EQ(w.position(), firstEnd);
  EXPECT_EQ(w.head().state, recfile::kStateAppending);
  EXPECT_EQ(w.currentSegment().segNo, 1u);
  WriteFrames(w, 20, kT0 + 100000);
  ASSERT_EQ(w.WriteHead(), 0);
  EXPECT_EQ(Head().state, recfile::kStateAppending);
  ASSERT_EQ(w.Close(), 0);
  const recfile::RecordHead h = Head();
  EXPECT_EQ(h.state, recfile::kStateClosed);
  EXPECT_EQ(h.segCount, 2u);
  EXPECT_EQ(h.indexCount, 4u);
  auto segs = ReadFileBytes(path_, 512, 128);
  EXPECT_EQ(le::Get32(&segs[64 + 36]), firstEnd);  // start position of segment 1
  EXPECT_EQ(Index().size(), 4u);
}

// A file left open: its head still says 0x1111 with dataEnd 0x2F000 and only the first index
// entry made it to the disk. Repair finds every whole frame after it, also after odd sizes.
TEST_F(RecordWriterTest, RepairRebuildsDataEndAndIndex) {
  std::vector<std::vector<uint8_t>> frames;
  {
    CRecordWriter w(0);
    ASSERT_EQ(w.OpenNew(path_, 0, kFileBytes, kT0, nullptr), 0);
    frames = WriteFrames(w, 100, kT0, 25);  // key frames 1 s apart
    ASSERT_EQ(w.Close(), 0);
  }
  recfile::RecordHead h = Head();
  const uint32_t end = h.dataEnd;
  h.state = recfile::kStateWriting;
  h.dataEnd = recfile::kDataOffset;
  h.indexCount = 1;
  testsupport::WriteFileBytes(path_, 0, &h, sizeof h);
  std::vector<uint8_t> zeros(3 * 20, 0);
  testsupport::WriteFileBytes(path_, recfile::kIndexOffset + 20, zeros.data(), zeros.size());
  // A torn last frame: its header never made it.
  const uint32_t torn = end - static_cast<uint32_t>(frames.back().size());
  std::vector<uint8_t> junk(16, 0xEE);
  testsupport::WriteFileBytes(path_, torn, junk.data(), junk.size());

  CRecordWriter w(0);
  uint32_t dataEnd = 0;
  int64_t endTime = 0;
  ASSERT_EQ(w.RepairFile(path_, 0, kFileBytes, kT0, 0, &dataEnd, &endTime), 0);
  const uint32_t lastFrame = torn;
  EXPECT_EQ(dataEnd, lastFrame);
  EXPECT_EQ(endTime, kT0 + 98 * 40);
  h = Head();
  EXPECT_EQ(h.dataEnd, lastFrame);
  EXPECT_EQ(h.state, recfile::kStateClosed);
  auto index = Index();
  ASSERT_EQ(index.size(), 4u);
  EXPECT_EQ(uint32_t{index[3].time}, static_cast<uint32_t>((kT0 + 75 * 40) / 1000));
  EXPECT_EQ(w.RepairFile("", 0, kFileBytes, 0, 0, &dataEnd, &endTime), -2010);
}

// The repair's search without its writes: the same data end and end time, not a byte changed
// (the file opened read-only); the repair that writes then agrees.
TEST_F(RecordWriterTest, FindingTheRepairedEndWritesNothing) {
  {
    CRecordWriter w(0);
    ASSERT_EQ(w.OpenNew(path_, 0, kFileBytes, kT0, nullptr), 0);
    WriteFrames(w, 60, kT0, 25);
    ASSERT_EQ(w.Close(), 0);
  }
  recfile::RecordHead h = Head();
  const uint32_t end = h.dataEnd;
  h.state = recfile::kStateWriting;  // as a power loss leaves it
  h.dataEnd = kFileBytes;
  testsupport::WriteFileBytes(path_, 0, &h, sizeof h);
  const auto before = ReadFileBytes(path_, 0, kFileBytes);
  CRecordWriter w(0);
  uint32_t found = 0;
  int64_t foundMs = 0;
  ASSERT_EQ(w.FindRepairedEnd(path_, 0, kFileBytes, kT0, 0, &found, &foundMs), 0);
  EXPECT_EQ(found, end);
  EXPECT_EQ(foundMs, kT0 + 59 * 40);
  EXPECT_FALSE(w.IsOpen());
  EXPECT_TRUE(ReadFileBytes(path_, 0, kFileBytes) == before);
  uint32_t repaired = 0;
  int64_t repairedMs = 0;
  ASSERT_EQ(w.RepairFile(path_, 0, kFileBytes, kT0, 0, &repaired, &repairedMs), 0);
  EXPECT_EQ(repaired, found);
  EXPECT_EQ(repairedMs, foundMs);
  EXPECT_EQ(Head().state, recfile::kStateClosed);
}

// A medium or hardware error reading the head block (results 3 and 4 pass the region file as
// positive values) fails the append: it is never taken as the head's offset.
TEST_F(RecordWriterTest, AnAppendWhoseHeadCannotBeReadFails) {
  const std::string drive = AttachImage(1ull << 30, 512, false, "disk.img");
  ASSERT_GT(QVFS_FormatToRecdisk(drive.c_str(), 64, 0), 0);
  CDiskTable table;
  ASSERT_EQ(table.Init(CDevFlyWeightFactory::getSingleton()->CreateScsiDev(drive.c_str(), false)), 0);
  const uint64_t file1 = table.GetFirstRecordLba() + 64 * 2048;
  {
    CRecordWriter w(3);
    ASSERT_EQ(w.OpenNew(drive, 1, 64 << 20, kT0, nullptr), 0);
    WriteFrames(w, 10, kT0);
    ASSERT_EQ(w.Close(), 0);
  }
  for (uint8_t key : {platform::kSkMediumError, platform::kSkHardwareError}) {
    SCOPED_TRACE(static_cast<int>(key));
    platform::FaultRule r;
    r.opcodes = {platform::kOpRead10, platform::kOpRead16};
    r.firstLba = file1;
    r.lastLba = file1 + 15;
    r.key = key;
    r.asc = 0x11;
    faults_->AddRule(r);
    CRecordWriter w(3);
    _rec_file_info_ desc{};
    desc.fileIndex = 1;
    desc.startMs = kT0 + 60000;
    EXPECT_LT(w.OpenAppend(drive, desc, 64 << 20, kT0 + 60000), 0);
    EXPECT_FALSE(w.IsOpen());
    faults_->ClearRules();
  }
}

TEST_F(RecordWriterTest, AFailedFlushFailsEveryLaterFrame) {
  const std::string drive = AttachImage(1ull << 30, 512, false, "disk.img");
  ASSERT_GT(QVFS_FormatToRecdisk(drive.c_str(), 64, 0), 0);
  CDiskTable table;
  ASSERT_EQ(table.Init(CDevFlyWeightFactory::getSingleton()->CreateScsiDev(drive.c_str(), false)), 0);
  const uint64_t first = table.GetFirstRecordLba();
  ASSERT_EQ(ctx_->get().diskWatch().RecordFileLba(drive, 1), first + 64 * 2048);

  CRecordWriter w(3);
  ASSERT_EQ(w.OpenNew(drive, 1, 64 << 20, kT0, nullptr), 0);
  platform::FaultRule r;
  r.opcodes = {platform::kOpWrite10, platform::kOpWrite16};
  r.firstLba = first + 64 * 2048 + 0x2F000 / 512;
  r.lastLba = first + 128 * 2048 - 1;
  r.key = platform::kSkMediumError;
  r.asc = 0x0C;
  faults_->AddRule(r);
  auto frames = WriteFrames(w, 10, kT0);
  // The flush on the close (or the service thread before it) meets the failing device.
  for (int i = 0; i < 400 && w.deviceStatus() == 0; ++i) {
    uint32_t len = 0;
    w.EndSegment(&len);  // makes the next flush write regardless of thresholds
    w.FlushCache();
  }
  EXPECT_EQ(w.deviceStatus(), kDeviceWriteFailed);
  auto more = Frame('P', kT0 + 400, 100, 10);
  EXPECT_LT(w.WriteFrame(more.data(), more.size()), 0);
  faults_->ClearRules();
  w.Close();
}

// The power goes at many points while a file is being written (every write after the cut is
// dropped, as a disk without power drops what it did not yet hold). Repair then rebuilds the
// file from what reached the disk: every frame before its data end is a frame that was written,
// in order and intact up to the last one, and every index entry points at a key frame there.
TEST_F(RecordWriterTest, RepairAfterPowerCutsAtManyPoints) {
  const std::string drive = AttachImage(1ull << 30, 512, false, "cut.img");
  ASSERT_GT(QVFS_FormatToRecdisk(drive.c_str(), 64, 0), 0);
  ctx_->get().deviceServices().SetIntervals(1, 50);
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < 400; ++i)
    frames.push_back(Frame(i % 25 == 0 ? 'I' : 'P', kT0 + i * 40, 5001 + (i % 9) * 2, i));
  int repaired = 0;
  const int cuts[] = {1, 2, 3, 4, 6, 9, 14};
  for (int c = 0; c < 7; ++c) {
    const uint32_t fileIndex = static_cast<uint32_t>(c + 1);
    const uint64_t fileOffset = ctx_->get().diskWatch().RecordFileLba(drive, fileIndex) * 512;
    faults_->CutPowerAfterWrites(cuts[c]);
    {
      CRecordWriter w(5);
      if (w.OpenNew(drive, fileIndex, 64 << 20, kT0, nullptr) == 0)
        for (auto& f : frames) w.WriteFrame(f.data(), static_cast<uint32_t>(f.size()));
      // The writer goes with the power: its Close reaches the disk no more.
    }
    faults_->CutPowerAfterWrites(-1);
    CRecordWriter fixer(5);
    uint32_t end = 0;
    int64_t endTime = 0;
    const int r = fixer.RepairFile(drive, fileIndex, 64 << 20, 0, 0, &end, &endTime);
    if (r == recfile::ERR_RECFILE_NOT_RECORD) continue;  // the cut came before the head
    ASSERT_EQ(r, 0) << "cut after " << cuts[c] << " writes";
    ++repaired;
    auto data = ReadFileBytes(imagePath_, fileOffset + recfile::kDataOffset,
                              end - recfile::kDataOffset);
    size_t at = 0, i = 0;
    std::vector<uint32_t> keyOffsets;
    while (at < data.size()) {
      ASSERT_LT(i, frames.size());
      const auto& f = frames[i];
      ASSERT_LE(at + f.size(), data.size()) << "a frame cut by the data end";
      // Whole frames before the last one; the last one's header at least.
      const size_t cmp = i + 1 < frames.size() && at + f.size() < data.size() ? f.size() : 224;
      ASSERT_EQ(0, std::memcmp(data.data() + at, f.data(), cmp))
          << "cut " << cuts[c] << " frame " << i;
      if (f[5] == 'I') keyOffsets.push_back(static_cast<uint32_t>(recfile::kDataOffset + at));
      at += f.size();
      ++i;
    }
    auto area = ReadFileBytes(imagePath_, fileOffset + recfile::kIndexOffset,
                              recfile::kIndexAreaBytes);
    std::vector<recfile::IndexEntry> index;
    recfile::ParseIndexArea(area.data(), area.size(), &index, nullptr);
    for (const auto& e : index) {
      EXPECT_LT(uint32_t{e.offset}, end);
      EXPECT_NE(std::find(keyOffsets.begin(), keyOffsets.end(), uint32_t{e.offset}),
                keyOffsets.end())
          << "an index entry that is no key frame";
    }
  }
  EXPECT_GT(repaired, 3);
}

}  // namespace
