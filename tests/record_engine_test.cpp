// The recording engine on a formatted image: frames from per-channel queues become recordings
// in record files and the index (read back frame for frame), record-type changes with the
// status reports they cause, nothing written before the first key frame, a full disk with
// cycle recording off reported once, and the bounded wait of stopping everything.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <mutex>
#include <vector>

#include "api/context.h"
#include "disklayout/le.h"
#include "platform/fault_transport.h"
#include "platform/scsi.h"
#include "qvfs/qvfs.h"
#include "record/record_reader.h"
#include "recorder/disk_watch.h"
#include "recorder/record_manager.h"
#include "test_support.h"

using testsupport::LibraryTest;
using testsupport::PtmfFrame;

namespace {

constexpr int64_t kT0 = 1700000000000;

struct Report {
  int code;
  std::vector<uint32_t> words;
};
std::mutex g_reportsMutex;
std::vector<Report> g_reports;

void OnStatus(int code, const void* data, int length) {
  std::lock_guard<std::mutex> g(g_reportsMutex);
  Report r{code, {}};
  for (int k = 0; k + 4 <= length; k += 4)
    r.words.push_back(le::Get32(static_cast<const uint8_t*>(data) + k));
  g_reports.push_back(r);
}

class RecordEngineTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    {
      std::lock_guard<std::mutex> g(g_reportsMutex);
      g_reports.clear();
    }
    ctx_->get().shared().SetStatusCallback(OnStatus);
  }
  void TearDown() override {
    manager_.reset();
    ctx_->get().deviceServices().StopAll();
    LibraryTest::TearDown();
  }
  // A record disk of `gib` GiB with 64 MiB record files, scanned; a manager of n channels.
  void Build(int channels, uint64_t gib = 1) {
    drive_ = AttachImage(gib << 30, 512, false, "engine.img");
    ASSERT_GT(QVFS_FormatToRecdisk(drive_.c_str(), 64, 0), 0);
    ASSERT_GE(ctx_->get().diskWatch().Scan(), 1);
    set_ = &ctx_->get().diskWatch().IndexSet(0);
    ASSERT_EQ(set_->Size(), 1u);
    set_->SetChannelLimit(static_cast<uint32_t>(channels));
    queues_.assign(static_cast<size_t>(channels), {});
    manager_ = std::make_unique<RecordManager>(channels, 0, set_, &ctx_->get().diskWatch(),
                                               &ctx_->get().shared());
    manager_->SetTimings(200, 20);
    manager_->SetFrameSource(
        [this](int ch, uint8_t* buf, uint32_t size) {
          std::lock_guard<std::mutex> g(queueMutex_);
          auto& q = queues_[static_cast<size_t>(ch)];
          if (q.empty() || q.front().size() > size) return 0;
          std::copy(q.front().begin(), q.front().end(), buf);
          const int n = static_cast<int>(q.front().size());
          q.pop_front();
          return n;
        },
        [this](int ch) {  // a queue with frames waiting counts as a busy FIFO
          std::lock_guard<std::mutex> g(queueMutex_);
          return queues_[static_cast<size_t>(ch)].size() > 2 ? 50 : 0;
        });
  }
  // Queues frames for a channel: 25 a second, a key frame every 25, from `at`.
  std::vector<std::vector<uint8_t>> Feed(int ch, int64_t at, int frames, bool keyFirst = true,
                                         uint32_t payload = 6000) {
    std::vector<std::vector<uint8_t>> out;
    for (int i = 0; i < frames; ++i) {
      const bool key = keyFirst ? i % 25 == 0 : i % 25 == 10;
      out.push_back(PtmfFrame(key ? 'I' : 'P', at + i * 40, payload, static_cast<uint32_t>(i)));
    }
    std::lock_guard<std::mutex> g(queueMutex_);
    for (auto& f : out) queues_[static_cast<size_t>(ch)].push_back(f);
    return out;
  }
  bool Drained() {
    std::lock_guard<std::mutex> g(queueMutex_);
    for (auto& q : queues_)
      if (!q.empty()) return false;
    return true;
  }
  void WaitDrained() {
    for (int i = 0; i < 1000 && !Drained(); ++i) platform::SleepMs(10);
    ASSERT_TRUE(Drained());
    platform::SleepMs(100);  // the last frame taken is written
  }
  std::vector<Report> Reports(int code) {
    std::lock_guard<std::mutex> g(g_reportsMutex);
    std::vector<Report> out;
    for (auto& r : g_reports)
      if (r.code == code) out.push_back(r);
    return out;
  }
  // Frame lists compared without printing them whole.
  static std::string Diff(const std::vector<std::vector<uint8_t>>& got,
                          const std::vector<std::vector<uint8_t>>& want) {
    if (got.size() != want.size())
      return "frame counts " + std::to_string(got.size()) + " and " + std::to_string(want.size());
    for (size_t i = 0; i < got.size(); ++i)
      if (got[i] != want[i]) return "frame " + std::to_string(i) + " differs";
    return "";
  }
  // The recordings of a channel in the index, oldest first.
  std::vector<recindex::RecIndexSummary> Recordings(int ch) {
    std::vector<recindex::RecIndexSummary> out;
    for (const DiskIndexRef& d : set_->Indexes()) {
      CAutoLock g(&d->lock());
      for (auto& kv : d->timeMap)
        if (kv.second.channel == ch) out.push_back(kv.second);
    }
    return out;
  }
  // Every frame of record file i, read back with the record reader.
  std::vector<std::vector<uint8_t>> ReadBack(uint32_t fileIndex) {
    CRecordReader r;
    std::vector<std::vector<uint8_t>> out;
    if (r.Open(drive_, fileIndex, 0, 0, true) != 0) return out;
    std::vector<uint8_t> buf(1 << 16);
    int n;
    while ((n = r.GetFrame(buf.data(), static_cast<uint32_t>(buf.size()))) > 0)
      out.emplace_back(buf.begin(), buf.begin() + n);
    return out;
  }

  std::string drive_;
  DiskIndexSet* set_ = nullptr;
  std::unique_ptr<RecordManager> manager_;
  std::mutex queueMutex_;
  std::vector<std::deque<std::vector<uint8_t>>> queues_;
};

