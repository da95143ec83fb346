// Formatting a disk as a record disk: a new GPT (with an optional "commonData" FAT32 partition
// in front), the record partition as a FAT32 volume whose record files and index file are
// allocated at once, and the STFS table at LBA 64 and 88. The record index itself is created
// afterwards by the index code, from what the table object then holds.
#pragma once

#include <cstdint>

#include "disklayout/fat32_format.h"

class CDiskTable;
class CDisk_Dev;

// Checks, before anything is written, that a disk of this size takes the layout: 0, -1 (no
// capacity), -101 (too small for the partitions, their FAT32 volumes or one record file) or
// -4011 (more record files than the root directory holds).
int CheckRecordDiskFits(CDisk_Dev* dev, uint32_t recordFileMB, uint32_t commonMB);

// Formats the disk of `table` (its device set by Init): partitions, FAT32 volumes and the
// record files. Returns the record file count, or the first failing step's code. The table
// object ends holding the new partitions and record files.
//
// The STFS table is not written here: the caller creates the index first and writes the table
// (CDiskTable::WriteStfsTable) last, so a format that stops half way never leaves a disk that
// looks like a record disk. (Writing the partition table clears the old STFS tables.)
int FormatRecordDisk(CDiskTable* table, CDisk_Dev* dev, uint32_t recordFileMB, uint32_t commonMB,
                     const FormatProgress& progress = {});
