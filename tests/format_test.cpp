// Formatting record disks: the FAT32 geometry, the layout a format leaves (GPT at both ends,
// contiguous record files, STFS tables, a free index, a clean FSInfo), the refusals that leave a
// disk untouched, and a write failure half way. The outside tools' view (sgdisk, mtools,
// fsck.fat) is checked by the command-line test.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "device/dev_registry.h"
#include "device/disk_dev.h"
#include "disklayout/disk_table.h"
#include "disklayout/fat32_format.h"
#include "disklayout/le.h"
#include "index/disk_index.h"
#include "index/folder_format.h"
#include "platform/scsi.h"
#include "qvfs/qvfs.h"
#include "test_support.h"

using testsupport::LibraryTest;
using testsupport::ReadFileBytes;

namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kGiB = 1ull << 30;

TEST(Fat32Geometry, ClusterSizesFollowThePartitionSize) {
  Fat32Plan g;
  ASSERT_EQ(ChooseFat32Geometry(1ull << 25, 512, &g), 0);
  EXPECT_EQ(g.sectorsPerCluster, 16u);
  ASSERT_EQ(ChooseFat32Geometry((1ull << 25) + 1, 512, &g), 0);
  EXPECT_EQ(g.sectorsPerCluster, 64u);
  ASSERT_EQ(ChooseFat32Geometry(UINT32_MAX, 512, &g), 0);
  EXPECT_EQ(g.sectorsPerCluster, 128u);
  EXPECT_EQ(ChooseFat32Geometry(1ull << 32, 512, &g), kErrNoFatGeometry);  // past 32-bit sectors
  ASSERT_EQ(ChooseFat32Geometry(1ull << 22, 4096, &g), 0);
  EXPECT_EQ(g.sectorsPerCluster, 8u);
  // A 300 MiB partition would get too few clusters with 16 sectors each: halved to 8.
  ASSERT_EQ(ChooseFat32Geometry(300 * 2048, 512, &g), 0);
  EXPECT_EQ(g.sectorsPerCluster, 8u);
  EXPECT_GE(g.clusterCount, 65525u);
  EXPECT_EQ(ChooseFat32Geometry(20 * 2048, 512, &g), kErrNoFatGeometry);
  EXPECT_EQ(ChooseFat32Geometry(60, 512, &g), kErrNoFatGeometry);
}

TEST(Fat32Geometry, EveryAcceptedVolumeIsAValidFat32) {
  for (uint32_t ss : {512u, 4096u}) {
    for (uint64_t S = 60000; S < (1ull << 32); S = S * 33 / 32 + 13) {
      Fat32Plan g;
      if (ChooseFat32Geometry(S, ss, &g) != 0) continue;
      SCOPED_TRACE(testing::Message() << "sectors " << S << " sector size " << ss);
      EXPECT_GE(g.clusterCount, 65525u);
      EXPECT_LE(uint64_t{g.clusterCount} + 2, uint64_t{g.fatSectors} * ss / 4);
      EXPECT_LE(34 + 2 * uint64_t{g.fatSectors} + uint64_t{g.clusterCount} * g.sectorsPerCluster,
                S);
    }
  }
}

TEST(FolderFormat, CountKeepsTheReserveFree) {
  EXPECT_EQ(FolderReserveBytes(10 * kGiB), kGiB);
  EXPECT_EQ(FolderReserveBytes(100 * kGiB), 5 * kGiB);
  EXPECT_EQ(FolderRecordFileCount(kGiB + 255 * kMiB, 2 * kGiB, 128), 1u);
  EXPECT_EQ(FolderRecordFileCount(kGiB + 127 * kMiB, 2 * kGiB, 128), 0u);
  EXPECT_EQ(FolderRecordFileCount(512 * kGiB, 1024 * kGiB, 1), 32766u);
}

