// CSerial_file: a run of sectors as a fixed-size file.
#include "serialfile/serial_file.h"

#include "device/dev_registry.h"
#include "platform/fault_transport.h"
#include "test_support.h"

using namespace platform;
using testsupport::LibraryTest;
using testsupport::Pattern;
using testsupport::ReadFileBytes;

namespace {

constexpr uint64_t kStart = 100;  // region start LBA

class SerialFileTest : public LibraryTest {
 protected:
  void OpenRegion(uint32_t size = 64 * 1024, int mode = MODE_RDWR, uint32_t sectorSize = 512) {
    std::string name = AttachImage(8 << 20, sectorSize);
    dev_ = ctx_->get().registry().CreateScsiDev(name.c_str(), false);
    ASSERT_NE(dev_, nullptr);
    ASSERT_EQ(f_.Open(dev_, kStart, size, mode), 0);
    faults_->ClearLog();
  }
  uint64_t Byte(uint64_t offset) { return kStart * dev_->get_sec_size() + offset; }
  std::vector<CommandRecord> DataCommands() {
    std::vector<CommandRecord> out;
    for (const CommandRecord& c : faults_->Log())
      if (c.opcode == kOpRead10 || c.opcode == kOpWrite10) out.push_back(c);
    return out;
  }

  CDisk_Dev* dev_ = nullptr;
  CSerial_file f_;
};

}  // namespace

TEST_F(SerialFileTest, OpenRefusesTheMbrAndRegionsPastTheDevice) {
  std::string name = AttachImage(1 << 20);
  CDisk_Dev* dev = ctx_->get().registry().CreateScsiDev(name.c_str(), false);
  CSerial_file f;
  EXPECT_EQ(f.Open(dev, 0, 4096, MODE_RDWR), ERR_ACCESS_MODE);
  EXPECT_TRUE(Printed("Error access MBR.\n"));
  EXPECT_EQ(f.Open(dev, 2000, 49 * 512, MODE_RDWR), ERR_OVER_DEVICE);  // ends past LBA 2047
  EXPECT_EQ(f.Open(dev, 2000, 48 * 512 + 1, MODE_RDWR), ERR_OVER_DEVICE);  // a byte past it
  EXPECT_EQ(f.Open(dev, 2000, 47 * 512, MODE_RDWR), 0);
  EXPECT_EQ(f.get_lba_end(), 2047u);
  // A region that ends exactly on the last sector is the whole rest of the disk.
  ASSERT_EQ(f.Open(dev, 2000, 48 * 512, MODE_RDWR), 0);
  const auto last = Pattern(512, 3);
  EXPECT_EQ(f.WritePos(47 * 512, last.data(), 512, true), 512);
  EXPECT_EQ(ReadFileBytes(imagePath_, 2047 * 512, 512), last);
  CSerial_file none;
  char b[4];
  EXPECT_EQ(none.Read(b, 4, true), ERR_NO_DEVICE);
  EXPECT_EQ(none.Open(nullptr, 5, 10, MODE_RDWR), ERR_NO_DEVICE);
}

TEST_F(SerialFileTest, SeekBounds) {
  OpenRegion(4096);
  EXPECT_EQ(f_.Seek(0, 2), 0);
  EXPECT_EQ(f_.get_cur_offset(), 4095u);  // data size - 1, not data size
  EXPECT_EQ(f_.Seek(0, 0), 0);
  EXPECT_EQ(f_.Seek(-1, 1), ERR_SEEK_PARAM);
  EXPECT_EQ(f_.get_cur_offset(), 0u);
  EXPECT_EQ(f_.Seek(4096, 0), 0);
  EXPECT_EQ(f_.Seek(1, 1), ERR_SEEK_PARAM);
  EXPECT_EQ(f_.Seek(4097, 0), ERR_SEEK_PARAM);
  EXPECT_EQ(f_.Seek(-1, 0), ERR_SEEK_PARAM);
  EXPECT_EQ(f_.get_cur_offset(), 4096u);
  EXPECT_EQ(f_.Seek(0, 7), ERR_SEEK_PARAM);
  EXPECT_TRUE(Printed("Error param.\n"));
}

