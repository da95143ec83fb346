// Fuzz target: the FAT32 geometry search and the record file count over arbitrary partition
// sizes, sector sizes and record file sizes. Whatever the sizes, an accepted geometry must be a
// valid FAT32 volume that fits its partition, and the record files must fit its clusters.
//
// Input: 8 bytes partition sectors, 1 byte sector size (512 << (b % 4)), 2 bytes record file
// size in MiB.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "disklayout/fat32_format.h"
#include "disklayout/le.h"

namespace {
[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_fat32_geometry: %s\n", what);
  std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 11) return 0;
  const uint64_t sectors = le::Get64(data);
  const uint32_t ss = 512u << (data[8] % 4);
  const uint32_t fileMB = le::Get16(data + 9);
  Fat32Plan g;
  if (ChooseFat32Geometry(sectors, ss, &g) != 0) return 0;
  const uint64_t c = g.sectorsPerCluster, f = g.fatSectors, k = g.clusterCount;
  if (c == 0 || c > 128 || (c & (c - 1))) Fail("sectors per cluster not a power of two to 128");
  if (k < 65525 || k > 0x0FFFFFF0) Fail("cluster count outside FAT32");
  if (k + 2 > f * ss / 4) Fail("the FAT cannot hold every cluster");
  if (34 + 2 * f + k * c > sectors) Fail("the volume is larger than its partition");
  if (fileMB == 0 || fileMB >= 4096) return 0;
  const uint64_t files = RecordFileCountFor(sectors, ss, g, fileMB << 20);
  const uint64_t clustersPerFile = ((uint64_t{fileMB} << 20) + c * ss - 1) / (c * ss);
  const uint64_t rootAndIndex = (1048576 + (files + 64) * 4096) / (c * ss) + 2;
  if (files * clustersPerFile + rootAndIndex > k) Fail("the record files do not fit the clusters");
  return 0;
}
