#include "fifo/frame_fifo.h"

#include <cstring>

#include "disklayout/le.h"
#include "platform/clock.h"
#include "platform/platform_context.h"

using fifo::kHeaderBytes;

namespace {
constexpr uint32_t kMagic = 0x464D5450;  // "PTMF"

int64_t Pts48(const uint8_t* h) {
  uint64_t v = le::Get32(h + 16) | static_cast<uint64_t>(le::Get16(h + 20)) << 32;
  if (v & (1ull << 47)) v |= 0xFFFF000000000000ull;
  return static_cast<int64_t>(v);
}
}  // namespace

CFrameFIFO::CFrameFIFO(int channel) : channel_(channel) {
  le::Put32(header_, kMagic);
  header_[4] = kHeaderBytes;
  header_[6] = static_cast<uint8_t>(channel);
  header_[7] = fifo::kAux;
  for (int i = 0; i < fifo::kReaders; ++i) readers_[i].number = i;
}

std::deque<CFrameFIFO::KeyFrame> CFrameFIFO::KeyFrames() {
  CAutoLock g(&lock_);
  return keyList_;
}

int CFrameFIFO::WriteFrame(const void* payload, uint32_t len, uint8_t type) {
  CAutoLock g(&lock_);
  if (!inited_) return FIFO_ERR_NO_BUFFER;
  const uint64_t needed = uint64_t{len} + kHeaderBytes;
  // A record larger than the whole ring can never be stored.
  if (capacity_ != 0 && needed > capacity_) {
    ++lostFrames_;
    return FIFO_ERR_NOTENOUGH;
  }
  if (capacity_ - DataSizeLocked() < needed) {
    if (!dropWhenFull_) {
      ++lostFrames_;
      return FIFO_ERR_NOTENOUGH;
    }
    MakeRoom(static_cast<uint32_t>(needed));
    // Whatever MakeRoom freed, a write that still does not fit would overrun the consuming
    // reader's data: refuse it.
    if (capacity_ - DataSizeLocked() < needed) {
      ++lostFrames_;
      return FIFO_ERR_NOTENOUGH;
    }
  }
  if (len == 0 || !payload) return FIFO_ERR_ZERO_FRAME;

  const int64_t now = platform::TheClock().NowMs();
  lastWriteMs_ = now;
  if (type != 'A') seq_ = frameCounter_++;  // audio repeats the last video frame's number
  if (type == 'I') {
    keyList_.push_back({now, writePos_, seq_, static_cast<uint32_t>(needed), 'I'});
    if (keyList_.size() > fifo::kMaxKeyFrames)
      keyList_.erase(keyList_.begin(), keyList_.begin() + fifo::kKeyFramesDropped);
  }

  // The header goes whole at the write position (the slack takes what crosses the end): the
  // constant fields and zeros from header_, then the fields of this record over them.
  uint8_t* const h = buffer_.data() + writePos_;
  std::memcpy(h, header_, kHeaderBytes);
  h[5] = type;
  le::Put32(h + 8, seq_);
  le::Put32(h + 12, len);
  le::Put32(h + 16, static_cast<uint32_t>(now));
  le::Put16(h + 20, static_cast<uint16_t>(static_cast<uint64_t>(now) >> 32));
  const uint32_t toEnd = capacity_ - writePos_;
  const uint8_t* p = static_cast<const uint8_t*>(payload);
  if (toEnd >= needed) {
    std::memcpy(h + kHeaderBytes, p, len);
  } else if (toEnd >= kHeaderBytes) {
    const uint32_t first = toEnd - kHeaderBytes;
    std::memcpy(h + kHeaderBytes, p, first);
    std::memcpy(buffer_.data(), p + first, len - first);
  } else {
    // The header's part past the end, from the slack to where the ring continues.
    const uint32_t tail = kHeaderBytes - toEnd;
    std::memcpy(buffer_.data(), h + toEnd, tail);
    std::memcpy(buffer_.data() + tail, p, len);
  }
  AdvanceWriteLocked(static_cast<uint32_t>(needed));
  return 0;
}

void CFrameFIFO::MakeRoom(uint32_t needed) {
  int n = static_cast<int>(keyList_.size() / 4);
  if (n < 2) n = 2;
  while (!keyList_.empty()) {
    const KeyFrame k = keyList_.front();
    int64_t dist = static_cast<int64_t>(k.pos) - readPos_;
    if (dist < 0) dist += capacity_;
    --n;
    // A key frame the consuming reader has passed already lies a whole lap "ahead": jumping
    // there would move the read position past the write position. Only held frames count.
    const bool held = dist < static_cast<int64_t>(DataSizeLocked());
    if (held && dist >= needed && n == 0) {
      lostFrames_ += RecordsWithin(readPos_, static_cast<uint32_t>(dist));
      AdvanceReadLocked(static_cast<uint32_t>(dist));
      break;
    }
    keyList_.pop_front();
  }
  for (Reader& r : readers_) {
    if (!r.resync && !keyList_.empty() && lastReadSeq_ < keyList_.front().seq) r.resync = true;
  }
}

