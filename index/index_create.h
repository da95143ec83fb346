// Creating a record index: on a record disk as a run of sectors (formatting calls it once the
// record files are allocated), or as an ordinary file in a folder disk. A new index describes
// every record file as free.
#pragma once

#include <cstdint>
#include <string>

class CDisk_Dev;

// Index creation result codes besides the region-file codes.
enum IndexCreateResult : int {
  ERR_INDEX_START_ZERO = -2008,  // a raw index at sector 0
};

// Writes the index of count record files of fileMB MiB at indexLba: the zeroed entry area, then
// the header and its backup copy. recordAreaLba goes into the header. 0, -2010 (no device),
// -2008 (indexLba 0), -2002 (file size, count or index size out of range), or the write's code.
int CreateRawIndex(CDisk_Dev* dev, uint32_t fileMB, uint64_t indexLba, uint64_t recordAreaLba,
                   uint32_t count, uint32_t channelCount);

// Writes the index of a folder disk: into its existing index file (recordIdx.bin or
// recindex.bin), else a new recindex.bin; given a device path, at sector 2048 of the device.
// No backup header. 0, -2010 (no folder or device), -2002, or the write's code.
int CreateFileIndex(const std::string& folder, uint32_t fileMB, uint32_t count,
                    uint32_t channelCount);
