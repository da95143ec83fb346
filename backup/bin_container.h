// The ".bin" backup container: a record file as an ordinary file. The record head at 0 (state
// 0x1111 while writing, 0x6666 once closed), the index entries at 8192 written at close (one per
// key or audio frame, at most 9215 so that the index and the empty entry after it end before the
// data), frames from 0x2F000 back to back.
//
// "PTMF" and "KRVX" frames are written whole (tag header and payload), so that the container is
// a record file the record reader plays back; their type, time and length come through the
// frame-header selector. "FSFM" frames keep the recorder's own layout: the first 52 bytes of the
// frame record are left out and type, length and time are read at offsets 6, 12 and 24.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "record/frame_strategy.h"
#include "record/record_format.h"

class BinContainer {
 public:
  static constexpr uint32_t kMaxEntries = recfile::kMaxIndexEntries - 1;  // 9215
  static constexpr uint32_t kFsfmSkip = 52;

  ~BinContainer() { Close(); }

  // Creates the file (0 or -99) with the head for a record of `recordBytes` bytes.
  int Create(const std::string& path, int channel, uint32_t fileIndex, int64_t startMs,
             uint32_t recordBytes);
  // Appends one frame record: 0, -1003 on a short write, -2004 past 4 GiB.
  int Append(const uint8_t* frame, uint32_t length);
  // Writes the closing head and the index and closes the file: 0 or -1003.
  int Close();
  bool IsOpen() const { return file_ != nullptr; }
  uint32_t dataEnd() const { return dataEnd_; }
  // Whether the index stopped taking entries ("Write Index fail.").
  bool indexFull() const { return indexFull_; }

 private:
  int WriteHead(uint16_t state);

  FILE* file_ = nullptr;
  recfile::RecordHead head_{};
  std::vector<recfile::IndexEntry> index_;
  uint32_t dataEnd_ = recfile::kDataOffset;
  bool indexFull_ = false;
  int64_t lastMs_ = 0;
  CFrmStategy selector_;
};