// The plan of a folder not made yet is its nearest existing parent's; a file limit is kept.
TEST(FolderFormat, PlanAndFileLimit) {
  testsupport::TempDir tmp;
  const uint32_t plan = FolderFormatPlan(tmp.path(), 64);
  if (plan < 2) GTEST_SKIP() << "no room for two 64 MiB files here";
  EXPECT_EQ(FolderFormatPlan(tmp.File("not/made/yet"), 64), plan);
  EXPECT_EQ(FolderFormatPlan(tmp.path(), 0), 0u);
  EXPECT_EQ(FormatFolderDisk(tmp.File("disk"), 64, 4, {}, 2), 2);
  struct stat st {};
  EXPECT_EQ(stat(tmp.File("disk/Record/00001.asf").c_str(), &st), 0);
  EXPECT_NE(stat(tmp.File("disk/Record/00002.asf").c_str(), &st), 0);
}

class FormatTest : public LibraryTest {
 protected:
  CDisk_Dev* Dev(const std::string& drive) {
    return CDevFlyWeightFactory::getSingleton()->CreateScsiDev(drive.c_str(), false);
  }
  std::vector<uint8_t> Sector(uint64_t lba, uint32_t ss = 512) {
    return ReadFileBytes(imagePath_, lba * ss, ss);
  }
  bool AllZero(uint64_t offset, size_t n) {
    auto b = ReadFileBytes(imagePath_, offset, n);
    return std::all_of(b.begin(), b.end(), [](uint8_t x) { return x == 0; });
  }
};

TEST_F(FormatTest, RecordDiskLayout) {
  const std::string drive = AttachImage(2 * kGiB);
  const int count = QVFS_FormatToRecdisk(drive.c_str(), 256, 0);
  ASSERT_GT(count, 0);
  CDisk_Dev* dev = Dev(drive);
  const uint64_t last = dev->get_capacity();

  // GPT: primary at 1 pointing at the backup on the last LBA, its entries 32 sectors before.
  auto primary = Sector(1);
  ASSERT_EQ(std::memcmp(primary.data(), "EFI PART", 8), 0);
  EXPECT_EQ(le::Get64(&primary[32]), last);
  EXPECT_EQ(le::Get64(&primary[48]), last - 33);
  auto backup = Sector(last);
  ASSERT_EQ(std::memcmp(backup.data(), "EFI PART", 8), 0);
  EXPECT_EQ(le::Get64(&backup[24]), last);
  EXPECT_EQ(le::Get64(&backup[72]), last - 32);
  EXPECT_EQ(Sector(0)[450], 0xEE);

  CDiskTable table;
  ASSERT_EQ(table.Init(dev), 0);
  ASSERT_TRUE(table.IsStfs());
  EXPECT_EQ(table.GetPartStart(0), 2048u);
  EXPECT_EQ(table.GetRecordFileSectors(), 256u * 2048);
  EXPECT_EQ(Sector(64), Sector(88));

  // The root directory lists contiguous record files and the index where the table says.
  auto boot = Sector(2048);
  const uint32_t spc = boot[13];
  const uint32_t fat = le::Get32(&boot[36]);
  const uint64_t data = 2048 + 34 + 2 * uint64_t{fat};
  auto dir = ReadFileBytes(imagePath_, data * 512, (count + 2) * 32);
  EXPECT_EQ(std::string(dir.begin(), dir.begin() + 11), "Record     ");
  EXPECT_EQ(dir[11], 0x08);
  auto lbaOf = [&](const uint8_t* e) {
    uint32_t cluster = le::Get16(e + 20) << 16 | le::Get16(e + 26);
    return data + uint64_t{cluster - 2} * spc;
  };
  for (int n = 0; n < count; ++n) {
    const uint8_t* e = &dir[(n + 1) * 32];
    char name[24];
    snprintf(name, sizeof name, "%05d   ASF", n);
    ASSERT_EQ(std::string(reinterpret_cast<const char*>(e), 11), name);
    EXPECT_EQ(e[12], 0x18);
    EXPECT_EQ(le::Get32(e + 28), 256u << 20);
    EXPECT_EQ(lbaOf(e), table.GetFirstRecordLba() + static_cast<uint64_t>(n) * 256 * 2048) << name;
  }
  const uint8_t* idx = &dir[(count + 1) * 32];
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(idx), 11), "RECINDEXBIN");
  EXPECT_EQ(le::Get32(idx + 28), uint32_t(count + 64) * 4096);
  EXPECT_EQ(lbaOf(idx), table.GetIndexLba());

  // FSInfo counts what the allocation used.
  auto info = Sector(2049);
  const uint32_t clusters = static_cast<uint32_t>((le::Get32(&boot[32]) - 34 - 2 * fat) / spc);
  const uint32_t used = static_cast<uint32_t>((lbaOf(idx) - data) / spc) +
                        (uint32_t(count + 64) * 4096 + spc * 512 - 1) / (spc * 512);
  EXPECT_EQ(le::Get32(&info[488]), clusters - used);

  DiskIndex index;
  ASSERT_EQ(index.Open(0, drive, table.GetIndexLba(), false), 0);
  EXPECT_EQ(index.freeList.size(), static_cast<size_t>(count));
  EXPECT_EQ(index.recordAreaLba, table.GetFirstRecordLba());
}

