// Recovery of the recordings the index no longer shows: the frames found by their tags in a
// record file's data area, and grouped into pieces. No I/O here: the disk-level scan
// (recovery.h) reads the files and says which frames the index covers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace recovery {

// Why the index does not show a piece.
enum Reason : uint8_t {
  kDeleted = 1,       // a deleted entry or segment (the file's own head still describes it)
  kRecycledTail = 2,  // behind the data end of the recording that now fills the file
  kFreeFile = 3,      // a free file that still holds frames from before
  kUnindexed = 4,     // a file whose index entry is damaged
};
const char* ReasonName(uint8_t reason);

// A whole, valid frame found in the data.
struct FoundFrame {
  uint32_t offset = 0;  // in the record file
  uint32_t length = 0;  // header and payload
  int channel = -1;     // from the recorder's own header; -1 when the header has none
  uint8_t type = 0;
  bool key = false;
  int64_t pts = 0;
};

// The frames wholly inside data[0, size), which lies at file offset base, in file order. A
// frame longer than maxFrame is not taken for one. Returns where to read on: the start of a
// frame that runs past the end of the data (when !atEnd), else size. Every step of the walk
// moves on: past a whole frame, or by one byte.
size_t ScanFrames(const uint8_t* data, size_t size, uint32_t base, uint32_t maxFrame, bool atEnd,
                  const std::function<void(const FoundFrame&)>& take);

// A piece: one channel's frames in ascending time, from its first key frame on.
struct Piece {
  uint32_t fileIndex = 0;
  int channel = 0;
  uint8_t reason = 0;
  int64_t startMs = 0, endMs = 0;
  uint32_t frames = 0, keyFrames = 0;
  uint32_t startOffset = 0, endOffset = 0;  // the first key frame's offset, the last frame's end
  uint64_t bytes = 0;                       // of the frames counted
};

// Groups frames into pieces: the same channel, ascending time stamps; a gap of more than 2 s,
// a jump back, another reason, another file or a frame the index covers begins a new piece.
// Frames before a piece's first key frame are left out; a piece without one is dropped.
class PieceBuilder {
 public:
  static constexpr int64_t kMaxGapMs = 2000;
  explicit PieceBuilder(std::vector<Piece>* out) : out_(out) {}
  void Add(uint32_t fileIndex, const FoundFrame& f, uint8_t reason);
  // A frame of this channel that the index covers: the open piece ends.
  void Break(int channel);
  // Ends every open piece (the file ends).
  void Flush();

 private:
  void End(int channel);
  std::map<int, Piece> open_;  // by channel
  std::vector<Piece>* out_;
};

}  // namespace recovery