TEST_F(SerialFileTest, OneByteAtSectorEndTouchesOneSectorTwoBytesTouchTwo) {
  OpenRegion();
  uint8_t x = 0x11;
  ASSERT_EQ(f_.WritePos(511, &x, 1, true), 1);
  auto cmds = DataCommands();
  ASSERT_EQ(cmds.size(), 2u);  // read-modify-write of sector 0
  EXPECT_EQ(cmds[0].lba, kStart);
  EXPECT_EQ(cmds[1].lba, kStart);
  faults_->ClearLog();
  uint8_t two[2] = {0x22, 0x33};
  ASSERT_EQ(f_.WritePos(511, two, 2, true), 2);
  cmds = DataCommands();
  ASSERT_EQ(cmds.size(), 4u);  // both sectors by read-modify-write
  EXPECT_EQ(cmds[0].lba, kStart);
  EXPECT_EQ(cmds[2].lba, kStart + 1);
  EXPECT_EQ(ReadFileBytes(imagePath_, Byte(510), 3), (std::vector<uint8_t>{0, 0x22, 0x33}));
}

TEST_F(SerialFileTest, AlignedWritesNeverReadAndDataRoundTrips) {
  OpenRegion(256 * 1024);
  auto data = Pattern(200 * 1024, 3);
  ASSERT_EQ(f_.WritePos(1024, data.data(), data.size(), true), static_cast<int>(data.size()));
  for (const CommandRecord& c : DataCommands()) EXPECT_EQ(c.opcode, kOpWrite10);
  EXPECT_EQ(ReadFileBytes(imagePath_, Byte(1024), data.size()), data);
  // An unaligned read spanning head, runs, whole sectors and tail.
  std::vector<uint8_t> back(150 * 1024 + 77);
  ASSERT_EQ(f_.ReadPos(1024 + 301, back.data(), back.size(), true), static_cast<int>(back.size()));
  EXPECT_TRUE(std::equal(back.begin(), back.end(), data.begin() + 301));
}

TEST_F(SerialFileTest, SequentialTransfersAdvanceOnlyOnSuccess) {
  OpenRegion(4096);
  auto data = Pattern(1000, 4);
  EXPECT_EQ(f_.Write(data.data(), 1000, true), 1000);
  EXPECT_EQ(f_.get_cur_offset(), 1000u);
  EXPECT_EQ(f_.Write(data.data(), 1000, true), 1000);
  EXPECT_EQ(f_.Seek(0, 0), 0);
  std::vector<uint8_t> back(4096);
  EXPECT_EQ(f_.Read(back.data(), 2000, true), 2000);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin()));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin() + 1000));
  EXPECT_EQ(f_.Read(back.data(), 0, true), 0);
  EXPECT_EQ(f_.Read(back.data(), 2097, true), ERR_DATA_OVER_FILE);
  EXPECT_TRUE(Printed("dataSize 2097 is ERR_DATA_OVER_FILE.\n"));
  EXPECT_EQ(f_.get_cur_offset(), 2000u);
  EXPECT_EQ(f_.Read(back.data(), 2096, true), 2096);  // ends exactly at the data size
}

TEST_F(SerialFileTest, PositionedBoundsAndArgumentChecks) {
  OpenRegion(4096);
  uint8_t b[8] = {};
  EXPECT_EQ(f_.ReadPos(0, b, 0, true), ERR_ZERO_SIZE);
  EXPECT_EQ(f_.ReadPos(4092, b, 4, true), 4);
  EXPECT_EQ(f_.ReadPos(4092, b, 5, true), ERR_DATA_OVER_FILE);
  EXPECT_TRUE(Printed("dataSize 5 is ERR_DATA_OVER_FILE. file size 4096 \n"));
  EXPECT_EQ(f_.WritePos(4092, b, 5, true), ERR_DATA_OVER_FILE);
  EXPECT_TRUE(Printed("dataSize 5 is ERR_DATA_OVER_FILE offset 4092 fileSize 4096.\n"));
  EXPECT_EQ(f_.WriteCachePos(4092, b, 5, true), ERR_DATA_OVER_FILE);
  EXPECT_TRUE(Printed("dataSize  5 is ERR_DATA_OVER_FILE.\n"));
  // Positions near 4 GiB must not wrap around into range.
  EXPECT_EQ(f_.ReadPos(0xFFFFFFFCu, b, 8, true), ERR_DATA_OVER_FILE);
  EXPECT_EQ(f_.WritePos(0xFFFFFFF8u, b, 8, true), ERR_DATA_OVER_FILE);
  EXPECT_EQ(f_.WriteCachePos(0xFFFFFFFFu, b, 2, true), ERR_DATA_OVER_FILE);
  EXPECT_TRUE(f_.IsOverFileArea(0xFFFFFFFFu, 2));
  EXPECT_EQ(f_.ReadPos(0, nullptr, 4, true), ERR_NULL_BUFFER);
  EXPECT_EQ(f_.getLeafSize(5000), 0u);
  EXPECT_EQ(f_.getLeafSize(4000), 96u);
}