TEST_F(FormatTest, FileSizeAndCommonPartitionLimits) {
  const std::string drive = AttachImage(12 * kGiB);
  ASSERT_GT(QVFS_FormatToRecdisk(drive.c_str(), 32, 20000), 0);
  EXPECT_TRUE(Printed("comdisk is too big.\n"));
  CDiskTable table;
  ASSERT_EQ(table.Init(Dev(drive)), 0);
  ASSERT_EQ(table.GetPartCount(), 2);
  EXPECT_EQ(table.GetPartSize(0), 10240u * 2048 - 1);
  EXPECT_EQ(table.GetPartStart(1), 2048 + 10240u * 2048);
  EXPECT_EQ(table.GetRecordFileSectors(), 128u * 2048);  // 32 MiB was raised to 128
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(Sector(2048).data() + 71), 11),
            "commonData ");

  ASSERT_GT(QVFS_FormatToRecdisk(drive.c_str(), 64, 0), 0);
  ASSERT_EQ(table.Init(Dev(drive)), 0);
  EXPECT_EQ(table.GetRecordFileSectors(), 64u * 2048);  // 64 stays
  EXPECT_EQ(QVFS_FormatToRecdisk(drive.c_str(), 4096, 0), kErrNoFatGeometry);
}

TEST_F(FormatTest, FourKiBSectors) {
  const std::string drive = AttachImage(2 * kGiB, 4096);
  const int count = QVFS_FormatToRecdisk(drive.c_str(), 128, 0);
  ASSERT_GT(count, 0);
  CDiskTable table;
  ASSERT_EQ(table.Init(Dev(drive)), 0);
  ASSERT_TRUE(table.IsStfs());
  EXPECT_EQ(table.GetPartStart(0), 256u);
  EXPECT_EQ(table.GetRecordFileSectors(), 128u * 256);
  DiskIndex index;
  ASSERT_EQ(index.Open(0, drive, table.GetIndexLba(), false), 0);
  EXPECT_EQ(index.freeList.size(), static_cast<size_t>(count));
}

TEST_F(FormatTest, RefusalsLeaveTheDiskUntouched) {
  EXPECT_EQ(QVFS_FormatToRecdisk(nullptr, 128, 0), -2010);
  EXPECT_EQ(QVFS_FormatToRecdisk("\\\\.\\PhysicalDrive7", 128, 0), -2010);

  std::string small = AttachImage(64 * kMiB, 512, false, "small.img");
  EXPECT_EQ(QVFS_FormatToRecdisk(small.c_str(), 128, 0), kErrNoFatGeometry);
  EXPECT_TRUE(AllZero(0, 1 << 20));

  // 32768 record files of 64 MiB would not fit the root directory with the label and index.
  std::string huge = AttachImage(2200 * kGiB, 4096, false, "huge.img");
  EXPECT_EQ(QVFS_FormatToRecdisk(huge.c_str(), 64, 0), kErrTooManyFiles);
  EXPECT_TRUE(AllZero(0, 1 << 20));

  std::string ro = AttachImage(2 * kGiB, 512, true, "ro.img");
  EXPECT_EQ(QVFS_FormatToRecdisk(ro.c_str(), 128, 0), -2006);
  EXPECT_TRUE(AllZero(0, 1 << 20));
  struct stat st;
  ASSERT_EQ(stat(imagePath_.c_str(), &st), 0);
  EXPECT_EQ(st.st_blocks, 0);
}

