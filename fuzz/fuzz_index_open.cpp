// Fuzz target: opening a record index (DiskIndex::Open) over arbitrary index bytes.
//
// Input layout: byte 0 chooses the disk, the rest is the index from LBA 0 on.
//   bit 0  sector size 4096 (else 512)
//   bit 1  the harness makes the header's index size agree with its entry count (when the
//          count is small), so the fuzzer reaches the entries instead of the header check
// The disk holds the input and 1 MiB of zeros after it; reads past that fail, as on a disk
// whose index runs past its end. Opening an index must never write to the disk.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "api/context.h"
#include "device/disk_dev.h"
#include "disklayout/le.h"
#include "fuzz/memory_disk.h"
#include "fuzz/sleep_budget.h"
#include "index/disk_index.h"
#include "platform/messages.h"
#include "platform/platform_context.h"

namespace {

constexpr size_t kMaxIndexBytes = size_t{1} << 20;

struct Harness {
  std::string driveName;
  fuzz::MemoryDisk disk;
  std::vector<uint8_t> bytes;
};

Harness* g_harness = nullptr;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_index_open: %s\n", what);
  std::abort();
}

void Setup() {
  auto* h = new Harness;  // lives for the whole process
  h->driveName = fuzz::InstallMemoryDrive(&h->disk);
  fuzz::InstallSleepBudget("fuzz_index_open");
  g_harness = h;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!g_harness) Setup();
  fuzz::NewInput();
  Harness& h = *g_harness;
  const uint8_t mode = size ? data[0] : 0;
  size_t n = size ? size - 1 : 0;
  if (n > kMaxIndexBytes) n = kMaxIndexBytes;
  h.bytes.assign(size ? data + 1 : data, (size ? data + 1 : data) + n);
  if ((mode & 2) && h.bytes.size() >= 56) {
    const uint32_t count = le::Get32(&h.bytes[32]);
    if (count < 4096) le::Put32(&h.bytes[52], (count + 8) * 4096);
  }

  fuzz::MemoryDisk& disk = h.disk;
  disk.data = h.bytes.data();
  disk.size = h.bytes.size();
  disk.sectorSize = (mode & 1) ? 4096 : 512;
  disk.force16 = false;
  disk.writes = 0;
  disk.blocks = (h.bytes.size() + disk.sectorSize - 1) / disk.sectorSize + (1 << 20) / disk.sectorSize;

  CDisk_Dev* dev = qvfs::Context::Current().registry().CreateScsiDev(h.driveName.c_str(), true);
  if (!dev) Fail("the memory disk did not open");

  DiskIndex index;
  const int r = index.Open(1, h.driveName, 0, true);
  if (r > 0) Fail("Open returned a positive result");
  if (disk.writes != 0) Fail("opening the index wrote to the disk");
  if (r != 0) return 0;

  // Every list names files of this disk only, and the time map holds each file once.
  const uint32_t count = index.recordFileCount;
  if (index.allFiles.size() != count) Fail("the all-files list does not match the count");
  for (uint32_t f : index.freeList)
    if (f >= count) Fail("a free file past the count");
  std::set<uint32_t> inMap;
  for (const auto& node : index.timeMap) {
    if (node.first.fileIndex >= count) Fail("a recording past the count");
    if (!inMap.insert(node.first.fileIndex).second) Fail("a file twice in the time map");
    if (node.first.startMs != node.second.startMs) Fail("a node under another start time");
  }
  for (const _rec_file_info_& rec : index.repairList)
    if (static_cast<uint32_t>(rec.fileIndex) >= count) Fail("a repair entry past the count");
  if (index.freeList.size() + inMap.size() > count + index.repairList.size())
    Fail("more files listed than exist");
  return 0;
}
