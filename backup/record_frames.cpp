#include "backup/record_frames.h"

#include <cstring>

RecordFrames::RecordFrames(CRecordReader& reader, const _rec_file_info_& record,
                           uint32_t bufferBytes)
    : reader_(reader),
      record_(record),
      buffer_(new uint8_t[bufferBytes]),
      bufferBytes_(bufferBytes) {}

RecordFrames::~RecordFrames() {
  reader_.Close();
  reader_.ClearPlayBuffer();
}

int RecordFrames::Open() { return reader_.OpenRecord(record_, record_.startMs, true); }

int RecordFrames::Next() {
  const int n = reader_.GetFrame(buffer_.get(), bufferBytes_);
  // The end of the data (or of the wanted range) is the end of the record.
  if (n == 0 || n == ERR_READER_END || n == ERR_READER_PAST_END) return 0;
  if (n < 0) return n;
  if (selector_.SelectWithin(buffer_.get(), static_cast<uint64_t>(n)) != 0) {
    type_ = 0;
    pts_ = 0;
    header_ = 0;
    return n;  // not a tagged frame: the writers skip it
  }
  CFrmStrategy* s = selector_.Current();
  type_ = s->GetFrameType();
  pts_ = s->GetPts();
  header_ = s->GetHeaderLength();
  aux_ = s->GetAuxValue();
  width_ = s->GetWidth();
  height_ = s->GetHeight();
  const int64_t end = record_.endMs;
  if (end > 0 && selector_.RangeTime() > end) return 0;  // past the record: the next recording's
  bytes_ += static_cast<uint64_t>(n);
  return n;
}

int RecordFrames::NextOfType(const char* types) {
  for (;;) {
    const int n = Next();
    if (n <= 0) return n;
    if (type_ != 0 && std::strchr(types, type_)) return n;
  }
}
