#include "fifo/fifo_buf.h"

#include <cstring>

#include "platform/messages.h"

int CFIFO_buf::Init(uint32_t size, uint32_t slack) {
  CAutoLock g(&lock_);
  if (size == 0 || (size & 1)) {
    platform::ConsolePrintf("size error.\n");
    return FIFO_ERR_SIZE;
  }
  if (inited_ && capacity_ == size) return FIFO_ERR_SIZE_IN_USE;
  buffer_.assign(uint64_t{size} + slack, 0);
  capacity_ = size;
  writePos_ = readPos_ = 0;
  wrapped_ = false;
  inited_ = true;
  return 0;
}

void CFIFO_buf::ReleaseStorage() {
  CAutoLock g(&lock_);
  std::vector<uint8_t>().swap(buffer_);
  capacity_ = 0;
  writePos_ = readPos_ = 0;
  wrapped_ = false;
  inited_ = false;
}

void CFIFO_buf::Clear() {
  CAutoLock g(&lock_);
  writePos_ = readPos_ = 0;
  wrapped_ = false;
  totalRead_ = 0;
}

uint32_t CFIFO_buf::DataSize() {
  CAutoLock g(&lock_);
  return DataSizeLocked();
}

void CFIFO_buf::CopyIn(uint32_t pos, const void* data, uint32_t len) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  const uint32_t first = len < capacity_ - pos ? len : capacity_ - pos;
  std::memcpy(buffer_.data() + pos, p, first);
  if (len > first) std::memcpy(buffer_.data(), p + first, len - first);
}

void CFIFO_buf::CopyOut(uint32_t pos, void* dst, uint32_t len) {
  uint8_t* p = static_cast<uint8_t*>(dst);
  const uint32_t first = len < capacity_ - pos ? len : capacity_ - pos;
  std::memcpy(p, buffer_.data() + pos, first);
  if (len > first) std::memcpy(p + first, buffer_.data(), len - first);
}

void CFIFO_buf::AdvanceWrite(uint32_t n) {
  CAutoLock g(&lock_);
  AdvanceWriteLocked(n);
}

void CFIFO_buf::AdvanceRead(uint32_t n) {
  CAutoLock g(&lock_);
  AdvanceReadLocked(n);
}

int CFIFO_buf::Write(const void* data, uint32_t len) {
  CAutoLock g(&lock_);
  if (!inited_ || !data || len == 0) return FIFO_ERR_NOTENOUGH;
  const uint32_t held = DataSizeLocked();
  if (held == capacity_ || capacity_ - held < len) return FIFO_ERR_NOTENOUGH;
  CopyIn(writePos_, data, len);
  AdvanceWriteLocked(len);
  return static_cast<int>(len);
}

int CFIFO_buf::Read(void* dst, uint32_t len, bool peek) {
  if (!dst || len == 0) return FIFO_ERR_BAD_READ;
  CAutoLock g(&lock_);
  if (DataSizeLocked() < len) return FIFO_ERR_NOTENOUGH;
  CopyOut(readPos_, dst, len);
  if (!peek) AdvanceReadLocked(len);
  return static_cast<int>(len);
}

uint8_t* CFIFO_buf::GetReadSpan(uint32_t len, uint32_t* firstLen, uint8_t** firstPtr) {
  CAutoLock g(&lock_);
  *firstLen = 0;
  *firstPtr = nullptr;
  if (len == 0 || capacity_ == 0) return nullptr;
  if (uint64_t{readPos_} + len <= capacity_) return buffer_.data() + readPos_;
  *firstPtr = buffer_.data() + readPos_;
  *firstLen = capacity_ - readPos_;
  return buffer_.data();
}
