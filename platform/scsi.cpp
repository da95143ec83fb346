#include "platform/scsi.h"

namespace platform {

void SetFixedSense(uint8_t* sense, uint8_t key, uint8_t asc, uint8_t ascq) {
  std::memset(sense, 0, kSenseAreaSize);
  sense[0] = 0x70;
  sense[2] = key & 0x0F;
  sense[7] = 10;  // additional sense length
  sense[12] = asc;
  sense[13] = ascq;
}

void SetSenseProgress(uint8_t* sense, uint16_t progress) {
  sense[15] = 0x80;
  sense[16] = static_cast<uint8_t>(progress >> 8);
  sense[17] = static_cast<uint8_t>(progress);
}

void AnswerReadCapacity(ScsiRequest& req, uint64_t lastLba, uint32_t sectorSize) {
  uint8_t data[32] = {};
  uint32_t n = 8;
  if (req.cdb[0] == kOpReadCapacity10) {
    PutBe(data, 4, lastLba < 0xFFFFFFFFull ? lastLba : 0xFFFFFFFFull);
    PutBe(data + 4, 4, sectorSize);
  } else {
    PutBe(data, 8, lastLba);
    PutBe(data + 8, 4, sectorSize);
    uint32_t asked = static_cast<uint32_t>(GetBe(req.cdb + 10, 4));
    n = asked < 32 ? asked : 32;
  }
  if (req.data) std::memcpy(req.data, data, req.dataLength < n ? req.dataLength : n);
}

bool DecodeReadWrite(const ScsiRequest& req, uint64_t* lba, uint32_t* blocks, bool* isWrite) {
  switch (req.cdb[0]) {
    case kOpRead10:
    case kOpWrite10:
      *lba = GetBe(req.cdb + 2, 4);
      *blocks = static_cast<uint32_t>(GetBe(req.cdb + 7, 2));
      *isWrite = req.cdb[0] == kOpWrite10;
      return true;
    case kOpRead16:
    case kOpWrite16:
      *lba = GetBe(req.cdb + 2, 8);
      *blocks = static_cast<uint32_t>(GetBe(req.cdb + 10, 4));
      *isWrite = req.cdb[0] == kOpWrite16;
      return true;
    default:
      return false;
  }
}

}  // namespace platform
