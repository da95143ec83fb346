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
constexpr uint32_t kEntryArrayBytes = kMaxEntries * kEntrySize;  // 16384
constexpr size_t kUniqueGuidOffset = 16;
constexpr size_t kAttributesOffset = 48;
constexpr size_t kNameOffset = 56;  // UTF-16LE, 36 code units
constexpr size_t kNameUnits = 36;

// Header fields (92 bytes; the rest of its sector is zero).
constexpr uint32_t kHeaderSize = 92;
constexpr uint32_t kRevision = 0x00010000;
constexpr size_t kRevisionOffset = 8;
constexpr size_t kHeaderSizeOffset = 12;
constexpr size_t kHeaderCrcOffset = 16;
constexpr size_t kCurrentLbaOffset = 24;
constexpr size_t kBackupLbaOffset = 32;
constexpr size_t kFirstUsableOffset = 40;
constexpr size_t kLastUsableOffset = 48;
constexpr size_t kDiskGuidOffset = 56;
constexpr size_t kEntriesLbaOffset = 72;
constexpr size_t kEntryCountOffset = 80;
constexpr size_t kEntrySizeOffset = 84;
constexpr size_t kEntriesCrcOffset = 88;
constexpr uint64_t kFirstUsableLba = 34;
// The backup entry array sits this many sectors before the backup header.
constexpr uint64_t kBackupEntriesBack = 32;

// The disk GUID every record disk carries, and the type GUID of its partitions, as stored.
constexpr uint8_t kDiskGuid[16] = {0xC7, 0xD2, 0x76, 0xE2, 0x64, 0xB4, 0x70, 0x47,
                                   0x02, 0x5F, 0x49, 0x71, 0xB4, 0xBF, 0xC1, 0x81};
constexpr uint8_t kRecordTypeGuid[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                         0xC7, 0x99, 0x26, 0xB7, 0xB6, 0x68, 0xC0, 0x87};
constexpr uint64_t kAttrRequired = 1;
constexpr uint64_t kAttrRecordPartition = 1ull << 60;
}  // namespace gpt

// ---- FAT32 -----------------------------------------------------------------------------------
namespace fat32 {
constexpr size_t kSectorsPerClusterOffset = 13;  // 8-bit
constexpr size_t kReservedSectorsOffset = 14;    // 16-bit
constexpr size_t kFatCountOffset = 16;           // 8-bit
constexpr size_t kSectorsPerFatOffset = 36;      // 32-bit
constexpr size_t kRootClusterOffset = 44;        // 32-bit
constexpr size_t kStfsMarkOffset = 52;           // "STFS" "PART" in the reserved area
constexpr size_t kBytesPerSectorOffset = 11;     // 16-bit
constexpr size_t kTotalSectors16Offset = 19;
constexpr size_t kMediaOffset = 21;
constexpr size_t kSectorsPerTrackOffset = 24;
constexpr size_t kHeadsOffset = 26;
constexpr size_t kTotalSectors32Offset = 32;
constexpr size_t kFsInfoSectorOffset = 48;
constexpr size_t kBackupBootOffset = 50;
constexpr size_t kBootSignatureOffset = 66;      // 29h: the volume ID and label count
constexpr size_t kVolumeIdOffset = 67;
constexpr size_t kVolumeLabelOffset = 71;        // 11 bytes
constexpr size_t kFsTypeOffset = 82;             // "FAT32   "
constexpr uint32_t kReservedSectors = 34;
constexpr uint32_t kBackupBootSector = 6;
constexpr uint8_t kExtendedBootSignature = 0x29;

// FSInfo sector.
constexpr size_t kFsInfoLeadOffset = 0;          // "RRaA"
constexpr size_t kFsInfoStructOffset = 484;      // "rrAa"
constexpr size_t kFsInfoFreeOffset = 488;
constexpr size_t kFsInfoNextOffset = 492;

// FAT entries.
constexpr uint32_t kFatMedia = 0x0FFFFFF8;
constexpr uint32_t kFatEndOfChain = 0x0FFFFFFF;
constexpr uint32_t kMaxClusters = 0x0FFFFFF0;
constexpr uint32_t kMinClusters = 65525;         // fewer make the volume FAT16 to other systems
constexpr uint32_t kRootDirBytes = 1048576;      // the record partition's root directory

constexpr size_t kDirNtCaseOffset = 12;          // 18h: name and extension shown in lower case
constexpr size_t kDirCreateTimeOffset = 14;
constexpr size_t kDirCreateDateOffset = 16;
constexpr size_t kDirAccessDateOffset = 18;
constexpr size_t kDirWriteTimeOffset = 22;
constexpr size_t kDirWriteDateOffset = 24;
constexpr uint8_t kAttrVolumeLabel = 0x08;
constexpr uint8_t kNtCaseLower = 0x18;
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