TEST_F(SerialFileTest, AccessModes) {
  OpenRegion(4096, MODE_RDONLY);
  uint8_t b[4] = {};
  EXPECT_EQ(f_.Write(b, 4, true), ERR_ACCESS_MODE);
  EXPECT_TRUE(Printed("The file is RDONLY.\n"));
  EXPECT_EQ(f_.WritePos(0, b, 4, true), ERR_ACCESS_MODE);
  EXPECT_EQ(f_.WriteCachePos(0, b, 4, true), ERR_ACCESS_MODE);
  EXPECT_EQ(f_.ReadPos(0, b, 4, true), 4);
  ASSERT_EQ(f_.Close(), 0);
  EXPECT_TRUE(f_.is_closed());
  ASSERT_EQ(f_.Open(dev_, kStart, 4096, MODE_WRONLY), 0);
  EXPECT_EQ(f_.Read(b, 4, true), ERR_ACCESS_MODE);
  EXPECT_TRUE(Printed("The file is WRONLY.\n"));
  EXPECT_EQ(f_.Write(b, 4, true), 4);
}

TEST_F(SerialFileTest, CachedAppendsWriteWithoutReadingAndPadWithZeros) {
  OpenRegion();
  // Something stale in the region's first sector: appends from 0 replace it.
  auto stale = Pattern(512, 8);
  testsupport::WriteFileBytes(imagePath_, Byte(0), stale.data(), 512);
  std::vector<uint8_t> all;
  for (int i = 0; i < 4; ++i) {
    auto part = Pattern(100, 20 + i);
    ASSERT_EQ(f_.WriteCachePos(f_.get_cur_offset(), part.data(), 100, true), 100);
    all.insert(all.end(), part.begin(), part.end());
  }
  EXPECT_EQ(f_.get_cur_offset(), 400u);
  EXPECT_EQ(faults_->Count(kOpRead10), 0);
  EXPECT_EQ(faults_->Count(kOpWrite10), 4);
  auto disk = ReadFileBytes(imagePath_, Byte(0), 512);
  EXPECT_TRUE(std::equal(all.begin(), all.end(), disk.begin()));
  EXPECT_TRUE(std::all_of(disk.begin() + 400, disk.end(), [](uint8_t v) { return v == 0; }));
  // An append that crosses into the next sectors keeps going from the cache.
  auto big = Pattern(1000, 30);
  ASSERT_EQ(f_.WriteCachePos(400, big.data(), 1000, true), 1000);
  all.insert(all.end(), big.begin(), big.end());
  EXPECT_EQ(faults_->Count(kOpRead10), 0);
  EXPECT_EQ(ReadFileBytes(imagePath_, Byte(0), 1400), all);
}

TEST_F(SerialFileTest, AppendAfterOpenAtAnUnalignedEndKeepsTheSectorsEarlierBytes) {
  OpenRegion();
  auto existing = Pattern(700, 9);  // data already in the file up to offset 700
  testsupport::WriteFileBytes(imagePath_, Byte(0), existing.data(), existing.size());
  ASSERT_EQ(f_.Seek(700, 0), 0);
  auto more = Pattern(50, 10);
  ASSERT_EQ(f_.WriteCachePos(700, more.data(), 50, true), 50);
  auto disk = ReadFileBytes(imagePath_, Byte(0), 750);
  EXPECT_TRUE(std::equal(existing.begin(), existing.end(), disk.begin()));
  EXPECT_TRUE(std::equal(more.begin(), more.end(), disk.begin() + 700));
  // The cache now holds the sector: the next append needs no read.
  faults_->ClearLog();
  ASSERT_EQ(f_.WriteCachePos(750, more.data(), 50, true), 50);
  EXPECT_EQ(faults_->Count(kOpRead10), 0);
}