TEST_F(RecordEngineTest, ManualRecordingOfTwoChannelsIsReadBackFrameForFrame) {
  Build(2);
  manager_->SetRecordMask(0x3);
  auto ch0 = Feed(0, kT0, 250);
  auto ch1 = Feed(1, kT0 + 20, 100);
  manager_->StartThreads();
  WaitDrained();
  manager_->StopAll();
  auto recs0 = Recordings(0), recs1 = Recordings(1);
  ASSERT_EQ(recs0.size(), 1u);
  ASSERT_EQ(recs1.size(), 1u);
  EXPECT_EQ(int64_t{recs0[0].startMs}, kT0);
  EXPECT_EQ(int64_t{recs0[0].endMs}, kT0 + 249 * 40);
  EXPECT_EQ(recs0[0].typeBits, 2);
  EXPECT_EQ(recs0[0].state & 0x80, 0);
  EXPECT_NE(recs0[0].sn, recs1[0].sn);
  EXPECT_EQ(Diff(ReadBack(static_cast<uint32_t>(recs0[0].linkIndex)), ch0), "");
  EXPECT_EQ(Diff(ReadBack(static_cast<uint32_t>(recs1[0].linkIndex)), ch1), "");
  // Every channel was reported at the stop, with the free space.
  auto types = Reports(rec::kStatusChannelType);
  ASSERT_GE(types.size(), 2u);
  EXPECT_EQ(types.back().words.size(), 3u);
}

TEST_F(RecordEngineTest, NothingIsWrittenBeforeTheFirstKeyFrame) {
  Build(1);
  manager_->SetRecordMask(0x1);
  auto frames = Feed(0, kT0, 60, false);  // the first key frame is frame 10
  manager_->StartThreads();
  WaitDrained();
  manager_->StopAll();
  auto recs = Recordings(0);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(int64_t{recs[0].startMs}, kT0 + 10 * 40);
  auto back = ReadBack(static_cast<uint32_t>(recs[0].linkIndex));
  EXPECT_EQ(Diff(back, std::vector<std::vector<uint8_t>>(frames.begin() + 10, frames.end())), "");
}

