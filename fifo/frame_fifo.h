// CFrameFIFO: one channel's frame queue. Producers write payloads that it stamps with a 224-byte
// "PTMF" header (type, sequence number, the current time); reader 0 consumes (the recording
// engine), readers 1..15 follow with private positions. When full it makes room by skipping
// whole groups of pictures up to a recent key frame (or, with drop-when-full off, refuses).
//
// The ring's capacity is the configured size; its buffer is 448 bytes (two headers) larger, so
// that a header that crosses the end is written and read whole in the slack (its tail is also
// written at offset 0, where the ring continues).
//
// Frame record: 0 "PTMF", 4 header length 224, 5 type ('I' key, 'A' audio, other video), 6
// channel, 7 aux 25, 8 sequence number, 12 payload length, 16 time stamp (48-bit ms), 24..223
// zero, then the payload.
//
// Lock rule: the ring's lock (recursive) guards the positions, key list, readers and counters.
#pragma once

#include <cstdint>
#include <deque>

#include "fifo/fifo_buf.h"

namespace fifo {
constexpr uint32_t kHeaderBytes = 224;
constexpr uint32_t kSlackBytes = 2 * kHeaderBytes;
constexpr int kReaders = 16;
constexpr uint8_t kAux = 25;
constexpr size_t kMaxKeyFrames = 10;
constexpr size_t kKeyFramesDropped = 5;
}  // namespace fifo

enum FrameFifoResult : int {
  FIFO_ERR_NO_BUFFER = -99,
  FIFO_ERR_ZERO_FRAME = -2002,
  FIFO_ERR_NO_FRAME = -4011,   // no complete frame for this reader (or it does not fit)
  FIFO_ERR_BAD_READER = -106,
  FIFO_ERR_NO_CAPACITY = -114,
};

class CFrameFIFO : public CFIFO_buf {
 public:
  struct KeyFrame {
    int64_t timeMs;
    uint32_t pos;
    uint32_t seq;
    uint32_t size;  // payload + 224
    uint8_t type;
  };
  struct Reader {
    int number = 0;
    uint32_t pos = 0;
    bool resync = true;
    int64_t lastTimeMs = 0;
  };

  explicit CFrameFIFO(int channel = 0);

  // The ring of `size` bytes and its 448-byte slack.
  int InitFrames(uint32_t size) { return Init(size, fifo::kSlackBytes); }

  // 0, -3004 (full with drop-when-full off, or a frame larger than the whole ring), -99 (no
  // buffer), -2002 (empty payload).
  int WriteFrame(const void* payload, uint32_t len, uint8_t type);
  // The record length (224 + payload), or -4011 (nothing complete; also after a resync or a
  // skip of garbage, and for a record longer than dstSize, which is consumed), -106.
  int ReadFrame(void* dst, uint32_t dstSize, int reader);
  // 0; -4011 when reader 0 would consume more than is held; -106.
  int Consume(uint32_t bytes, int reader);
  // Bytes held for the reader, -114 (no capacity), -106 (bad reader).
  int Water(int reader);
  int WaterPercent(int reader);
  void SetDropWhenFull(bool on) { dropWhenFull_ = on; }

  int channel() const { return channel_; }
  int64_t lastWriteMs() const { return lastWriteMs_; }
  uint32_t frameCounter() const { return frameCounter_; }
  std::deque<KeyFrame> KeyFrames();
  // Frames lost since the ring was made: records the consuming reader lost when room was made
  // for a write, and writes refused for want of room.
  uint64_t LostFrames();

 private:
  // WriteFrame, ReadFrame and the calls below run under one hold of the lock; these helpers
  // expect it held.
  void MakeRoom(uint32_t needed) QVFS_REQUIRES(lock_);
  // Water and Consume for a valid reader.
  int WaterLocked(int reader) const QVFS_REQUIRES(lock_) {
    if (reader == 0) return static_cast<int>(DataSizeLocked());
    int64_t w = static_cast<int64_t>(writePos_) - readers_[reader].pos;
    if (w < 0) w += capacity_;
    return static_cast<int>(w);
  }
  int ConsumeLocked(uint32_t bytes, int reader) QVFS_REQUIRES(lock_) {
    if (reader == 0) {
      // Consuming more than is held would move the read position past the data.
      if (bytes > capacity_ || bytes > DataSizeLocked()) return FIFO_ERR_NO_FRAME;
      AdvanceReadLocked(bytes);
      return 0;
    }
    if (capacity_ == 0) return FIFO_ERR_NO_CAPACITY;
    // The remainder only when the sum reaches the end (below it, it is the sum itself).
    uint64_t pos = uint64_t{readers_[reader].pos} + bytes;
    if (pos >= capacity_) pos %= capacity_;
    readers_[reader].pos = static_cast<uint32_t>(pos);
    return 0;
  }
  // The whole records in the `bytes` bytes from pos (headers read where they lie; one that
  // crosses the end is whole in the slack).
  uint32_t RecordsWithin(uint32_t pos, uint32_t bytes) const QVFS_REQUIRES(lock_);
  // Reader 0's position is the ring's read position.
  uint32_t PositionOf(int reader) const QVFS_REQUIRES(lock_) {
    return reader == 0 ? readPos_ : readers_[reader].pos;
  }

  int channel_;
  int64_t lastWriteMs_ = 0;
  // The header's constant fields (magic, length, channel, aux) and zeros; type 0.
  uint8_t header_[fifo::kHeaderBytes] = {};
  std::deque<KeyFrame> keyList_;
  uint32_t frameCounter_ = 0;
  uint32_t seq_ = 0;  // the number of the last video record (audio records repeat it)
  uint32_t lastReadSeq_ = 0;
  uint64_t lostFrames_ = 0;
  Reader readers_[fifo::kReaders];
  bool dropWhenFull_ = true;
};
