#include "index/index_format.h"

#include <zlib.h>

#include <cstring>

namespace recindex {

RecIndexHeader BuildHeader(uint32_t recordFileMB, uint32_t recordFileCount, int64_t createdSec,
                           uint32_t channelCount, uint64_t recordAreaLba) {
  RecIndexHeader h;
  std::memset(&h, 0, sizeof h);
  std::memcpy(h.magic, "STFS", 4);
  std::memcpy(h.magic2, " IDX", 4);
  std::memcpy(h.version, "0010", 4);
  h.constA = 1024;
  h.constB = 1024;
  h.recordFileBytes = recordFileMB << 20;
  h.entryOffset = kEntriesOffset;
  h.entryBytes = kEntryBytes;
  h.entryCount = recordFileCount;
  h.segmentTableOffset = kSegmentTableOffset;
  h.segmentBytes = kSegmentBytes;
  h.segmentsPerEntry = kSegmentsPerEntry;
  h.indexBytes = static_cast<uint32_t>(IndexBytes(recordFileCount));
  h.recordAreaLba = recordAreaLba;
  // The CRC is taken before the creation time and channel count go in, so bytes 56..67 count
  // as zero in it (the record area start at 68 counts as written).
  h.crc = Crc32(&h, offsetof(RecIndexHeader, crc));
  h.createdSec = createdSec;
  h.channelCount = channelCount;
  return h;
}

bool HasMagic(const RecIndexHeader& h) { return std::memcmp(h.magic, "STFS", 4) == 0; }

bool LayoutConsistent(const RecIndexHeader& h) {
  if (h.entryOffset != kEntriesOffset || h.entryBytes != kEntryBytes) return false;
  return uint64_t{h.indexBytes} == IndexBytes(h.entryCount);
}

uint32_t Crc32(const void* data, size_t n) {
  uLong crc = crc32(0L, Z_NULL, 0);
  const Bytef* p = static_cast<const Bytef*>(data);
  while (n > 0) {  // zlib takes 32-bit lengths
    uInt piece = n > 0x40000000u ? 0x40000000u : static_cast<uInt>(n);
    crc = crc32(crc, p, piece);
    p += piece;
    n -= piece;
  }
  return static_cast<uint32_t>(crc);
}

}  // namespace recindex
