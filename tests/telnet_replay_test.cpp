// Replay sessions through the exported playback functions, on a disk image whose recordings are
// entered in the record index as the recorder does (a segment record every 35 frames): normal
// play across a file boundary frame for frame, fast forward and backward, the range end, two
// clients at once, stop requests, argument checks, pacing, and a format while a client plays.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "api/context.h"
#include "disklayout/le.h"
#include "indexed_recording.h"
#include "platform/clock.h"
#include "platform/platform_context.h"
#include "qvfs/qvfs.h"
#include "replay/replay_sync.h"
#include "test_support.h"

using testsupport::LibraryTest;
using testsupport::PtmfFrame;

namespace {

constexpr int64_t kT0 = 1700000000000;  // a whole second
constexpr int64_t kS0 = kT0 / 1000;
constexpr int kFps = 25, kFrameMs = 40;

struct Played {
  std::vector<int64_t> times;
  std::vector<char> types;
  int end = 0;  // the code that ended the play
};

class TelnetReplayTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    drive_ = MakeRecordDisk(4, "sessions.img");
    ASSERT_FALSE(drive_.empty());
    // Channel 1: one recording of 20 s over two files (the second goes on 40 ms after the
    // first ends), then a gap, then 5 s. Channel 2: 10 s.
    Record(1, kT0, 10 * kFps);
    Record(1, kT0 + 10000, 10 * kFps);
    Record(1, kT0 + 60000, 5 * kFps);
    Record(2, kT0, 10 * kFps);
  }
  void TearDown() override {
    ctx_->get().storage().Shutdown();
    ctx_->get().deviceServices().StopAll();
    LibraryTest::TearDown();
  }
  // Writes `frames` frames (a key frame each second) as a recording the index knows, with a
  // segment record every 35 frames.
  void Record(int channel, int64_t t0, int frames) {
    std::vector<std::vector<uint8_t>> all;
    for (int i = 0; i < frames; ++i)
      all.push_back(
          PtmfFrame(i % kFps == 0 ? 'I' : 'P', t0 + i * kFrameMs, 2000, static_cast<uint32_t>(i)));
    ASSERT_GE(testsupport::RecordIndexed(ctx_->get(), channel, all), 0);
  }
  // Frames of (client, channel) until the play ends (-2007, -115 or another error), at most
  // `limit` frames; a frame time below `stopBelow` also ends it (backward play).
  static Played Play(int client, int channel, size_t limit = 100000, int64_t stopBelow = 0) {
    Played p;
    std::vector<uint8_t> buf(1 << 16);
    for (int idle = 0; idle < 1000 && p.times.size() < limit;) {
      const int n =
          QVFS_ReplayFifoReadFrame(buf.data(), static_cast<int>(buf.size()), channel, client);
      if (n == -3003 || n == -100) {  // the next file is being opened
        ++idle;
        platform::SleepMs(5);
        continue;
      }
      if (n <= 0) {
        p.end = n;
        break;
      }
      const int64_t t = le::Get32(&buf[16]) | int64_t{le::Get16(&buf[20])} << 32;
      if (t < stopBelow) break;
      p.times.push_back(t);
      p.types.push_back(static_cast<char>(buf[5]));
      idle = 0;
    }
    return p;
  }
  ClientRecord Client(int n) {
    CAutoLock g(&ctx_->get().searchLock());
    return ctx_->get().shared().client(n);
  }
  // Waits up to 2 s for the session thread to carry out what was asked.
  template <class Pred>
  bool Eventually(Pred pred) {
    return testsupport::WaitUntil(pred, 2000);
  }
  std::string drive_;
};

