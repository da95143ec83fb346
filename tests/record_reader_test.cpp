// The record reader over files the writer made: every frame back byte for byte in normal mode,
// key frames forwards and backwards through the index, seeks, an index-less file, the time
// range, and the pacing rule.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "api/context.h"
#include "disklayout/le.h"
#include "record/record_reader.h"
#include "record/record_writer.h"
#include "test_support.h"

using testsupport::LibraryTest;

namespace {

constexpr int64_t kT0 = 1700000000000;
constexpr uint32_t kFileBytes = 8 << 20;

using testsupport::PtmfFrame;
const auto& Frame = PtmfFrame;

class RecordReaderTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ctx_->get().deviceServices().SetIntervals(2, 50);
    path_ = tmp_.File("00000.asf");
    testsupport::MakeSparseFile(path_, kFileBytes);
    CRecordWriter w(4);
    ASSERT_EQ(w.OpenNew(path_, 0, kFileBytes, kT0, nullptr), 0);
    for (int i = 0; i < 250; ++i) {  // a key frame a second, odd sizes
      frames_.push_back(Frame(i % 25 == 0 ? 'I' : 'P', kT0 + i * 40, 4001 + (i % 5) * 2, i));
      ASSERT_GT(w.WriteFrame(frames_.back().data(), frames_.back().size()), 0);
    }
    ASSERT_EQ(w.Close(), 0);
  }
  void TearDown() override {
    ctx_->get().deviceServices().StopAll();
    LibraryTest::TearDown();
  }
  std::vector<std::vector<uint8_t>> Drain(CRecordReader& r, int max = 1000) {
    std::vector<std::vector<uint8_t>> out;
    std::vector<uint8_t> buf(1 << 16);
    for (int i = 0; i < max; ++i) {
      int n = r.GetFrame(buf.data(), buf.size());
      if (n <= 0) {
        EXPECT_EQ(n, -3003);
        break;
      }
      out.emplace_back(buf.begin(), buf.begin() + n);
    }
    return out;
  }
  static uint32_t No(const std::vector<uint8_t>& f) { return le::Get32(&f[8]); }
  std::string path_;
  std::vector<std::vector<uint8_t>> frames_;
};

TEST_F(RecordReaderTest, NormalModeGivesEveryFrameBack) {
  CRecordReader r;
  ASSERT_EQ(r.Open(path_, 0, 0, 0, true), 0);
  EXPECT_EQ(r.index().size(), 10u);
  auto got = Drain(r);
  ASSERT_EQ(got.size(), frames_.size());
  for (size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], frames_[i]) << "frame " << i;
  EXPECT_TRUE(r.ended());
}

TEST_F(RecordReaderTest, KeyFramesForwardAndBackward) {
  CRecordReader r;
  ASSERT_EQ(r.Open(path_, 0, 0, 0, true), 0);
  r.SetPlayMode(kModeFast, 4);
  ASSERT_EQ(r.SeekToTime(kT0, true), 0);  // drops what a refill in normal mode put there
  auto fwd = Drain(r);
  ASSERT_EQ(fwd.size(), 10u);
  for (size_t i = 0; i < fwd.size(); ++i) {
    EXPECT_EQ(No(fwd[i]), i * 25);
    EXPECT_EQ(fwd[i], frames_[i * 25]);  // whole: the even-rounded size is not copied
  }

  CRecordReader b;
  ASSERT_EQ(b.Open(path_, 0, 0, 0, true), 0);
  b.SetPlayMode(kModeBack, 1);
  ASSERT_EQ(b.SeekToTime(kT0 + 250 * 40, true), 0);
  auto back = Drain(b);
  ASSERT_EQ(back.size(), 10u);
  for (size_t i = 0; i < back.size(); ++i) EXPECT_EQ(No(back[i]), (9 - i) * 25);

  CRecordReader slow;  // fast forward below speed 3 reads everything
  ASSERT_EQ(slow.Open(path_, 0, 0, 0, true), 0);
  slow.SetPlayMode(kModeFast, 2);
  EXPECT_EQ(Drain(slow).size(), frames_.size());
}

