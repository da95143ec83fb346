// Builders of small record-disk images for tests: MBR, GPT, FAT32 boot sectors and root
// directories, and STFS tables, written straight into an image file.
#pragma once

#include <cstdint>
#include <string>
#include <array>
#include <utility>
#include <vector>

#include "disklayout/layout_format.h"

namespace testimg {

struct Part {
  uint64_t first;
  uint64_t last;  // inclusive
};

// A protective MBR and a GPT header at LBA 1 with entries from LBA 2 (CRCs left zero: the
// reader does not check them).
void WriteGpt(const std::string& image, uint32_t sectorSize, const std::vector<Part>& parts);
// A plain MBR with up to four (type, start, count) entries.
void WriteMbr(const std::string& image, const std::vector<std::array<uint32_t, 3>>& entries);
void WriteStfsTable(const std::string& image, uint32_t sectorSize, uint64_t lba,
                    const layout::stfs::Table& t);

struct Fat32 {
  uint64_t partitionLba = 2048;
  uint8_t sectorsPerCluster = 8;
  uint16_t reserved = 32;
  uint8_t fats = 2;
  uint32_t sectorsPerFat = 64;
  uint32_t rootCluster = 2;
  bool stfsMark = true;
};
// Boot sector of a FAT32 volume; returns the LBA of the root cluster.
uint64_t WriteFat32Boot(const std::string& image, uint32_t sectorSize, const Fat32& v);

struct DirEntry {
  std::string name11;  // 8.3 name, 11 bytes ("00000   ASF")
  uint8_t attr = 0x20;
  uint32_t cluster = 0;
  uint32_t size = 0;
};
void WriteDir(const std::string& image, uint64_t byteOffset, const std::vector<DirEntry>& entries);

// A complete small record disk: GPT with one partition at 2048, a FAT32 boot sector with the
// STFS mark, a root directory listing `files` record files of fileBytes each, contiguous from
// cluster 3, and the STFS table at 64 and 88. Returns the table written.
layout::stfs::Table WriteRecordDisk(const std::string& image, uint32_t sectorSize, int files,
                                    uint32_t fileBytes);

}  // namespace testimg