TEST_F(TelnetReplayTest, NormalPlayCrossesFilesFrameForFrameAndStopsAtTheRangeEnd) {
  // From 3 s in to after everything: 3..20 s over two files, then the 5 s after the gap.
  ASSERT_EQ(QVFS_PlaybackBytime(kS0 + 3, kS0 + 3600, 1, 1), 0);
  // Meanwhile a second client plays channel 2 up to 5 s.
  ASSERT_EQ(QVFS_PlaybackBytime(kS0, kS0 + 5, 2, 2), 0);
  Played second;
  std::thread other([&] { second = Play(2, 2); });
  const Played p = Play(1, 1);
  other.join();

  EXPECT_EQ(p.end, ERR_REPLAY_NO_ITEM);
  std::vector<int64_t> want;
  for (int64_t t = kT0 + 3000; t < kT0 + 20000; t += kFrameMs) want.push_back(t);
  for (int64_t t = kT0 + 60000; t < kT0 + 65000; t += kFrameMs) want.push_back(t);
  EXPECT_EQ(p.times, want);

  EXPECT_EQ(second.end, ERR_REPLAY_PAST_RANGE);
  ASSERT_FALSE(second.times.empty());
  EXPECT_EQ(second.times.front(), kT0);
  EXPECT_EQ(second.times.back(), kT0 + 5000);
  EXPECT_EQ(second.times.size(), 126u);
  EXPECT_EQ(ctx_->get().storage().replay()->ThreadsStarted(), 1);
}

TEST_F(TelnetReplayTest, FastForwardAndBackwardGiveKeyFramesInOrder) {
  ASSERT_EQ(QVFS_PlaybackBytime(kS0, kS0 + 3600, 1, 1), 0);
  // Speed 4: every fourth key frame of each file.
  ASSERT_EQ(QVFS_PlaybackSetMode(128, 4, 1, 1), 0);
  const Played fwd = Play(1, 1);
  std::vector<int64_t> keys;
  for (int s : {0, 4, 8, 10, 14, 18, 60, 64}) keys.push_back(kT0 + s * 1000);
  EXPECT_EQ(fwd.times, keys);
  EXPECT_EQ(std::string(fwd.types.begin(), fwd.types.end()), std::string(keys.size(), 'I'));

  // Backwards from 18.5 s, down to the range start, across the file boundary.
  ASSERT_EQ(QVFS_PlaybackBytime(kS0, kS0 + 3600, 1, 3), 0);
  ASSERT_EQ(QVFS_PlaybackSetMode(256, 1, 1, 3), 0);
  QVFS_PlaybackSeekTime(kS0 + 18, 1, 3);
  const Played back = Play(3, 1, 1000, kT0);
  std::vector<int64_t> down;
  for (int64_t t = kT0 + 18000; t >= kT0; t -= 1000) down.push_back(t);
  EXPECT_EQ(back.times, down);
}

