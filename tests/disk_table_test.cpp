// Reading partition tables and STFS tables from good and damaged images.
#include "disklayout/disk_table.h"

#include <random>

#include "device/dev_registry.h"
#include "disk_images.h"
#include "disklayout/fat32_root.h"
#include "platform/fault_transport.h"
#include "test_support.h"

using testsupport::LibraryTest;

namespace {

class DiskTableTest : public LibraryTest {
 protected:
  // Attaches the image at imagePath_ (built by the test) and runs Init.
  int InitOn(uint32_t sectorSize = 512) {
    int n = QVFS_AttachImage(imagePath_.c_str(), 0, static_cast<int>(sectorSize));
    EXPECT_GE(n, 0);
    dev_ = ctx_->get().registry().CreateScsiDev(("\\\\.\\PhysicalDrive" + std::to_string(n)).c_str(),
                                               false);
    EXPECT_NE(dev_, nullptr);
    return table_.Init(dev_);
  }
  void NewImage(uint64_t bytes) {
    imagePath_ = tmp_.File("t" + std::to_string(counter_++) + ".img");
    testsupport::MakeSparseFile(imagePath_, bytes);
  }

  int counter_ = 0;
  CDisk_Dev* dev_ = nullptr;
  CDiskTable table_;
};

}  // namespace

TEST_F(DiskTableTest, BlankDiskHasNoTable) {
  NewImage(8 << 20);
  EXPECT_EQ(InitOn(), -1);
  EXPECT_TRUE(Printed("Not GPT parttion.\n"));
  EXPECT_FALSE(table_.IsStfs());
  EXPECT_EQ(table_.GetPartCount(), 0);
  EXPECT_EQ(table_.Init(nullptr), -1);
  EXPECT_TRUE(Printed("CDiskTable::Init failed!\r\n"));
}

TEST_F(DiskTableTest, RecordDiskGivesItsTableFields) {
  NewImage(8 << 20);
  layout::stfs::Table t = testimg::WriteRecordDisk(imagePath_, 512, 6, 1 << 20);
  ASSERT_EQ(InitOn(), 0);
  EXPECT_TRUE(table_.IsGpt());
  EXPECT_TRUE(table_.IsStfs());
  EXPECT_EQ(table_.GetPartCount(), 1);
  EXPECT_EQ(table_.GetPartStart(0), 2048u);
  EXPECT_EQ(table_.GetPartSize(0), 100000u);  // last - first
  EXPECT_EQ(table_.GetTableLba(), 64u);
  EXPECT_EQ(table_.GetFirstRecordLba(), t.firstRecordLba);
  EXPECT_EQ(table_.GetRecordFileSectors(), (1u << 20) / 512);
  EXPECT_EQ(table_.GetIndexLba(), 4000u);
  EXPECT_EQ(table_.GetPartStart(1), 0u);
  EXPECT_TRUE(Printed("Error part no 1\n"));
}

TEST_F(DiskTableTest, DamagedPrimaryTableFallsBackToTheCopy) {
  NewImage(8 << 20);
  layout::stfs::Table t = testimg::WriteRecordDisk(imagePath_, 512, 4, 1 << 20);
  uint8_t junk[8] = {'S', 'T', 'F', 'S', 'P', 'A', 'R', 'X'};
  testsupport::WriteFileBytes(imagePath_, 64 * 512, junk, 8);
  ASSERT_EQ(InitOn(), 0);
  EXPECT_TRUE(Printed("read lba init table failed!"));
  EXPECT_TRUE(table_.IsStfs());
  EXPECT_EQ(table_.GetTableLba(), 88u);
  EXPECT_EQ(table_.GetFirstRecordLba(), t.firstRecordLba);
}

TEST_F(DiskTableTest, BothTablesBadRefusesTheDisk) {
  NewImage(8 << 20);
  testimg::WriteRecordDisk(imagePath_, 512, 4, 1 << 20);
  uint8_t zero[8] = {};
  testsupport::WriteFileBytes(imagePath_, 64 * 512, zero, 8);
  testsupport::WriteFileBytes(imagePath_, 88 * 512, zero, 8);
  EXPECT_EQ(InitOn(), -5000);
  EXPECT_TRUE(Printed("read second table failed!"));
  EXPECT_TRUE(Printed("Read STFS Table error. ret -5000 \n"));
  EXPECT_FALSE(table_.IsStfs());
  EXPECT_EQ(table_.GetPartCount(), 1);  // the partitions were still read
}

