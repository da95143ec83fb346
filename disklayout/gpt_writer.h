// Writes the GPT of a record disk: the protective MBR, the primary header and entry array, and
// the backup entry array and header at the end of the disk.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disklayout/partition_tables.h"

class CDisk_Dev;

struct GptPartitionSpec {
  std::string name;  // ASCII, stored as UTF-16LE
  uint64_t firstLba = 0;
  uint64_t lastLba = 0;  // inclusive
  uint64_t attributes = 0;
};

// The partitions formatting asks for on a disk whose last LBA is lastLba: the record partition
// alone, or a "commonData" partition of commonMB MiB in front of it.
std::vector<GptPartitionSpec> RecordDiskPartitions(uint64_t lastLba, uint32_t sectorSize,
                                                   uint32_t commonMB);

// Builds the 128 entries (16384 bytes) with version-1 unique GUIDs.
std::vector<uint8_t> BuildGptEntries(const std::vector<GptPartitionSpec>& parts);
// Builds a 92-byte header into a zeroed sector-sized buffer.
void BuildGptHeader(uint8_t* sector, uint64_t currentLba, uint64_t backupLba,
                    uint64_t lastUsableLba, uint64_t entriesLba, uint32_t entriesCrc);

// Writes the whole table under the device lock. The backup header goes on the disk's last LBA
// and its entries 32 sectors before it. 0, -1 without a capacity, or the failing write's code
// (after its message). entriesOut receives the used entries.
int WriteGpt(CDisk_Dev* dev, const std::vector<GptPartitionSpec>& parts,
             std::vector<GptEntry>* entriesOut);

// A version-1 GUID (RFC 4122) from the current time in seconds, its first three fields stored
// most significant byte first; GUIDs made in the same second differ in the low time field.
void MakeTimeGuid(uint8_t out[16]);