TEST_F(RecordReaderTest, SeeksLandOnIndexedKeyFrames) {
  CRecordReader r;
  ASSERT_EQ(r.Open(path_, 0, 0, 0, true), 0);
  ASSERT_EQ(r.SeekToTime(kT0 - 60000, true), 0);
  EXPECT_EQ(r.position(), r.index().front().offset);
  // 3.5 s is second 3 of the index: the key frame of that second (frame 75).
  ASSERT_EQ(r.SeekToTime(kT0 + 3500, true), 0);
  EXPECT_EQ(r.position(), r.index()[3].offset);
  auto got = Drain(r, 3);
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(No(got[0]), 75u);
  ASSERT_EQ(r.SeekToTime(kT0 + 3600000, true), 0);
  EXPECT_EQ(r.position(), r.index().back().offset);
  EXPECT_EQ(r.SeekIndex(kT0 + 3500), r.index()[4].offset);  // the first entry after it
}

TEST_F(RecordReaderTest, AFileWithoutIndexPlaysFromTheDataStart) {
  std::vector<uint8_t> zeros(recfile::kIndexAreaBytes, 0);
  testsupport::WriteFileBytes(path_, recfile::kIndexOffset, zeros.data(), zeros.size());
  CRecordReader r;
  ASSERT_EQ(r.Open(path_, 0, 0, 0, true), 0);
  EXPECT_TRUE(r.index().empty());
  EXPECT_EQ(Drain(r).size(), frames_.size());
}

TEST_F(RecordReaderTest, RangeEndsAtTheFirstFrameAfterIt) {
  CRecordReader r;
  ASSERT_EQ(r.Open(path_, 0, kT0, kT0 + 100 * 40, true), 0);
  std::vector<uint8_t> buf(1 << 16);
  int frames = 0, last = 1;
  while ((last = r.GetFrameInRange(buf.data(), buf.size())) > 0) ++frames;
  EXPECT_EQ(last, 0);
  EXPECT_EQ(frames, 101);
  EXPECT_TRUE(r.ended());
}

// "FSFM" frames carry the camera's own clock as pts and the wall time as frame time: a range
// (in wall time) ends by the frame time, in normal play and in fast forward.
TEST_F(RecordReaderTest, FsfmRangesEndByTheFrameTime) {
  const std::string path = tmp_.File("00001.asf");
  testsupport::MakeSparseFile(path, kFileBytes);
  CRecordWriter w(4);
  ASSERT_EQ(w.OpenNew(path, 1, kFileBytes, kT0 - 3600000, nullptr), 0);
  for (int i = 0; i < 100; ++i) {
    auto f = testsupport::FsfmFrame(i % 25 == 0 ? 'I' : 'P', kT0 + i * 40,
                                    std::vector<uint8_t>(3001, static_cast<uint8_t>(i)), i);
    le::Put64(&f[16], static_cast<uint64_t>(kT0 - 3600000 + i * 40));  // the camera's clock
    ASSERT_GT(w.WriteFrame(f.data(), static_cast<uint32_t>(f.size())), 0) << i;
  }
  ASSERT_EQ(w.Close(), 0);
  for (int mode : {kModeNormal, kModeFast}) {
    CRecordReader r;
    ASSERT_EQ(r.Open(path, 1, 0, kT0 + 49 * 40, true), 0);
    r.SetPlayMode(mode, 2);
    std::vector<uint8_t> buf(1 << 16);
    int frames = 0;
    while (r.GetFrameInRange(buf.data(), buf.size()) > 0) ++frames;
    EXPECT_EQ(frames, 50) << mode;
  }
}

