// Answers SCSI commands from a disk image or from a block device that does not take SG_IO
// (NVMe, virtio, mmcblk, loop): reads and writes go through pread/pwrite, the capacity comes
// from the file size or BLKGETSIZE64, and errors become the sense data a disk would return.
#pragma once

#include <atomic>
#include <string>

#include "platform/scsi.h"

namespace platform {

struct EmulationParams {
  int fd = -1;               // owned: closed with the transport
  uint32_t sectorSize = 512;  // bytes per logical block
  bool readOnly = false;     // writes end with DATA PROTECT 27h/00h
  bool blockDevice = false;  // size by BLKGETSIZE64 instead of fstat
  std::string vendor;        // INQUIRY vendor (8 bytes shown)
  std::string product;       // INQUIRY product (16 bytes shown)
};

class EmulatingTransport : public ScsiTransport {
 public:
  explicit EmulatingTransport(EmulationParams params);
  ~EmulatingTransport() override;

  bool Execute(ScsiRequest& req) override;
  bool DiscardToZero(uint64_t first, uint64_t count) override;
  int Handle() const override { return p_.fd; }

 private:
  bool SizeInBlocks(uint64_t* blocks);
  bool Inquiry(ScsiRequest& req);
  bool ReadCapacity(ScsiRequest& req);
  bool ReadWrite(ScsiRequest& req);
  bool Synchronize(ScsiRequest& req);

  EmulationParams p_;
  // The size in blocks the last SizeInBlocks found (0 before the first): what reads go by.
  std::atomic<uint64_t> knownBlocks_{0};
};

}  // namespace platform
