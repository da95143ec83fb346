// The recovery scan of a record disk: every record file's data area is read in large sequential
// transfers and searched for frames that no index entry or segment record covers; those are
// grouped into pieces (recovery_scan.h) with the reason the index does not show them. The scan
// only reads: nothing is written to the disk.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "record/recovery_scan.h"

namespace recovery {

struct ScanOptions {
  uint32_t channelMask = 0xFFFFFFFFu;  // the channels whose pieces are kept
  int64_t fromMs = 0;                  // pieces that end before it are left out
  int64_t toMs = INT64_MAX;            // pieces that start after it are left out
  // Called after each transfer: bytes read so far and in all.
  std::function<void(uint64_t done, uint64_t total)> progress;
};

// The bytes of each transfer: large sequential reads, and room for the longest frame taken.
constexpr uint32_t kTransferBytes = 8u << 20;
constexpr uint32_t kMaxFrameBytes = 4u << 20;

// Scans the record disk known by the name drive (a device name or a folder disk's path, as
// the disk list gives it). 0 with the pieces in file order, -5002 when drive is not a record
// disk, or the first read's code of a file that cannot be opened at all.
int ScanDisk(const std::string& drive, const ScanOptions& options, std::vector<Piece>* pieces);

}  // namespace recovery
