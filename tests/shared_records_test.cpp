// The shared records: the tuning record's defaults before set-up, the client records, and the
// conversion of an exported record description.
#include <gtest/gtest.h>

#include <cstring>

#include "api/context.h"
#include "api/shared_records.h"

namespace {

TEST(SharedRecords, DefaultsBeforeSetUpAndClientSlots) {
  qvfs::ScopedContext scoped;
  SharedRecords& shared = scoped.get().shared();
  const StorageParams& p = shared.params();
  EXPECT_EQ(p.channels, 6);
  EXPECT_EQ(p.frameBufferSize, 0x80000);
  EXPECT_EQ(p.writeCacheSize, 0x180000);
  EXPECT_EQ(p.playBufferSize, 0x140000);
  EXPECT_EQ(&shared.params(), &p);  // created once
  EXPECT_EQ(shared.client(0).userId, 0);
  for (int n = 1; n < kClientRecordCount; ++n) EXPECT_EQ(shared.client(n).userId, -1);

  static int calls = 0;
  shared.ReportStatus(0x8001, nullptr, 0);  // no callback yet: nothing happens
  shared.SetStatusCallback([](int code, const void*, int) { calls += code == 0x8001; });
  shared.ReportStatus(0x8001, nullptr, 0);
  EXPECT_EQ(calls, 1);
}

TEST(SharedRecords, RecordItemBecomesARecordDescription) {
  RecordItem item;
  std::memset(&item, 0xEE, sizeof item);  // bytes the conversion must not take
  item.channel = 5;
  item.tzHours = 8;
  item.size = 123456;
  item.startSec = 4000000000u;  // above 2^31: stays positive in milliseconds
  item.endSec = 4000000060u;
  item.fileIndex = 77;
  item.state = 0x01;
  item.typeBits = 4;
  item.diskNo = 2;
  item.segmentNo = 3;
  const _rec_file_info_ info = RecordItemToInfo(item);
  EXPECT_EQ(info.channel, 5);
  EXPECT_EQ(info.tzByte, 16);
  EXPECT_EQ(int64_t{info.startMs}, 4000000000000);
  EXPECT_EQ(int64_t{info.endMs}, 4000000060000);
  EXPECT_EQ(int32_t{info.fileIndex}, 77);
  EXPECT_EQ(int32_t{info.size}, 123456);
  EXPECT_EQ(info.state, 0x01);
  EXPECT_EQ(info.typeBits, 4);
  EXPECT_EQ(info.diskNo, 2);
  EXPECT_EQ(info.segmentNo, 3);
  EXPECT_EQ(uint32_t{info.sn}, 0u);
  EXPECT_EQ(info.kind, 0);
  EXPECT_EQ(info.operation, 0);
}

}  // namespace
