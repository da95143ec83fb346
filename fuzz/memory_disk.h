// A disk held in memory for the fuzz targets: a transport that answers the SCSI commands the
// device layer sends from a byte buffer, so each fuzz input can be a whole disk without touching
// a file.
//
// The buffer is the start of the disk; every sector past it reads as zeros up to the capacity
// the disk reports. Writes are refused (DATA PROTECT) and counted: reading a disk's layout must
// never write to it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/scsi.h"

namespace fuzz {

struct MemoryDisk {
  const uint8_t* data = nullptr;  // not owned
  size_t size = 0;                // bytes of data; the rest of the disk is zeros
  uint32_t sectorSize = 512;
  uint64_t blocks = 0;            // capacity in sectors (at least 1)
  // READ CAPACITY(10) answers FFFFFFFFh even on a small disk, which sends the device layer to
  // READ CAPACITY(16) and the 16-byte read commands.
  bool force16 = false;
  uint64_t writes = 0;            // write commands seen
};

class MemoryDiskTransport : public platform::ScsiTransport {
 public:
  // inner is the transport the drive table opened; it is kept only so that the handle stays a
  // real, open descriptor for as long as the device holds this transport.
  MemoryDiskTransport(MemoryDisk* disk, std::unique_ptr<platform::ScsiTransport> inner);

  bool Execute(platform::ScsiRequest& req) override;
  int Handle() const override;

 private:
  bool Inquiry(platform::ScsiRequest& req);
  bool ReadCapacity(platform::ScsiRequest& req, bool sixteen);
  bool ReadWrite(platform::ScsiRequest& req);

  MemoryDisk* disk_;
  std::unique_ptr<platform::ScsiTransport> inner_;
};

// Installs a library context of its own (kept for the rest of the process, like the library's
// default one) whose drive table has one drive served by disk, with console output off.
// Returns the drive's name; aborts when it cannot.
std::string InstallMemoryDrive(MemoryDisk* disk);

}  // namespace fuzz
