#include "indexed_recording.h"

#include <gtest/gtest.h>

#include "api/context.h"
#include "platform/clock.h"
#include "platform/fault_transport.h"
#include "qvfs/qvfs.h"
#include "record/frame_strategy.h"
#include "record/record_writer.h"

namespace testsupport {

namespace {

int Record(qvfs::Context& ctx, int channel, const std::vector<std::vector<uint8_t>>& frames,
           platform::FaultPlan* cut) {
  DiskIndexSet& set = ctx.diskWatch().IndexSet(0);
  FileGrant g;
  EXPECT_EQ(set.TakeFreeFile(&g), 0);
  if (frames.empty()) return -1;
  CFrmStategy sel;
  auto timeOf = [&sel](const std::vector<uint8_t>& f) {
    return sel.Select(const_cast<uint8_t*>(f.data())) == 0 ? sel.Current()->GetPts() : 0;
  };
  const int64_t t0 = timeOf(frames.front());
  CRecordWriter w(channel);
  EXPECT_EQ(w.OpenNew(g.path, g.fileIndex, g.fileBytes, t0, nullptr), 0);
  _rec_file_info_ r{};
  r.channel = static_cast<uint8_t>(channel);
  r.fileIndex = static_cast<int32_t>(g.fileIndex);
  r.diskNo = static_cast<uint8_t>(g.diskNo);
  r.kind = 1;
  r.typeBits = 2;
  r.state = 0x81;
  r.startMs = r.endMs = t0;
  r.operation = kOpRecordStart;
  EXPECT_EQ(set.WriteRecord(r), 0);
  int32_t bytes = 0;
  int video = 0;
  for (size_t i = 0; i < frames.size(); ++i) {
    const std::vector<uint8_t>& f = frames[i];
    EXPECT_GT(w.WriteFrame(f.data(), static_cast<uint32_t>(f.size())), 0) << i;
    bytes += static_cast<int32_t>(f.size());
    const bool audio = sel.Select(const_cast<uint8_t*>(f.data())) == 0 &&
                       sel.Current()->GetFrameType() == 'A';
    const bool last = i + 1 == frames.size();
    if ((!audio && ++video % 35 == 0) || last) {
      const bool close = last && !cut;
      r.operation = close ? kOpRecordClose : 0;
      if (close) r.state = 0x01;
      r.size = bytes;
      r.endMs = timeOf(f);
      EXPECT_EQ(set.UpdateRecordInfo(r), 0);
      bytes = 0;  // the segment keeps its start: its record grows with each update
    }
  }
  if (cut) {
    // The write cache holds back small amounts for a while: let that time pass at once.
    QVFS_SetManualClock(1, platform::TheClock().NowMs() + 60000);
    EXPECT_EQ(w.FlushCache(), 0);
    QVFS_SetManualClock(0, 0);
    EXPECT_GE(w.FlushIndex(true), 0);
    cut->CutPowerAfterWrites(0);
    w.Close();  // reaches the disk no more
    cut->CutPowerAfterWrites(-1);
  } else {
    EXPECT_EQ(w.Close(), 0);
  }
  return static_cast<int>(g.fileIndex);
}

}  // namespace

int RecordIndexed(qvfs::Context& ctx, int channel, const std::vector<std::vector<uint8_t>>& frames) {
  return Record(ctx, channel, frames, nullptr);
}

int RecordIndexedCut(qvfs::Context& ctx, int channel,
                     const std::vector<std::vector<uint8_t>>& frames, platform::FaultPlan& power) {
  return Record(ctx, channel, frames, &power);
}

}  // namespace testsupport
