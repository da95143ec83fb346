// CFIFO_buf: a byte ring buffer with its own lock, used by the frame FIFOs, the play buffers and
// the record writer's cache. All or nothing: a write that does not fit and a read of more than
// is held change nothing.
//
// Fill level: with `wrapped` set (the write position passed the end since the read position
// last did) equal positions mean full; without it, empty. A buffer may be allocated larger than
// its capacity (slack after the end, for headers that cross it).
//
// Lock rule: lock() guards every field; it is recursive, so a holder may call any operation.
// Each public operation takes it once; the ...Locked helpers expect it held and do not take it
// again (the frame FIFOs run a whole frame under one hold).
#pragma once

#include <cstdint>
#include <vector>

#include "platform/critical_section.h"
#include "platform/thread_annotations.h"

enum FifoResult : int {
  FIFO_ERR_SIZE_IN_USE = -3001,
  FIFO_ERR_NOTENOUGH = -3004,
  FIFO_ERR_SIZE = -3005,
  FIFO_ERR_BAD_READ = -2009,
};

class CFIFO_buf {
 public:
  CFIFO_buf() = default;
  CFIFO_buf(const CFIFO_buf&) = delete;
  CFIFO_buf& operator=(const CFIFO_buf&) = delete;

  // Allocates size + slack bytes with a capacity of size: 0, -3005 (size 0 or odd; "size
  // error."), -3001 (already allocated with this size).
  int Init(uint32_t size, uint32_t slack = 0);
  void Clear();
  // len or -3004.
  int Write(const void* data, uint32_t len);
  // len, -2009 (null or 0), or -3004; peek leaves the read position.
  int Read(void* dst, uint32_t len, bool peek);
  // The len bytes at the read position without copying: one piece (the pointer, *firstLen 0)
  // or two (*firstPtr/*firstLen up to the end, the returned pointer at the buffer start).
  uint8_t* GetReadSpan(uint32_t len, uint32_t* firstLen, uint8_t** firstPtr);
  uint32_t DataSize();
  uint32_t FreeSpace() { return capacity_ - DataSize(); }
  // Advances the read position by n (wrapped cleared when it passes the end); counts them.
  void AdvanceRead(uint32_t n);
  // Advances the write position by n (wrapped set when it passes the end).
  void AdvanceWrite(uint32_t n);

  CCriticalSection& lock() { return lock_; }
  bool inited() const { return inited_; }
  bool wrapped() const { return wrapped_; }
  uint32_t writePos() const { return writePos_; }
  uint32_t readPos() const { return readPos_; }
  uint32_t capacity() const { return capacity_; }
  uint32_t totalRead() const { return totalRead_; }
  uint8_t* buffer() { return buffer_.data(); }
  size_t bufferBytes() const { return buffer_.size(); }

 protected:
  // Copies len bytes into the ring at pos (two pieces across the end); no position changes.
  void CopyIn(uint32_t pos, const void* data, uint32_t len);
  // Copies len bytes out of the ring from pos (two pieces across the end).
  void CopyOut(uint32_t pos, void* dst, uint32_t len);
  // Frees the storage; capacity back to 0.
  void ReleaseStorage();

  // DataSize, AdvanceRead and AdvanceWrite for a holder of the lock.
  uint32_t DataSizeLocked() const QVFS_REQUIRES(lock_) {
    if (wrapped_)
      return writePos_ > readPos_ ? writePos_ - readPos_ : capacity_ - readPos_ + writePos_;
    return writePos_ - readPos_;
  }
  void AdvanceReadLocked(uint32_t n) QVFS_REQUIRES(lock_) {
    if (capacity_ == 0) return;
    uint64_t pos = uint64_t{readPos_} + n;
    if (pos >= capacity_) {
      wrapped_ = false;
      pos %= capacity_;
    }
    readPos_ = static_cast<uint32_t>(pos);
    totalRead_ += n;
  }
  void AdvanceWriteLocked(uint32_t n) QVFS_REQUIRES(lock_) {
    if (capacity_ == 0) return;
    uint64_t pos = uint64_t{writePos_} + n;
    if (pos >= capacity_) {
      wrapped_ = true;
      pos %= capacity_;
    }
    writePos_ = static_cast<uint32_t>(pos);
  }

  bool inited_ = false;
  bool wrapped_ = false;
  uint32_t writePos_ = 0;
  uint32_t readPos_ = 0;
  uint32_t capacity_ = 0;
  std::vector<uint8_t> buffer_;
  CCriticalSection lock_;
  uint32_t totalRead_ = 0;
};
