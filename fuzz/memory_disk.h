// A disk held in memory for the fuzz targets: a transport that answers the SCSI commands the
// device layer sends from a byte buffer, so each fuzz input can be a whole disk without touching
// a file.
//
// The buffer is the start of the disk; every sector past it reads as zeros up to the capacity
// the disk reports. Writes are refused (DATA PROTECT) and counted: reading a disk's layout must
// never write to it.
//
// A disk that is written (formatted, recorded to, repaired) is a SparseImage instead: a large
// disk of which only the sectors ever written take memory, with the writes of one fuzz input kept
// apart so that the next input starts from the same image again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/scsi.h"

namespace fuzz {

class SparseImage {
 public:
  static constexpr uint32_t kChunk = 4096;

  void Read(uint64_t offset, uint8_t* out, uint64_t n) const;
  void Write(uint64_t offset, const uint8_t* in, uint64_t n);
  // The writes so far become the image that Reset returns to.
  void Freeze();
  // Drops every write since the last Freeze.
  void Reset() { overlay_.clear(); }
  // Byte offsets of the chunks of the frozen image that hold data, in order.
  std::vector<uint64_t> FrozenChunks() const;

 private:
  using Chunks = std::unordered_map<uint64_t, std::vector<uint8_t>>;
  const std::vector<uint8_t>* Find(uint64_t chunk) const;
  Chunks base_, overlay_;
};

struct MemoryDisk {
  const uint8_t* data = nullptr;  // not owned
  size_t size = 0;                // bytes of data; the rest of the disk is zeros
  SparseImage* image = nullptr;   // when set, the disk (writable) instead of data
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
// default one) whose drive table has one drive served by disk, with console output off, the
// machine's mounts not scanned and no device service threads. The drive is read-only unless
// writable is set (formatting and repair refuse a read-only drive). Returns the drive's name;
// aborts when it cannot.
std::string InstallMemoryDrive(MemoryDisk* disk, bool writable = false);

}  // namespace fuzz
