// Play buffers: between a record reader, which pours raw record-file data in (large pieces,
// straight into the write span), and a consumer, which takes whole frames out. Frame boundaries
// are found with the frame-header selector; bytes that are no valid header are skipped.
//
// CPlayBufGeneral keeps its ring in process memory; CMPFrameBuf (fifo/mp_frame_buf.h) keeps it
// in a named shared-memory section that a second process can attach to.
//
// Lock rule: each buffer's lock serialises the filling thread (the device service thread) and
// the consumer within one process.
#pragma once

#include <cstdint>

#include "fifo/fifo_buf.h"
#include "platform/critical_section.h"
#include "record/frame_strategy.h"

enum PlayBufResult : int {
  PLAYBUF_ERR_SECTION = -8000,
  PLAYBUF_ERR_BAD = -8002,      // bad argument, no valid header held, frame over the maximum
  PLAYBUF_ERR_OPEN = -8004,
  PLAYBUF_ERR_NOTENOUGH = -8006,
  PLAYBUF_ERR_INCOMPLETE = -4011,
  PLAYBUF_ERR_NOT_OPEN = -2005,
};

// Where `length` bytes go after skipping `skip` bytes from the write position.
struct WriteSpanDesc {
  uint8_t* first = nullptr;
  uint32_t firstLen = 0;
  uint8_t* second = nullptr;
  uint32_t secondLen = 0;
};

class CPlayBufStrategy {
 public:
  virtual int Open(int channel, uint32_t capacity, void* attach, int clientId) = 0;     // 0
  // The frame's length, 0 when garbage was skipped (no frame this time), or an error.
  virtual int GetFrame(void* dst, uint32_t maxLen) = 0;                                 // 1
  virtual int PutData(const void* data, uint32_t len) = 0;                              // 2
  virtual int PutFrame(const void* data, uint32_t len) = 0;                             // 3
  virtual int Read(void* dst, uint32_t len, bool peek) = 0;                             // 4
  virtual int Consume(uint32_t bytes, bool lock) = 0;                                   // 5
  virtual int CommitWrite(uint32_t bytes, bool lock) = 0;                               // 6
  virtual uint8_t* GetReadSpan(uint32_t len, uint32_t* firstLen, uint8_t** firstPtr) = 0;  // 7
  // The write pointer, the length to the end (0 while wrapped) and the buffer start.
  virtual void GetWriteSpan(uint8_t** write, uint32_t* toEnd, uint8_t** start) = 0;    // 8
  virtual uint32_t DataSize() = 0;                                                      // 9
  virtual uint32_t FreeSpace() = 0;                                                     // 10
  virtual uint8_t PeekFrameType() = 0;                                                  // 11
  virtual int32_t NeededSize() = 0;                                                     // 12
  virtual int FillPercent() = 0;                                                        // 13
  virtual void Clear() = 0;                                                             // 14
  virtual int DescribeWrite(uint32_t skip, uint32_t length, WriteSpanDesc* desc) = 0;  // 15
  virtual int64_t LastFrameTime() = 0;                                                  // 16
  virtual bool IsOpen() = 0;                                                            // 17
  virtual ~CPlayBufStrategy() = default;                                                // 18

 protected:
  CFrmStategy selector_;
  int channel_ = 0;
  uint32_t headerSlack_ = 224;
};

class CPlayBufGeneral : public CPlayBufStrategy {
 public:
  static constexpr uint32_t kSlack = 512;

  int Open(int channel, uint32_t capacity, void* attach, int clientId) override;
  int GetFrame(void* dst, uint32_t maxLen) override;
  int PutData(const void* data, uint32_t len) override;
  int PutFrame(const void* data, uint32_t len) override { return ring_.Write(data, len); }
  int Read(void* dst, uint32_t len, bool peek) override { return ring_.Read(dst, len, peek); }
  int Consume(uint32_t bytes, bool lock) override;
  int CommitWrite(uint32_t bytes, bool lock) override;
  uint8_t* GetReadSpan(uint32_t len, uint32_t* firstLen, uint8_t** firstPtr) override {
    return ring_.GetReadSpan(len, firstLen, firstPtr);
  }
  void GetWriteSpan(uint8_t** write, uint32_t* toEnd, uint8_t** start) override;
  uint32_t DataSize() override { return ring_.DataSize(); }
  uint32_t FreeSpace() override { return ring_.FreeSpace(); }
  uint8_t PeekFrameType() override;
  int32_t NeededSize() override { return 0; }
  int FillPercent() override;
  void Clear() override { ring_.Clear(); }
  int DescribeWrite(uint32_t skip, uint32_t length, WriteSpanDesc* desc) override;
  int64_t LastFrameTime() override { return lastFrameMs_; }
  bool IsOpen() override { return ring_.inited(); }

 private:
  // The offset from the read position of the next valid header within what is held, or -1
  // with *tried the bytes looked at. The ring's start is repeated in the slack first.
  int64_t FindHeader(uint32_t held, uint32_t* tried);

  CFIFO_buf ring_;
  uint32_t capacity_ = 0;
  int64_t lastFrameMs_ = 0;
};
