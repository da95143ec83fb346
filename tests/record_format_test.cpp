// The record file format: heads at any 512-aligned offset of the head block, the segment
// table, the index area with GPS entries and stray bytes, index entry rounding. Bytes are
// placed at the documented offsets here, not through the library's structs.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "disklayout/le.h"
#include "record/record_format.h"

using namespace recfile;

namespace {

TEST(RecordFormat, HeadFoundAtEvery512AlignedOffset) {
  std::vector<uint8_t> block(kHeadBlockBytes, 0);
  EXPECT_EQ(FindHead(block.data(), block.size()), ERR_RECFILE_NOT_RECORD);
  std::memcpy(&block[1024], "STFSRECD0200", 12);
  EXPECT_EQ(FindHead(block.data(), block.size()), 1024);
  std::memcpy(&block[300], "STFSRECD", 8);  // not on a 512 boundary: ignored
  EXPECT_EQ(FindHead(block.data(), block.size()), 1024);
  EXPECT_EQ(FindHead(block.data(), 1000), ERR_RECFILE_NOT_RECORD);  // not within what was read
  std::memcpy(&block[7680], "STFSRECD", 8);
  std::memset(&block[1024], 0, 8);
  EXPECT_EQ(FindHead(block.data(), block.size()), 7680);

  const RecordHead h = NewHead(256u << 20, 1024, 5, 77);
  std::vector<uint8_t> raw(sizeof h);
  std::memcpy(raw.data(), &h, sizeof h);
  EXPECT_EQ(std::string(raw.begin(), raw.begin() + 12), "STFSRECD0200");
  EXPECT_EQ(le::Get32(&raw[12]), 256u << 20);
  EXPECT_EQ(le::Get32(&raw[16]), 0x2F000u);  // a fresh head claims no data
  EXPECT_EQ(le::Get16(&raw[20]), 5);
  EXPECT_EQ(le::Get32(&raw[24]), 77u);
  EXPECT_EQ(le::Get32(&raw[48]), 1536u);
  EXPECT_EQ(le::Get32(&raw[56]), 8192u);
  EXPECT_EQ(le::Get32(&raw[64]), 0x2F000u);
  EXPECT_EQ(le::Get16(&raw[264]), 0x1111);
}

TEST(RecordFormat, SegmentTableStopsAtTheFirstWithoutMagic) {
  std::vector<uint8_t> block(kHeadBlockBytes, 0);
  for (uint32_t k = 0; k < 3; ++k) {
    uint8_t* s = &block[512 + k * 64];
    le::Put32(s + 8, k);
    le::Put64(s + 16, 1000 * k);
    std::memcpy(s + 60, "RSEG", 4);
  }
  auto segs = ParseSegments(block.data(), block.size(), 512);
  ASSERT_EQ(segs.size(), 3u);
  EXPECT_EQ(segs[2].segNo, 2u);
  EXPECT_EQ(int64_t{segs[2].startTime}, 2000);
  // A table that runs to the end of the block is cut there, not read past it.
  EXPECT_TRUE(ParseSegments(block.data(), block.size(), 8190).empty());
  EXPECT_EQ(ParseSegments(block.data(), 512 + 2 * 64, 512).size(), 2u);
}

TEST(RecordFormat, IndexAreaWithGpsAndStrayBytes) {
  std::vector<uint8_t> area(kIndexAreaBytes, 0);
  size_t pos = 100;  // the first entry need not be at the start
  auto put = [&](const char* magic, uint32_t time) {
    std::memcpy(&area[pos], magic, 4);
    le::Put32(&area[pos + 8], time);
    pos += 20;
  };
  put("RIDX", 1);
  put("GPSI", 2);
  pos += 7;  // stray bytes between entries
  put("RIDX", 3);
  std::vector<IndexEntry> index;
  std::vector<GpsEntry> gps;
  ParseIndexArea(area.data(), area.size(), &index, &gps);
  ASSERT_EQ(index.size(), 2u);
  ASSERT_EQ(gps.size(), 1u);
  EXPECT_EQ(uint32_t{index[1].time}, 3u);
  EXPECT_EQ(uint32_t{gps[0].time}, 2u);

  std::vector<uint8_t> late(kIndexAreaBytes, 0);
  std::memcpy(&late[9000], "RIDX", 4);  // the first entry must start within 8192 bytes
  index.clear();
  ParseIndexArea(late.data(), late.size(), &index, nullptr);
  EXPECT_TRUE(index.empty());
}

TEST(RecordFormat, IndexEntriesRoundSizesAndTruncateTimes) {
  const IndexEntry e = MakeIndexEntry(9, 'I', 1500999, 0x30000, 1001);
  EXPECT_EQ(uint32_t{e.time}, 1500u);
  EXPECT_EQ(uint32_t{e.size}, 1002u);
  EXPECT_EQ(uint16_t{e.number}, 9);
  EXPECT_EQ(MinIndexDistance(256u << 20), ((256u << 20) - 0x2F000) / 27648);
  EXPECT_EQ(MinIndexDistance(0), 2420u);
  EXPECT_EQ(kMaxIndexEntries, 9216u);
}

}  // namespace
