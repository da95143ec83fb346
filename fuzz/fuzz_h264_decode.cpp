// Fuzz target: arbitrary payloads given to the H.264 decoder, in pieces the input chooses
// (byte 0: how many), then the last picture converted to BGRA. Nothing may read outside the
// payloads or crash; the decoder skips what it cannot use.
//
// One decoder serves 64 inputs in a row, as one serves a whole stream in the player: opening
// one costs about a millisecond, more than most inputs take. It is flushed after each input but
// keeps the parameter sets and picture buffers it has, so a finding may need some of the inputs
// before it (the corpus) to show again.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "player/h264_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t pieces = data[0] % 8 + 1;
  const uint8_t* p = data + 1;
  const size_t n = size - 1;
  static std::unique_ptr<H264Decoder> decoder;
  static unsigned inputs = 0;
  if (inputs++ % 64 == 0) decoder = std::make_unique<H264Decoder>();
  H264Decoder& d = *decoder;
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