TEST_F(FormatTest, WriteFailureHalfWayLeavesNoRecordDisk) {
  const std::string drive = AttachImage(2 * kGiB);
  ASSERT_GT(QVFS_FormatToRecdisk(drive.c_str(), 256, 0), 0);  // a record disk before
  CDiskTable before;
  ASSERT_EQ(before.Init(Dev(drive)), 0);
  // The same format again fails while it zeroes the new index's entries: the partitions and
  // files are written, the index and the STFS table are not.
  platform::FaultRule r;
  r.opcodes = {platform::kOpWrite10, platform::kOpWrite16};
  r.firstLba = before.GetIndexLba() + 80;
  r.lastLba = before.GetIndexLba() + 90;
  r.key = platform::kSkMediumError;
  r.asc = 0x0C;
  faults_->AddRule(r);
  EXPECT_LT(QVFS_FormatToRecdisk(drive.c_str(), 256, 0), 0);
  faults_->ClearRules();
  CDiskTable table;
  int init = table.Init(Dev(drive));
  EXPECT_TRUE(init != 0 || !table.IsStfs());
}

// Formatting a disk that held other data leaves none of it in the tables: the reserved sectors,
// both FATs past their entries and the root directories past their entries read as zeros. The
// record volume's FATs, alike, chain the root directory, every record file and the index file
// one after another from cluster 2, each for exactly its size, and mark the rest free. Checked
// once where the image turns zeros into holes and once where they are written (a device that
// cannot make holes); the record FAT is larger than one piece of entries the format gathers.
TEST_F(FormatTest, OldDiskTablesAreRewrittenWhole) {
  constexpr uint32_t kEoc = 0x0FFFFFFF;
  for (const bool holes : {true, false}) {
    SCOPED_TRACE(holes ? "zeros as holes" : "zeros written");
    const std::string drive =
        AttachImage(4 * kGiB, 512, false, holes ? "holes.img" : "written.img");
    const uint64_t recordLba = 2048 + 1024 * 2048;  // after 1 GiB of common data
    const auto old = testsupport::Pattern(16 * kMiB, 7);
    testsupport::WriteFileBytes(imagePath_, 0, old.data(), old.size());
    testsupport::WriteFileBytes(imagePath_, recordLba * 512, old.data(), old.size());
    platform::FaultRule never;  // a rule keeps the image from making holes; it never fires
    never.opcodes = {platform::kOpWrite10, platform::kOpWrite16};
    never.firstLba = never.lastLba = UINT64_MAX;
    if (!holes) faults_->AddRule(never);
    const int count = QVFS_FormatToRecdisk(drive.c_str(), 64, 1024);
    faults_->ClearRules();
    ASSERT_GT(count, 0);
    CDiskTable table;
    ASSERT_EQ(table.Init(Dev(drive)), 0);
    ASSERT_EQ(table.GetPartStart(1), recordLba);

    for (const uint64_t P : {uint64_t{2048}, recordLba}) {
      SCOPED_TRACE(testing::Message() << "volume at " << P);
      const auto boot = Sector(P);
      const uint32_t spc = boot[13];
      const uint64_t fatSectors = le::Get32(&boot[36]);
      ASSERT_EQ(le::Get16(&boot[14]), 34u);
      ASSERT_GT(spc, 0u);
      EXPECT_EQ(Sector(P + 6), boot);
      EXPECT_TRUE(AllZero((P + 2) * 512, 4 * 512));
      EXPECT_TRUE(AllZero((P + 7) * 512, 27 * 512));
      const auto fat0 = ReadFileBytes(imagePath_, (P + 34) * 512, fatSectors * 512);
      const auto fat1 = ReadFileBytes(imagePath_, (P + 34 + fatSectors) * 512, fatSectors * 512);
      ASSERT_EQ(fat0.size(), fatSectors * 512);
      EXPECT_TRUE(fat0 == fat1);
      const uint64_t dataLba = P + 34 + 2 * fatSectors;
      const uint64_t fatEntries = fatSectors * 128;
      auto entry = [&](uint64_t k) { return le::Get32(&fat0[k * 4]); };
      EXPECT_EQ(entry(0), 0x0FFFFFF8u);
      EXPECT_EQ(entry(1), 0xFFFFFFFFu);

      // The chains in directory order: the root, then each file from where its entry says.
      std::vector<uint64_t> lengths;
      uint64_t dirBytes = 32;  // the label
      if (P == 2048) {
        lengths = {1};
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(Sector(dataLba).data()), 11),
                  "commonData ");
      } else {
        const uint64_t cluster = uint64_t{spc} * 512;
        lengths.push_back((1 << 20) / cluster);
        const auto dir = ReadFileBytes(imagePath_, dataLba * 512, (count + 2) * 32);
        uint64_t next = 2 + lengths[0];
        for (int n = 1; n <= count + 1; ++n) {
          const uint8_t* e = &dir[n * 32];
          const uint64_t first = uint64_t{le::Get16(e + 20)} << 16 | le::Get16(e + 26);
          EXPECT_EQ(first, next) << "entry " << n;
          lengths.push_back((le::Get32(e + 28) + cluster - 1) / cluster);
          next += lengths.back();
        }
        dirBytes = (count + 2) * 32;
      }
      // The rest of the root directory: a whole 1 MiB one in the record volume, the first
      // cluster (at least 4 KiB) of the other.
      const uint64_t rootBytes = P == 2048 ? std::max<uint64_t>(4096, spc * 512u) : 1 << 20;
      EXPECT_TRUE(AllZero(dataLba * 512 + dirBytes, rootBytes - dirBytes));

      uint64_t k = 2;
      for (size_t c = 0; c < lengths.size(); ++c) {
        for (uint64_t i = 0; i < lengths[c]; ++i, ++k) {
          ASSERT_LT(k, fatEntries);
          ASSERT_EQ(entry(k), i + 1 < lengths[c] ? k + 1 : kEoc) << "chain " << c << " at " << k;
        }
      }
      uint64_t firstUsed = fatEntries;  // an entry past the chains that is not free
      for (uint64_t j = k; j < fatEntries; ++j) {
        if (entry(j) != 0) {
          firstUsed = j;
          break;
        }
      }
      EXPECT_EQ(firstUsed, fatEntries) << "chains end at " << k;
    }
  }
}

