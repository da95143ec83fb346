// Fuzz target: arbitrary payloads given to the H.264 decoder, in pieces the input chooses
// (byte 0: how many), then the last picture converted to BGRA. Nothing may read outside the
// payloads or crash; the decoder skips what it cannot use.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "player/h264_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t pieces = data[0] % 8 + 1;
  const uint8_t* p = data + 1;
  const size_t n = size - 1;
  H264Decoder d;
  if (!d.Open()) return 0;
  for (size_t k = 0; k < pieces; ++k) {
    const size_t from = n * k / pieces, to = n * (k + 1) / pieces;
    d.Decode(p + from, to - from);
  }
  d.Flush();
  std::vector<uint8_t> bgra;
  d.LastPictureBgra(64, 48, &bgra);
  return 0;
}
