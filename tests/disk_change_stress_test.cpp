// Disks that come, go and change while the library works: four channels record, one client
// searches in a loop and another replays, while the record disk is pulled and put back, swapped
// for another record disk under the same drive name, and rescanned on a thread of its own, 50
// times. Run under ThreadSanitizer too. Afterwards:
// - nothing reached the other disk but the recording's own writes: its tables, and every record
//   file whose index entry is as it was, hold the bytes they held before;
// - recording goes on into the disk that is back;
// - a search lists exactly the recordings the present disk's index holds.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "api/context.h"
#include "index/index_format.h"
#include "platform/clock.h"
#include "platform/drive_table.h"
#include "qvfs/qvfs.h"
#include "recorder/disk_watch.h"
#include "test_support.h"

using testsupport::LibraryTest;

namespace {

constexpr int kChannels = 4;
constexpr int kCycles = 50;

// What a record disk's image holds, read from the file: layout and index entries.
struct DiskFile {
  uint64_t indexLba = 0, firstRecordLba = 0;
  uint32_t recordFileSectors = 0, files = 0;
  uint32_t identity = 0;  // what the library calls the disk in its messages
};

std::vector<recindex::RecIndexEntry> Entries(const std::string& image, const DiskFile& d) {
  std::vector<recindex::RecIndexEntry> out(d.files);
  for (uint32_t i = 0; i < d.files; ++i) {
    const auto bytes = testsupport::ReadFileBytes(
        image, d.indexLba * 512 + 0x8000 + uint64_t{i} * sizeof(recindex::RecIndexEntry),
        sizeof(recindex::RecIndexEntry));
    std::memcpy(&out[i], bytes.data(), std::min(bytes.size(), sizeof out[i]));
  }
  return out;
}

// A digest of record file i's bytes.
uint64_t FileDigest(const std::string& image, const DiskFile& d, uint32_t i) {
  const uint64_t at = (d.firstRecordLba + uint64_t{i} * d.recordFileSectors) * 512;
  return testsupport::SparseDigest(image, at, at + uint64_t{d.recordFileSectors} * 512);
}

class DiskChangeStressTest : public LibraryTest {
 protected:
  void TearDown() override {
    QVFS_RecordStop();
    LibraryTest::TearDown();
  }
  // Formats an image as a record disk (64 MiB files) and says where its parts lie.
  DiskFile Format(const std::string& file, std::string* path) {
    const std::string drive = AttachImage(1ull << 30, 512, false, file);
    *path = imagePath_;
    EXPECT_GT(QVFS_FormatToRecdisk(drive.c_str(), 64, 0), 0);
    EXPECT_GE(MountUsbThreadBody(&ctx_->get().diskWatch()), 1);
    DiskFile d;
    for (int set = 0; set < 2; ++set)
      if (DiskIndexRef index = ctx_->get().diskWatch().IndexSet(set).Find(drive))
        d.identity = index->identity;
    for (const DiskRecord& r : ctx_->get().diskWatch().Disks()) {
      if (r.name != drive) continue;
      d.indexLba = r.indexLba;
      d.firstRecordLba = r.firstRecordLba;
      d.recordFileSectors = r.recordFileSectors;
      d.files = r.totalMB / 64;
    }
    EXPECT_GT(d.files, 0u);
    return d;
  }
};

TEST_F(DiskChangeStressTest, RecordSearchAndReplayWhileTheDiskComesGoesAndChanges) {
  std::string aPath, bPath;
  const DiskFile a = Format("a.img", &aPath);
  const DiskFile b = Format("b.img", &bPath);
  ASSERT_EQ(QVFS_DetachImage(1), 0);  // b waits outside; a is drive 0
  // b as it is before: its tables (everything before the first record file), its index entries
  // and each record file.
  const uint64_t bTables = testsupport::SparseDigest(bPath, 0, b.firstRecordLba * 512);
  const auto bEntries = Entries(bPath, b);
  std::vector<uint64_t> bFiles;
  for (uint32_t i = 0; i < b.files; ++i) bFiles.push_back(FileDigest(bPath, b, i));

  StorageConfig config = RecordDiskConfig(kChannels);
  config.mainRecordMask = (1 << kChannels) - 1;
  config.cycleRecord = 1;
  ctx_->get().deviceServices().SetIntervals(2, 50);
  ASSERT_EQ(QVFS_Init(config), 0);
  ASSERT_EQ(QVFS_RecordStart(), 0);

  std::atomic<bool> stop{false};
  std::vector<std::thread> threads;
  for (int ch = 0; ch < kChannels; ++ch) {
    threads.emplace_back([ch, &stop] {
      std::vector<uint8_t> payload(2000, static_cast<uint8_t>(0x40 + ch));
      // One picture per pass; the loop ends when the test says so.
      for (int n = 0; !stop; ++n) {
        QVFS_FifoWriteFrame(payload.data(), static_cast<int>(payload.size()),
                            n % 25 == 0 ? 'I' : 'P', ch);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  std::atomic<int> searches{0};
  threads.emplace_back([&stop, &searches] {
    std::vector<_rec_file_info_> out(256);
    while (!stop) {
      QVFS_SearchPlayList(out.data(), 256 * 40, 0, UINT32_MAX, -1, 0, 0, 0, 1);
      ++searches;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  std::atomic<int> replayed{0};
  threads.emplace_back([&stop, &replayed] {
    std::vector<uint8_t> frame(1 << 20);
    while (!stop) {
      if (QVFS_PlaybackBytime(0, UINT32_MAX, 0, 2) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      // A bounded number of reads per replay, then the next replay.
      for (int k = 0; k < 100 && !stop; ++k) {
        const int n = QVFS_ReplayFifoReadFrame(frame.data(), static_cast<int>(frame.size()), 0, 2);
        if (n > 0) ++replayed;
        else std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      QVFS_PlaybackStop(0, 2);
    }
  });
  std::atomic<int> scans{0};
  threads.emplace_back([this, &stop, &scans] {
    while (!stop) {
      if (MountUsbThreadBody(&ctx_->get().diskWatch()) >= 0) ++scans;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });

  const auto pause = [](int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); };
  // Each state of the drive lasts at least `ms` and until a scan that began after the change
  // has ended (at most 5 s): however slow the build, every change is seen by a scan.
  const auto hold = [&](int ms) {
    const int seen = scans.load();
    pause(ms);
    for (int waited = 0; scans.load() < seen + 2 && waited < 5000; waited += 5) pause(5);
  };
  pause(2000);  // recordings to replay before the disk starts to change
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    // Every tenth cycle each disk stays long enough for recording to start on it again.
    const int stay = cycle % 10 == 9 ? 400 : 30;
    ASSERT_EQ(QVFS_DetachImage(0), 0);  // pulled out ...
    hold(15);
    ASSERT_EQ(QVFS_AttachImage(aPath.c_str(), 0, 512), 0);  // ... and put back
    hold(stay);
    ASSERT_EQ(QVFS_DetachImage(0), 0);  // another disk under the same name
    ASSERT_EQ(QVFS_AttachImage(bPath.c_str(), 0, 512), 0);
    hold(stay);
    ASSERT_EQ(QVFS_DetachImage(0), 0);
    ASSERT_EQ(QVFS_AttachImage(aPath.c_str(), 0, 512), 0);
    hold(15);
  }
  stop = true;
  for (std::thread& t : threads) t.join();
  EXPECT_GT(searches.load(), 0);
  EXPECT_GE(scans.load(), 4 * kCycles);
  std::printf("disk changes: %d cycles, %d scans, %d searches, %d frames replayed\n", kCycles,
              scans.load(), searches.load(), replayed.load());

  // The other disk: its tables and every file it did not hand out to a recording (the library
  // says which it hands out, and from which disk) are as they were, index entries included.
  ASSERT_NE(b.identity, 0u);
  std::set<uint32_t> handedOut;
  char tag[32];
  std::snprintf(tag, sizeof tag, " of disk %08x ", b.identity);
  for (const std::string& m : TakeMessages()) {
    const size_t at = m.find(" takes record file ");
    if (at != std::string::npos && m.find(tag) != std::string::npos)
      handedOut.insert(static_cast<uint32_t>(std::stoul(m.substr(at + 19))));
  }
  EXPECT_EQ(testsupport::SparseDigest(bPath, 0, b.firstRecordLba * 512), bTables);
  const auto bAfter = Entries(bPath, b);
  for (uint32_t i = 0; i < b.files; ++i) {
    if (handedOut.count(i)) continue;
    EXPECT_EQ(std::memcmp(&bAfter[i], &bEntries[i], sizeof bAfter[i]), 0)
        << "the entry of record file " << i << " of the other disk changed";
    EXPECT_EQ(FileDigest(bPath, b, i), bFiles[i])
        << "record file " << i << " of the other disk was written without being handed out";
  }
  std::printf("the other disk: %zu of %u record files handed out\n", handedOut.size(), b.files);

  // a is back: after a scan, recording goes on into it.
  ASSERT_GE(MountUsbThreadBody(&ctx_->get().diskWatch()), 1);
  const int64_t resumed = platform::TheClock().NowMs();
  const auto latestEndOnA = [&] {
    int64_t latest = 0;
    for (const recindex::RecIndexEntry& e : Entries(aPath, a))
      if (e.summary.kind != 0) latest = std::max<int64_t>(latest, e.summary.endMs);
    return latest;
  };
  // Pictures until a's index shows a recording a second past the return (at most 30 s: a slow
  // build takes a while to wait for the disk, settle and find the next key frame).
  std::vector<uint8_t> payload(2000, 0x55);
  for (int n = 0; n < 1500 && latestEndOnA() < resumed + 1000; ++n) {
    for (int ch = 0; ch < kChannels; ++ch)
      QVFS_FifoWriteFrame(payload.data(), static_cast<int>(payload.size()), n % 25 == 0 ? 'I' : 'P',
                          ch);
    pause(20);
  }
  QVFS_RecordStop();
  ASSERT_GE(MountUsbThreadBody(&ctx_->get().diskWatch()), 1);

  // The search lists exactly what a's index holds, and it holds the recording that resumed.
  std::set<std::pair<int, int64_t>> onDisk;
  std::set<int> mustList;  // recordings long enough that no search leaves them out
  int64_t latestEnd = 0;
  for (uint32_t i = 0; i < a.files; ++i) {
    const recindex::RecIndexSummary s = Entries(aPath, a)[i].summary;
    if (s.kind == 0 || s.startMs <= 0) continue;
    onDisk.insert({static_cast<int>(i), s.startMs});
    if (s.endMs - s.startMs >= 3000) mustList.insert(static_cast<int>(i));
    latestEnd = std::max<int64_t>(latestEnd, s.endMs);
  }
  EXPECT_GE(latestEnd, resumed + 1000);
  std::vector<_rec_file_info_> out(1024);
  // Recordings the pulls left open are repaired when a scan opens the index again; on a slow
  // build the first search may come before that: a few more scans, as the player's make.
  int n = 0;
  for (int tries = 0; tries < 10; ++tries) {
    n = QVFS_SearchPlayList(out.data(), 1024 * 40, 0, UINT32_MAX, -1, 0, 0, 0, 3);
    if (n > 0) break;
    std::printf("search %d found nothing yet: %zu recordings on a, %zu index(es) in the set\n",
                tries, onDisk.size(), ctx_->get().diskWatch().IndexSet(0).Size());
    pause(500);
    MountUsbThreadBody(&ctx_->get().diskWatch());
  }
  ASSERT_GT(n, 0) << onDisk.size() << " recordings on a, " << ctx_->get().diskWatch().IndexSet(0).Size()
                  << " index(es) in the set";
  std::set<int> filesFound;
  for (int k = 0; k < n; ++k) {
    const int file = out[k].fileIndex;
    const int64_t start = out[k].startMs;
    filesFound.insert(file);
    EXPECT_EQ(out[k].diskNo, 0);
    const bool known = std::any_of(onDisk.begin(), onDisk.end(), [&](const auto& e) {
      return e.first == file && e.second <= start;
    });
    EXPECT_TRUE(known) << "file " << file << " at " << start << " is not on the present disk";
  }
  for (int file : mustList) EXPECT_EQ(filesFound.count(file), 1u) << "file " << file;
}

}  // namespace