TEST_F(TelnetReplayTest, StopRequestsAndArgumentChecks) {
  ASSERT_EQ(QVFS_PlaybackBytime(kS0, kS0 + 3600, 1, 1), 0);
  ASSERT_EQ(QVFS_PlaybackBytime(kS0, kS0 + 3600, 2, 1), 0);
  EXPECT_EQ(Client(1).channelMask, 0b110u);
  EXPECT_EQ(Client(1).userId, 1);

  // One channel stopped: the other plays on.
  ASSERT_EQ(QVFS_PlaybackStop(2, 1), 0);
  ASSERT_TRUE(Eventually([&] { return Client(1).channelMask == 0b010u; }));
  EXPECT_EQ(Client(1).state, 0);
  EXPECT_EQ(Play(1, 2).end, ERR_REPLAY_NO_ITEM);
  EXPECT_EQ(Play(1, 1, 10).times.size(), 10u);
  // The last one stopped frees the client record.
  ASSERT_EQ(QVFS_DownloadStop(1, -1), 0);
  ASSERT_TRUE(Eventually([&] { return Client(1).userId == -1; }));
  EXPECT_EQ(Client(1).channelMask, 0u);

  // Stop of every client marks all five; client 4 on its own is refused.
  EXPECT_EQ(QVFS_PlaybackStop(0, 4), -106);
  EXPECT_EQ(QVFS_PlaybackStop(-1, -1), 0);
  for (int n = 0; n < 5; ++n) EXPECT_EQ(Client(n).stopMask, ~uint64_t{0}) << n;

  // Clients and channels out of range, missing replays, refused modes.
  std::vector<uint8_t> buf(4096);
  for (int client : {-1, 5}) {
    EXPECT_EQ(QVFS_ReplayFifoReadFrame(buf.data(), 4096, 1, client), -106);
    EXPECT_EQ(QVFS_ReplayFifoClear(1, client), -106);
    EXPECT_EQ(QVFS_ReplaySyncWait(kT0, 0, 1, client), -106);
    EXPECT_EQ(QVFS_PlaybackSetMode(16, 1, 1, client), -106);
  }
  EXPECT_EQ(QVFS_PlaybackBytime(kS0, kS0 + 10, 4, 1), -101);  // channel count 4
  EXPECT_EQ(QVFS_PlaybackBytime(kS0, kS0 + 10, -1, 1), -101);
  EXPECT_EQ(QVFS_PlaybackBytime(kS0, kS0 + 10, 1, 5), -106);
  EXPECT_EQ(QVFS_ReplayFifoReadFrame(buf.data(), 4096, -1, 1), -101);
  EXPECT_EQ(QVFS_ReplayFifoReadFrame(buf.data(), 4096, 4, 1), -101);
  EXPECT_EQ(QVFS_ReplaySyncWait(kT0, 0, 16, 1), -101);
  EXPECT_EQ(QVFS_ReplaySyncWait(kT0, 0, -1, 1), -101);
  EXPECT_EQ(QVFS_ReplayFifoReadFrame(buf.data(), 4096, 3, 1), -114);
  EXPECT_EQ(QVFS_PlaybackSetMode(128, 4, 3, 1), -114);
  ASSERT_EQ(QVFS_PlaybackBytime(kS0, kS0 + 3600, 1, 2), 0);
  EXPECT_EQ(QVFS_PlaybackSetMode(128, 33, 1, 2), -101);
  EXPECT_EQ(QVFS_PlaybackSetMode(128, -2, 1, 2), -101);
  EXPECT_EQ(QVFS_PlaybackSetMode(1024, 1, 1, 2), -101);
  EXPECT_EQ(ctx_->get().storage().replay()->LastModeSync().mode(), 16);
  // A range that meets no recording; a seek past everything.
  EXPECT_EQ(QVFS_PlaybackBytime(kS0 + 30, kS0 + 40, 1, 3), ERR_REPLAY_NO_ITEM);
  EXPECT_EQ(QVFS_PlaybackSeekTime(kS0 + 7200, 1, 2), ERR_REPLAY_NO_ITEM);
  EXPECT_EQ(Play(2, 1).end, ERR_REPLAY_NO_ITEM);
  EXPECT_EQ(ctx_->get().storage().replay()->ThreadsStarted(), 1);
}

