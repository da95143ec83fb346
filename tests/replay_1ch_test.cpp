// One channel's replay over a play list of record files on a disk image: other channels left
// out, files played one after the other with an overlap played once, the end of the list,
// seeks (past everything, near a record's end), the range end, and the mode checks.
#include <gtest/gtest.h>

#include <vector>

#include "api/context.h"
#include "disklayout/le.h"
#include "qvfs/qvfs.h"
#include "record/record_writer.h"
#include "replay/replay_1ch.h"
#include "test_support.h"

using testsupport::LibraryTest;
using testsupport::PtmfFrame;

namespace {

constexpr int64_t kT0 = 1700000000000;

class Replay1ChTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ctx_->get().deviceServices().SetIntervals(2, 50);
    drive_ = AttachImage(1ull << 30, 512, false, "replay.img");
    ASSERT_GT(QVFS_FormatToRecdisk(drive_.c_str(), 64, 0), 0);
    ASSERT_GE(ctx_->get().diskWatch().Scan(), 1);
    // Channel 1: file 0 from 0 to 10 s, file 1 from 8 to 20 s (2 s overlap); channel 2: file 2.
    Write(0, 1, kT0, 250);
    Write(1, 1, kT0 + 8000, 300);
    Write(2, 2, kT0, 50);
    list_ = {Item(1, 0, kT0, kT0 + 249 * 40), Item(2, 2, kT0, kT0 + 49 * 40),
             Item(1, 1, kT0 + 8000, kT0 + 8000 + 299 * 40)};
  }
  void TearDown() override {
    ctx_->get().deviceServices().StopAll();
    LibraryTest::TearDown();
  }
  void Write(uint32_t file, int channel, int64_t t0, int frames) {
    CRecordWriter w(channel);
    ASSERT_EQ(w.OpenNew(drive_, file, 64 << 20, t0, nullptr), 0);
    for (int i = 0; i < frames; ++i) {
      auto f = PtmfFrame(i % 25 == 0 ? 'I' : 'P', t0 + i * 40, 3000, static_cast<uint32_t>(i));
      ASSERT_GT(w.WriteFrame(f.data(), static_cast<uint32_t>(f.size())), 0);
    }
    ASSERT_EQ(w.Close(), 0);
  }
  static _rec_file_info_ Item(int channel, int file, int64_t start, int64_t end) {
    _rec_file_info_ r{};
    r.channel = static_cast<uint8_t>(channel);
    r.fileIndex = file;
    r.startMs = start;
    r.endMs = end;
    r.size = 1 << 20;
    return r;
  }
  // Every frame time the replay hands out, stepping on at the end of each file.
  std::vector<int64_t> PlayAll(CReplay1CHProc& p) {
    std::vector<int64_t> times;
    std::vector<uint8_t> buf(1 << 16);
    for (int guard = 0; guard < 5000; ++guard) {
      const int n = p.ReadFrame(buf.data(), static_cast<uint32_t>(buf.size()));
      if (n > 0) {
        times.push_back(le::Get32(&buf[16]) | int64_t{le::Get16(&buf[20])} << 32);
        continue;
      }
      if (p.curIndex() >= static_cast<int>(p.items()) - 1 && p.reader().ended()) break;
      p.Step();
    }
    return times;
  }
  std::string drive_;
  std::vector<_rec_file_info_> list_;
};

TEST_F(Replay1ChTest, FilesPlayOneAfterTheOtherAndTheOverlapOnce) {
  CReplay1CHProc p(1, 1);
  ASSERT_EQ(p.Init(list_, kT0, CReplay1CHProc::kDefaultRangeEnd, -1), 0);
  EXPECT_EQ(p.items(), 2u);  // channel 2's record is left out
  const auto times = PlayAll(p);
  ASSERT_FALSE(times.empty());
  EXPECT_EQ(times.front(), kT0);
  EXPECT_EQ(times.back(), kT0 + 8000 + 299 * 40);
  // File 1 starts again at its key frame at or before file 0's end, not at its own start.
  size_t join = 0;
  while (join + 1 < times.size() && times[join + 1] > times[join]) ++join;
  ASSERT_LT(join + 1, times.size());
  EXPECT_EQ(times[join], kT0 + 249 * 40);
  EXPECT_GE(times[join + 1], kT0 + 9000);
  // Past the last item nothing more opens.
  EXPECT_EQ(p.Step(), 0);
  EXPECT_EQ(p.curIndex(), 2);
  EXPECT_FALSE(p.reader().IsOpen() && !p.reader().ended());
}

TEST_F(Replay1ChTest, SeeksLandInTheRightRecordOrNowhere) {
  CReplay1CHProc p(1, 1);
  ASSERT_EQ(p.Init(list_, kT0, CReplay1CHProc::kDefaultRangeEnd, -1), 0);
  // After every record: -2007 and nothing open.
  EXPECT_EQ(p.SeekTime(kT0 + 60000), ERR_REPLAY_NO_ITEM);
  EXPECT_FALSE(p.reader().IsOpen());
  // Located afresh, less than a second before file 0's end: the next record opens.
  ASSERT_EQ(p.SeekTime(kT0 + 9500), 0);
  EXPECT_EQ(p.curIndex(), 1);
  EXPECT_EQ(p.reader().fileIndex(), 1u);
  // Modes: speed 33 refused, 0 accepted (stepping as 1); an empty list refuses any mode.
  EXPECT_EQ(p.SetPlayMode(kModeFast, 33), -101);
  EXPECT_EQ(p.SetPlayMode(kModeFast, -1), -101);  // a negative speed would pace for weeks
  EXPECT_EQ(p.SetPlayMode(512, 1), -101);
  EXPECT_EQ(p.SetPlayMode(kModeFast, 0), 0);
  CReplay1CHProc empty(1, 3);
  EXPECT_EQ(empty.Init({}, kT0, kT0 + 1000, -1), -101);
  EXPECT_EQ(empty.SetPlayMode(kModeNormal, 1), -1);
}

TEST_F(Replay1ChTest, AFrameAfterTheRangeEndClosesTheReader) {
  CReplay1CHProc p(1, 1);
  ASSERT_EQ(p.Init(list_, kT0, kT0 + 2000, -1), 0);
  std::vector<uint8_t> buf(1 << 16);
  int frames = 0, n;
  while ((n = p.ReadFrame(buf.data(), static_cast<uint32_t>(buf.size()))) > 0) ++frames;
  EXPECT_EQ(n, ERR_REPLAY_PAST_RANGE);
  EXPECT_EQ(frames, 51);  // 0 .. 2000 ms at 40 ms
  EXPECT_FALSE(p.reader().IsOpen());
}

}  // namespace