// A manual start on a scheduled channel closes the scheduled recording and goes on as manual;
// two events record as their union, and stopping one keeps the other in a new segment.
TEST_F(RecordEngineTest, TypeChangesFollowTheirRules) {
  Build(1);
  manager_->StartRecord(0, rec::kTypeSchedule);
  EXPECT_EQ(manager_->CurrentType(0), 1u);
  manager_->StartRecord(0, rec::kTypeManual);
  EXPECT_EQ(manager_->CurrentType(0), 2u);
  manager_->StartRecord(0, rec::kTypeSchedule);  // ignored on a manual channel
  EXPECT_EQ(manager_->CurrentType(0), 2u);
  manager_->StopRecord(0, rec::kTypeManual, false, false);
  EXPECT_EQ(manager_->CurrentType(0), 0u);
  manager_->StartRecord(0, 4);
  manager_->StartRecord(0, 8);
  EXPECT_EQ(manager_->CurrentType(0), 12u);
  manager_->StopRecord(0, 4, false, false);
  EXPECT_EQ(manager_->CurrentType(0), 8u);
  manager_->StopRecord(0, 16, false, false);  // not set: ignored
  EXPECT_EQ(manager_->CurrentType(0), 8u);

  // Recorded for real: an event, then a second one joins, then the first stops.
  manager_->StopRecord(0, 8, true, true);
  manager_->StartThreads();
  manager_->SetEventData(0, 4, 60);  // an event without its duration ends at the next tick
  manager_->SetEventData(0, 8, 60);
  manager_->StartRecord(0, 4);
  Feed(0, kT0, 50);
  WaitDrained();
  manager_->StartRecord(0, 8);  // the union: the recording closes and reopens at the next key
  Feed(0, kT0 + 2000, 50);
  WaitDrained();
  manager_->StopAll();
  auto recs = Recordings(0);
  ASSERT_EQ(recs.size(), 1u);
  // The file was kept for the union. Each recording is one segment record, however many
  // progress updates it had (one, after 35 video frames).
  EXPECT_EQ(recs[0].segmentCount, 2);
  EXPECT_EQ(recs[0].typeBits, 4);
  // The type changes were reported while frames arrived.
  bool sawEvent = false;
  for (auto& r : Reports(rec::kStatusChannelType)) sawEvent |= r.words[1] == 4 || r.words[1] == 12;
  EXPECT_TRUE(sawEvent);
}

// A continuous recording stays in its file until the file is full: its progress updates (one
// per 35 video frames, here 85 of them, more than an entry has segment records) grow one
// segment record, and every frame is in the file.
TEST_F(RecordEngineTest, AContinuousRecordingFillsItsFileInOneSegmentRecord) {
  Build(1);
  manager_->StartThreads();
  manager_->StartRecord(0, rec::kTypeManual);
  const auto frames = Feed(0, kT0, 3000, true, 2000);
  WaitDrained();
  manager_->StopAll();
  const auto recs = Recordings(0);
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].segmentCount, 1);
  int64_t bytes = 0;
  for (const auto& f : frames) bytes += static_cast<int64_t>(f.size());
  EXPECT_EQ(int64_t{recs[0].size}, bytes);
  EXPECT_EQ(int64_t{recs[0].startMs}, kT0);
  EXPECT_EQ(int64_t{recs[0].endMs}, kT0 + 2999 * 40);
  EXPECT_EQ(Diff(ReadBack(recs[0].linkIndex), frames), "");
}

