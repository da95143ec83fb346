// Fuzz target: CDiskTable::Init over an arbitrary disk.
//
// Input layout: byte 0 chooses the disk's geometry, the rest is the disk from LBA 0 on.
//   bit 0     sector size 4096 (else 512)
//   bits 1-2  capacity: 0 the data (at least 128 sectors);
//                       1 the same, but READ CAPACITY(10) answers FFFFFFFFh, so the device
//                         layer asks READ CAPACITY(16) and uses the 16-byte reads;
//                       2 2^24 sectors, 3 2^36 sectors (past 2 TiB): the data, then zeros
// Every disk has at least 128 sectors, so the STFS table sectors (LBA 64 and 88) always exist:
// the table reader waits a second between failed reads of LBA 64, which would stall the run.
//
// The disk is served from the input by a memory transport that the drive table puts in place of
// the one it opens, so an input costs no file I/O. One device is reused for every input and
// re-opened each time, which re-reads the capacity, as a disk scan does after a disk change.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "api/context.h"
#include "device/disk_dev.h"
#include "disklayout/disk_table.h"
#include "fuzz/memory_disk.h"
#include "fuzz/sleep_budget.h"
#include "platform/messages.h"
#include "platform/platform_context.h"

namespace {

constexpr size_t kMaxDiskBytes = size_t{1} << 20;  // longer inputs are cut here
constexpr uint64_t kMinSectors = 128;

struct Harness {
  std::string driveName;
  fuzz::MemoryDisk disk;
};

Harness* g_harness = nullptr;
volatile uint64_t g_sink = 0;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_disk_table: %s\n", what);
  std::abort();
}

void Setup() {
  auto* h = new Harness;  // lives for the whole process
  h->driveName = fuzz::InstallMemoryDrive(&h->disk);
  fuzz::InstallSleepBudget("fuzz_disk_table");
  g_harness = h;
}

void Sink(uint64_t v) { g_sink = g_sink * 31 + v; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (!g_harness) Setup();
  fuzz::NewInput();
  Harness& h = *g_harness;

  const uint8_t geometry = size ? data[0] : 0;
  const uint8_t* image = size ? data + 1 : data;
  size_t imageSize = size ? size - 1 : 0;
  if (imageSize > kMaxDiskBytes) imageSize = kMaxDiskBytes;

  fuzz::MemoryDisk& disk = h.disk;
  disk.data = image;
  disk.size = imageSize;
  disk.sectorSize = (geometry & 1) ? 4096 : 512;
  disk.force16 = false;
  disk.writes = 0;
  uint64_t dataSectors = (imageSize + disk.sectorSize - 1) / disk.sectorSize;
  uint64_t blocks = dataSectors < kMinSectors ? kMinSectors : dataSectors;
  switch ((geometry >> 1) & 3) {
    case 1:
      disk.force16 = true;
      break;
    case 2:
      blocks = uint64_t{1} << 24;
      break;
    case 3:
      blocks = uint64_t{1} << 36;
      break;
    default:
      break;
  }
  disk.blocks = blocks;

  CDisk_Dev* dev =
      qvfs::Context::Current().registry().CreateScsiDev(h.driveName.c_str(), /*reopen=*/true);
  if (!dev) Fail("the memory disk did not open");
  if (dev->get_capacity() != blocks - 1 || dev->get_sec_size() != disk.sectorSize)
    Fail("the re-opened device did not take the disk's capacity");

  CDiskTable table;
  int r = table.Init(dev);
  Sink(static_cast<uint64_t>(r));
  // Init reports 0 or a negative code, and at most 4 MBR or 24 GPT partitions.
  if (r > 0) Fail("Init returned a positive result");
  const int parts = table.GetPartCount();
  if (parts < 0 || parts > (table.IsGpt() ? layout::gpt::kEntrySlotsRead : layout::mbr::kEntryCount))
    Fail("more partitions than the tables hold");
  if (disk.writes != 0) Fail("reading the disk layout wrote to the disk");

  Sink(static_cast<uint64_t>(parts));
  // One index past the end as well: the accessors must refuse it.
  for (int i = 0; i <= parts; ++i) {
    Sink(table.GetPartStart(static_cast<uint32_t>(i)));
    Sink(table.GetPartSize(static_cast<uint32_t>(i)));
  }
  Sink(table.GetFirstRecordLba());
  Sink(table.GetRecordFileSectors());
  Sink(table.GetIndexLba());
  Sink(table.GetExtA());
  Sink(table.GetExtB());
  Sink(table.GetExtC());
  Sink(table.GetExtD());
  Sink(table.GetExtE());
  Sink(table.GetTableLba());
  Sink(table.GetRecordFileCount());
  Sink(table.GetCommonPartMB());
  Sink(table.IsStfs());
  Sink(table.IsGpt());
  Sink(reinterpret_cast<uintptr_t>(table.GetDevice()));
  for (const GptEntry& e : table.GptEntries())
    for (uint8_t b : e) Sink(b);
  for (const MbrEntry& e : table.MbrEntries())
    for (uint8_t b : e) Sink(b);
  return 0;
}
