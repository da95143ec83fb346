// The transfer logic of a region file: a contiguous run of sectors of a device that looks like
// a file of a fixed byte size. CSerial_file and the device variant CSerialFileRaw both keep a
// RegionState and run their transfers through these functions, so the sector walk exists once.
//
// A region never includes sector 0. Byte offsets are 32-bit: a region spans less than 4 GiB.
// The state is not locked; with the lock flag a transfer holds the device lock for its whole
// run (read-modify-write of partial sectors included), otherwise the caller holds it.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/critical_section.h"

class CDisk_Dev;

// Region-file result codes (negative: failure). Device results 3 (medium error) and 4
// (hardware error) pass through unchanged.
enum RegionResult : int {
  ERR_SEEK_PARAM = -1001,
  ERR_READ_FAILED = -1002,
  ERR_WRITE_FAILED = -1003,
  ERR_ZERO_SIZE = -2002,
  ERR_DATA_OVER_FILE = -2004,
  ERR_NULL_BUFFER = -2005,
  ERR_ACCESS_MODE = -2006,
  ERR_OVER_DEVICE = -2009,
  ERR_NO_DEVICE = -2010,
};

// Access modes.
enum RegionMode : int { MODE_CLOSED = -1, MODE_RDONLY = 0, MODE_WRONLY = 1, MODE_RDWR = 2 };

// Transfer states (GetStatus).
enum RegionStatus : int {
  STATUS_CLOSED = -1,
  STATUS_IDLE = 0,
  STATUS_WRITING = 1,  // sequential or positioned write, or sequential read, under way
  STATUS_READING = 2,  // positioned read under way
  STATUS_WRITE_FAILED = 3,
  STATUS_READ_FAILED = 4,
};

struct RegionState {
  RegionState();

  uint32_t sectorSize = 512;
  uint64_t startLba = 2048;
  uint32_t dataSize = 134217728;
  int mode = MODE_CLOSED;
  bool recordTime = false;
  int status = STATUS_IDLE;
  int lastError = 0;
  uint32_t curOffset = 0;
  std::vector<uint8_t> sectorBuf;  // read-modify-write of partial sectors
  std::vector<uint8_t> cacheBuf;   // the last partial sector appended by WriteCachePos
  uint32_t cacheFill = 0;          // valid bytes in cacheBuf
  uint64_t cacheLba = ~uint64_t{0};  // the sector cacheBuf holds (kNoCachedSector: none)
  int64_t lastWriteTime = 0;
  CCriticalSection* lock = nullptr;  // the device's lock once opened
  uint64_t medium = 0;               // the device's medium when opened (see CDisk_Dev::medium)
};

// Over-size messages differ between the two users; everything else is shared.
struct RegionMessages {
  // printf format with (size, data size, position + size - data size).
  const char* readPosOverFile;
};

namespace region_io {

constexpr uint64_t kNoCachedSector = ~uint64_t{0};

extern const RegionMessages kPlainMessages;

// True when [position, position + size) does not fit in the region; computed without wrapping.
inline bool OverFile(const RegionState& st, uint64_t position, uint64_t size) {
  return position + size > st.dataSize;
}

int Open(CDisk_Dev* dev, RegionState& st, uint64_t startLba, uint32_t dataSize, int mode);
int Close(RegionState& st);
int Seek(RegionState& st, int64_t offset, int origin);
int Read(CDisk_Dev* dev, RegionState& st, void* buffer, uint32_t size, bool lock);
int Write(CDisk_Dev* dev, RegionState& st, const void* buffer, uint32_t size, bool lock);
int ReadPos(CDisk_Dev* dev, RegionState& st, uint32_t position, void* buffer, uint32_t size,
            bool lock, const RegionMessages& msgs);
int WritePos(CDisk_Dev* dev, RegionState& st, uint32_t position, const void* buffer,
             uint32_t size, bool lock);
int WriteCachePos(CDisk_Dev* dev, RegionState& st, uint32_t position, const void* buffer,
                  uint32_t size, bool lock);

}  // namespace region_io
