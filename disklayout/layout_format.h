// The on-disk layout of a record disk, defined once: the MBR and GPT fields the system reads,
// the FAT32 boot-sector and directory-entry fields, and the STFS table.
//
//   LBA 0          MBR (a protective MBR on a GPT disk)
//   LBA 1, 2..     GPT header and partition entries
//   LBA 64         STFS table, primary copy
//   LBA 88         STFS table, secondary copy
//   partition 0    "commonData" FAT32 volume when one was asked for, else the record partition
//   record part.   FAT32 volume whose root lists the record files "00000" ... and the index file
//
// docs/formats/stfs-table.md describes the same with the reasons behind it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace layout {

// ---- MBR -------------------------------------------------------------------------------------
namespace mbr {
constexpr size_t kEntriesOffset = 446;
constexpr size_t kEntrySize = 16;
constexpr int kEntryCount = 4;
constexpr size_t kTypeOffset = 4;     // within an entry
constexpr size_t kStartLbaOffset = 8;  // 32-bit
constexpr size_t kSectorCountOffset = 12;  // 32-bit
constexpr size_t kSignatureOffset = 510;
constexpr uint16_t kSignature = 0xAA55;
constexpr uint8_t kTypeGptProtective = 0xEE;
}  // namespace mbr

// ---- GPT -------------------------------------------------------------------------------------
namespace gpt {
constexpr char kSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr size_t kEntrySize = 128;
constexpr size_t kTypeGuidSize = 16;
constexpr size_t kFirstLbaOffset = 32;  // within an entry, 64-bit
constexpr size_t kLastLbaOffset = 40;   // inclusive, 64-bit
// Entry slots the reader looks at: those that follow the header within the first 4096 bytes of
// a 512-byte-sector disk (byte offsets 1024 .. 3968 of the disk).
constexpr int kEntrySlotsRead = 24;
constexpr int kMaxEntries = 128;
}  // namespace gpt

// ---- FAT32 -----------------------------------------------------------------------------------
namespace fat32 {
constexpr size_t kSectorsPerClusterOffset = 13;  // 8-bit
constexpr size_t kReservedSectorsOffset = 14;    // 16-bit
constexpr size_t kFatCountOffset = 16;           // 8-bit
constexpr size_t kSectorsPerFatOffset = 36;      // 32-bit
constexpr size_t kRootClusterOffset = 44;        // 32-bit
constexpr size_t kStfsMarkOffset = 52;           // "STFS" "PART" in the reserved area
constexpr size_t kSignatureOffset = 510;

constexpr size_t kDirEntrySize = 32;
constexpr size_t kDirNameSize = 11;       // 8.3 name, bytes 0..10
constexpr size_t kDirAttrOffset = 11;
constexpr size_t kDirClusterHighOffset = 20;
constexpr size_t kDirClusterLowOffset = 26;
constexpr size_t kDirSizeOffset = 28;
constexpr uint8_t kAttrArchive = 0x20;
constexpr uint8_t kAttrLongName = 0x0F;
constexpr uint8_t kDirEntryFree = 0xE5;
// Bytes of the root directory the reader walks (128 entries).
constexpr uint32_t kRootBytesRead = 4096;
}  // namespace fat32

// ---- STFS table ------------------------------------------------------------------------------
namespace stfs {
constexpr uint64_t kTableLba = 64;
constexpr uint64_t kTableCopyLba = 88;
constexpr uint32_t kTableBytes = 112;  // the rest of the sector is zero
constexpr uint8_t kMagic[8] = {'S', 'T', 'F', 'S', 'P', 'A', 'R', 'T'};
constexpr char kVersion[4] = {'0', '0', '1', '0'};

constexpr size_t kMagicOffset = 0;
constexpr size_t kVersionOffset = 8;
constexpr size_t kFirstRecordLbaOffset = 16;   // 64-bit
constexpr size_t kRecordFileBytesOffset = 24;  // 32-bit, a whole number of MiB
constexpr size_t kRecordFileCountOffset = 28;  // 32-bit
constexpr size_t kIndexLbaOffset = 48;         // 64-bit
constexpr size_t kIndexBytesOffset = 56;       // record file count x 4096
constexpr size_t kTwoOffset = 60;              // always 2
constexpr size_t kExtAOffset = 64;             // 64-bit
constexpr size_t kExtBOffset = 80;             // 64-bit
constexpr size_t kExtCOffset = 96;
constexpr size_t kExtDOffset = 100;
constexpr size_t kExtEOffset = 104;

struct Table {
  uint64_t firstRecordLba = 0;
  uint32_t recordFileBytes = 0;
  uint32_t recordFileCount = 0;
  uint64_t indexLba = 0;
  uint64_t extA = 0, extB = 0;
  uint32_t extC = 0, extD = 0, extE = 0;
};

// True when the 8 bytes start with the STFS magic.
bool HasMagic(const uint8_t* p);
// Reads a table; false when the buffer is short or the magic is wrong (only the magic is
// validated).
bool Parse(const uint8_t* buf, size_t len, Table* out);
// Writes the 112 bytes of a table (version "0010", the constant 2, zeros elsewhere).
void Build(const Table& t, uint8_t out[kTableBytes]);
}  // namespace stfs

}  // namespace layout
