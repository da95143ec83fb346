// The player core on a disk image with recordings of a real H.264 clip: the play-list thread
// plays a list through with every picture decoded and painted (frames with the recorder's
// 224-byte header and with 48-byte "FSFM" headers), the mode presses and their speeds, list
// moves and their codes, the texts, the pacing and the single-frame steps.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>

#include "indexed_recording.h"
#include "media_clips.h"
#include "player/decode_threads.h"
#include "player/frame_pacer.h"
#include "player/vistor_korvex.h"
#include "test_support.h"

using player::FramePacer;
using testsupport::LibraryTest;
using testsupport::MediaClip;

namespace {

constexpr int64_t kT0 = 1767607200000;  // 2026-01-05 10:00:00 UTC

// A clock that moves only when the pacer sleeps (or the test moves it).
struct FakeTime {
  std::atomic<int64_t> now{1000};
  std::atomic<int64_t> slept{0};
  FramePacer::Timing Timing() {
    return {[this] { return now.load(); },
            [this](int64_t ms) {
              slept += ms;
              now += ms;
            }};
  }
};

// A visible window of a fixed size that counts what it is given.
class CountingSurface : public player::VideoSurface {
 public:
  bool IsVisible() const override { return true; }
  bool ClientSize(int* w, int* h) const override {
    *w = 160;
    *h = 120;
    return true;
  }
  void Present(const uint8_t* bgra, int lineSize, int w, int h) override {
    std::lock_guard<std::mutex> g(lock);
    ++presented;
    width = w;
    height = h;
    // A real picture is not all black.
    for (int y = 0; y < h && !colour; ++y)
      for (int x = 0; x < w * 4; ++x)
        if ((x & 3) != 3 && bgra[y * lineSize + x] > 16) colour = true;
  }
  std::mutex lock;
  int presented = 0, width = 0, height = 0;
  bool colour = false;
};

class PlayerTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    ASSERT_FALSE(MakeRecordDisk(2, "player.img").empty());
  }
  void TearDown() override {
    threads_.reset();  // the player's reader goes before the library context
    vistor_.reset();
    ctx_->get().storage().Shutdown();
    ctx_->get().deviceServices().StopAll();
    LibraryTest::TearDown();
  }
  // `seconds` of the clip on a channel from t0 as one record file, video and audio; "FSFM"
  // headers with fsfm. The number of video frames.
  int Record(int channel, int64_t t0, int seconds, bool fsfm = false) {
    const MediaClip& clip = testsupport::TestClip();
    std::vector<std::vector<uint8_t>> frames;
    int video = 0;
    for (int i = 0; i < seconds * 25; ++i, ++video) {
      const size_t k = static_cast<size_t>(i) % clip.pictures.size();
      const int64_t t = t0 + i * 40;
      const uint8_t type = clip.key[k] ? 'I' : 'P';
      const auto no = static_cast<uint32_t>(i);
      frames.push_back(fsfm ? testsupport::FsfmFrame(type, t, clip.pictures[k], no)
                            : testsupport::TaggedFrame(type, t, clip.pictures[k], no));
      if (!fsfm)
        frames.push_back(testsupport::TaggedFrame('A', t, clip.audio[k % clip.audio.size()], no));
    }
    EXPECT_GE(testsupport::RecordIndexed(ctx_->get(), channel, frames), 0);
    return video;
  }
  // A player over `list`, pacing on a clock that only its sleeps move, polling quickly.
  void MakePlayer(std::vector<_rec_file_info_> list) {
    playList_.Set(std::move(list));
    vistor_ = std::make_unique<CVistorKorvex>(&playList_);
    vistor_->pacer().SetTiming(time_.Timing());
    vistor_->SetPollIntervalMs(20);
    vistor_->SetSettleMs(0, 0);
    vistor_->decoders().SetSurface(0, &surface_);
    threads_ = std::make_unique<player::DecodeThreads>(vistor_.get());
  }
  void StopPlayer() {
    threads_->StopAll();
    vistor_->Stop();
    vistor_->StopThread();
  }
  // Plays the list from entry 0 until the play-list thread has gone past its end.
  void PlayThrough() {
    ASSERT_EQ(threads_->Start(1), 1);
    vistor_->Play(0);
    EXPECT_TRUE(testsupport::WaitUntil([&] { return vistor_->listPosition() >= playList_.Count(); },
                                       30000));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return !vistor_->IsOpen(); }, 5000));
  }

  player::PlayList playList_;
  FakeTime time_;
  CountingSurface surface_;
  std::unique_ptr<CVistorKorvex> vistor_;
  std::unique_ptr<player::DecodeThreads> threads_;
};

