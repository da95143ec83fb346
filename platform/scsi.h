// One SCSI command as it crosses the seam to the operating system, and the transport interface
// every backend (SG_IO, emulation over images and block devices, fault injection) implements.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

// Data direction of a command; the values are the pass-through direction codes.
enum IO_Direction : int { IO_DATA_OUT = 0, IO_DATA_IN = 1, IO_NO_DATA = 2 };

namespace platform {

constexpr int kSenseAreaSize = 20;   // sense bytes kept with a request
// Sense bytes asked of the device. Fixed-format sense is 18 bytes and its progress indication
// lies in bytes 16..17, so the whole area is asked for, not only 16 bytes.
constexpr int kSenseLength = kSenseAreaSize;
constexpr uint32_t kCommandTimeoutSec = 30;

// SCSI operation codes used by the library.
enum ScsiOp : uint8_t {
  kOpTestUnitReady = 0x00,
  kOpRequestSense = 0x03,
  kOpInquiry = 0x12,
  kOpStartStopUnit = 0x1B,
  kOpReadCapacity10 = 0x25,
  kOpRead10 = 0x28,
  kOpWrite10 = 0x2A,
  kOpSynchronizeCache10 = 0x35,
  kOpRead16 = 0x88,
  kOpWrite16 = 0x8A,
  kOpServiceActionIn16 = 0x9E,  // READ CAPACITY(16) with service action 10h
};

// Sense keys.
enum SenseKey : uint8_t {
  kSkNoSense = 0x0,
  kSkNotReady = 0x2,
  kSkMediumError = 0x3,
  kSkHardwareError = 0x4,
  kSkIllegalRequest = 0x5,
  kSkUnitAttention = 0x6,
  kSkDataProtect = 0x7,
};

// One command and its outcome. CDisk_Dev::BuildCdb resets it field by field: a new field needs
// its reset there too.
struct ScsiRequest {
  uint8_t cdb[16] = {};
  uint8_t cdbLength = 0;
  int direction = IO_NO_DATA;
  void* data = nullptr;
  uint32_t dataLength = 0;
  uint32_t timeoutSec = kCommandTimeoutSec;
  uint8_t sense[kSenseAreaSize] = {};
};

// Big-endian field helpers of CDBs and command data.
inline uint64_t GetBe(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  return v;
}
inline void PutBe(uint8_t* p, int n, uint64_t v) {
  for (int i = n - 1; i >= 0; --i, v >>= 8) p[i] = static_cast<uint8_t>(v);
}

// Fills fixed-format sense data (response code 70h) with key, ASC and ASCQ.
void SetFixedSense(uint8_t* sense, uint8_t key, uint8_t asc, uint8_t ascq);
// Adds a progress indication (sense-key-specific bytes 15..17) to fixed-format sense.
void SetSenseProgress(uint8_t* sense, uint16_t progress);

// Fills the data of a READ CAPACITY(10) (last LBA capped at FFFFFFFFh, which tells the host to
// ask READ CAPACITY(16)) or READ CAPACITY(16) request, as its opcode says.
void AnswerReadCapacity(ScsiRequest& req, uint64_t lastLba, uint32_t sectorSize);

// LBA and block count of a READ/WRITE(10)/(16) command; false for other commands.
bool DecodeReadWrite(const ScsiRequest& req, uint64_t* lba, uint32_t* blocks, bool* isWrite);

// One opened device. Execute sends one command:
//  - returns true when the call itself completed; the command failed when sense byte 0 has any
//    of the bits 70h set;
//  - returns false when the OS call failed; GetLastOsError() then holds the reason (6 when the
//    handle is gone and the device must be re-opened).
class ScsiTransport {
 public:
  virtual ~ScsiTransport() = default;
  virtual bool Execute(ScsiRequest& req) = 0;
  // Makes blocks [first, first + count) read as zeros without writing them, where the medium
  // allows it (a sparse image file: the range becomes a hole). False when not supported; the
  // caller then writes zeros. Real devices always get real writes.
  virtual bool DiscardToZero(uint64_t first, uint64_t count) {
    (void)first;
    (void)count;
    return false;
  }
  // The OS handle behind the transport (a file descriptor), for display and identity only.
  virtual int Handle() const = 0;
};

}  // namespace platform