TEST_F(TelnetReplayTest, FormattingTheDiskEndsItsSessionsWhileAConsumerReads) {
  ASSERT_EQ(QVFS_PlaybackBytime(kS0, kS0 + 3600, 1, 1), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> frames{0}, end{0};
  std::thread consumer([&] {
    std::vector<uint8_t> buf(1 << 16);
    while (!stop) {
      const int n = QVFS_ReplayFifoReadFrame(buf.data(), static_cast<int>(buf.size()), 1, 1);
      if (n == ERR_REPLAY_NO_ITEM) {
        end = n;
        break;
      }
      if (n > 0) {
        ++frames;
        QVFS_ReplaySyncWait(le::Get32(&buf[16]) | int64_t{le::Get16(&buf[20])} << 32, 0, 1, 1);
      }
    }
  });
  ASSERT_TRUE(Eventually([&] { return frames > 0; }));
  EXPECT_GT(QVFS_FormatToRecdisk(drive_.c_str(), 64, 0), 0);
  const bool ended = Eventually([&] { return end == ERR_REPLAY_NO_ITEM; });
  stop = true;
  consumer.join();
  EXPECT_TRUE(ended);
  EXPECT_EQ(Client(1).channelMask, 0u);
}

TEST_F(TelnetReplayTest, OneRecordReplayAndTheFrameExchange) {
  // QVFS_TelnetReplay plays the first record on disk 0 that meets the range, cut to it.
  ASSERT_EQ(QVFS_TelnetReplay(kS0 + 3, kS0 + 8, 1, 1), 0);
  const Played p = Play(1, 1);
  ASSERT_FALSE(p.times.empty());
  EXPECT_EQ(p.times.front(), kT0 + 3000);
  EXPECT_EQ(p.times.back(), kT0 + 8000);
  EXPECT_EQ(p.end, ERR_REPLAY_PAST_RANGE);
  EXPECT_EQ(QVFS_TelnetReplay(kS0 + 30, kS0 + 40, 1, 2), ERR_REPLAY_NO_ITEM);
  CTelnetReplay* sessions = ctx_->get().storage().replay();
  int64_t s = 0, e = 0;
  ASSERT_EQ(sessions->GetCurFileTimeSeg(&s, &e, 1, 1), 0);
  EXPECT_EQ(s, kT0 + 3000);
  EXPECT_EQ(e, kT0 + 8000);
  EXPECT_EQ(sessions->GetCurFileTimeSeg(&s, &e, 1, 7), -106);
  uint8_t gps[20];
  EXPECT_EQ(sessions->ReadGPSInfo(kS0 + 4, gps, sizeof gps, 1, 1), -101);  // no GPS recorded

  // The frame processor's replay operations reach the same sessions.
  COneProcessFrame* frames = ctx_->get().storage().frames();
  std::vector<uint8_t> buf(1 << 16);
  EXPECT_EQ(frames->ReadReplayFrame(buf.data(), static_cast<int>(buf.size()), 2, 1), -114);
  EXPECT_EQ(frames->ReplayWait(kT0, 1, 5), -106);
  ASSERT_EQ(QVFS_PlaybackBytime(kS0, kS0 + 10, 2, 1), 0);
  ASSERT_GT(frames->ReadReplayFrame(buf.data(), static_cast<int>(buf.size()), 2, 1), 0);
  EXPECT_EQ(le::Get32(&buf[16]), static_cast<uint32_t>(kT0));
  EXPECT_EQ(frames->ReplayWait(kT0, 1, 1), 0);  // the first frame sets the reference
}

TEST(ReplaySyncTest, PacesByModeLessTheConsumersOwnTime) {
  platform::TheClock().SetManual(true, kT0);
  ReplaySync s;
  EXPECT_EQ(s.Wait(3, kT0), 0);  // no reference yet: no wait
  EXPECT_EQ(s.Wait(3, kT0 + 40), 40);
  platform::TheClock().Advance(100);  // the consumer took longer than the gap
  EXPECT_EQ(s.Wait(3, kT0 + 80), 0);
  platform::TheClock().Advance(15);
  EXPECT_EQ(s.Wait(3, kT0 + 120), 25);
  EXPECT_EQ(s.Wait(3, kT0 + 9000), 1000);  // a gap in the recording: a second at most
  s.SetModeAndSpeed(128, 4);
  EXPECT_EQ(s.Wait(3, kT0 + 9400), 100);
  s.SetModeAndSpeed(128, 0);  // speed 0 paces as 1
  EXPECT_EQ(s.Wait(3, kT0 + 9420), 20);
  s.SetModeAndSpeed(512, 1);
  EXPECT_EQ(s.Wait(3, kT0 + 9900), 40);
  s.SetModeAndSpeed(64, 1);
  EXPECT_EQ(s.Wait(3, kT0 + 9901), 40);
  EXPECT_EQ(s.Wait(16, kT0), -101);
  EXPECT_EQ(s.SetReference(-1, kT0), -101);
  platform::TheClock().SetManual(false, 0);
}

}  // namespace
