// Fuzz target: the frame-header selector and every strategy operation over arbitrary headers,
// the raw-data frame scan, and the H.264 helpers (FindParamSets, ParseSpsSize) over arbitrary
// bytes. Each sees an exact-size heap copy, so a read past it is caught.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "record/frame_strategy.h"
#include "record/h264.h"

namespace {
volatile uint64_t g_sink;
[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_frames: %s\n", what);
  std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  CFrmStategy sel;
  if (size >= frame::kMaxHeaderBytes) {
    std::vector<uint8_t> header(data, data + frame::kMaxHeaderBytes);
    if (sel.Select(header.data()) == 0) {
      CFrmStrategy* s = sel.Current();
      if (!s) Fail("selected without a strategy");
      g_sink = static_cast<uint64_t>(s->GetPts()) + s->GetTimestamp() + s->GetFrameLength(1) +
               s->GetFrameType() + s->GetHeaderLength() + s->GetFrameNo() + s->GetAuxValue() +
               s->IsValid() + s->IsKeyFrame() + s->GetWidth() + s->GetHeight();
      const int64_t pts = s->GetPts();
      s->SetPts(pts);
      if (s->GetPts() != pts) Fail("SetPts(GetPts()) changed the time stamp");
      s->SetFrameNo(s->GetFrameNo() + 1);
    } else if (sel.Current() || sel.GetType() != 0) {
      Fail("no match but a current strategy");
    }
  }
  const int64_t at = FindNextFrame(sel, bytes.data(), bytes.size(), 0);
  if (at >= 0 && static_cast<uint64_t>(at) + frame::kMaxHeaderBytes > bytes.size())
    Fail("a frame found past the data");

  ParamSets sets;
  if (FindParamSets(bytes.data(), bytes.size(), sets)) {
    if (sets.spsLength > kParamSetSlot || sets.ppsLength > kParamSetSlot)
      Fail("a parameter set longer than its slot");
    if ((sets.sps[4] & 0x1F) != 7 || (sets.pps[4] & 0x1F) != 8) Fail("wrong NAL types");
  }
  int w = 0, h = 0;
  // The cropping window trims the coded size, so any size from 1 up to the coded limits
  // (4096 macroblocks wide, twice 4096 map units high for field coding) is a picture.
  if (ParseSpsSize(w, h, bytes.data(), bytes.size()) &&
      (w <= 0 || h <= 0 || w > 4096 * 16 || h > 2 * 4096 * 16))
    Fail("an impossible picture size");
  uint64_t bit = 0;
  while (bit < uint64_t{size} * 8) g_sink = g_sink + ReadUe(bytes.data(), size, bit);
  return 0;
}
