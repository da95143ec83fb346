// Formatting a folder as a record disk: record files NNNNN.asf in its Record/ subfolder, really
// allocated so that recording cannot run out of space later, and the index recindex.bin.
#pragma once

#include <cstdint>
#include <string>

#include "disklayout/fat32_format.h"

// How much of the folder's file system formatting leaves free: at least 1 GiB, and at least 5 %
// of the file system.
uint64_t FolderReserveBytes(uint64_t fileSystemBytes);

// Record file count for a folder: the free space (plus what its existing record files hold,
// which are reused) less the reserve, in whole files, at most 32766. 0 when none fits.
uint32_t FolderRecordFileCount(uint64_t freeBytes, uint64_t fileSystemBytes, uint32_t fileMB);

// How many record files of fileMB MiB a format of the folder (or of its nearest existing parent
// while it does not exist yet) would allocate: 0 when none fits or the file system cannot be
// asked.
uint32_t FolderFormatPlan(const std::string& folder, uint32_t fileMB);

// Creates the folder and Record/ when missing, allocates the record files and writes the index:
// as many as fit, or at most maxFiles when it is not 0. Returns the record file count, -101 (no
// room for one file), -2002 (bad size) or a file error (-1003 when a file cannot be created or
// allocated).
int FormatFolderDisk(const std::string& folder, uint32_t fileMB, uint32_t channelCount,
                     const FormatProgress& progress = {}, uint32_t maxFiles = 0);