TEST_F(RecordReaderTest, ThinnedReadsAndGpsEntries) {
  // Two GPS fixes after the index entries: the n-th goes with the n-th key frame.
  std::vector<uint8_t> gps(40, 0);
  for (int k = 0; k < 2; ++k) {
    std::memcpy(&gps[k * 20], "GPSI", 4);
    gps[k * 20 + 6] = 'G';
    le::Put32(&gps[k * 20 + 8], static_cast<uint32_t>(kT0 / 1000 + k));
    le::Put32(&gps[k * 20 + 12], 1000 + k);
  }
  testsupport::WriteFileBytes(path_, recfile::kIndexOffset + 10 * 20, gps.data(), gps.size());
  CRecordReader r;
  ASSERT_EQ(r.Open(path_, 0, 0, 0, true), 0);
  ctx_->get().deviceServices().StopAll();  // only the direct reads below move the position
  r.playBuffer()->Clear();
  recfile::GpsEntry fix;
  ASSERT_EQ(r.GetGpsInfo(static_cast<uint32_t>(kT0 / 1000 + 1), &fix), 0);
  EXPECT_EQ(int32_t{fix.coord1}, 1001);
  EXPECT_NE(r.GetGpsInfo(static_cast<uint32_t>(kT0 / 1000 + 5), &fix), 0);  // no fix for it

  ASSERT_EQ(r.SeekToTime(kT0, true), 0);
  const int pushed = r.ReadThinned();
  ASSERT_GT(pushed, 0);
  std::vector<uint8_t> buf(1 << 16);
  std::vector<uint32_t> numbers;
  int n;
  while ((n = r.playBuffer()->GetFrame(buf.data(), buf.size())) > 0) numbers.push_back(No(std::vector<uint8_t>(buf.begin(), buf.begin() + n)));
  ASSERT_EQ(static_cast<int>(numbers.size()), pushed);
  EXPECT_EQ(numbers[0], 0u);   // the key frame
  EXPECT_EQ(numbers[1], 3u);   // then every third other frame
  EXPECT_EQ(numbers[2], 6u);
}

TEST(Pacing, DelaysFollowTheModeAndAreCapped) {
  EXPECT_EQ(PaceDelayMs(kModeNormal, 1, 1000, 1040), 40);
  EXPECT_EQ(PaceDelayMs(kModeNormal, 1, 1000, 9000), 1000);
  EXPECT_EQ(PaceDelayMs(kModeFast, 4, 0, 2000), 500);
  EXPECT_EQ(PaceDelayMs(kModeBack, 1, 10000, 0), 1000);  // fast modes capped too
  EXPECT_EQ(PaceDelayMs(kModeSlow, 2, 0, 3000), 40);
}

}  // namespace

namespace {

// A bad sector in the middle of a file on a disk: normal play skips past it to a key frame at
// least 1,024,000 bytes further on and goes on to the end instead of stopping there.
TEST_F(RecordReaderTest, ABadSectorIsSkippedToALaterKeyFrame) {
  const std::string drive = AttachImage(1ull << 30, 512, false, "bad.img");
  ASSERT_GT(QVFS_FormatToRecdisk(drive.c_str(), 64, 0), 0);
  std::vector<std::vector<uint8_t>> frames;
  {
    CRecordWriter w(2);
    ASSERT_EQ(w.OpenNew(drive, 3, 64 << 20, kT0, nullptr), 0);
    for (int i = 0; i < 750; ++i) {
      frames.push_back(Frame(i % 25 == 0 ? 'I' : 'P', kT0 + i * 40, 8001, i));
      ASSERT_GT(w.WriteFrame(frames.back().data(), frames.back().size()), 0);
    }
    ASSERT_EQ(w.Close(), 0);
  }
  const uint64_t fileLba = ctx_->get().diskWatch().RecordFileLba(drive, 3);
  platform::FaultRule bad;
  bad.opcodes = {platform::kOpRead10, platform::kOpRead16};
  bad.firstLba = fileLba + (recfile::kDataOffset + (2u << 20)) / 512;
  bad.lastLba = bad.firstLba + 7;
  bad.key = platform::kSkMediumError;
  bad.asc = 0x11;  // unrecovered read error
  faults_->AddRule(bad);

  CRecordReader r;
  ASSERT_EQ(r.Open(drive, 3, 0, 0, true), 0);
  auto got = Drain(r, 2000);
  faults_->ClearRules();
  ASSERT_FALSE(got.empty());
  EXPECT_EQ(got.back(), frames.back()) << "playback stopped at the bad sector";
  EXPECT_LT(got.size(), frames.size());
  // Frames come back whole and in order on both sides of the gap (but for the one cut by it).
  size_t exact = 0;
  uint32_t last = 0;
  for (const auto& f : got) {
    const uint32_t no = No(f);
    if (no < frames.size() && f == frames[no]) {
      EXPECT_TRUE(exact == 0 || no > last);
      last = no;
      ++exact;
    }
  }
  EXPECT_GE(exact + 1, got.size());
  // The gap covers the bad sectors and the 1,024,000 bytes after them.
  EXPECT_LT(exact, frames.size() - 1024000 / 8225);
}

}  // namespace
