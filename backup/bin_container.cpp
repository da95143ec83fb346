#include "backup/bin_container.h"

#include <cstring>
#include <limits>

#include "disklayout/le.h"
#include "platform/messages.h"

using namespace recfile;

namespace {
constexpr int kErrCreate = -99;
constexpr int kErrWrite = -1003;
constexpr int kErrTooBig = -2004;
constexpr uint32_t kMagicFsfm = 0x4D465346;  // "FSFM"
}  // namespace

int BinContainer::Create(const std::string& path, int channel, uint32_t fileIndex,
                         int64_t startMs, uint32_t recordBytes) {
  Close();
  file_ = std::fopen(path.c_str(), "wb+");
  if (!file_) {
    DebugLog("Open file error. error no %d ", errno);
    return kErrCreate;
  }
  const uint64_t size = uint64_t{recordBytes} + kDataOffset;
  head_ = NewHead(static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX)), 0,
                  static_cast<uint16_t>(channel), fileIndex);
  head_.dataEnd = head_.fileSize;
  head_.startTime = head_.endTime = startMs;
  index_.clear();
  indexFull_ = false;
  dataEnd_ = kDataOffset;
  lastMs_ = startMs;
  if (WriteHead(kStateWriting) != 0 || std::fseek(file_, kDataOffset, SEEK_SET) != 0) {
    Close();
    return kErrCreate;
  }
  return 0;
}

int BinContainer::Append(const uint8_t* frame, uint32_t length) {
  if (!file_ || !frame || length == 0) return kErrWrite;
  const uint8_t* data = frame;
  uint32_t bytes = length;
  uint8_t type = 0;
  int64_t ms = 0;
  uint32_t indexedSize = 0;
  if (length >= kFsfmSkip && le::Get32(frame) == kMagicFsfm) {
    // The recorder's own layout for these frames: what follows the first 52 bytes.
    data = frame + kFsfmSkip;
    bytes = length - kFsfmSkip;
    type = frame[6];
    indexedSize = le::Get32(frame + 12);
    ms = static_cast<int64_t>(le::Get64(frame + 24));
  } else if (selector_.SelectWithin(const_cast<uint8_t*>(frame), length) == 0) {
    type = selector_.Current()->GetFrameType();
    ms = selector_.Current()->GetPts();
    indexedSize = (length + 1) & ~1u;  // as the record writer indexes a frame
  }
  if (uint64_t{dataEnd_} + bytes > std::numeric_limits<uint32_t>::max()) return kErrTooBig;
  if (bytes && std::fwrite(data, 1, bytes, file_) != bytes) return kErrWrite;
  if (type == 'I' || type == 'A') {
    if (index_.size() < kMaxEntries) {
      IndexEntry e{};
      std::memcpy(e.magic, "RIDX", 4);
      e.number = static_cast<uint16_t>(index_.size() + 1);
      e.frameType = type;
      e.time = static_cast<uint32_t>(ms / 1000);
      e.offset = dataEnd_;
      e.size = indexedSize;
      index_.push_back(e);
    } else if (!indexFull_) {
      DebugLog("Write Index fail.\n");
      indexFull_ = true;
    }
  }
  if (ms > lastMs_) lastMs_ = ms;
  dataEnd_ += bytes;
  return 0;
}

int BinContainer::WriteHead(uint16_t state) {
  head_.state = state;
  if (std::fseek(file_, 0, SEEK_SET) != 0) return kErrWrite;
  return std::fwrite(&head_, sizeof head_, 1, file_) == 1 ? 0 : kErrWrite;
}

int BinContainer::Close() {
  if (!file_) return 0;
  // The head tells where the data really ends; the file is as long as its data.
  head_.dataEnd = dataEnd_;
  head_.fileSize = dataEnd_;
  head_.endTime = lastMs_;
  head_.indexCount = static_cast<uint32_t>(index_.size());
  int r = WriteHead(kStateClosed);
  if (r == 0 && std::fseek(file_, kIndexOffset, SEEK_SET) != 0) r = kErrWrite;
  if (r == 0 && !index_.empty() &&
      std::fwrite(index_.data(), sizeof(IndexEntry), index_.size(), file_) != index_.size())
    r = kErrWrite;
  const IndexEntry none{};
  if (r == 0 && std::fwrite(&none, sizeof none, 1, file_) != 1) r = kErrWrite;
  if (std::fclose(file_) != 0 && r == 0) r = kErrWrite;
  file_ = nullptr;
  return r;
}
