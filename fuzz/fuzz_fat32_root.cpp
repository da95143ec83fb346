// Fuzz target: the buffer parsers of the disk layout over arbitrary bytes.
//
// The first 512 bytes are a FAT32 boot sector and the rest the root directory it points at; the
// whole input is also read as sector 0 (MBR), as a GPT entry array and as an STFS table. Each
// parser gets a buffer of exactly the length it is told, in its own heap block, so a read past
// that length is caught by AddressSanitizer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "disklayout/fat32_root.h"
#include "disklayout/layout_format.h"
#include "disklayout/le.h"
#include "disklayout/partition_tables.h"
#include "platform/messages.h"

namespace {

volatile uint64_t g_sink = 0;

void Sink(uint64_t v) { g_sink = g_sink * 31 + v; }

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_fat32_root: %s\n", what);
  std::abort();
}

// An exact-size copy: the vector's heap block ends where the parser must stop.
std::vector<uint8_t> Copy(const uint8_t* p, size_t n) { return std::vector<uint8_t>(p, p + n); }

// A pointer that is null for an empty buffer, as a caller with nothing read would pass.
const uint8_t* Ptr(const std::vector<uint8_t>& v) { return v.empty() ? nullptr : v.data(); }

void FuzzFat32(const uint8_t* data, size_t size) {
  const size_t bootLen = size < 512 ? size : 512;
  std::vector<uint8_t> boot = Copy(data, bootLen);
  std::vector<uint8_t> dir = Copy(data + bootLen, size - bootLen);

  // The partition's first LBA from the boot sector's hidden-sectors field, and the sector size
  // from its bytes-per-sector field (0 included: the walk must refuse it).
  uint64_t partitionLba = bootLen >= 32 ? le::Get32(boot.data() + 28) : 0;
  uint32_t sectorSize = bootLen >= 13 ? le::Get16(boot.data() + 11) : 512;

  layout::Fat32Geometry geo;
  int r = layout::ParseFat32Boot(Ptr(boot), boot.size(), partitionLba, &geo);
  Sink(static_cast<uint64_t>(r));
  if (r != 0 && r != -1) Fail("ParseFat32Boot returned an undocumented result");
  if (r == 0) {
    if (geo.sectorsPerCluster == 0 || geo.rootCluster < 2)
      Fail("ParseFat32Boot accepted a geometry no FAT32 volume has");
    Sink(geo.dataStartLba);
    Sink(geo.ClusterLba(geo.rootCluster));
  }
  // The walk also runs without a valid boot sector: a caller may hold any geometry.
  layout::RecordFilesFound found;
  r = layout::WalkRecordRoot(Ptr(dir), dir.size(), geo, sectorSize, &found);
  Sink(static_cast<uint64_t>(r));
  if (r != 0 && r != -1) Fail("WalkRecordRoot returned an undocumented result");
  Sink(found.found);
  Sink(found.firstRecordLba);
  Sink(found.recordFileSectors);
}

void FuzzPartitionTables(const uint8_t* data, size_t size) {
  std::vector<uint8_t> whole = Copy(data, size);
  const bool gptHeader =
      size > 512 && layout::IsGptHeader(whole.data() + 512, size - 512);

  std::vector<MbrEntry> mbr;
  bool isGpt = false;
  int n = layout::ParseMbr(Ptr(whole), whole.size(), gptHeader, &mbr, &isGpt);
  Sink(static_cast<uint64_t>(n));
  if (n < -1 || n > layout::mbr::kEntryCount) Fail("ParseMbr returned an undocumented result");
  if (n >= 0 && mbr.size() != static_cast<size_t>(n)) Fail("ParseMbr's count and entries differ");
  if (isGpt && (n != -1 || !gptHeader)) Fail("ParseMbr called a disk GPT without a GPT header");
  for (const MbrEntry& e : mbr) Sink(le::Get32(e.data() + layout::mbr::kStartLbaOffset));

  // GPT entries: over the whole input, and from where they follow the header on a 512-byte
  // sector disk.
  for (size_t offset : {size_t{0}, size_t{1024}}) {
    if (offset > size) continue;
    std::vector<uint8_t> entries = Copy(data + offset, size - offset);
    std::vector<GptEntry> gpt;
    int g = layout::ParseGptEntries(Ptr(entries), entries.size(), &gpt);
    Sink(static_cast<uint64_t>(g));
    if (g < 0 || g > layout::gpt::kEntrySlotsRead || gpt.size() != static_cast<size_t>(g))
      Fail("ParseGptEntries's count and entries differ");
    for (const GptEntry& e : gpt) Sink(le::Get64(e.data() + layout::gpt::kFirstLbaOffset));
  }

  // STFS table: at the start of the input and at the start of each 512-byte sector in it.
  for (size_t offset = 0; offset < size || offset == 0; offset += 512) {
    std::vector<uint8_t> sector = Copy(data + offset, size - offset);
    layout::stfs::Table t;
    bool ok = layout::stfs::Parse(Ptr(sector), sector.size(), &t);
    Sink(ok);
    if (sector.size() >= sizeof layout::stfs::kMagic)
      Sink(layout::stfs::HasMagic(sector.data()));
    if (!ok) continue;
    // What Parse read, Build must write back: the fields survive a round trip.
    uint8_t built[layout::stfs::kTableBytes];
    layout::stfs::Build(t, built);
    std::vector<uint8_t> rebuilt = Copy(built, sizeof built);
    layout::stfs::Table u;
    if (!layout::stfs::Parse(rebuilt.data(), rebuilt.size(), &u))
      Fail("a built STFS table does not parse");
    if (u.firstRecordLba != t.firstRecordLba || u.recordFileBytes != t.recordFileBytes ||
        u.recordFileCount != t.recordFileCount || u.indexLba != t.indexLba || u.extA != t.extA ||
        u.extB != t.extB || u.extC != t.extC || u.extD != t.extD || u.extE != t.extE)
      Fail("an STFS table changed in a parse/build round trip");
    Sink(t.firstRecordLba ^ t.indexLba ^ t.extA ^ t.extB);
    Sink(uint64_t{t.recordFileBytes} ^ t.recordFileCount ^ t.extC ^ t.extD ^ t.extE);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  platform::SetConsoleOutput(false);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzFat32(data, size);
  FuzzPartitionTables(data, size);
  return 0;
}