uint32_t CFrameFIFO::RecordsWithin(uint32_t pos, uint32_t bytes) const {
  // Each step moves on by a whole record (at least its 224-byte header); a length that does
  // not fit what is left ends the count.
  uint32_t records = 0;
  const uint8_t* b = buffer_.data();
  while (bytes >= kHeaderBytes) {
    const uint64_t length = uint64_t{le::Get32(b + pos + 12)} + kHeaderBytes;
    if (length > bytes) break;
    ++records;
    bytes -= static_cast<uint32_t>(length);
    pos = static_cast<uint32_t>((pos + length) % capacity_);
  }
  return records;
}

uint64_t CFrameFIFO::LostFrames() {
  CAutoLock g(&lock_);
  return lostFrames_;
}

int CFrameFIFO::Water(int reader) {
  CAutoLock g(&lock_);
  if (capacity_ == 0) return FIFO_ERR_NO_CAPACITY;
  if (reader < 0 || reader >= fifo::kReaders) return FIFO_ERR_BAD_READER;
  return WaterLocked(reader);
}

int CFrameFIFO::WaterPercent(int reader) {
  CAutoLock g(&lock_);
  if (capacity_ == 0) return 0;
  const int w = Water(reader);
  return w < 0 ? w : static_cast<int>(uint64_t(w) * 100 / capacity_);
}

int CFrameFIFO::Consume(uint32_t bytes, int reader) {
  CAutoLock g(&lock_);
  if (reader < 0 || reader >= fifo::kReaders) return FIFO_ERR_BAD_READER;
  return ConsumeLocked(bytes, reader);
}

int CFrameFIFO::ReadFrame(void* dst, uint32_t dstSize, int reader) {
  if (reader < 0 || reader >= fifo::kReaders) return FIFO_ERR_BAD_READER;
  CAutoLock g(&lock_);
  if (capacity_ == 0) return FIFO_ERR_NO_CAPACITY;
  Reader& r = readers_[reader];
  if (reader != 0 && r.resync) {
    if (keyList_.empty()) {
      r.resync = false;
      r.pos = readPos_;
      return FIFO_ERR_NO_FRAME;
    }
    if (r.lastTimeMs < keyList_.front().timeMs) r.pos = keyList_.back().pos;
    r.resync = false;
  }
  int avail = WaterLocked(reader);
  if (avail < static_cast<int>(kHeaderBytes)) return FIFO_ERR_NO_FRAME;

  uint32_t pos = PositionOf(reader);
  uint8_t* b = buffer_.data();
  const uint32_t toEnd = capacity_ - pos;
  // A header that crosses the end reads whole from the slack, where the writer put it; the
  // ring's start is repeated there as well for what the slack does not hold yet.
  if (toEnd < kHeaderBytes) std::memcpy(b + capacity_, b, kHeaderBytes - toEnd);
  // Each call consumes at least a byte for this reader, or returns a whole record (at least the
  // 224-byte header), or waits for more data: a reader's loop over it never stands still.
  if (le::Get32(b + pos) != kMagic) {
    // Out of step: find the next magic, consuming what lies before it for this reader only.
    uint32_t i = 1;
    bool found = false;
    for (; uint64_t{pos} + i + kHeaderBytes < capacity_ && i + kHeaderBytes < uint32_t(avail); ++i) {
      if (le::Get32(b + pos + i) == kMagic) {
        found = true;
        break;
      }
    }
    ConsumeLocked(i, reader);
    if (!found) return FIFO_ERR_NO_FRAME;
    pos = PositionOf(reader);
    avail = WaterLocked(reader);
  }
  const uint8_t* h = b + pos;
  const uint64_t length = uint64_t{le::Get32(h + 12)} + kHeaderBytes;
  // A length no record in this ring can have is not a header: step past its magic.
  if (length > capacity_) {
    ConsumeLocked(4, reader);
    return FIFO_ERR_NO_FRAME;
  }
  if (static_cast<uint64_t>(avail) < length) return FIFO_ERR_NO_FRAME;
  lastReadSeq_ = le::Get32(h + 8);
  r.lastTimeMs = Pts48(h);
  if (!dst || length > dstSize) {
    // The caller's buffer cannot take it: the record is consumed and refused.
    ConsumeLocked(static_cast<uint32_t>(length), reader);
    return FIFO_ERR_NO_FRAME;
  }
  // Usually one piece; a record that crosses the end comes in two.
  if (length <= capacity_ - pos) {
    std::memcpy(dst, h, length);
  } else {
    CopyOut(pos, dst, static_cast<uint32_t>(length));
  }
  ConsumeLocked(static_cast<uint32_t>(length), reader);
  return static_cast<int>(length);
}
