#include "api/shared_records.h"

SharedRecords::SharedRecords() { clients_[0].userId = 0; }

StorageParams& SharedRecords::params() {
  std::call_once(paramsOnce_, [this] { params_ = std::make_unique<StorageParams>(); });
  return *params_;
}

bool SharedRecords::ReportStatus(int code, const void* data, int length) const {
  QVFS_StatusCallback cb = statusCb_.load();
  if (cb) cb(code, data, length);
  return cb != nullptr;
}

void FillRecordItem(RecordItem* item, const _rec_file_info_& r) {
  item->channel = r.channel;
  item->tzHours = static_cast<uint8_t>(r.tzByte >> 1);
  item->size = r.size;
  item->zero12 = 0;
  item->startSec = static_cast<uint32_t>(r.startMs / 1000);
  item->endSec = static_cast<uint32_t>(r.endMs / 1000);
  item->fileIndex = r.fileIndex;
  item->state = r.state;
  item->typeBits = r.typeBits;
  item->diskNo = r.diskNo;
  item->segmentNo = r.segmentNo;
}

_rec_file_info_ RecordItemToInfo(const RecordItem& item) {
  _rec_file_info_ info{};
  info.channel = item.channel;
  info.state = item.state;
  info.diskNo = item.diskNo;
  info.segmentNo = item.segmentNo;
  info.typeBits = item.typeBits;
  info.tzByte = static_cast<uint8_t>(item.tzHours << 1);
  info.fileIndex = item.fileIndex;
  info.size = item.size;
  info.startMs = static_cast<int64_t>(item.startSec) * 1000;
  info.endMs = static_cast<int64_t>(item.endSec) * 1000;
  return info;
}
