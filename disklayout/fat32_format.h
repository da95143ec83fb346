// Writes FAT32 volumes: the geometry search, the boot sector with the STFS mark, FSInfo, the
// backup boot sector, both FATs and the root directory with its label; and, in the record
// partition, the record files and the index file allocated as contiguous FAT files.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class CDisk_Dev;

// Result code when no FAT32 geometry fits (or a partition is too small for one record file).
constexpr int kErrNoFatGeometry = -101;
// Result code when the record files do not fit the 1 MiB root directory.
constexpr int kErrTooManyFiles = -4011;

struct Fat32Plan {
  uint32_t sectorsPerCluster = 0;
  uint32_t fatSectors = 0;    // per FAT
  uint32_t clusterCount = 0;  // data clusters
};

// Finds the cluster size and FAT size of a volume of `sectors` sectors of sectorSize bytes.
// 0, or -101 when none fits (too small, more than 2^32 - 1 sectors, or more than 128 sectors
// per cluster needed).
int ChooseFat32Geometry(uint64_t sectors, uint32_t sectorSize, Fat32Plan* out);

// Progress of long writes: (done, total) in any unit.
using FormatProgress = std::function<void(uint64_t done, uint64_t total)>;

// A FAT32 volume of `sectors` sectors at partitionLba with the given label ("commonData",
// "Record"). 0, -101, or the failing write's code.
int FormatFat32Volume(CDisk_Dev* dev, uint64_t partitionLba, uint64_t sectors,
                      const std::string& label, Fat32Plan* geometry,
                      const FormatProgress& progress = {});

// What the record-file allocation placed.
struct RecordFilesPlaced {
  uint64_t firstRecordLba = 0;
  uint32_t recordFileSectors = 0;
  uint64_t indexLba = 0;
  uint32_t recordFileCount = 0;
};

// Record file count for a volume: what is left after the FATs, the reserved sectors, 2 MiB and
// the root directory and index reserve, in files of fileBytes.
uint32_t RecordFileCountFor(uint64_t sectors, uint32_t sectorSize, const Fat32Plan& g,
                            uint32_t fileBytes);

// Makes the record partition: a FAT32 volume "Record", then the record files 00000.asf ... and
// RECINDEXBIN allocated one after another. 0, -101, -4011 or a write's code.
int FormatRecordPartition(CDisk_Dev* dev, uint64_t partitionLba, uint64_t sectors,
                          uint32_t fileBytes, RecordFilesPlaced* placed,
                          const FormatProgress& progress = {});
