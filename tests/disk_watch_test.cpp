// The disk watch over formatted, blank and damaged images and a volume folder: disk states and
// layout values, the two index sets (also across a second scan), the status reports, the
// queries, the ready check, and a scan asked for while one runs.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "api/context.h"
#include "device/dev_registry.h"
#include "disklayout/le.h"
#include "index/index_create.h"
#include "platform/clock.h"
#include "platform/scsi.h"
#include "qvfs/qvfs.h"
#include "platform/drive_table.h"
#include "recorder/device_service.h"
#include "serialfile/serial_file_base.h"
#include "recorder/disk_watch.h"
#include "test_support.h"

using testsupport::LibraryTest;

namespace {

constexpr uint64_t kGiB = 1ull << 30;

class DiskWatchTest : public LibraryTest {
 protected:
  DiskWatch& watch() { return ctx_->get().diskWatch(); }
  std::string RecordDisk(const std::string& file, int fileMB = 256) {
    std::string d = AttachImage(2 * kGiB, 512, false, file);
    EXPECT_GT(QVFS_FormatToRecdisk(d.c_str(), fileMB, 0), 0);
    return d;
  }
};

TEST_F(DiskWatchTest, ListsRecordAndBlankDisksWithTheirIndexes) {
  static std::vector<std::pair<int, int>> reports;
  reports.clear();
  ctx_->get().shared().SetStatusCallback([](int code, const void* data, int len) {
    if (code == 0x8001 && len == 8) {
      const int32_t* v = static_cast<const int32_t*>(data);
      reports.emplace_back(v[0], v[1]);
    }
  });
  const std::string a = RecordDisk("a.img");
  const std::string blank = AttachImage(64 << 20, 512, false, "blank.img");
  const std::string b = RecordDisk("b.img", 128);
  reports.clear();  // the formats rescanned already

  // After each drive's report the scan pauses 30 ms for the receiver; without a receiver it
  // does not pause at all.
  static std::vector<uint32_t> sleeps;
  sleeps.clear();
  platform::SetSleepHook([](uint32_t ms) { sleeps.push_back(ms); });
  struct HookOff {
    ~HookOff() { platform::SetSleepHook(nullptr); }
  } hookOff;
  ASSERT_EQ(MountUsbThreadBody(&watch()), 3);
  EXPECT_EQ(reports, (std::vector<std::pair<int, int>>{{1, 1}, {2, 2}, {3, 3}}));
  EXPECT_EQ(sleeps, (std::vector<uint32_t>{30, 30, 30}));
  ctx_->get().shared().SetStatusCallback(nullptr);
  sleeps.clear();
  ASSERT_EQ(MountUsbThreadBody(&watch()), 3);
  EXPECT_TRUE(sleeps.empty());
  auto disks = watch().Disks();
  ASSERT_EQ(disks.size(), 3u);
  EXPECT_EQ(disks[0].name, a);
  EXPECT_EQ(disks[0].state, kDiskReady);
  EXPECT_EQ(disks[1].state, kDiskNoRecordArea);
  EXPECT_EQ(disks[2].state, kDiskReady);
  EXPECT_EQ(disks[0].capacityMB, 2047u);  // from the last LBA, as get_capacity_MB counts
  EXPECT_EQ(disks[0].recordFileSectors, 256u * 2048);
  EXPECT_EQ(disks[0].totalMB, disks[0].freeMB);  // every file free
  EXPECT_GT(disks[0].totalMB, 0u);
  EXPECT_EQ(disks[2].freeMB % 128, 0u);
  EXPECT_EQ(watch().ReadyMask(), 0b101u);
  EXPECT_EQ(watch().RecordFileBytes(), 256u << 20);

  // The first record disk opens into the first set, the second into the second; a second scan
  // keeps each where it is.
  for (int scan = 0; scan < 2; ++scan) {
    ASSERT_EQ(watch().IndexSet(0).Size(), 1u);
    ASSERT_EQ(watch().IndexSet(1).Size(), 1u);
    EXPECT_NE(watch().IndexSet(0).Find(a), nullptr);
    EXPECT_NE(watch().IndexSet(1).Find(b), nullptr);
    EXPECT_EQ(watch().IndexSet(1).Find(b)->diskNo, 2);
    ASSERT_EQ(MountUsbThreadBody(&watch()), 3);
  }
}

TEST_F(DiskWatchTest, IndexLbaZeroMeansNoRecordArea) {
  const std::string d = RecordDisk("z.img");
  for (uint64_t lba : {64, 88}) {  // both STFS copies: index LBA 0
    uint8_t zero[8] = {};
    testsupport::WriteFileBytes(imagePath_, lba * 512 + 48, zero, 8);
  }
  watch().ForgetIndex(d);
  ASSERT_EQ(MountUsbThreadBody(&watch()), 1);
  EXPECT_EQ(watch().Disks()[0].state, kDiskNoRecordArea);
  EXPECT_EQ(watch().IndexSet(0).Size(), 0u);
}

TEST_F(DiskWatchTest, QueriesAnswerFromTheLatestScan) {
  const std::string a = RecordDisk("a.img");
  ASSERT_EQ(MountUsbThreadBody(&watch()), 1);
  const DiskRecord rec = watch().Disks()[0];
  // 64-bit: file 100000 of 256 MiB lies past 2^32 sectors.
  EXPECT_EQ(watch().RecordFileLba(a, 100000), rec.firstRecordLba + 100000ull * 524288);
  EXPECT_EQ(watch().RecordFileLba("PhysicalDrive9", 3), DiskWatch::kUnknownDiskLba);
  EXPECT_FALSE(watch().IsVolumeRecordSource(a));  // extension B is 0 on a formatted disk

  std::string name;
  ASSERT_TRUE(watch().DiskName(0, &name));
  EXPECT_EQ(name, a);
  ASSERT_TRUE(watch().DiskName(7, &name));  // one disk: that one
  EXPECT_TRUE(Printed("Error disk number 7."));
  EXPECT_TRUE(Printed("Set to devcice " + a));

  platform::FaultRule gone;
  gone.opcodes = {platform::kOpTestUnitReady};
  gone.key = platform::kSkNotReady;
  gone.asc = 0x3A;
  faults_->AddRule(gone);
  EXPECT_EQ(watch().ReadyCheck(), 0);
  EXPECT_EQ(watch().Disks()[0].state, kDiskNotReady);
  EXPECT_EQ(watch().ReadyMask(), 0u);
  faults_->ClearRules();
  EXPECT_EQ(watch().ReadyCheck(), 1);
  EXPECT_EQ(watch().ReopenDrives(true), 1);

  EXPECT_EQ(watch().RemoveDisk(a), 0);
  EXPECT_FALSE(watch().DiskName(0, &name));
  EXPECT_EQ(watch().RemoveDisk(a), -2010);
}

TEST_F(DiskWatchTest, VolumeFolderIsListedWithFixedValues) {
  testsupport::TempDir folder;
  ASSERT_EQ(CreateFileIndex(folder.path(), 128, 4, 6), 0);
  ASSERT_EQ(QVFS_AddVolume(folder.path().c_str(), 0), 0);
  ASSERT_EQ(MountUsbThreadBody(&watch()), 1);
  const DiskRecord v = watch().Disks()[0];
  EXPECT_TRUE(v.volume);
  EXPECT_EQ(v.name, folder.path() + "/");
  EXPECT_EQ(v.state, kDiskReady);
  EXPECT_EQ(v.firstRecordLba, 20480u);
  EXPECT_EQ(v.recordFileSectors, 262144u);
  EXPECT_EQ(v.indexLba, 2048u);
  EXPECT_EQ(v.totalMB, 512u);
  EXPECT_TRUE(watch().IsVolumeRecordSource(folder.path()));
  EXPECT_NE(watch().IndexSet(0).Find(v.name), nullptr);
}

TEST_F(DiskWatchTest, ADriveThatStopsAnsweringIsListedWithoutARecordArea) {
  const std::string a = RecordDisk("a.img");
  platform::FaultRule dead;  // every command: not ready, medium not present
  dead.key = platform::kSkNotReady;
  dead.asc = 0x3A;
  faults_->AddRule(dead);
  watch().ForgetIndex(a);
  ASSERT_EQ(MountUsbThreadBody(&watch()), 1);
  EXPECT_EQ(watch().Disks()[0].state, kDiskNoRecordArea);
  EXPECT_EQ(watch().IndexSet(0).Size(), 0u);
  EXPECT_EQ(watch().ReadyCheck(), 0);
}

TEST_F(DiskWatchTest, AScanAskedForWhileOneRunsReturnsAtOnce) {
  RecordDisk("a.img");
  static DiskWatch* w;
  static int nested;
  w = &watch();
  nested = -1;
  ctx_->get().shared().SetStatusCallback([](int, const void*, int) { nested = w->Scan(); });
  EXPECT_EQ(MountUsbThreadBody(&watch()), 1);
  EXPECT_EQ(nested, 0);

  // Scans on two threads: one lists the disk, the other returns 0 or waits its turn; neither
  // hangs, and the list ends whole.
  ctx_->get().shared().SetStatusCallback(nullptr);
  int r1 = -1, r2 = -1;
  std::thread t1([&] { r1 = watch().Scan(); });
  std::thread t2([&] { r2 = watch().Scan(); });
  t1.join();
  t2.join();
  EXPECT_TRUE(r1 == 1 || r2 == 1);
  EXPECT_EQ(watch().Disks().size(), 1u);
}

TEST_F(DiskWatchTest, QueriesRunWhileScansRebuildTheList) {
  const std::string a = RecordDisk("a.img");
  std::atomic<bool> done{false};
  std::thread scanner([&] {
    for (int i = 0; i < 5; ++i) MountUsbThreadBody(&watch());
    done = true;
  });
  std::string name;
  int seen = 0;
  while (!done) {
    if (watch().DiskName(0, &name)) seen += name == a;
    for (const DiskRecord& d : watch().Disks()) EXPECT_EQ(d.name, a);
    watch().RecordFileLba(a, 1);
  }
  scanner.join();
  EXPECT_EQ(watch().Disks().size(), 1u);
}

// A record disk whose partition the machine has mounted is listed once, as the raw disk.
TEST_F(DiskWatchTest, MountedPartitionOfAListedDiskIsNotASecondDisk) {
  const std::string d = AttachImage(2 * kGiB, 512, false, "m.img");
  ASSERT_GT(QVFS_FormatToRecdisk(d.c_str(), 256, 300), 0);
  // An ext4 file system in the commonData partition, holding an index file, mounted.
  const std::string mnt = tmp_.File("mnt");
  mkdir(mnt.c_str(), 0777);
  const std::string loop = "losetup -f --show -o " + std::to_string(2048 * 512) +
                           " --sizelimit " + std::to_string(300ull << 20) + " " + imagePath_;
  FILE* p = popen((loop + " 2>/dev/null").c_str(), "r");
  char dev[64] = {};
  if (!p || !fgets(dev, sizeof dev, p)) {
    if (p) pclose(p);
    GTEST_SKIP() << "no loop devices here (needs root)";
  }
  pclose(p);
  std::string loopDev(dev);
  loopDev.erase(loopDev.find_last_not_of("\n") + 1);
  struct Detach {
    std::string dev, mnt;
    ~Detach() {
      std::system(("umount " + mnt + " 2>/dev/null; losetup -d " + dev).c_str());
    }
  } detach{loopDev, mnt};
  if (std::system(("mkfs.ext4 -q -F " + loopDev + " >/dev/null 2>&1 && mount " + loopDev + " " +
                   mnt + " 2>/dev/null").c_str()) != 0)
    GTEST_SKIP() << "cannot mount the loop device here";
  ASSERT_EQ(CreateFileIndex(mnt, 128, 3, 6), 0);
  ctx_->get().platform().drives.UseMachineMounts(true);
  ASSERT_EQ(MountUsbThreadBody(&watch()), 1);
  EXPECT_EQ(watch().Disks()[0].name, d);
  EXPECT_FALSE(watch().Disks()[0].volume);
  EXPECT_TRUE(Printed("Volume " + loopDev + " lies on disk " + d));
}

}  // namespace

