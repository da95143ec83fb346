// Fuzz target: the per-disk search (and the one-channel search) over an index made from fuzz
// bytes, with a writer on one channel.
//
// Input layout: 32 bytes of query, then index bytes as fuzz_index_open takes them (the header's
// index size is made to agree with its count, so the entries are reached).
//   0..7   search start (ms, signed)      8..15  search end
//   16..19 type mask                      20..23 channel flags (bit n: channel n)
//   24     channel limit (0..32)          25     records kept per channel (0: no limit)
//   26     the writer's channel (>= 32: no writer)   27..29  the writer's file index
//   30..31 unused
// Every hit must be of a wanted channel, overlap the range, and sit in its list in start order.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/context.h"
#include "device/disk_dev.h"
#include "disklayout/le.h"
#include "fuzz/memory_disk.h"
#include "fuzz/sleep_budget.h"
#include "index/disk_index.h"
#include "index/record_search.h"

namespace {

constexpr size_t kQueryBytes = 32;
constexpr size_t kMaxIndexBytes = size_t{1} << 20;

struct Harness {
  std::string driveName;
  fuzz::MemoryDisk disk;
  std::vector<uint8_t> bytes;
  SearchWindow window;
};
Harness* g_harness = nullptr;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_search: %s\n", what);
  std::abort();
}

struct Writer : IndexedWriter {
  uint32_t file = 0;
  uint32_t WriterFileIndex() const override { return file; }
  int64_t WriterEndMs() const override { return 1700000000000; }
  int32_t WriterDataSize() const override { return 123456; }
};

void CheckList(const RecordList& list, int channel, const SearchQuery& q) {
  if (q.maxPerChannel && list.size() > q.maxPerChannel) Fail("a list longer than its cap");
  for (size_t i = 0; i < list.size(); ++i) {
    const _rec_file_info_ r = list[i];
    if (r.channel != channel) Fail("a record in another channel's list");
    if (!(r.endMs > q.startMs && r.startMs < q.endMs)) Fail("a record outside the range");
    if (i > 0 && list[i - 1].startMs > r.startMs) Fail("a list out of start order");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_harness = new Harness;
  g_harness->driveName = fuzz::InstallMemoryDrive(&g_harness->disk);
  fuzz::InstallSleepBudget("fuzz_search");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kQueryBytes) return 0;
  fuzz::NewInput();
  Harness& h = *g_harness;
  size_t n = std::min(size - kQueryBytes, kMaxIndexBytes);
  h.bytes.assign(data + kQueryBytes, data + kQueryBytes + n);
  if (h.bytes.size() >= 56) {
    const uint32_t count = le::Get32(&h.bytes[32]);
    if (count < 4096) le::Put32(&h.bytes[52], (count + 8) * 4096);
  }
  h.disk.data = h.bytes.data();
  h.disk.size = h.bytes.size();
  h.disk.sectorSize = 512;
  h.disk.force16 = false;
  h.disk.writes = 0;
  h.disk.blocks = (h.bytes.size() + 511) / 512 + 2048;
  if (!qvfs::Context::Current().registry().CreateScsiDev(h.driveName.c_str(), true))
    Fail("the memory disk did not open");

  DiskIndex index;
  if (index.Open(0, h.driveName, 0, true) != 0) return 0;

  SearchQuery q;
  q.startMs = static_cast<int64_t>(le::Get64(data));
  q.endMs = static_cast<int64_t>(le::Get64(data + 8));
  q.typeMask = static_cast<int32_t>(le::Get32(data + 16));
  const uint32_t flags = le::Get32(data + 20);
  for (int c = 0; c < 32; ++c) q.channelFlags[c] = (flags >> c) & 1;
  q.channelLimit = data[24] % 33;
  q.maxPerChannel = data[25];
  Writer writer;
  if (data[26] < 32) {
    writer.file = le::Get32(data + 27) & 0xFFFFFF;
    index.writerMap[data[26]] = &writer;
  }

  ResultMap results;
  const int r = SearchDisk(index, q, results, h.window);
  if (r < 0 && r != ERR_SEARCH_NO_MEMORY) Fail("an unexpected search result");
  size_t total = 0;
  for (const auto& cl : results) {
    if (cl.first >= q.channelLimit || !q.channelFlags[cl.first]) Fail("an unwanted channel");
    CheckList(cl.second, cl.first, q);
    total += cl.second.size();
  }
  if (r >= 0 && total > static_cast<size_t>(r)) Fail("more records kept than inserted");

  RecordList one;
  SearchOneChannel(index, data[26] % 32, q.startMs, q.endMs, q.typeMask, q.channelLimit, one,
                   h.window);
  if (one.size() > kOneChannelCap) Fail("the one-channel list passed its cap");
  if (h.disk.writes != 0) Fail("a search wrote to the disk");
  index.writerMap.clear();
  return 0;
}
