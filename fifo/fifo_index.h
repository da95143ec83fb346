// CFIFO_Index: a text ring that keeps messages with an index from each message's offset to its
// length. One global instance is the store behind the debug-log function; it is never given a
// capacity, so the messages are formatted and then dropped there (-3004) while the log sink
// still receives them.
//
// Lock rule: the ring's lock guards the ring; indexLock_ guards the offset map. Taken in that
// order.
#pragma once

#include <cstdint>
#include <map>

#include "fifo/fifo_buf.h"

class CFIFO_Index : public CFIFO_buf {
 public:
  virtual ~CFIFO_Index() = default;
  // Slot 0: frees the ring's buffer; capacity back to 0.
  virtual void Release();
  // Slot 1: copies the message stored at offset into dst (at most size bytes); its length, or
  // -3004 when the range lies outside the data held.
  virtual int ReadAt(uint32_t offset, void* dst, uint32_t size);

  // Formats (at most 4096 bytes) and appends the text with its NUL as one block; its offset,
  // or -3004 when it does not fit.
  int WriteMessage(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
  int AppendText(const char* text);
  size_t MessageCount();

 private:
  CCriticalSection indexLock_;
  std::map<uint32_t, uint32_t> index_;  // offset -> length (NUL included)
};

// The process's message store (never given a capacity).
CFIFO_Index& MessageStore();
