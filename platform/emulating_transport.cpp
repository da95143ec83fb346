#include "platform/emulating_transport.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/last_error.h"

namespace platform {

namespace {
void CopyPadded(uint8_t* dst, const std::string& s, size_t n) {
  std::memset(dst, ' ', n);
  std::memcpy(dst, s.data(), std::min(n, s.size()));
}
}  // namespace

EmulatingTransport::EmulatingTransport(EmulationParams params) : p_(std::move(params)) {
  if (p_.sectorSize == 0) p_.sectorSize = 512;
}

EmulatingTransport::~EmulatingTransport() {
  if (p_.fd >= 0) ::close(p_.fd);
}

// Flattened, so that a read returns from pread through one frame of the transport rather than
// three (see CDisk_Dev::Read_try).
__attribute__((flatten)) bool EmulatingTransport::Execute(ScsiRequest& req) {
  std::memset(req.sense, 0, sizeof req.sense);
  if (p_.fd < 0) {
    SetLastOsError(kOsInvalidHandle);
    return false;
  }
  switch (req.cdb[0]) {
    case kOpTestUnitReady:
    case kOpStartStopUnit:
      return true;
    case kOpRequestSense:
      if (req.data && req.dataLength) {
        uint8_t sense[kSenseAreaSize];
        SetFixedSense(sense, kSkNoSense, 0, 0);
        std::memcpy(req.data, sense, std::min<uint32_t>(req.dataLength, sizeof sense));
      }
      return true;
    case kOpInquiry:
      return Inquiry(req);
    case kOpReadCapacity10:
      return ReadCapacity(req);
    case kOpServiceActionIn16:
      if ((req.cdb[1] & 0x1F) != 0x10) break;
      return ReadCapacity(req);
    case kOpRead10:
    case kOpWrite10:
    case kOpRead16:
    case kOpWrite16:
      return ReadWrite(req);
    case kOpSynchronizeCache10:
      return Synchronize(req);
    default:
      break;
  }
  SetFixedSense(req.sense, kSkIllegalRequest, 0x20, 0x00);  // invalid command operation code
  return true;
}

bool EmulatingTransport::SizeInBlocks(uint64_t* blocks) {
  uint64_t bytes = 0;
  if (p_.blockDevice) {
    if (ioctl(p_.fd, BLKGETSIZE64, &bytes) != 0) return false;
  } else {
    struct stat st {};
    if (fstat(p_.fd, &st) != 0) return false;
    bytes = static_cast<uint64_t>(st.st_size);
  }
  *blocks = bytes / p_.sectorSize;
  knownBlocks_.store(*blocks, std::memory_order_relaxed);
  return true;
}

bool EmulatingTransport::Inquiry(ScsiRequest& req) {
  uint8_t data[36] = {};
  data[0] = 0x00;  // direct-access block device
  data[2] = 0x05;  // SPC-3
  data[3] = 0x02;
  data[4] = 31;    // additional length
  CopyPadded(data + 8, p_.vendor, 8);
  CopyPadded(data + 16, p_.product, 16);
  CopyPadded(data + 32, "0001", 4);
  if (req.data) std::memcpy(req.data, data, std::min<uint32_t>(req.dataLength, sizeof data));
  return true;
}

bool EmulatingTransport::ReadCapacity(ScsiRequest& req) {
  uint64_t blocks = 0;
  if (!SizeInBlocks(&blocks)) {
    SetLastOsErrorFromErrno(errno);
    return false;
  }
  if (blocks == 0) {
    SetFixedSense(req.sense, kSkNotReady, 0x3A, 0x00);  // medium not present
    return true;
  }
  AnswerReadCapacity(req, blocks - 1, p_.sectorSize);
  return true;
}

bool EmulatingTransport::ReadWrite(ScsiRequest& req) {
  uint64_t lba = 0;
  uint32_t count = 0;
  bool isWrite = false;
  DecodeReadWrite(req, &lba, &count, &isWrite);
  const auto outOfRange = [&](uint64_t blocks) { return lba > blocks || count > blocks - lba; };
  // Writes ask the size each time, so that a write never grows an image that shrank meanwhile.
  // Reads trust the size last seen unless the request lies past it (the image may have grown);
  // a read past an image that shrank comes back short and is checked against the size again.
  uint64_t blocks = knownBlocks_.load(std::memory_order_relaxed);
  if ((isWrite || outOfRange(blocks)) && !SizeInBlocks(&blocks)) {
    SetLastOsErrorFromErrno(errno);
    return false;
  }
  uint64_t bytes = static_cast<uint64_t>(count) * p_.sectorSize;
  if (outOfRange(blocks) || bytes > req.dataLength || !req.data) {
    SetFixedSense(req.sense, kSkIllegalRequest, 0x21, 0x00);  // LBA out of range
    return true;
  }
  if (isWrite && p_.readOnly) {
    SetFixedSense(req.sense, kSkDataProtect, 0x27, 0x00);  // write protected
    return true;
  }
  auto* buf = static_cast<uint8_t*>(req.data);
  uint64_t off = lba * p_.sectorSize;
  uint64_t done = 0;
  while (done < bytes) {
    ssize_t n = isWrite ? ::pwrite(p_.fd, buf + done, bytes - done, off + done)
                        : ::pread(p_.fd, buf + done, bytes - done, off + done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EBADF || errno == ENODEV || errno == ENXIO)) {
      SetLastOsErrorFromErrno(errno);
      return false;
    }
    if (n == 0 && !isWrite && SizeInBlocks(&blocks) && outOfRange(blocks)) {
      SetFixedSense(req.sense, kSkIllegalRequest, 0x21, 0x00);  // the image shrank
      return true;
    }
    if (n <= 0) {
      if (isWrite)
        SetFixedSense(req.sense, kSkMediumError, 0x0C, 0x00);  // write error
      else
        SetFixedSense(req.sense, kSkMediumError, 0x11, 0x00);  // unrecovered read error
      return true;
    }
    done += static_cast<uint64_t>(n);
  }
  return true;
}

bool EmulatingTransport::DiscardToZero(uint64_t first, uint64_t count) {
  if (p_.blockDevice || p_.readOnly || count == 0) return false;
  uint64_t blocks = 0;
  if (!SizeInBlocks(&blocks) || first >= blocks || count > blocks - first) return false;
  // Punching a hole keeps the file size and reads back as zeros.
  return fallocate(p_.fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                   static_cast<off_t>(first * p_.sectorSize),
                   static_cast<off_t>(count * p_.sectorSize)) == 0;
}

bool EmulatingTransport::Synchronize(ScsiRequest& req) {
  if (p_.readOnly) return true;
  if (fdatasync(p_.fd) != 0) SetFixedSense(req.sense, kSkMediumError, 0x0C, 0x00);
  return true;
}

}  // namespace platform
