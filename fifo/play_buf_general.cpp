#include "fifo/play_buf.h"

#include <cstring>

int CPlayBufGeneral::Open(int channel, uint32_t capacity, void*, int) {
  channel_ = channel;
  capacity_ = capacity;
  int r = ring_.Init(capacity, kSlack);
  return r == FIFO_ERR_SIZE_IN_USE ? 0 : r;
}

int64_t CPlayBufGeneral::FindHeader(uint32_t held, uint32_t* tried) {
  uint8_t* b = ring_.buffer();
  const uint32_t pos = ring_.readPos();
  const uint32_t cap = ring_.capacity();
  // A header that crosses the end reads whole from the slack.
  if (cap - pos < headerSlack_) std::memcpy(b + cap, b, headerSlack_);
  uint32_t i = 0;
  // Positions up to the end of the ring can be tested: the slack holds the ring's start.
  // A header is told by its first kMaxHeaderBytes: a frame shorter than the slack (a small
  // "FSFM" frame last in a file) is found as well.
  for (; pos + i < cap && i + frame::kMaxHeaderBytes <= held; ++i)
    if (MayStartTag(b[pos + i]) && selector_.SelectValid(b + pos + i)) return i;
  *tried = i;
  return -1;
}

// Consumers call this in a loop: every answer of 0 ("garbage skipped") has consumed at least one
// byte, and a frame consumes its length (a valid tag's is at least 24 bytes), so the loop ends.
int CPlayBufGeneral::GetFrame(void* dst, uint32_t maxLen) {
  if (!ring_.inited()) return PLAYBUF_ERR_NOT_OPEN;
  CAutoLock g(&ring_.lock());
  const uint32_t held = ring_.DataSize();
  if (held < frame::kMaxHeaderBytes) return PLAYBUF_ERR_NOTENOUGH;
  uint32_t tried = 0;
  const int64_t at = FindHeader(held, &tried);
  if (at != 0) {
    // Garbage before the next header (or no header at all): skip it; no frame this time.
    ring_.AdvanceRead(at > 0 ? static_cast<uint32_t>(at) : (tried ? tried : 1));
    return 0;
  }
  CFrmStrategy* s = selector_.Current();
  const uint64_t length = s->GetFrameLength(1);
  if (length > ring_.capacity() || length < s->GetHeaderLength()) {
    ring_.AdvanceRead(1);  // no frame of this ring can be that long: not a real header
    return 0;
  }
  if (length > held) return PLAYBUF_ERR_INCOMPLETE;
  if (!dst || length > maxLen) {
    // The caller's buffer cannot take it: the frame is consumed and refused.
    ring_.AdvanceRead(static_cast<uint32_t>(length));
    return PLAYBUF_ERR_BAD;
  }
  const int64_t ts = s->GetTimestamp();
  ring_.Read(dst, static_cast<uint32_t>(length), false);
  lastFrameMs_ = ts;
  return static_cast<int>(length);
}

uint8_t CPlayBufGeneral::PeekFrameType() {
  if (!ring_.inited()) return 0;
  CAutoLock g(&ring_.lock());
  const uint32_t held = ring_.DataSize();
  if (held < frame::kMaxHeaderBytes) return 0;
  uint32_t tried = 0;
  return FindHeader(held, &tried) >= 0 ? selector_.Current()->GetFrameType() : 0;
}

int CPlayBufGeneral::PutData(const void* data, uint32_t len) {
  if (capacity_ == 0 || !ring_.inited()) return PLAYBUF_ERR_NOT_OPEN;
  CAutoLock g(&ring_.lock());
  const uint32_t wp = ring_.writePos();
  if (ring_.capacity() - wp < headerSlack_ && data && len >= headerSlack_ &&
      ring_.FreeSpace() >= len)
    std::memcpy(ring_.buffer() + wp, data, headerSlack_);  // whole into the slack as well
  return ring_.Write(data, len);
}

int CPlayBufGeneral::Consume(uint32_t bytes, bool lock) {
  CAutoLock g(lock ? &ring_.lock() : nullptr);
  // Past what is held the read position would leave the data behind.
  if (bytes > ring_.capacity() || bytes > ring_.DataSize()) return PLAYBUF_ERR_INCOMPLETE;
  ring_.AdvanceRead(bytes);
  return 0;
}

int CPlayBufGeneral::CommitWrite(uint32_t bytes, bool lock) {
  CAutoLock g(lock ? &ring_.lock() : nullptr);
  if (bytes > ring_.FreeSpace()) return PLAYBUF_ERR_NOTENOUGH;
  ring_.AdvanceWrite(bytes);
  return 0;
}

void CPlayBufGeneral::GetWriteSpan(uint8_t** write, uint32_t* toEnd, uint8_t** start) {
  CAutoLock g(&ring_.lock());
  *write = ring_.buffer() ? ring_.buffer() + ring_.writePos() : nullptr;
  *toEnd = ring_.wrapped() ? 0 : ring_.capacity() - ring_.writePos();
  *start = ring_.buffer();
}

int CPlayBufGeneral::FillPercent() {
  const uint32_t cap = ring_.capacity();
  return cap ? static_cast<int>(uint64_t{ring_.DataSize()} * 100 / cap) : 0;
}

int CPlayBufGeneral::DescribeWrite(uint32_t skip, uint32_t length, WriteSpanDesc* desc) {
  if (length == 0) return -2002;
  CAutoLock g(&ring_.lock());
  const uint32_t cap = ring_.capacity();
  if (cap == 0 || !desc) return PLAYBUF_ERR_NOT_OPEN;
  const uint32_t at = static_cast<uint32_t>((uint64_t{ring_.writePos()} + skip) % cap);
  desc->first = ring_.buffer() + at;
  desc->firstLen = length < cap - at ? length : cap - at;
  desc->second = length > desc->firstLen ? ring_.buffer() : nullptr;
  desc->secondLen = length - desc->firstLen;
  return 0;
}
