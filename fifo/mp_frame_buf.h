// CMPFrameBuf: a play buffer whose ring and positions live in a named shared-memory section
// ("/User%02dCH%02d" with the client id and channel), so that a second process can attach to it
// by name and take the frames. The section is 40 bytes of control block, then the ring and a
// 224-byte slack:
//
//   0 wrapped  4 write position  8 read position  12 capacity  16 last frame time (i64 ms)
//   24 bytes consumed  28 bytes needed by the last short request  32 error flag  33 cleared flag
//   36 pid of the creating process (in the reserved bytes)
//
// The creator zeroes the control block and writes the capacity; it unlinks the name when it
// closes, and replaces a section of the same name whose creating process has died. Between
// processes one side moves the write position and the other the read position; within a
// process the buffer's lock serialises them.
//
// The other process can write anything into the control block: the capacity is taken once, when
// the section is made or attached (and checked against its size), and the positions are checked
// against it on every call. Positions out of range empty the ring and set the error flag.
#pragma once

#include <cstdint>
#include <string>

#include "fifo/play_buf.h"

class CMPFrameBuf : public CPlayBufStrategy {
 public:
  static constexpr uint32_t kControlBytes = 40;
  static constexpr uint32_t kSlack = 224;
  // The attach argument that creates (null or this value); any other non-null value attaches.
  static void* const kCreate;

  CMPFrameBuf() = default;
  ~CMPFrameBuf() override;

  int Open(int channel, uint32_t capacity, void* attach, int clientId) override;
  int GetFrame(void* dst, uint32_t maxLen) override;
  int PutData(const void* data, uint32_t len) override;
  int PutFrame(const void* data, uint32_t len) override;
  int Read(void* dst, uint32_t len, bool peek) override;
  int Consume(uint32_t bytes, bool lock) override;
  int CommitWrite(uint32_t bytes, bool lock) override;
  uint8_t* GetReadSpan(uint32_t len, uint32_t* firstLen, uint8_t** firstPtr) override;
  void GetWriteSpan(uint8_t** write, uint32_t* toEnd, uint8_t** start) override;
  uint32_t DataSize() override;
  uint32_t FreeSpace() override;
  uint8_t PeekFrameType() override { return 0; }
  int32_t NeededSize() override;
  int FillPercent() override;
  void Clear() override;
  int DescribeWrite(uint32_t, uint32_t, WriteSpanDesc*) override { return 0; }
  int64_t LastFrameTime() override;
  bool IsOpen() override { return open_; }

  // Unmaps the section; the creator also unlinks its name.
  void Close();
  static std::string SectionName(int clientId, int channel);

 private:
  uint32_t Cap() const { return cap_; }
  // The positions as the control block holds them, each below the capacity (else the ring is
  // emptied first). Every locked operation starts here.
  void CheckPositions();
  uint32_t DataSizeLocked();
  void CopyIn(uint32_t pos, const void* data, uint32_t len);
  void CopyOut(uint32_t pos, void* dst, uint32_t len) const;
  void Advance(uint32_t offset, uint32_t n, bool write);
  int CreateSection(uint32_t capacity);
  int AttachSection();

  CCriticalSection lock_;
  bool open_ = false;
  bool creator_ = false;
  int clientId_ = 0;
  void* attach_ = nullptr;
  std::string name_;
  uint8_t* control_ = nullptr;
  uint8_t* data_ = nullptr;
  size_t mappedBytes_ = 0;
  uint32_t cap_ = 0;  // the capacity when the section was made or attached
};