// With cycle recording off and no file left, recording stops and 0x8002 comes once.
TEST_F(RecordEngineTest, AFullDiskWithCycleOffIsReportedOnce) {
  Build(1);
  manager_->SetCycle(false);
  {  // every file but one is taken already
    FileGrant g;
    while (set_->FreeFiles() > 1) ASSERT_EQ(set_->TakeFreeFile(&g), 0);
  }
  manager_->SetRecordMask(0x1);
  // More than one 64 MiB file of frames: 14 s of 200 kB frames.
  Feed(0, kT0, 350, true, 200000);
  manager_->StartThreads();
  for (int i = 0; i < 300 && Reports(rec::kStatusDiskError).empty(); ++i) platform::SleepMs(20);
  platform::SleepMs(300);
  manager_->StopAll();
  EXPECT_EQ(Reports(rec::kStatusDiskError).size(), 1u);
  auto recs = Recordings(0);
  ASSERT_EQ(recs.size(), 1u);  // the one free file, filled; nothing recycled
}

TEST_F(RecordEngineTest, WithCycleOnTheOldestRecordingIsRecycled) {
  Build(1);
  manager_->SetCycle(true);
  {
    FileGrant g;
    while (set_->FreeFiles() > 2) ASSERT_EQ(set_->TakeFreeFile(&g), 0);
  }
  manager_->SetRecordMask(0x1);
  Feed(0, kT0, 1000, true, 200000);  // about three files' worth
  manager_->StartThreads();
  WaitDrained();
  manager_->StopAll();
  auto recs = Recordings(0);
  ASSERT_EQ(recs.size(), 2u);  // two files only: the oldest went
  EXPECT_GT(int64_t{recs[0].startMs}, kT0);
  EXPECT_EQ(int64_t{recs[1].endMs}, kT0 + 999 * 40);
}

TEST_F(RecordEngineTest, StoppingEverythingWaitsBoundedly) {
  Build(1);
  manager_->SetRecordMask(0x1);
  Feed(0, kT0, 25);
  manager_->StartThreads();
  WaitDrained();
  const auto t = std::chrono::steady_clock::now();
  manager_->StopAll();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - t).count();
  EXPECT_LT(ms, 3500);
  EXPECT_EQ(manager_->activeMask(), 0u);
  auto disks = Reports(rec::kStatusDisks);
  ASSERT_FALSE(disks.empty());
  EXPECT_EQ(disks.back().words, (std::vector<uint32_t>{0, 1}));  // a zero word, one disk
}

}  // namespace

namespace {

// A device that fails writes in the file being recorded: 0x8002 is reported, the recording is
// closed, and the next key frame starts a recording in another file; what was written before
// stays readable.
TEST_F(RecordEngineTest, AWriteErrorReportsAndMovesToAnotherFile) {
  Build(1);
  manager_->SetRecordMask(0x1);
  Feed(0, kT0, 100);
  manager_->StartThreads();
  WaitDrained();
  auto first = Recordings(0);
  ASSERT_EQ(first.size(), 1u);
  const uint32_t bad = static_cast<uint32_t>(first[0].linkIndex);
  const uint64_t lba = ctx_->get().diskWatch().RecordFileLba(drive_, bad);
  platform::FaultRule r;
  r.opcodes = {platform::kOpWrite10, platform::kOpWrite16};
  r.firstLba = lba + 0x2F000 / 512;
  r.lastLba = lba + (64u << 20) / 512 - 1;
  r.key = platform::kSkMediumError;
  r.asc = 0x0C;
  faults_->AddRule(r);
  Feed(0, kT0 + 4000, 400);  // enough to fill the write cache past the failing flush
  WaitDrained();
  faults_->ClearRules();
  Feed(0, kT0 + 20000, 50);
  WaitDrained();
  manager_->StopAll();
  auto errors = Reports(rec::kStatusDiskError);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].words, (std::vector<uint32_t>{0, 0}));
  bool other = false;
  for (const auto& s : Recordings(0)) other |= static_cast<uint32_t>(s.linkIndex) != bad;
  EXPECT_TRUE(other) << "no recording in another file after the write error";
}

}  // namespace

