#include "serialfile/region_io.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "device/disk_dev.h"
#include "platform/messages.h"

using platform::ConsolePrintf;

RegionState::RegionState() : sectorBuf(512, 0), cacheBuf(512, 0) {}

namespace region_io {

const RegionMessages kPlainMessages = {"dataSize %d is ERR_DATA_OVER_FILE. file size %d \n"};

namespace {

// Whole sectors between the caller's buffer and the device: runs of the device's largest
// transfer, then the leftover sectors in one command.
int Body(CDisk_Dev* dev, const RegionState& st, uint64_t lba, uint8_t* buf, uint64_t bytes,
         bool write) {
  const uint32_t s = st.sectorSize;
  const uint32_t runBlocks = static_cast<uint32_t>(std::max(1, dev->GetMaxTransCnt()));
  const uint64_t run = static_cast<uint64_t>(runBlocks) * s;
  while (bytes >= run) {
    int r = write ? dev->Write_try(lba, runBlocks, buf, static_cast<uint32_t>(run))
                  : dev->Read_try(lba, runBlocks, buf, static_cast<uint32_t>(run));
    if (r != 0) return r;
    lba += runBlocks;
    buf += run;
    bytes -= run;
  }
  if (uint32_t whole = static_cast<uint32_t>(bytes >> CDisk_Dev::SectorShift(s))) {
    int r = write ? dev->Write_try(lba, whole, buf, whole * s) : dev->Read_try(lba, whole, buf, whole * s);
    if (r != 0) return r;
  }
  return 0;
}

// Patches bytes [offset, offset + count) of the sector at lba by read-modify-write.
int PatchSector(CDisk_Dev* dev, RegionState& st, uint64_t lba, uint32_t offset, const uint8_t* src,
                uint32_t count) {
  const uint32_t s = st.sectorSize;
  int r = dev->Read_try(lba, 1, st.sectorBuf.data(), s);
  if (r != 0) return r;
  std::memcpy(st.sectorBuf.data() + offset, src, count);
  return dev->Write_try(lba, 1, st.sectorBuf.data(), s);
}

int ReadWalk(CDisk_Dev* dev, RegionState& st, uint64_t pos, uint8_t* buf, uint32_t size) {
  const uint32_t s = st.sectorSize;  // a power of two (Open refuses others)
  const unsigned shift = CDisk_Dev::SectorShift(s);
  uint64_t lba = st.startLba + (pos >> shift);
  const uint32_t o = static_cast<uint32_t>(pos & (s - 1));
  uint32_t left = size;
  if (o != 0) {
    uint32_t c = std::min(s - o, left);
    int r = dev->Read_try(lba, 1, st.sectorBuf.data(), s);
    if (r != 0) return r;
    std::memcpy(buf, st.sectorBuf.data() + o, c);
    buf += c;
    left -= c;
    ++lba;
    if (left == 0) return 0;
  }
  const uint32_t t = left & (s - 1);
  if (int r = Body(dev, st, lba, buf, left - t, false)) return r;
  lba += (left - t) >> shift;
  buf += left - t;
  if (t != 0) {
    int r = dev->Read_try(lba, 1, st.sectorBuf.data(), s);
    if (r != 0) return r;
    std::memcpy(buf, st.sectorBuf.data(), t);
  }
  return 0;
}

int WriteWalk(CDisk_Dev* dev, RegionState& st, uint64_t pos, const uint8_t* buf, uint32_t size) {
  const uint32_t s = st.sectorSize;  // a power of two (Open refuses others)
  const unsigned shift = CDisk_Dev::SectorShift(s);
  uint64_t lba = st.startLba + (pos >> shift);
  // A write over the sector WriteCachePos keeps makes its copy stale: it is read again.
  const uint64_t last = st.startLba + ((pos + size - 1) >> shift);
  if (size != 0 && st.cacheLba >= lba && st.cacheLba <= last) st.cacheLba = kNoCachedSector;
  const uint32_t o = static_cast<uint32_t>(pos & (s - 1));
  uint32_t left = size;
  if (o != 0) {
    uint32_t c = std::min(s - o, left);
    if (int r = PatchSector(dev, st, lba, o, buf, c)) return r;
    buf += c;
    left -= c;
    ++lba;
    if (left == 0) return 0;
  }
  const uint32_t t = left & (s - 1);
  if (int r = Body(dev, st, lba, const_cast<uint8_t*>(buf), left - t, true)) return r;
  lba += (left - t) >> shift;
  buf += left - t;
  if (t != 0) return PatchSector(dev, st, lba, 0, buf, t);
  return 0;
}

// Ends a walk: status back to idle, or the failure recorded.
int Finish(RegionState& st, int r, bool reading) {
  if (r != 0) {
    st.lastError = r;
    st.status = reading ? STATUS_READ_FAILED : STATUS_WRITE_FAILED;
    return r;
  }
  st.status = STATUS_IDLE;
  return 0;
}

// The disk behind the device is no longer the one this region was opened on (swapped, or found
// changed by the disk scan): nothing is read from or written to it through this region.
bool OtherMedium(CDisk_Dev* dev, const RegionState& st) {
  if (dev->medium() == st.medium) return false;
  ConsolePrintf("The disk under LBA %llu is not the one the file was opened on.\n",
                static_cast<unsigned long long>(st.startLba));
  return true;
}

// Sizes above INT_MAX cannot be reported back as a count.
bool TooLarge(uint32_t size) { return size > static_cast<uint32_t>(INT_MAX); }

}  // namespace

int Open(CDisk_Dev* dev, RegionState& st, uint64_t startLba, uint32_t dataSize, int mode) {
  if (startLba == 0) {
    ConsolePrintf("Error access MBR.\n");
    return ERR_ACCESS_MODE;
  }
  if (!dev) return ERR_NO_DEVICE;
  const uint32_t s = dev->get_sec_size();
  if (s & (s - 1)) return ERR_OVER_DEVICE;  // not a power of two: no sane region on it
  // The capacity is the last LBA: a region may end exactly on it.
  const uint64_t sectors = std::max<uint64_t>((uint64_t{dataSize} + s - 1) / s, 1);
  if (startLba + sectors - 1 > dev->get_capacity()) return ERR_OVER_DEVICE;
  st.lock = dev->get_lock();
  st.medium = dev->medium();
  st.dataSize = dataSize;
  st.sectorSize = s;
  st.startLba = startLba;
  st.mode = mode;
  st.curOffset = 0;
  st.status = STATUS_IDLE;
  st.cacheFill = 0;
  st.cacheLba = kNoCachedSector;
  st.lastError = 0;
  if (s > st.sectorBuf.size()) {
    st.sectorBuf.assign(s, 0);
    st.cacheBuf.assign(s, 0);
  }
  return 0;
}

int Close(RegionState& st) {
  CAutoLock g(st.lock);
  st.startLba = 0;
  st.dataSize = 0;
  st.curOffset = 0;
  st.status = STATUS_CLOSED;
  st.mode = MODE_CLOSED;
  return 0;
}

int Seek(RegionState& st, int64_t offset, int origin) {
  switch (origin) {
    case 0:
      if (offset < 0 || offset > st.dataSize) return ERR_SEEK_PARAM;
      st.curOffset = static_cast<uint32_t>(offset);
      return 0;
    case 1: {
      int64_t target = static_cast<int64_t>(st.curOffset) + offset;
      if (target < 0 || target > st.dataSize) return ERR_SEEK_PARAM;
      st.curOffset = static_cast<uint32_t>(target);
      return 0;
    }
    case 2:
      st.curOffset = st.dataSize ? st.dataSize - 1 : 0;
      return 0;
    default:
      ConsolePrintf("Error param.\n");
      return ERR_SEEK_PARAM;
  }
}

int Read(CDisk_Dev* dev, RegionState& st, void* buffer, uint32_t size, bool lock) {
  if (!dev) return ERR_NO_DEVICE;
  if (!buffer) return ERR_NULL_BUFFER;
  if (st.mode == MODE_WRONLY) {
    ConsolePrintf("The file is WRONLY.\n");
    return ERR_ACCESS_MODE;
  }
  if (OverFile(st, st.curOffset, size) || TooLarge(size)) {
    ConsolePrintf("dataSize %d is ERR_DATA_OVER_FILE.\n", static_cast<int>(size));
    return ERR_DATA_OVER_FILE;
  }
  if (size == 0) return 0;
  CAutoLock g(lock ? st.lock : nullptr);
  if (OtherMedium(dev, st)) return ERR_NO_DEVICE;
  st.status = STATUS_WRITING;
  int r = Finish(st, ReadWalk(dev, st, st.curOffset, static_cast<uint8_t*>(buffer), size), true);
  if (r != 0) return r;
  st.curOffset += size;
  return static_cast<int>(size);
}

int Write(CDisk_Dev* dev, RegionState& st, const void* buffer, uint32_t size, bool lock) {
  if (!dev) return ERR_NO_DEVICE;
  if (!buffer) return ERR_NULL_BUFFER;
  if (st.mode == MODE_RDONLY) {
    ConsolePrintf("The file is RDONLY.\n");
    return ERR_ACCESS_MODE;
  }
  if (OverFile(st, st.curOffset, size) || TooLarge(size)) {
    ConsolePrintf("dataSize %d is ERR_DATA_OVER_FILE.\n", static_cast<int>(size));
    return ERR_DATA_OVER_FILE;
  }
  if (size == 0) return 0;
  CAutoLock g(lock ? st.lock : nullptr);
  if (OtherMedium(dev, st)) return ERR_NO_DEVICE;
  st.status = STATUS_WRITING;
  int r = Finish(st, WriteWalk(dev, st, st.curOffset, static_cast<const uint8_t*>(buffer), size),
                 false);
  if (r != 0) return r;
  st.curOffset += size;
  return static_cast<int>(size);
}

// Flattened: the walk and its pieces inlined, fewer frames for the read to return through (see
// CDisk_Dev::Read_try).
__attribute__((flatten)) int ReadPos(CDisk_Dev* dev, RegionState& st, uint32_t position,
                                     void* buffer, uint32_t size, bool lock,
                                     const RegionMessages& msgs) {
  if (!dev) return ERR_NO_DEVICE;
  if (!buffer) return ERR_NULL_BUFFER;
  if (st.mode == MODE_WRONLY) {
    ConsolePrintf("The file is WRONLY.\n");
    return ERR_ACCESS_MODE;
  }
  if (OverFile(st, position, size) || TooLarge(size)) {
    ConsolePrintf(msgs.readPosOverFile, static_cast<int>(size), static_cast<int>(st.dataSize),
                  static_cast<int>(static_cast<uint64_t>(position) + size - st.dataSize));
    return ERR_DATA_OVER_FILE;
  }
  if (size == 0) {
    ConsolePrintf("dataSize %d Error .\n", 0);
    return ERR_ZERO_SIZE;
  }
  CAutoLock g(lock ? st.lock : nullptr);
  if (OtherMedium(dev, st)) return ERR_NO_DEVICE;
  st.status = STATUS_READING;
  int r = Finish(st, ReadWalk(dev, st, position, static_cast<uint8_t*>(buffer), size), true);
  return r != 0 ? r : static_cast<int>(size);
}

int WritePos(CDisk_Dev* dev, RegionState& st, uint32_t position, const void* buffer,
             uint32_t size, bool lock) {
  if (!dev) return ERR_NO_DEVICE;
  if (!buffer) return ERR_NULL_BUFFER;
  if (st.mode == MODE_RDONLY) {
    ConsolePrintf("The file is RDONLY.\n");
    return ERR_ACCESS_MODE;
  }
  if (OverFile(st, position, size) || TooLarge(size)) {
    ConsolePrintf("dataSize %d is ERR_DATA_OVER_FILE offset %d fileSize %d.\n",
                  static_cast<int>(size), static_cast<int>(position),
                  static_cast<int>(st.dataSize));
    return ERR_DATA_OVER_FILE;
  }
  if (size == 0) return 0;
  CAutoLock g(lock ? st.lock : nullptr);
  if (OtherMedium(dev, st)) return ERR_NO_DEVICE;
  st.status = STATUS_WRITING;
  int r = Finish(st, WriteWalk(dev, st, position, static_cast<const uint8_t*>(buffer), size),
                 false);
  return r != 0 ? r : static_cast<int>(size);
}

int WriteCachePos(CDisk_Dev* dev, RegionState& st, uint32_t position, const void* buffer,
                  uint32_t size, bool lock) {
  if (!dev) return ERR_NO_DEVICE;
  if (!buffer) return ERR_NULL_BUFFER;
  if (st.mode == MODE_RDONLY) {
    ConsolePrintf("The file is RDONLY.\n");
    return ERR_ACCESS_MODE;
  }
  if (OverFile(st, position, size) || TooLarge(size)) {
    ConsolePrintf("dataSize  %d is ERR_DATA_OVER_FILE.\n", static_cast<int>(size));
    return ERR_DATA_OVER_FILE;
  }
  if (size == 0) return 0;
  CAutoLock g(lock ? st.lock : nullptr);
  if (OtherMedium(dev, st)) return ERR_NO_DEVICE;
  st.status = STATUS_WRITING;
  const uint32_t s = st.sectorSize;  // a power of two (Open refuses others)
  const unsigned shift = CDisk_Dev::SectorShift(s);
  const auto* src = static_cast<const uint8_t*>(buffer);
  uint64_t lba = st.startLba + (position >> shift);
  const uint32_t o = position & (s - 1);
  uint32_t left = size;
  if (o != 0) {
    uint32_t c = std::min(s - o, left);
    if (position == st.curOffset) {
      // Appending inside the cached sector. The cache holds this sector's first bytes only when
      // it is this sector and its fill equals the in-sector offset; otherwise (just opened, a
      // seek to another sector, or the file was written elsewhere) the sector is read first, so
      // its earlier bytes are kept.
      if (st.cacheLba != lba || st.cacheFill != o) {
        int r = dev->Read_try(lba, 1, st.cacheBuf.data(), s);
        if (r != 0) return Finish(st, r, false);
        st.cacheFill = o;
      }
      std::memcpy(st.cacheBuf.data() + o, src, c);
      int r = dev->Write_try(lba, 1, st.cacheBuf.data(), s);
      if (r != 0) return Finish(st, r, false);
      st.cacheFill = left > c ? 0 : st.cacheFill + c;
      st.cacheLba = left > c ? kNoCachedSector : lba;
    } else {
      if (st.cacheLba == lba) st.cacheLba = kNoCachedSector;
      int r = PatchSector(dev, st, lba, o, src, c);
      if (r != 0) return Finish(st, r, false);
    }
    src += c;
    left -= c;
    ++lba;
    if (left == 0) {
      st.curOffset = position + size;
      Finish(st, 0, false);
      return static_cast<int>(size);
    }
  }
  const uint32_t t = left & (s - 1);
  if (st.cacheLba >= lba && st.cacheLba < lba + ((left - t) >> shift)) st.cacheLba = kNoCachedSector;
  if (int r = Body(dev, st, lba, const_cast<uint8_t*>(src), left - t, true))
    return Finish(st, r, false);
  lba += (left - t) >> shift;
  src += left - t;
  if (t != 0) {
    // The tail goes to disk followed by zeros and stays cached for the next append.
    std::memcpy(st.cacheBuf.data(), src, t);
    std::memset(st.cacheBuf.data() + t, 0, s - t);
    st.cacheFill = t;
    st.cacheLba = lba;
    int r = dev->Write_try(lba, 1, st.cacheBuf.data(), s);
    if (r != 0) return Finish(st, r, false);
  }
  st.curOffset = position + size;
  Finish(st, 0, false);
  return static_cast<int>(size);
}

}  // namespace region_io
