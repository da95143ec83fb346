#include "record/frame_strategy.h"

#include <cstdint>
#include <cstring>

#include "disklayout/le.h"

int64_t CTagFrmStrategy::GetPts() {
  // 48-bit signed: low 32 bits at 16, high 16 at 20.
  uint64_t v = le::Get32(header_ + 16) | static_cast<uint64_t>(le::Get16(header_ + 20)) << 32;
  if (v & (1ull << 47)) v |= 0xFFFF000000000000ull;
  return static_cast<int64_t>(v);
}

void CTagFrmStrategy::SetPts(int64_t pts) {
  const uint64_t v = static_cast<uint64_t>(pts);
  le::Put32(header_ + 16, static_cast<uint32_t>(v));
  le::Put16(header_ + 20, static_cast<uint16_t>(v >> 32));
}

uint32_t CTagFrmStrategy::GetFrameLength(uint32_t n) {
  return header_[4] * n + le::Get32(header_ + 12);
}

uint32_t CTagFrmStrategy::GetFrameNo() { return le::Get32(header_ + 8); }
void CTagFrmStrategy::SetFrameNo(uint32_t no) { le::Put32(header_ + 8, no); }

// A tag is a frame only when its header holds its own fields and its length covers its header
// without wrapping: a header length of 0 (a zeroed or torn tag) would make every walk that steps
// by the frame's length stand still.
bool CTagFrmStrategy::IsValid() {
  const uint32_t headerLength = header_[4];
  return le::Get32(header_) == magic_ && GetPts() >= 0 &&
         headerLength >= frame::kTagFieldBytes &&
         le::Get32(header_ + 12) <= UINT32_MAX - headerLength;
}

int64_t CFoscamFrmStrategy::GetPts() { return static_cast<int64_t>(le::Get64(header_ + 16)); }
void CFoscamFrmStrategy::SetPts(int64_t pts) { le::Put64(header_ + 16, static_cast<uint64_t>(pts)); }
uint32_t CFoscamFrmStrategy::GetFrameLength(uint32_t n) {
  return frame::kFoscamHeaderBytes * n + le::Get32(header_ + 12);
}
uint32_t CFoscamFrmStrategy::GetFrameNo() { return le::Get32(header_ + 8); }
void CFoscamFrmStrategy::SetFrameNo(uint32_t no) { le::Put32(header_ + 8, no); }
uint32_t CFoscamFrmStrategy::GetAuxValue() { return le::Get32(header_ + 40); }
int64_t CFoscamFrmStrategy::GetFrameTime() { return static_cast<int64_t>(le::Get64(header_ + 24)); }
bool CFoscamFrmStrategy::IsValid() {
  return GetFrameTime() >= 0 && le::Get32(header_ + 12) <= UINT32_MAX - frame::kFoscamHeaderBytes;
}
uint16_t CFoscamFrmStrategy::GetWidth() { return le::Get16(header_ + 36); }
uint16_t CFoscamFrmStrategy::GetHeight() { return le::Get16(header_ + 38); }

int CFrmStategy::Select(void* frame) {
  for (void*& f : frames_) f = frame;
  const uint32_t magic = frame ? le::Get32(static_cast<const uint8_t*>(frame)) : 0;
  switch (magic) {
    case frame::kMagicKorvex: type_ = kKorvex; current_ = &korvex_; break;
    case frame::kMagicQV: type_ = kQV; current_ = &qv_; break;
    case frame::kMagicFoscam: type_ = kFoscam; current_ = &foscam_; break;
    default:
      type_ = kNone;
      current_ = nullptr;
      return frame::kNoFrame;
  }
  current_->Attach(frame);
  return 0;
}

int CFrmStategy::SelectWithin(void* frame, uint64_t length) {
  if (!frame || length < 4) {
    type_ = kNone;
    current_ = nullptr;
    return frame::kNoFrame;
  }
  if (Select(frame) != 0) return frame::kNoFrame;
  const uint64_t fields = type_ == kFoscam ? frame::kFoscamHeaderBytes : frame::kTagFieldBytes;
  if (length >= fields) return 0;
  type_ = kNone;
  current_ = nullptr;
  return frame::kNoFrame;
}

int64_t CFrmStategy::RangeTime() {
  if (!current_) return 0;
  return type_ == kFoscam ? foscam_.GetFrameTime() : current_->GetPts();
}

int64_t FindNextFrame(CFrmStategy& selector, uint8_t* data, uint64_t length, uint64_t from) {
  for (uint64_t pos = from; pos + frame::kMaxHeaderBytes <= length; ++pos)
    if (MayStartTag(data[pos]) && selector.SelectValid(data + pos)) return static_cast<int64_t>(pos);
  return -1;
}

void WritePtmfHeader(uint8_t* header, uint8_t type, int64_t ptsMs, uint32_t frameNo,
                     uint32_t payloadLength) {
  std::memset(header, 0, frame::kPtmfHeaderBytes);
  le::Put32(header, frame::kMagicQV);
  header[4] = static_cast<uint8_t>(frame::kPtmfHeaderBytes);
  header[5] = type;
  le::Put32(header + 12, payloadLength);
  CQVFrmStrategy s;
  s.Attach(header);
  s.SetPts(ptsMs);
  s.SetFrameNo(frameNo);
}
