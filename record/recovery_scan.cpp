#include "record/recovery_scan.h"

#include "record/frame_strategy.h"

namespace recovery {

const char* ReasonName(uint8_t reason) {
  switch (reason) {
    case kDeleted:
      return "deleted";
    case kRecycledTail:
      return "recycled-tail";
    case kFreeFile:
      return "free-file";
    case kUnindexed:
      return "unindexed";
    default:
      return "";
  }
}

namespace {
constexpr uint32_t kChannelByte = 6;  // of the recorder's own 224-byte header
}  // namespace

size_t ScanFrames(const uint8_t* data, size_t size, uint32_t base, uint32_t maxFrame, bool atEnd,
                  const std::function<void(const FoundFrame&)>& take) {
  CFrmStategy selector;
  size_t pos = 0;
  // Each pass moves pos on: past a whole frame, or by one byte; a frame that runs past the
  // data ends the walk (the caller reads on from it).
  while (pos + frame::kMaxHeaderBytes <= size) {
    if (!MayStartTag(data[pos]) ||
        !selector.SelectValidWithin(const_cast<uint8_t*>(data + pos), size - pos)) {
      ++pos;
      continue;
    }
    CFrmStrategy* s = selector.Current();
    const uint64_t length = s->GetFrameLength(1);
    if (length > maxFrame) {
      ++pos;
      continue;
    }
    if (pos + length > size) {
      if (!atEnd) return pos;
      ++pos;  // cut off by the end of the file: not a whole frame
      continue;
    }
    FoundFrame f;
    f.offset = base + static_cast<uint32_t>(pos);
    f.length = static_cast<uint32_t>(length);
    f.type = s->GetFrameType();
    f.key = s->IsKeyFrame();
    f.pts = s->GetPts();
    const uint32_t header = s->GetHeaderLength();
    if (selector.GetType() != CFrmStategy::kFoscam && header >= frame::kPtmfHeaderBytes)
      f.channel = data[pos + kChannelByte];
    take(f);
    pos += length;
  }
  return atEnd ? size : pos;
}

void PieceBuilder::Add(uint32_t fileIndex, const FoundFrame& f, uint8_t reason) {
  auto it = open_.find(f.channel);
  if (it != open_.end()) {
    const Piece& p = it->second;
    // The difference in unsigned arithmetic: damaged headers carry time stamps near the ends of
    // the range, and f.pts >= p.endMs makes it the true distance.
    const bool goesOn = p.fileIndex == fileIndex && p.reason == reason && f.pts >= p.endMs &&
                        static_cast<uint64_t>(f.pts) - static_cast<uint64_t>(p.endMs) <=
                            static_cast<uint64_t>(kMaxGapMs);
    if (!goesOn) End(f.channel);
  }
  it = open_.find(f.channel);
  if (it == open_.end()) {
    if (!f.key) return;  // a piece starts at its first key frame
    Piece p;
    p.fileIndex = fileIndex;
    p.channel = f.channel;
    p.reason = reason;
    p.startMs = f.pts;
    p.endMs = f.pts;
    p.startOffset = f.offset;
    it = open_.emplace(f.channel, p).first;
  }
  Piece& p = it->second;
  p.endMs = f.pts;
  p.endOffset = f.offset + f.length;
  ++p.frames;
  if (f.key) ++p.keyFrames;
  p.bytes += f.length;
}

void PieceBuilder::Break(int channel) { End(channel); }

void PieceBuilder::End(int channel) {
  auto it = open_.find(channel);
  if (it == open_.end()) return;
  out_->push_back(it->second);
  open_.erase(it);
}

void PieceBuilder::Flush() {
  while (!open_.empty()) End(open_.begin()->first);
}

}  // namespace recovery
