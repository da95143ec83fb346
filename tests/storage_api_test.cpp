// The exported set-up, recording and FIFO functions: FIFO results before and after QVFS_Init,
// channel ranges fixed by the first QVFS_Init, a manual recording made through the FIFOs and
// found by the search, record progress queries, disk information with small buffers, lock /
// unlock / delete through RecordItems, and the repair of recordings a power loss left open.
#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "api/context.h"
#include "disklayout/le.h"
#include "qvfs/qvfs.h"
#include "platform/drive_table.h"
#include "recorder/disk_watch.h"
#include "test_support.h"

using testsupport::LibraryTest;

namespace {

constexpr int64_t kT0 = 1700000000000;

std::mutex g_mutex;
std::vector<int> g_codes;
void OnStatus(int code, const void*, int) {
  std::lock_guard<std::mutex> g(g_mutex);
  g_codes.push_back(code);
}

StorageConfig Config(int channels, int mask, int cycle = 1) {
  StorageConfig c{};
  c.channelCount = channels;
  c.mainRecordMask = mask;
  c.cycleRecord = static_cast<uint8_t>(cycle);
  c.fifoUsers = 4;
  c.mainFifoSize = 0x400000;
  c.writeCacheSize = 0x180000;
  c.playBufferSize = 0x140000;
  c.frameBufferSize = 0x80000;
  return c;
}

class StorageApiTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    std::lock_guard<std::mutex> g(g_mutex);
    g_codes.clear();
  }
  void TearDown() override {
    QVFS_RecordStop();
    LibraryTest::TearDown();
  }
  std::string RecordDisk() {
    const std::string drive = AttachImage(1ull << 30, 512, false, "api.img");
    EXPECT_GT(QVFS_FormatToRecdisk(drive.c_str(), 64, 0), 0);
    return drive;
  }
  // Writes n pictures (a key frame every 25, 40 ms apart) into a channel's FIFO, keeping it
  // from overflowing, on the manual clock.
  void Produce(int channel, int n, uint32_t payload = 5000) {
    std::vector<uint8_t> data(payload, 0x42);
    for (int i = 0; i < n; ++i) {
      while (QVFS_FIFO_GetWarter(channel, 0) > 50) platform::SleepMs(5);
      ASSERT_EQ(QVFS_FifoWriteFrame(data.data(), static_cast<int>(data.size()),
                                    i % 25 == 0 ? 'I' : 'P', channel), 0);
      QVFS_AdvanceClock(40);
    }
    for (int i = 0; i < 500 && QVFS_FifoGetDataSize(channel, 0) > 0; ++i) platform::SleepMs(10);
    platform::SleepMs(200);
  }
  std::vector<_rec_file_info_> Search(int channelMask) {
    std::vector<_rec_file_info_> out(64);
    const int n = QVFS_SearchPlayList(out.data(), 64 * 40, 0, UINT32_MAX, channelMask, 0, 0, 0, 0);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
  }
  bool Reported(int code) {
    std::lock_guard<std::mutex> g(g_mutex);
    return std::find(g_codes.begin(), g_codes.end(), code) != g_codes.end();
  }
};