TEST_F(DiskTableTest, RecordFilesSmallerThanASectorAreNoRecordDisk) {
  struct Case {
    uint32_t sectorSize;
    uint32_t fileBytes;
  };
  for (const Case c : {Case{512, 0}, Case{512, 511}, Case{4096, 4095}, Case{4096, 512}}) {
    SCOPED_TRACE(testing::Message() << c.sectorSize << " " << c.fileBytes);
    NewImage(16 << 20);
    layout::stfs::Table t = testimg::WriteRecordDisk(imagePath_, c.sectorSize, 4, 1 << 20);
    t.recordFileBytes = c.fileBytes;
    testimg::WriteStfsTable(imagePath_, c.sectorSize, layout::stfs::kTableLba, t);
    testimg::WriteStfsTable(imagePath_, c.sectorSize, layout::stfs::kTableCopyLba, t);
    EXPECT_EQ(InitOn(c.sectorSize), -5000);
    EXPECT_FALSE(table_.IsStfs());
    EXPECT_GT(table_.GetRecordFileSectors(), 0u);  // never a size to divide by or step with
    EXPECT_EQ(QVFS_DISK_IS_INIT(dev_->get_device_name()), 0);
  }
}

TEST_F(DiskTableTest, APrimaryTableWithRecordFilesUnderASectorFallsBackToTheCopy) {
  NewImage(8 << 20);
  layout::stfs::Table t = testimg::WriteRecordDisk(imagePath_, 512, 4, 1 << 20);
  layout::stfs::Table bad = t;
  bad.recordFileBytes = 100;
  testimg::WriteStfsTable(imagePath_, 512, layout::stfs::kTableLba, bad);
  ASSERT_EQ(InitOn(), 0);
  EXPECT_TRUE(table_.IsStfs());
  EXPECT_EQ(table_.GetTableLba(), 88u);
  EXPECT_EQ(table_.GetRecordFileSectors(), (1u << 20) / 512);
}

TEST_F(DiskTableTest, MissingPartitionMarkIsNotFatal) {
  NewImage(8 << 20);
  testimg::WriteRecordDisk(imagePath_, 512, 4, 1 << 20);
  uint8_t zero[8] = {};
  testsupport::WriteFileBytes(imagePath_, 2048 * 512 + 52, zero, 8);
  EXPECT_EQ(InitOn(), 0);
  EXPECT_TRUE(Printed("Is not STFS  partition.\n"));
  EXPECT_TRUE(table_.IsStfs());
}

TEST_F(DiskTableTest, OnlyTheFirst24GptSlotsAreRead) {
  NewImage(8 << 20);
  std::vector<testimg::Part> parts;
  for (int i = 0; i < 30; ++i) parts.push_back({2048u + i * 100u, 2048u + i * 100u + 99});
  testimg::WriteGpt(imagePath_, 512, parts);
  InitOn();
  EXPECT_EQ(table_.GetPartCount(), 24);
  EXPECT_EQ(table_.GetPartStart(23), 2048u + 2300);
  EXPECT_EQ(table_.GetPartStart(24), 0u);
}

TEST_F(DiskTableTest, FourKSectorDisk) {
  NewImage(16 << 20);
  layout::stfs::Table t = testimg::WriteRecordDisk(imagePath_, 4096, 4, 1 << 20);
  ASSERT_EQ(InitOn(4096), 0);
  EXPECT_TRUE(table_.IsGpt());
  EXPECT_EQ(table_.GetPartStart(0), 256u);
  EXPECT_EQ(table_.GetFirstRecordLba(), t.firstRecordLba);
  EXPECT_EQ(table_.GetRecordFileSectors(), (1u << 20) / 4096);
}

TEST_F(DiskTableTest, MbrDisksListTheirEntries) {
  NewImage(8 << 20);
  testimg::WriteMbr(imagePath_, {{0x0C, 2048, 4096}, {0, 0, 0}, {0x83, 8192, 1000}});
  InitOn();
  EXPECT_FALSE(table_.IsGpt());
  ASSERT_EQ(table_.GetPartCount(), 2);
  EXPECT_EQ(table_.GetPartStart(1), 8192u);
  EXPECT_EQ(table_.GetPartSize(0), 4096u);
  EXPECT_EQ(table_.GetPartSize(1), 1000u);
  EXPECT_FALSE(table_.IsStfs());
}

TEST_F(DiskTableTest, RandomMbrEntriesAndGarbageGptNeverCrash) {
  std::mt19937 rng(1234);
  for (int round = 0; round < 20; ++round) {
    NewImage(1 << 20);
    std::vector<uint8_t> head(4096);
    for (auto& b : head) b = static_cast<uint8_t>(rng());
    head[510] = 0x55;
    head[511] = 0xAA;
    if (round % 2) std::memcpy(head.data() + 512, "EFI PART", 8);
    if (round % 4 == 1) head[446 + 4] = 0xEE;
    testsupport::WriteFileBytes(imagePath_, 0, head.data(), head.size());
    int r = InitOn();
    EXPECT_LE(r, 0);
    EXPECT_FALSE(table_.IsStfs());
    for (int i = 0; i < table_.GetPartCount(); ++i) table_.GetPartSize(i);
    QVFS_DetachAll();
  }
}