TEST_F(PlayerTest, PlaysTheListThroughWithEveryPictureDecodedAndPainted) {
  const int video = Record(0, kT0, 3) + Record(0, kT0 + 10000, 2);
  const std::vector<_rec_file_info_> list = Recordings(0);
  ASSERT_EQ(list.size(), 2u);
  MakePlayer(list);
  PlayThrough();
  EXPECT_EQ(threads_->videoFrames(0), static_cast<uint64_t>(video));
  EXPECT_EQ(threads_->audioFrames(0), static_cast<uint64_t>(video));
  EXPECT_EQ(vistor_->decoders().decoded(0), static_cast<uint64_t>(video));
  {
    std::lock_guard<std::mutex> g(surface_.lock);
    EXPECT_EQ(surface_.presented, video);
    EXPECT_EQ(surface_.width, 160);
    EXPECT_EQ(surface_.height, 120);
    EXPECT_TRUE(surface_.colour);
  }
  // 40 ms between frames, paced on the player's clock: about the length of the recordings.
  EXPECT_GE(time_.slept.load(), (video - 2) * 40 - 1000);
  // The thread keeps polling an exhausted list; it runs once.
  EXPECT_EQ(vistor_->Poll(), VISTOR_ERR_LIST_DONE);
  EXPECT_TRUE(vistor_->ThreadRunning());
  vistor_->Play(0);  // a second start leaves the one thread running
  EXPECT_TRUE(Printed("ReplayProcByFile is running."));
  StopPlayer();
  EXPECT_FALSE(vistor_->ThreadRunning());
}

TEST_F(PlayerTest, FsfmFramesAreDecodedFromTheirOwnHeaderLength) {
  const int video = Record(1, kT0, 2, /*fsfm=*/true);
  MakePlayer(Recordings(1));
  PlayThrough();
  EXPECT_EQ(threads_->videoFrames(0), static_cast<uint64_t>(video));
  EXPECT_EQ(vistor_->decoders().decoded(0), static_cast<uint64_t>(video));
  StopPlayer();
}

TEST_F(PlayerTest, HeldDecodeThreadsTakeNothingUntilReleased) {
  Record(0, kT0, 2);
  MakePlayer(Recordings(0));
  threads_->Start(1);
  threads_->Hold();
  vistor_->Play(0);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(threads_->videoFrames(0), 0u);
  threads_->Release();
  EXPECT_TRUE(testsupport::WaitUntil([&] { return threads_->videoFrames(0) > 0; }, 5000));
  StopPlayer();
}

