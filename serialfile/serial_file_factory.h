// CSerialFileFactory: chooses the region-file variant from a path, and copies whole region
// files (record-file export).
#pragma once

#include "platform/critical_section.h"
#include "serialfile/serial_file_base.h"

class CSerialFileFactory {
 public:
  CSerialFileFactory() = default;

  // A new, unopened object owned by the caller: the device variant when the path names a
  // device ("\\.\PhysicalDrive..."), the file variant for any other path.
  static CSerialFileBase* CreateSerialFile(const char* path);

  // Copies the source's whole data size into the destination at the same positions, in
  // 512 KiB pieces with a 100 ms pause between pieces (a copy must not starve recording on the
  // same disk). The result of the last transfer: its byte count, or the failure's code.
  static int CopyWholeFile(CSerialFileBase* source, CSerialFileBase* destination);

 private:
  CCriticalSection lock_;  // owned as designed; creating a file needs no lock
};