TEST_F(DiskTableTest, ImagesCutShortFailWithAReadCode) {
  NewImage(2048);  // four sectors: the 4096-byte head read fails
  EXPECT_EQ(InitOn(), DEV_READ_FAILED);
  EXPECT_TRUE(Printed("Read data error"));
  QVFS_DetachAll();
  NewImage(40 * 512);  // a GPT whose partition and tables lie past the end
  testimg::WriteGpt(imagePath_, 512, {{2048, 4095}});
  EXPECT_EQ(InitOn(), DEV_READ_FAILED);
  EXPECT_TRUE(Printed("Read data error.\n"));
}

TEST_F(DiskTableTest, TransientTableReadFailureIsRetried) {
  NewImage(8 << 20);
  testimg::WriteRecordDisk(imagePath_, 512, 4, 1 << 20);
  platform::FaultRule r;
  r.opcodes = {platform::kOpRead10};
  r.firstLba = 64;
  r.lastLba = 64;
  r.key = platform::kSkUnitAttention;
  r.asc = 0x29;
  r.times = 4;  // two Read_try calls of two attempts each
  faults_->AddRule(r);
  EXPECT_EQ(InitOn(), 0);
  EXPECT_TRUE(table_.IsStfs());
  EXPECT_EQ(table_.GetTableLba(), 64u);
}

TEST_F(DiskTableTest, RootWalkGivesTheRecordFilesWhenTheTableIsGone) {
  NewImage(8 << 20);
  layout::stfs::Table t = testimg::WriteRecordDisk(imagePath_, 512, 5, 1 << 20);
  // The record partition follows a common-data partition, as on disks formatted with one.
  testimg::WriteGpt(imagePath_, 512, {{1024, 2047}, {2048, 102048}});
  uint8_t zero[8] = {};
  testsupport::WriteFileBytes(imagePath_, 64 * 512, zero, 8);
  testsupport::WriteFileBytes(imagePath_, 88 * 512, zero, 8);
  EXPECT_EQ(InitOn(), -5000);
  EXPECT_EQ(table_.GetFirstRecordLba(), t.firstRecordLba);  // from the root directory
  EXPECT_EQ(table_.GetRecordFileSectors(), 2048u);
}

TEST(Fat32RootTest, RecordFilesMustFollowOneAnother) {
  layout::Fat32Geometry geo;
  geo.dataStartLba = 1000;
  geo.sectorsPerCluster = 64;
  geo.rootCluster = 2;
  auto entry = [](std::vector<uint8_t>& dir, int i, const char* name, uint32_t cluster) {
    uint8_t* e = dir.data() + i * 32;
    std::memcpy(e, name, 11);
    e[11] = 0x20;
    e[26] = static_cast<uint8_t>(cluster);
    e[27] = static_cast<uint8_t>(cluster >> 8);
    uint32_t size = 1 << 20;
    std::memcpy(e + 28, &size, 4);
  };
  std::vector<uint8_t> dir(4096, 0);
  // 1 MiB files are 2048 sectors = 32 clusters of 64 sectors.
  entry(dir, 0, "00000   ASF", 3);
  entry(dir, 1, "00001   ASF", 35);
  entry(dir, 2, "00002   ASF", 67);
  entry(dir, 3, "00003   ASF", 99);
  layout::RecordFilesFound found;
  EXPECT_EQ(layout::WalkRecordRoot(dir.data(), dir.size(), geo, 512, &found), 0);
  EXPECT_TRUE(found.found);
  EXPECT_EQ(found.firstRecordLba, 1000u + 64);
  EXPECT_EQ(found.recordFileSectors, 2048u);
  entry(dir, 3, "00003   ASF", 100);  // one cluster off
  found = {};
  EXPECT_EQ(layout::WalkRecordRoot(dir.data(), dir.size(), geo, 512, &found), -1);

  std::vector<uint8_t> boot(512, 0);
  EXPECT_EQ(layout::ParseFat32Boot(boot.data(), boot.size(), 0, &geo), -1);  // no signature
  boot[510] = 0x55;
  boot[511] = 0xAA;
  EXPECT_EQ(layout::ParseFat32Boot(boot.data(), boot.size(), 0, &geo), -1);  // no clusters
  EXPECT_EQ(layout::ParseFat32Boot(boot.data(), 100, 0, &geo), -1);          // short buffer
}