// The cached sector is only appended to where it belongs: after a seek to another sector at the
// same in-sector offset, that sector is read, never overwritten with the cached one's bytes.
TEST_F(SerialFileTest, ACachedSectorNeverLandsOnAnotherSectorAfterASeek) {
  OpenRegion();
  auto other = Pattern(512, 11);  // sector 3 holds data of its own
  testsupport::WriteFileBytes(imagePath_, Byte(3 * 512), other.data(), 512);
  auto first = Pattern(100, 12);
  ASSERT_EQ(f_.WriteCachePos(0, first.data(), 100, true), 100);  // sector 0 cached, 100 bytes
  ASSERT_EQ(f_.Seek(3 * 512 + 100, 0), 0);
  auto more = Pattern(50, 13);
  ASSERT_EQ(f_.WriteCachePos(3 * 512 + 100, more.data(), 50, true), 50);
  auto disk = ReadFileBytes(imagePath_, Byte(3 * 512), 150);
  EXPECT_TRUE(std::equal(other.begin(), other.begin() + 100, disk.begin()));
  EXPECT_TRUE(std::equal(more.begin(), more.end(), disk.begin() + 100));
  EXPECT_EQ(ReadFileBytes(imagePath_, Byte(0), 100), first);
  // A positioned write over the cached sector: the next append reads the sector again.
  ASSERT_EQ(f_.Seek(3 * 512 + 150, 0), 0);
  auto patch = Pattern(20, 14);
  ASSERT_EQ(f_.WritePos(3 * 512 + 10, patch.data(), 20, true), 20);
  ASSERT_EQ(f_.WriteCachePos(3 * 512 + 150, more.data(), 10, true), 10);
  disk = ReadFileBytes(imagePath_, Byte(3 * 512), 160);
  EXPECT_TRUE(std::equal(patch.begin(), patch.end(), disk.begin() + 10));
}

TEST_F(SerialFileTest, DeviceFailureStopsTheWalkAndIsReported) {
  OpenRegion(64 * 1024);
  FaultRule medium;
  medium.opcodes = {kOpRead10};
  medium.firstLba = kStart + 20;
  medium.lastLba = kStart + 20;
  medium.key = kSkMediumError;
  medium.asc = 0x11;
  faults_->AddRule(medium);
  std::vector<uint8_t> b(32 * 1024);
  EXPECT_EQ(f_.ReadPos(0, b.data(), b.size(), true), 3);
  EXPECT_EQ(f_.GetStatus(), STATUS_READ_FAILED);
  EXPECT_EQ(f_.GetLastErr(), 3);
  EXPECT_EQ(f_.ReadPos(0, b.data(), 512, true), 512);  // other sectors still read
  EXPECT_EQ(f_.GetStatus(), STATUS_IDLE);
  FaultRule broken;
  broken.opcodes = {kOpWrite10};
  broken.key = kSkUnitAttention;
  broken.asc = 0x29;
  faults_->AddRule(broken);
  EXPECT_EQ(f_.Write(b.data(), 1024, true), ERR_WRITE_FAILED);
  EXPECT_EQ(f_.GetStatus(), STATUS_WRITE_FAILED);
  EXPECT_EQ(f_.get_cur_offset(), 0u);  // not advanced
}

TEST_F(SerialFileTest, FourKSectorRegions) {
  OpenRegion(64 * 1024, MODE_RDWR, 4096);
  EXPECT_EQ(f_.get_sec_size(), 4096u);
  auto data = Pattern(5000, 11);
  ASSERT_EQ(f_.WritePos(4000, data.data(), data.size(), true), 5000);
  EXPECT_EQ(ReadFileBytes(imagePath_, Byte(4000), 5000), data);
  auto tail = Pattern(300, 12);
  ASSERT_EQ(f_.Seek(9000, 0), 0);
  ASSERT_EQ(f_.WriteCachePos(9000, tail.data(), 300, true), 300);
  auto disk = ReadFileBytes(imagePath_, Byte(4000), 5300);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), disk.begin()));
  EXPECT_TRUE(std::equal(tail.begin(), tail.end(), disk.begin() + 5000));
  // Read back through the region across three sectors, from inside the first.
  std::vector<uint8_t> back(5300);
  ASSERT_EQ(f_.ReadPos(4000, back.data(), 5300, true), 5300);
  EXPECT_EQ(back, disk);
}

TEST_F(SerialFileTest, CopyFileMovesTheWholeSource) {
  OpenRegion(10000);
  auto data = Pattern(10000, 13);
  ASSERT_EQ(f_.WritePos(0, data.data(), 10000, true), 10000);
  CSerial_file dst;
  ASSERT_EQ(dst.Open(dev_, 1000, 12000, MODE_RDWR), 0);
  EXPECT_EQ(CSerial_file::CopyFile(&f_, &dst, 4096), 10000 - 2 * 4096);
  std::vector<uint8_t> back(10000);
  ASSERT_EQ(dst.ReadPos(0, back.data(), 10000, true), 10000);
  EXPECT_EQ(back, data);
  CSerial_file small;
  ASSERT_EQ(small.Open(dev_, 2000, 5000, MODE_RDWR), 0);
  EXPECT_EQ(CSerial_file::CopyFile(&f_, &small, 4096), ERR_DATA_OVER_FILE);
  EXPECT_TRUE(Printed("Write fail dest file pos 4096 size 4096 .\n"));
}