namespace {

// Frames whose time stamp jumps back more than 5 s, or forward more than a minute, end the
// recording; the engine goes on with a new one at the next key frame. A frame stamped 0 is
// dropped. Nothing written before is lost.
TEST_F(RecordEngineTest, TimeJumpsEndTheRecordingAndRecordingGoesOn) {
  Build(1);
  manager_->SetRecordMask(0x1);
  Feed(0, kT0, 50);
  Feed(0, kT0 + 2 * 60000, 50);  // two minutes ahead
  Feed(0, kT0 + 30000, 50);      // back again
  {
    std::lock_guard<std::mutex> g(queueMutex_);
    queues_[0].push_back(PtmfFrame('P', 0, 100, 999));  // no time stamp
  }
  manager_->StartThreads();
  WaitDrained();
  manager_->StopAll();
  auto recs = Recordings(0);
  ASSERT_EQ(recs.size(), 3u);
  EXPECT_EQ(int64_t{recs[0].startMs}, kT0);
  EXPECT_EQ(int64_t{recs[0].endMs}, kT0 + 49 * 40);
  // The frame that jumped is dropped with its recording's close: the next key frame opens.
  EXPECT_EQ(int64_t{recs[1].startMs}, kT0 + 31000);
  EXPECT_EQ(int64_t{recs[2].startMs}, kT0 + 2 * 60000 + 1000);
}

// Without a record disk the engine reports 0x8004 and every channel's type 0, and waits.
TEST_F(RecordEngineTest, NoRecordDiskIsReported) {
  queues_.assign(1, {});
  set_ = &ctx_->get().diskWatch().IndexSet(0);
  manager_ = std::make_unique<RecordManager>(1, 0, set_, &ctx_->get().diskWatch(),
                                             &ctx_->get().shared());
  manager_->SetTimings(100, 20);
  manager_->StartThreads();
  for (int i = 0; i < 200 && Reports(rec::kStatusNoDisk).empty(); ++i) platform::SleepMs(10);
  manager_->JoinThreads();
  auto none = Reports(rec::kStatusNoDisk);
  ASSERT_FALSE(none.empty());
  EXPECT_EQ(none[0].words, (std::vector<uint32_t>{0, 0}));
  auto types = Reports(rec::kStatusChannelType);
  ASSERT_FALSE(types.empty());
  EXPECT_EQ(types[0].words[1], 0u);
}

}  // namespace

namespace {

// The disk goes away while recording (every command fails, the handle is lost) and a scan no
// longer lists it: the engine reports 0x8004 and waits, scanning; when the disk is back it
// reports 0x8001 and records again at the next key frame.
TEST_F(RecordEngineTest, ADiskLostWhileRecordingIsWaitedForAndRecordingResumes) {
  Build(1);
  manager_->SetRecordMask(0x1);
  Feed(0, kT0, 50);
  manager_->StartThreads();
  WaitDrained();
  platform::FaultRule gone;
  gone.action = platform::FaultRule::Action::kOsError;
  gone.osError = 6;  // invalid handle: the device is gone until it opens again
  faults_->AddRule(gone);
  ctx_->get().diskWatch().Scan();  // what the application's disk watch would notice
  Feed(0, kT0 + 2000, 100);
  for (int i = 0; i < 500 && Reports(rec::kStatusNoDisk).empty(); ++i) platform::SleepMs(10);
  EXPECT_FALSE(Reports(rec::kStatusNoDisk).empty());
  const size_t before = Reports(rec::kStatusDisks).size();
  faults_->ClearRules();  // the disk is back; the engine's own scans find it
  for (int i = 0; i < 500 && Reports(rec::kStatusDisks).size() == before; ++i)
    platform::SleepMs(10);
  EXPECT_GT(Reports(rec::kStatusDisks).size(), before);
  Feed(0, kT0 + 10000, 50);
  WaitDrained();
  manager_->StopAll();
  bool resumed = false;
  for (const auto& s : Recordings(0)) resumed |= int64_t{s.startMs} >= kT0 + 2000;
  EXPECT_TRUE(resumed) << "no recording after the disk came back";
}

}  // namespace