// A folder disk on a small file system of its own (an ext4 image on a loop device), so that the
// record files it allocates from the free space stay small.
TEST_F(FormatTest, FolderOnItsOwnFileSystem) {
  const std::string image = tmp_.File("fs.img");
  testsupport::MakeSparseFile(image, 1536 * kMiB);
  const std::string mnt = tmp_.File("mnt");
  mkdir(mnt.c_str(), 0777);
  if (std::system(("mkfs.ext4 -q -F " + image + " >/dev/null 2>&1 && mount -o loop " + image +
                   " " + mnt + " 2>/dev/null")
                      .c_str()) != 0)
    GTEST_SKIP() << "cannot mount a loop file system here (needs root)";
  struct Unmount {
    std::string m;
    ~Unmount() { std::system(("umount " + m).c_str()); }
  } unmount{mnt};

  const std::string folder = mnt + "/disk";
  const int count = QVFS_FormatToRecdisk(folder.c_str(), 64, 0);
  ASSERT_GT(count, 0);
  std::string path;
  ASSERT_EQ(FolderRecordFilePath(folder, count - 1, &path), 0);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 64 << 20);
  EXPECT_GE(static_cast<uint64_t>(st.st_blocks) * 512, 64u << 20);  // really allocated
  DiskIndex index;
  ASSERT_EQ(index.Open(0, folder, 0, false), 0);
  EXPECT_EQ(index.freeList.size(), static_cast<size_t>(count));
  EXPECT_TRUE(TestIndex(folder));
  // Formatting again reuses the files: the same count.
  EXPECT_EQ(QVFS_FormatToRecdisk(folder.c_str(), 64, 0), count);

  // The image behind the mounted file system is in use: formatting it as a disk is refused.
  int n = QVFS_AttachImage(image.c_str(), 0, 512);
  ASSERT_GE(n, 0);
  const std::string drive = "\\\\.\\PhysicalDrive" + std::to_string(n);
  EXPECT_EQ(QVFS_FormatToRecdisk(drive.c_str(), 128, 0), -2006);
  EXPECT_TRUE(TestIndex(folder));
}

}  // namespace
