// Fuzz target: the recovery scan's frame walk and piece grouping over arbitrary data, cut into
// transfers at a point the input chooses, as the disk scan reads a record file. Checked: every
// frame found lies inside the data and after the one before it; the walk always moves on; the
// pieces hold what their frames say (a key frame first, times ascending, bytes inside the data).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "record/recovery_scan.h"

namespace {
[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_recovery_scan: %s\n", what);
  std::abort();
}
constexpr uint32_t kBase = 0x2F000;  // where a record file's data begins
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  // The first byte chooses the transfer size (at least the longest frame taken, as on a disk).
  const uint32_t maxFrame = 64u + data[0] * 16u;
  const size_t transfer = maxFrame + 48 + data[1] * 8u;
  std::vector<uint8_t> file(data + 2, data + size);
  std::vector<recovery::Piece> pieces;
  recovery::PieceBuilder builder(&pieces);
  uint64_t lastEnd = kBase;
  size_t at = 0;
  while (at < file.size()) {
    const size_t n = std::min(transfer, file.size() - at);
    std::vector<uint8_t> chunk(file.begin() + static_cast<long>(at),
                               file.begin() + static_cast<long>(at + n));  // exact size
    const bool atEnd = at + n >= file.size();
    const size_t used = recovery::ScanFrames(
        chunk.data(), chunk.size(), static_cast<uint32_t>(kBase + at), maxFrame, atEnd,
        [&](const recovery::FoundFrame& f) {
          if (f.length == 0 || f.length > maxFrame) Fail("a frame of a length not taken");
          if (f.offset < lastEnd) Fail("frames overlap or go back");
          if (f.offset + uint64_t{f.length} > kBase + at + n) Fail("a frame past the data");
          lastEnd = f.offset + uint64_t{f.length};
          recovery::FoundFrame g = f;
          if (g.channel < 0) g.channel = 0;
          builder.Add(0, g, recovery::kDeleted);
        });
    if (used > n) Fail("the walk went past the data");
    if (atEnd) break;
    if (used == 0 && n >= transfer) Fail("the walk did not move on");
    at += used == 0 ? 1 : used;
  }
  builder.Flush();
  for (const recovery::Piece& p : pieces) {
    if (p.frames == 0 || p.keyFrames == 0 || p.keyFrames > p.frames) Fail("a piece without a key frame");
    if (p.endMs < p.startMs) Fail("a piece ends before it starts");
    if (p.endOffset <= p.startOffset || p.endOffset > kBase + file.size()) Fail("a piece's bytes");
    if (p.bytes > p.endOffset - p.startOffset) Fail("more bytes than the piece spans");
  }
  return 0;
}
