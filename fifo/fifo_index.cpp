#include "fifo/fifo_index.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "platform/messages.h"

namespace {
void StoreMessage(const char* text) { MessageStore().AppendText(text); }
// The store joins the debug log when the library loads.
[[maybe_unused]] const bool kInstalled = (platform::SetMessageStore(&StoreMessage), true);
}  // namespace

CFIFO_Index& MessageStore() {
  static CFIFO_Index* store = new CFIFO_Index;  // lives as long as the process
  return *store;
}

void CFIFO_Index::Release() {
  CAutoLock g(&lock());
  CAutoLock i(&indexLock_);
  ReleaseStorage();
  index_.clear();
}

int CFIFO_Index::AppendText(const char* text) {
  const uint32_t len = static_cast<uint32_t>(strnlen(text, platform::kMaxLogMessage - 1)) + 1;
  CAutoLock g(&lock());
  const uint32_t at = writePos();
  if (!inited() || Write(text, len) < 0) return FIFO_ERR_NOTENOUGH;
  CAutoLock i(&indexLock_);
  index_[at] = len;
  return static_cast<int>(at);
}

int CFIFO_Index::WriteMessage(const char* fmt, ...) {
  char text[platform::kMaxLogMessage];
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(text, sizeof text, fmt, ap);
  va_end(ap);
  return AppendText(text);
}

int CFIFO_Index::ReadAt(uint32_t offset, void* dst, uint32_t size) {
  CAutoLock g(&lock());
  CAutoLock i(&indexLock_);
  auto it = index_.find(offset);
  const uint32_t held = DataSize();
  // The message must lie inside what the ring holds, from the read position on.
  const uint32_t fromRead = capacity() ? (offset + capacity() - readPos()) % capacity() : 0;
  if (it == index_.end() || !dst || fromRead + uint64_t{it->second} > held) {
    platform::ConsolePrintf("Over data area.file offset %d offset %d, size %d data_size %d \n",
                            static_cast<int>(readPos()), static_cast<int>(offset),
                            static_cast<int>(size), static_cast<int>(held));
    return FIFO_ERR_NOTENOUGH;
  }
  const uint32_t n = it->second < size ? it->second : size;
  CopyOut(offset, dst, n);
  return static_cast<int>(n);
}

size_t CFIFO_Index::MessageCount() {
  CAutoLock i(&indexLock_);
  return index_.size();
}
