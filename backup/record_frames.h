// The frames of one record as the backup writers take them: the record opened with a record
// reader at its start (the key frame at or before it), frames handed out until the data ends or
// a frame lies past the record's end.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "qvfs/records.h"
#include "record/frame_strategy.h"
#include "record/record_reader.h"

class RecordFrames {
 public:
  RecordFrames(CRecordReader& reader, const _rec_file_info_& record, uint32_t bufferBytes);
  ~RecordFrames();

  // Opens the record: 0 or the reader's error.
  int Open();
  // The next frame into frame(): its length, 0 at the end of the record, or the reader's
  // error (a damaged record).
  int Next();
  // Frames until one whose type is in `types` ("I", or "IM"): its length, 0 when the record
  // ends first, or the reader's error.
  int NextOfType(const char* types);

  uint8_t* frame() { return buffer_.get(); }
  // The current frame's header facts (valid after Next returned a length).
  uint8_t type() const { return type_; }
  int64_t pts() const { return pts_; }
  uint32_t headerBytes() const { return header_; }
  uint32_t auxValue() const { return aux_; }
  uint16_t width() const { return width_; }
  uint16_t height() const { return height_; }
  uint64_t bytesRead() const { return bytes_; }

 private:
  CRecordReader& reader_;
  _rec_file_info_ record_;
  // Not zeroed: a frame is only ever read up to the length the reader gave.
  std::unique_ptr<uint8_t[]> buffer_;
  uint32_t bufferBytes_;
  CFrmStategy selector_;
  uint8_t type_ = 0;
  int64_t pts_ = 0;
  uint32_t header_ = 0, aux_ = 0;
  uint16_t width_ = 0, height_ = 0;
  uint64_t bytes_ = 0;
};