// Play of the entry already open goes on in it (a resume); another entry is opened instead.
TEST_F(PlayerTest, PlayResumesTheOpenEntryAndOpensAnother) {
  Record(0, kT0, 2);
  Record(0, kT0 + 10000, 2);
  const std::vector<_rec_file_info_> list = Recordings(0);
  ASSERT_EQ(list.size(), 2u);
  MakePlayer(list);
  threads_->Start(1);
  threads_->Hold();  // nothing is taken: the entries stay open
  auto opens = [&] {
    int n = 0;
    for (const std::string& m : TakeMessages())
      n += m.find("Replay record time") != std::string::npos;
    return n;
  };
  opens();
  const int64_t start1 = list[1].startMs, start0 = list[0].startMs;
  vistor_->Play(1);
  // Opened: the file times come from the entry once the open is done.
  ASSERT_TRUE(testsupport::WaitUntil([&] { return vistor_->fileStartS() == start1 / 1000; }, 5000));
  EXPECT_EQ(opens(), 1);
  vistor_->Pause();
  vistor_->Play(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(opens(), 0);  // resumed, not opened again
  vistor_->Play(0);
  ASSERT_TRUE(testsupport::WaitUntil([&] { return vistor_->fileStartS() == start0 / 1000; }, 5000));
  EXPECT_EQ(vistor_->listPosition(), 0);
  StopPlayer();
}

TEST_F(PlayerTest, ModePressesDoubleTheSpeedAndReturnToNormal) {
  Record(0, kT0, 2);
  MakePlayer(Recordings(0));
  CVistorKorvex& v = *vistor_;
  ASSERT_EQ(v.OpenEntry(0), 0);
  for (int want : {2, 4, 8, 16}) {
    EXPECT_EQ(v.FastForward(0), 0);
    EXPECT_EQ(v.mode(), kModeFast);
    EXPECT_EQ(v.speed(), want);
    EXPECT_EQ(v.reader().speed(), want);
    EXPECT_EQ(v.pacer().type(), player::kPaceFast);
  }
  v.FastForward(0);
  EXPECT_EQ(v.mode(), kModeNormal);
  EXPECT_EQ(v.speed(), 1);
  EXPECT_EQ(v.ModeText(), "正常 X1");

  v.FastForward(4);
  EXPECT_EQ(v.FastForward(40), VISTOR_ERR_NO_ENTRY);  // logged, nothing changes
  EXPECT_TRUE(Printed("Speed is error. speed 40 .mode 128"));
  EXPECT_EQ(v.speed(), 4);
  EXPECT_EQ(v.reader().speed(), 4);
  EXPECT_EQ(v.FastBackward(0), 0);  // another mode: the presses start again at 2
  EXPECT_EQ(v.ModeText(), "快退 X2");
  EXPECT_EQ(v.reader().mode(), kModeBack);

  for (int want : {2, 4, 8, 16}) {
    v.Slow();
    EXPECT_EQ(v.ModeText(), "慢放 X" + std::to_string(want));
    EXPECT_EQ(v.pacer().type(), player::kPaceSlow);
  }
  v.Slow();
  EXPECT_EQ(v.mode(), kModeNormal);

  v.SingleFrame();
  EXPECT_EQ(v.reader().mode(), kModeSingle);
  EXPECT_TRUE(v.pacer().hold());
  v.Normal();
  EXPECT_FALSE(v.pacer().hold());
  EXPECT_EQ(v.reader().mode(), kModeNormal);
  StopPlayer();
}

TEST_F(PlayerTest, ListMovesAndTheirCodes) {
  Record(0, kT0, 2);
  Record(0, kT0 + 10000, 2);
  const std::vector<_rec_file_info_> list = Recordings(0);
  ASSERT_EQ(list.size(), 2u);
  MakePlayer(list);
  CVistorKorvex& v = *vistor_;
  EXPECT_EQ(v.PrevFile(false), VISTOR_ERR_NO_ENTRY);  // no entry before the first
  EXPECT_EQ(v.OpenEntry(2), VISTOR_ERR_NO_ENTRY);
  EXPECT_EQ(v.OpenEntry(-1), VISTOR_ERR_NO_ENTRY);
  const int64_t start1 = list[1].startMs, end0 = list[0].endMs;  // packed: copied out
  ASSERT_EQ(v.OpenEntry(1), 0);
  EXPECT_EQ(v.fileStartS(), start1 / 1000);
  EXPECT_EQ(v.NextFile(true), VISTOR_ERR_PAST_END);
  EXPECT_FALSE(v.IsOpen());
  EXPECT_EQ(v.Poll(), VISTOR_ERR_LIST_DONE);

  // Fast backward goes to the previous entry and opens it at its end.
  ASSERT_EQ(v.OpenEntry(1), 0);
  v.FastBackward(0);
  ASSERT_EQ(v.PrevFile(false), 0);
  EXPECT_EQ(v.listPosition(), 0);
  EXPECT_EQ(v.currentMs(), end0);
  EXPECT_EQ(v.Poll(), VISTOR_ERR_LIST_DONE);  // nothing before entry 0 backwards

  // Without a list, and an empty one.
  CVistorKorvex none(nullptr);
  EXPECT_EQ(none.OpenEntry(0), VISTOR_ERR_NO_LIST);
  EXPECT_EQ(none.Poll(), VISTOR_ERR_LIST_DONE);
  StopPlayer();
}

TEST_F(PlayerTest, SeeksAndTextsFollowTheCurrentFile) {
  Record(0, kT0, 3);
  MakePlayer(Recordings(0));
  CVistorKorvex& v = *vistor_;
  ASSERT_EQ(v.OpenEntry(0), 0);
  EXPECT_EQ(v.PositionPermille(), 0);
  // 500 per mille of a 2 s file: second 1, the key frame of second 1 next.
  EXPECT_EQ(v.SeekPermille(500), 0);
  EXPECT_EQ(v.currentMs(), kT0 + 1000);
  EXPECT_EQ(v.PositionPermille(), 500);
  EXPECT_EQ(v.TimeText(), " 0: 1/ 0: 2 ");
  StopPlayer();
}

TEST_F(PlayerTest, ARecordShorterThanASecondStaysAtPositionZero) {
  Record(0, kT0, 2);
  std::vector<_rec_file_info_> list = Recordings(0);
  ASSERT_EQ(list.size(), 1u);
  list[0].endMs = kT0 + 900;  // start and end in the same second
  MakePlayer(list);
  ASSERT_EQ(vistor_->OpenEntry(0), 0);
  vistor_->NoteFrameTime(kT0 + 900);
  EXPECT_EQ(vistor_->durationS(), 0);
  EXPECT_EQ(vistor_->PositionPermille(), 0);
  EXPECT_EQ(vistor_->TimeText(), " 0: 0/ 0: 0 ");
  StopPlayer();
}

// ---- the pacer on its own ----

TEST(FramePacer, DelaysFollowTheModeAndAreCapped) {
  FakeTime t;
  FramePacer p(t.Timing());
  EXPECT_EQ(p.Pace(0, 0), 0);  // the first frame of a channel goes at once
  EXPECT_EQ(p.Pace(40, 0), 40);
  EXPECT_EQ(p.Pace(3040, 0), 1000);  // a 3 s gap waits 1000 ms at most
  t.now += 30;                       // 30 ms went by taking and decoding the next frame
  EXPECT_EQ(p.Pace(3080, 0), 10);
  t.now += 100;  // late already: no wait at all
  EXPECT_EQ(p.Pace(3120, 0), 0);
  EXPECT_EQ(p.Pace(0, 1), 0);  // channels pace on their own
  p.SetType(player::kPaceSlow, 4);
  EXPECT_EQ(p.Pace(3160, 0), 160);
  p.SetType(player::kPaceFast, 8);
  EXPECT_EQ(p.Pace(4160, 0), 125);
  p.SetType(player::kPaceBack, 4);
  EXPECT_EQ(p.Pace(2160, 0), 500);  // backwards: the gap's size counts
  p.SetType(99, 1);
  EXPECT_EQ(p.Pace(2200, 0), 40);
  EXPECT_EQ(p.Pace(0, 16), -1);
  EXPECT_EQ(p.Pace(0, -1), -1);
  p.Restart();
  p.SetType(player::kPaceNormal, 1);
  EXPECT_EQ(p.Pace(90000, 0), 0);  // after a seek the jump is not waited for
}

TEST(FramePacer, EachStepLetsExactlyOneFrameThrough) {
  FramePacer p;
  p.SetType(player::kPaceSingle, 1);
  p.SetHold(true);
  std::atomic<int> passed{0};
  std::atomic<bool> done{false};
  std::thread decoder([&] {
    for (int i = 0; !done; ++i) {
      p.Pace(i * 40, 0);
      ++passed;
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(passed.load(), 0);
  EXPECT_TRUE(p.hold());
  for (int step = 1; step <= 3; ++step) {
    // The held frame waits without the pacer's lock: the step goes through at once.
    p.StepFrame();
    EXPECT_TRUE(testsupport::WaitUntil([&] { return passed.load() == step; }, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(passed.load(), step);
  }
  done = true;
  p.SetType(player::kPaceNormal, 1);  // leaving single frame lets the held frame go
  decoder.join();
  EXPECT_TRUE(p.WaitIdle(100));
}

}  // namespace
