// The record partition's FAT32 root directory, as far as the record disk needs it: where the
// first record file ("00000") starts and how many sectors one record file spans, and whether
// the record files listed after it lie one after another.
#pragma once

#include <cstddef>
#include <cstdint>

namespace layout {

struct Fat32Geometry {
  uint64_t dataStartLba = 0;     // LBA of cluster 2
  uint32_t sectorsPerCluster = 0;
  uint32_t rootCluster = 0;
  uint64_t ClusterLba(uint32_t cluster) const {
    return dataStartLba + static_cast<uint64_t>(cluster - 2) * sectorsPerCluster;
  }
};

// Reads the geometry from a FAT32 boot sector (at least 512 bytes) of a partition starting at
// partitionLba. -1 without the 0xAA55 signature or with values no FAT32 volume has
// (no sectors per cluster, no FATs, a root cluster below 2).
int ParseFat32Boot(const uint8_t* boot, size_t len, uint64_t partitionLba, Fat32Geometry* out);

struct RecordFilesFound {
  bool found = false;             // record file 0 was listed
  uint64_t firstRecordLba = 0;
  uint32_t recordFileSectors = 0;
};

// Walks the directory entries of a root cluster buffer. Record file 0 ("00000", archive) gives
// the first record LBA and the record file sectors (its size / sectorSize); every further record
// file numbered 2 or more ("...asf") must start right after the record file listed before it.
// Returns 0, or -1 when one does not.
int WalkRecordRoot(const uint8_t* dir, size_t len, const Fat32Geometry& geo, uint32_t sectorSize,
                   RecordFilesFound* out);

}  // namespace layout