namespace {

// Names are matched whole: with drive 1 gone and drive 10 a record disk, a question about
// drive 1 is not answered with drive 10's layout, and no service serves both.
TEST_F(DiskWatchTest, NamesAreMatchedWholeNeverByAPart) {
  for (int i = 0; i < 10; ++i) AttachImage(64 << 20, 512, false, "blank" + std::to_string(i) + ".img");
  const std::string ten = RecordDisk("ten.img");
  ASSERT_EQ(ten, "\\\\.\\PhysicalDrive10");
  ASSERT_EQ(QVFS_DetachImage(1), 0);
  MountUsbThreadBody(&watch());
  const std::string one = "\\\\.\\PhysicalDrive1";
  EXPECT_EQ(watch().RecordFileLba(one, 0), DiskWatch::kUnknownDiskLba);
  EXPECT_EQ(watch().RecordFileSectors(one), 0u);
  EXPECT_NE(watch().RecordFileLba(ten, 0), DiskWatch::kUnknownDiskLba);
  EXPECT_FALSE(DeviceServices::Serves(one, ten));
  EXPECT_TRUE(DeviceServices::Serves(ten, ten));
  EXPECT_TRUE(DeviceServices::Serves("/media/a/", "/media/a/Record/00001.asf"));
  EXPECT_FALSE(DeviceServices::Serves("/media/a/", "/media/a1/Record/00001.asf"));
}

// A disk pulled out is dropped with its index at the next scan ("Dev ... is deleted."); an
// index someone still holds stays valid; the same disk put back is found again.
TEST_F(DiskWatchTest, ADiskThatLeftIsDroppedAndComesBack) {
  const std::string a = RecordDisk("a.img");
  ASSERT_EQ(MountUsbThreadBody(&watch()), 1);
  DiskIndexRef held = watch().IndexSet(0).Find(a);  // as a search or a replay holds it
  ASSERT_TRUE(held);
  const int n = platform::DriveNumberOf(a);
  ASSERT_EQ(QVFS_DetachImage(n), 0);
  EXPECT_EQ(QVFS_DetachImage(n), -1);
  TakeMessages();
  EXPECT_EQ(MountUsbThreadBody(&watch()), 0);
  EXPECT_EQ(watch().IndexSet(0).Size(), 0u);
  EXPECT_TRUE(Printed("Dev " + a + " is deleted."));
  EXPECT_GT(held->recordFileCount, 0u);  // still a live object
  ASSERT_EQ(QVFS_AttachImage(imagePath_.c_str(), 0, 512), n);
  EXPECT_EQ(MountUsbThreadBody(&watch()), 1);
  DiskIndexRef back = watch().IndexSet(0).Find(a);
  ASSERT_TRUE(back);
  EXPECT_NE(back, held);
}

// Another record disk under a known name (an image swapped, or a card exchanged in the same
// reader) gets an index of its own; the old index, still held by a recording, reaches no disk.
TEST_F(DiskWatchTest, AnotherDiskUnderAKnownNameGetsItsOwnIndex) {
  const std::string a = RecordDisk("a.img", 256);
  const std::string aPath = imagePath_;
  const std::string b = RecordDisk("b.img", 128);
  const std::string bPath = imagePath_;
  ASSERT_EQ(MountUsbThreadBody(&watch()), 2);
  const uint64_t aIndexLba = watch().Disks()[0].indexLba;
  DiskIndexRef old = watch().IndexSet(0).Find(a);
  ASSERT_TRUE(old);
  ASSERT_EQ(old->recordFileBytes, 256u << 20);
  const uint64_t bBefore = testsupport::SparseDigest(bPath);

  // The image of a is swapped for b's under a's name.
  ASSERT_EQ(QVFS_DetachImage(platform::DriveNumberOf(b)), 0);
  ASSERT_EQ(QVFS_DetachImage(platform::DriveNumberOf(a)), 0);
  ASSERT_EQ(QVFS_AttachImage(bPath.c_str(), 0, 512), platform::DriveNumberOf(a));
  const std::vector<uint8_t> sector(512, 0xA5);
  EXPECT_LT(old->file->WritePos(0, sector.data(), 512, true), 0);  // before the scan
  ASSERT_EQ(MountUsbThreadBody(&watch()), 1);
  EXPECT_LT(old->file->WritePos(0, sector.data(), 512, true), 0);  // and after it
  DiskIndexRef now = watch().IndexSet(0).Find(a);
  ASSERT_TRUE(now);
  EXPECT_NE(now, old);
  EXPECT_EQ(now->recordFileBytes, 128u << 20);
  EXPECT_EQ(testsupport::SparseDigest(bPath), bBefore);

  // A card exchanged in the same reader: the same file now holds another disk's bytes.
  DiskIndexRef held = now;
  for (const auto& [at, bytes] : {std::pair<uint64_t, size_t>{0, 4 << 20},  // a's tables
                                  {aIndexLba * 512, 1 << 20}}) {            // a's index
    const auto part = testsupport::ReadFileBytes(aPath, at, bytes);
    testsupport::WriteFileBytes(bPath, at, part.data(), part.size());
  }
  ASSERT_EQ(MountUsbThreadBody(&watch()), 1);
  DiskIndexRef exchanged = watch().IndexSet(0).Find(a);
  ASSERT_TRUE(exchanged);
  EXPECT_NE(exchanged, held);
  EXPECT_EQ(exchanged->recordFileBytes, 256u << 20);
  EXPECT_LT(held->file->WritePos(0, sector.data(), 512, true), 0);
}

}  // namespace