TEST_F(StorageApiTest, FifoFunctionsBeforeAndAfterInit) {
  std::vector<uint8_t> big(200000, 7);
  uint8_t frame[100] = {1, 2, 3};
  EXPECT_EQ(QVFS_FifoWriteFrame(frame, 100, 'I', 0), -2005);
  EXPECT_EQ(QVFS_FifoReadFrame(frame, 100, 0, 1), -2005);
  EXPECT_EQ(QVFS_FifoClearData(0), -2005);
  ASSERT_EQ(QVFS_Init(Config(2, 0)), 0);
  EXPECT_EQ(QVFS_FifoWriteFrame(frame, 100, 'I', 2), -110);
  EXPECT_EQ(QVFS_FifoWriteFrame(frame, 0, 'I', 0), -2002);
  EXPECT_EQ(QVFS_FifoWriteFrame_sub(frame, 100, 'I', 0), -2005);  // no sub FIFOs configured
  const int user = QVFS_FifoRegisterUser("viewer");
  EXPECT_GT(user, 0);
  EXPECT_EQ(QVFS_FifoRegisterUser("viewer"), user);
  ASSERT_EQ(QVFS_FifoWriteFrame(frame, 100, 'I', 1), 0);
  EXPECT_EQ(QVFS_FifoGetDataSize(1, 0), 324);
  std::vector<uint8_t> out(1000);
  ASSERT_EQ(QVFS_FifoReadFrame(out.data(), 1000, 1, user), 324);
  EXPECT_EQ(0, std::memcmp(out.data(), "PTMF", 4));
  EXPECT_EQ(out[224 + 2], 3);
  ASSERT_EQ(QVFS_FifoWriteFrame(big.data(), static_cast<int>(big.size()), 'P', 1), 0);
  EXPECT_EQ(QVFS_FifoGetFrameWater(1, 0), (324 + 200224) * 100 / 0x400000);
  EXPECT_EQ(QVFS_FifoClearData(1), 0);
  EXPECT_EQ(QVFS_FifoGetDataSize(1, 0), 0);
  // A second QVFS_Init claiming more channels keeps the arrays of the first.
  ASSERT_EQ(QVFS_Init(Config(8, 0)), 0);
  EXPECT_EQ(QVFS_FifoWriteFrame(frame, 100, 'I', 5), -110);
  EXPECT_EQ(QVFS_GetRecordIndex(5, 0), -110);
  EXPECT_EQ(QVFS_GetRecordIndex(2, 0), 0);  // equal to the count: passes, no task
}

TEST_F(StorageApiTest, AManualRecordingMadeThroughTheFifosIsFound) {
  RecordDisk();
  QVFS_SET_STATUS_CBAK(OnStatus);
  QVFS_SetManualClock(1, kT0);
  ASSERT_EQ(QVFS_Init(Config(2, 0)), 0);
  EXPECT_TRUE(Reported(0x8001));  // cycle recording on: the disks are reported
  ASSERT_EQ(QVFS_RecordStart(), 0);
  ASSERT_EQ(QVFS_START_RECORD(1, 2, 0), 0);
  uint8_t info[40];
  QVFS_GetRecordChInfo(info);
  EXPECT_EQ(le::Get32(info), 2u);  // channel 1's bit of the record mask
  EXPECT_EQ(le::Get32(info + 4), 2u);
  EXPECT_EQ(info[8 + 1], 2);
  Produce(1, 100);
  EXPECT_GT(QVFS_GetRecordPercent(1, 0), -1);
  EXPECT_GT(QVFS_GetRecordSn(1, 0), 0);
  ASSERT_EQ(QVFS_ManualRecStop(1), 0);
  QVFS_RecordStop();
  auto found = Search(0x2);
  ASSERT_FALSE(found.empty());
  EXPECT_EQ(found.back().channel, 1);
  EXPECT_GE(found.back().startMs / 1000, kT0 / 1000);
  EXPECT_TRUE(Reported(0x8003));
  EXPECT_EQ(QVFS_GetRecMaxTime(), (kT0 + 99 * 40) / 1000);
}

TEST_F(StorageApiTest, DiskInformationRespectsTheBufferAndEmptyLists) {
  DiskSpaceInfo space;
  QVFS_GetDiskSpaceInfo(&space);
  EXPECT_EQ(space.diskCount, 0);
  EXPECT_EQ(space.usedPercent, 0);
  uint8_t buf[300];
  EXPECT_EQ(QVFS_GetDiskInfo(buf, sizeof buf), 0);
  const std::string a = RecordDisk();
  AttachImage(1ull << 30, 512, false, "b.img");  // a blank second disk
  ASSERT_EQ(QVFS_Init(Config(1, 0, 0)), 0);
  std::vector<uint8_t> big(300, 0xEE);
  EXPECT_EQ(QVFS_GetDiskInfo(big.data(), 150), 1);  // room for one record only
  EXPECT_EQ(big[150], 0xEE);                       // nothing past the length
  DiskInfo info;
  std::memcpy(&info, big.data(), sizeof info);
  EXPECT_EQ(info.state, 0);
  EXPECT_EQ(std::string(info.devicePath), a);
  EXPECT_GT(info.totalMB, 0);
  EXPECT_EQ(QVFS_GetDiskInfo(big.data(), 300), 2);
  EXPECT_EQ(QVFS_DISK_IS_INIT(a.c_str()), 1);
  EXPECT_EQ(QVFS_DISK_IS_INIT("\\\\.\\PhysicalDrive9"), -2010);
  EXPECT_EQ(QVFS_DISK_IS_INIT(tmp_.path().c_str()), 0);
}

