// The record index: creation, and opening indexes as a recorder leaves them (closed, open,
// multi-segment and locked recordings, damaged entries and headers). Index bytes are built here
// field by field at the documented offsets, not with the library's structs, so a layout error in
// either shows up.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <zlib.h>

#include <cstring>
#include <random>
#include <set>

#include "device/dev_registry.h"
#include "device/disk_dev.h"
#include "disklayout/le.h"
#include "index/disk_index.h"
#include "index_images.h"
#include "index/index_create.h"
#include "serialfile/region_io.h"
#include "test_support.h"

using testsupport::LibraryTest;

namespace {

using testimg::IndexBytes;

constexpr int64_t kT0 = 1700000000000;  // a time in ms

class IndexTest : public LibraryTest {
 protected:
  // Writes the index as a folder disk's index file and opens it.
  int OpenFolder(IndexBytes& ib, const char* name = "recordIdx.bin") {
    testsupport::WriteFileBytes(tmp_.File(name), 0, ib.bytes().data(), ib.bytes().size());
    return index_.Open(3, tmp_.path(), 0, true);
  }
  std::vector<uint32_t> Free() { return {index_.freeList.begin(), index_.freeList.end()}; }
  std::vector<int> Repair() {
    std::vector<int> out;
    for (auto& r : index_.repairList) out.push_back(r.fileIndex);
    return out;
  }
  DiskIndex index_;
};

TEST_F(IndexTest, SortsEntriesIntoTimeMapFreeAndRepairLists) {
  IndexBytes ib(10);
  IndexBytes::Entry closed;
  closed.start = kT0;
  closed.end = kT0 + 60000;
  closed.sn = 7;
  ib.SetEntry(0, closed);  // well-formed
  IndexBytes::Entry open = closed;
  open.state = 0x80;  // left open by a power loss, three segments
  open.segments = 3;
  open.sn = 9;
  ib.SetEntry(1, open);
  ib.SetSegment(1, 0, 0x80, 2, kT0, kT0 + 1000);
  ib.SetSegment(1, 1, 0x80, 4, kT0 + 2000, kT0 + 3000);
  ib.SetSegment(1, 2, 0x80, 8, kT0 + 4000, kT0 + 4000);
  IndexBytes::Entry flat = closed;  // end not after start
  flat.end = flat.start;
  flat.sn = 2;
  ib.SetEntry(2, flat);
  IndexBytes::Entry unusable = closed;
  unusable.link = 10;  // not below the count
  unusable.sn = 3;
  ib.SetEntry(3, unusable);
  IndexBytes::Entry foreign = closed;
  foreign.link = 5;
  foreign.sn = 4;
  ib.SetEntry(4, foreign);
  IndexBytes::Entry twin = closed;  // same start, another channel: both stay
  twin.channel = 1;
  twin.sn = 8;
  ib.SetEntry(6, twin);
  // entries 5, 7, 8, 9 free

  ASSERT_EQ(OpenFolder(ib), 0);
  EXPECT_EQ(index_.diskNo, 3);
  EXPECT_EQ(index_.recordFileCount, 10u);
  EXPECT_EQ(index_.recordFileBytes, 256u << 20);
  EXPECT_EQ(index_.allFiles.size(), 10u);
  EXPECT_EQ(Free(), (std::vector<uint32_t>{3, 5, 7, 8, 9}));
  EXPECT_EQ(Repair(), (std::vector<int>{1, 2, 3, 4}));
  ASSERT_EQ(index_.timeMap.size(), 2u);
  auto it = index_.timeMap.begin();
  EXPECT_EQ(it->first.fileIndex, 0u);
  EXPECT_EQ((++it)->first.fileIndex, 6u);
  EXPECT_EQ(it->second.channel, 1);

  // The open recording is described from its last segment in use.
  const _rec_file_info_& r1 = index_.repairList.front();
  EXPECT_EQ(int64_t{r1.startMs}, kT0 + 4000);
  EXPECT_EQ(r1.typeBits, 8);
  EXPECT_EQ(r1.segmentNo, 2);
  EXPECT_EQ(r1.diskNo, 3);
  EXPECT_EQ(uint32_t{r1.sn}, 9u);
  EXPECT_EQ(r1.state, 0x80);

  // Next SN over every recording; least SN: the first recording (7), lowered only by a
  // well-formed one, so the flat entry's SN 2 and the others' 3 and 4 do not count.
  EXPECT_EQ(index_.nextSn, 10u);
  EXPECT_EQ(index_.leastSn, 7u);
}

TEST_F(IndexTest, OpensRecindexBinAndIgnoresVersionAndCrc) {
  IndexBytes ib(4);
  std::memcpy(&ib.bytes()[8], "0099", 4);
  ib.Put32(508, 0xDEADBEEF);
  ASSERT_EQ(OpenFolder(ib, "recindex.bin"), 0);
  EXPECT_EQ(Free().size(), 4u);
  EXPECT_TRUE(TestIndex(tmp_.path()));
}

TEST_F(IndexTest, RefusesBadHeadersAndShortFiles) {
  IndexBytes bad(4);
  bad.bytes()[0] = 'X';
  EXPECT_EQ(OpenFolder(bad), ERR_INDEX_MAGIC);
  EXPECT_FALSE(TestIndex(tmp_.path()));

  IndexBytes lying(4);
  lying.Put32(32, 100000);  // count far beyond the index size
  EXPECT_EQ(OpenFolder(lying), ERR_INDEX_MAGIC);

  IndexBytes cut(600);  // entries span two 2 MiB reads; the file ends in the second
  cut.bytes().resize(0x8000 + 550 * 4096);
  EXPECT_LT(OpenFolder(cut), 0);

  testsupport::TempDir empty;
  EXPECT_EQ(index_.Open(0, empty.path(), 0, true), ERR_NO_INDEX_FILE);
  EXPECT_EQ(index_.Open(0, "", 0, true), ERR_NO_DEVICE);
  EXPECT_EQ(index_.Open(0, "\\\\.\\PhysicalDrive9", 2048, true), ERR_NO_DEVICE);
}

TEST_F(IndexTest, GarbageEntriesNeverReadPastTheirSegmentTable) {
  IndexBytes ib(64);
  std::mt19937 rng(5);
  for (size_t i = 0x8000; i < ib.bytes().size(); ++i) ib.bytes()[i] = static_cast<uint8_t>(rng());
  for (uint32_t i = 0; i < 64; ++i) ib.bytes()[0x8000 + i * 4096 + 2] = 255;  // 255 segments
  ASSERT_EQ(OpenFolder(ib), 0);
  // Every file lands somewhere, once in the time map at most.
  std::set<uint32_t> seen(index_.freeList.begin(), index_.freeList.end());
  for (auto& r : index_.repairList) seen.insert(static_cast<uint32_t>(r.fileIndex));
  for (auto& n : index_.timeMap) EXPECT_TRUE(seen.insert(n.first.fileIndex).second);
  EXPECT_EQ(seen.size(), 64u);
}

TEST_F(IndexTest, CreatedRawIndexHasTheDocumentedBytes) {
  std::string drive = AttachImage(64 << 20);
  CDisk_Dev* dev = CDevFlyWeightFactory::getSingleton()->CreateScsiDev(drive.c_str(), false);
  ASSERT_NE(dev, nullptr);
  // Old bytes where the entries go must not survive creation.
  std::vector<uint8_t> junk(8192, 0xAB);
  ASSERT_EQ(dev->Write(4096 + 0x8000 / 512 + 20, junk.data(), junk.size(), true), 0);
  ASSERT_EQ(CreateRawIndex(dev, 256, 4096, 12312, 40, 6), 0);

  auto idx = testsupport::ReadFileBytes(imagePath_, 4096 * 512, 48 * 4096);
  EXPECT_EQ(std::string(idx.begin(), idx.begin() + 12), "STFS IDX0010");
  EXPECT_EQ(le::Get32(&idx[20]), 256u << 20);
  EXPECT_EQ(le::Get32(&idx[32]), 40u);
  EXPECT_EQ(le::Get32(&idx[52]), 48u * 4096);
  EXPECT_EQ(le::Get32(&idx[64]), 6u);
  EXPECT_EQ(le::Get64(&idx[68]), 12312u);
  std::vector<uint8_t> crcView(idx.begin(), idx.begin() + 508);
  std::fill(crcView.begin() + 56, crcView.begin() + 68, 0);
  EXPECT_EQ(le::Get32(&idx[508]), crc32(0, crcView.data(), 508));
  EXPECT_TRUE(std::equal(idx.begin(), idx.begin() + 512, idx.begin() + 0x7000));
  EXPECT_TRUE(std::all_of(idx.begin() + 0x8000, idx.end(), [](uint8_t b) { return b == 0; }));

  EXPECT_EQ(CreateRawIndex(nullptr, 256, 4096, 1, 40, 6), ERR_NO_DEVICE);
  EXPECT_EQ(CreateRawIndex(dev, 256, 0, 1, 40, 6), ERR_INDEX_START_ZERO);
  EXPECT_EQ(CreateRawIndex(dev, 0, 4096, 1, 40, 6), ERR_ZERO_SIZE);
  EXPECT_EQ(CreateRawIndex(dev, 4096, 4096, 1, 40, 6), ERR_ZERO_SIZE);

  DiskIndex index;
  ASSERT_EQ(index.Open(1, drive, 4096, false), 0);
  EXPECT_EQ(index.freeList.size(), 40u);
  EXPECT_EQ(index.recordAreaLba, 12312u);

  // The ordinary-file variant on a device path: at sector 2048, without a backup header.
  ASSERT_EQ(CreateFileIndex(drive, 128, 3, 6), 0);
  auto head = testsupport::ReadFileBytes(imagePath_, 2048 * 512, 0x7200);
  EXPECT_EQ(le::Get32(&head[32]), 3u);
  EXPECT_EQ(le::Get64(&head[68]), 2048u);
  EXPECT_EQ(head[0x7000], 0);
  ASSERT_EQ(index.Open(1, drive, 2048, true), 0);
  EXPECT_EQ(index.freeList.size(), 3u);
}

TEST_F(IndexTest, FolderIndexAndRecordFilePaths) {
  ASSERT_EQ(CreateFileIndex(tmp_.path(), 128, 5, 4), 0);
  struct stat st;
  ASSERT_EQ(stat(tmp_.File("recindex.bin").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 13 * 4096);
  ASSERT_EQ(index_.Open(0, tmp_.path(), 0, false), 0);
  EXPECT_EQ(index_.freeList.size(), 5u);
  EXPECT_EQ(index_.recordAreaLba, 2048u);

  std::string path;
  EXPECT_EQ(FolderRecordFilePath(tmp_.path(), 2, &path), ERR_NO_INDEX_FILE);
  testsupport::WriteFileBytes(tmp_.File("00002.asf"), 0, "x", 1);
  ASSERT_EQ(FolderRecordFilePath(tmp_.path(), 2, &path), 0);
  EXPECT_EQ(path, tmp_.File("00002.asf"));
  mkdir(tmp_.File("Record").c_str(), 0777);
  testsupport::WriteFileBytes(tmp_.File("Record/00002.asf"), 0, "x", 1);
  ASSERT_EQ(FolderRecordFilePath(tmp_.path() + "/", 2, &path), 0);
  EXPECT_EQ(path, tmp_.File("Record/00002.asf"));
}

}  // namespace
