// Where a record file lives: record file N of a drive (its sectors, found through the disk
// watch), record file N of a folder disk, or an ordinary file given by its path. The writers
// open their file through here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "serialfile/serial_file_base.h"

struct RecordRegion {
  std::unique_ptr<CSerialFileBase> file;
  std::string name;          // the device name or the file's path
  uint64_t serviceKey = 0;   // how the device service thread tells writers apart
  bool onDevice = false;     // a drive (sector addresses), not a file
};

// True when the path names a folder disk.
bool IsFolderDisk(const std::string& path);

// Opens record file fileIndex of the drive or folder at path, or the ordinary file path itself,
// over fileSize bytes in the given mode. 0, -2010 for an empty path, or the open's code.
int OpenRecordRegion(const std::string& path, uint32_t fileIndex, uint32_t fileSize, int mode,
                     RecordRegion* out);