// Playback times are seconds: those that do not fit 32 bits (or lie before 1970) are refused
// before they are turned into milliseconds.
TEST_F(StorageApiTest, PlaybackTimesWhoseSecondsDoNotFit32BitsAreRefused) {
  ASSERT_EQ(QVFS_Init(Config(2, 0)), 0);
  const int64_t beyond = int64_t{UINT32_MAX} + 1;
  const std::vector<std::pair<int64_t, int64_t>> ranges = {
      {-1, 10}, {0, beyond}, {INT64_MIN, 0}, {0, INT64_MAX}, {INT64_MAX, INT64_MAX}};
  for (const auto& r : ranges) {
    SCOPED_TRACE(testing::Message() << r.first << " .. " << r.second);
    EXPECT_EQ(QVFS_PlaybackBytime(r.first, r.second, 1, 1), -101);
    EXPECT_EQ(QVFS_TelnetReplay(r.first, r.second, 1, 1), -101);
  }
  for (int64_t t : {int64_t{-1}, beyond, INT64_MIN, INT64_MAX})
    EXPECT_EQ(QVFS_PlaybackSeekTime(t, 1, 1), -101) << t;
  // The largest time that fits is a time: nothing recorded there.
  EXPECT_EQ(QVFS_PlaybackBytime(0, UINT32_MAX, 1, 1), -2007);
  EXPECT_EQ(QVFS_TelnetReplay(0, UINT32_MAX, 1, 1), -2007);
}

TEST_F(StorageApiTest, LockUnlockAndDeleteThroughRecordItems) {
  RecordDisk();
  QVFS_SetManualClock(1, kT0);
  ASSERT_EQ(QVFS_Init(Config(1, 1)), 0);
  ASSERT_EQ(QVFS_RecordStart(), 0);
  Produce(0, 60);
  QVFS_RecordStop();
  std::vector<RecordItem> items(16);
  const int n = QVFS_SearchRec(items.data(), 16 * 32, 0, UINT32_MAX, 1, 0, 0, 0, 0);
  ASSERT_GE(n, 1);
  RecordItem item = items[0];
  EXPECT_EQ(QVFS_LockRecord(&item), 0);
  EXPECT_EQ(QVFS_UnlockRecord(&item), 0);
  RecordItem bad = item;
  bad.fileIndex = -1;
  EXPECT_EQ(QVFS_DeleteRecord(&bad), -5002);
  EXPECT_EQ(QVFS_DeleteRecord(&item), 0);
  // Client 1: client 0's searches are answered from its cache.
  EXPECT_EQ(QVFS_SearchRec(items.data(), 16 * 32, 0, UINT32_MAX, 1, 0, 0, 0, 1), n - 1);
}

// Formatting a disk that records: its recordings are closed and its index forgotten first;
// after the format recording goes on into the fresh disk.
TEST_F(StorageApiTest, FormattingARecordingDiskStopsAndRestartsItsRecording) {
  const std::string drive = RecordDisk();
  QVFS_SetManualClock(1, kT0);
  ASSERT_EQ(QVFS_Init(Config(1, 1)), 0);
  ASSERT_EQ(QVFS_RecordStart(), 0);
  Produce(0, 60);
  ASSERT_GT(QVFS_FormatToRecdisk(drive.c_str(), 64, 0), 0);
  EXPECT_TRUE(Search(0x1).empty());  // a fresh disk
  Produce(0, 60);
  QVFS_RecordStop();
  auto found = Search(0x1);
  ASSERT_FALSE(found.empty());
  const int64_t start = found.back().startMs;
  EXPECT_GE(start, kT0 + 60 * 40);
}

// A format refused after the disk's users were stopped (a common partition larger than the
// disk) leaves the record disk as it was, and it comes back: its recordings are found and
// recording goes on into it.
TEST_F(StorageApiTest, ARefusedFormatBringsTheRecordDiskBack) {
  const std::string drive = RecordDisk();
  QVFS_SetManualClock(1, kT0);
  ASSERT_EQ(QVFS_Init(Config(1, 1)), 0);
  ASSERT_EQ(QVFS_RecordStart(), 0);
  Produce(0, 60);
  ASSERT_FALSE(Search(0x1).empty());
  EXPECT_LT(QVFS_FormatToRecdisk(drive.c_str(), 64, 2048), 0);  // 2 GiB common on a 1 GiB disk
  const auto latestEnd = [this] {
    int64_t end = 0;
    for (const _rec_file_info_& r : Search(0x1)) {
      const int64_t e = r.endMs;  // a packed field: copied, not bound
      end = std::max(end, e);
    }
    return end;
  };
  const int64_t before = latestEnd();
  EXPECT_GT(before, kT0);
  Produce(0, 60);
  QVFS_RecordStop();
  QVFS_AdvanceClock(3000);  // past the search cache of client 0
  EXPECT_GE(latestEnd(), before + 2000);  // the next 60 pictures reached the disk
}

// A recording disk pulled out and put back: the scan that misses it closes its recordings, and
// after the scan that finds it again recording goes on into it.
TEST_F(StorageApiTest, RecordingGoesOnIntoADiskThatCameBack) {
  const std::string drive = RecordDisk();
  const int n = platform::DriveNumberOf(drive);
  QVFS_SetManualClock(1, kT0);
  ASSERT_EQ(QVFS_Init(Config(1, 1)), 0);
  ASSERT_EQ(QVFS_RecordStart(), 0);
  Produce(0, 60);
  ASSERT_EQ(QVFS_DetachImage(n), 0);
  EXPECT_EQ(MountUsbThreadBody(&ctx_->get().diskWatch()), 0);
  Produce(0, 30);  // nowhere to go
  ASSERT_EQ(QVFS_AttachImage(imagePath_.c_str(), 0, 512), n);
  EXPECT_EQ(MountUsbThreadBody(&ctx_->get().diskWatch()), 1);
  Produce(0, 100);
  QVFS_RecordStop();
  QVFS_AdvanceClock(3000);
  int64_t latest = 0;
  for (const _rec_file_info_& r : Search(0x1)) {
    const int64_t e = r.endMs;
    latest = std::max(latest, e);
  }
  EXPECT_GE(latest, kT0 + (60 + 30 + 30) * 40);  // well into the pictures after its return
}

// The power goes while a channel records; the next start of the library repairs the file and
// the recording is found with its frames up to what reached the disk.
TEST_F(StorageApiTest, RecordingsLeftOpenByAPowerLossAreRepairedAtTheNextStart) {
  RecordDisk();
  QVFS_SetManualClock(1, kT0);
  ASSERT_EQ(QVFS_Init(Config(1, 1)), 0);
  ASSERT_EQ(QVFS_RecordStart(), 0);
  Produce(0, 200);
  faults_->CutPowerAfterWrites(0);  // nothing more reaches the disk: not the close either
  QVFS_RecordStop();
  ctx_->get().deviceServices().StopAll();
  faults_->CutPowerAfterWrites(-1);
  // The next start: the indexes are read again from the disk.
  ctx_->get().diskWatch().CloseAll();
  ctx_->get().registry().Clear();
  ASSERT_EQ(QVFS_Init(Config(1, 0)), 0);
  EXPECT_TRUE(Printed("Start repair record.num 1"));
  auto found = Search(0x1);
  ASSERT_FALSE(found.empty());
  const int64_t end = found.back().endMs;
  EXPECT_GT(end, kT0);
  EXPECT_LE(end, kT0 + 199 * 40);
  EXPECT_EQ(found.back().state & 0x80, 0);
}

}  // namespace
