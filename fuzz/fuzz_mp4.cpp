// Fuzz target: frame payloads from a record file as the MP4 output takes them. Byte 0 chooses
// how many pieces; each piece goes to the H.264 sample writer (its NAL walk, parameter sets and
// length prefixes) with times the input also gives, to the JPEG size parser and, as audio, to
// the AAC conversion (G.726 decoding, AAC encoding). Nothing may read outside the pieces or
// crash, and the file is closed whatever came. The MP4 file is held in memory. The AAC encoder
// is made once (making one costs more than most inputs take): what an input leaves in it goes
// into the next input's first AAC frame. Every other piece offers the AAC conversion at most
// kAudioBytes: a few AAC frames cover the conversion's own code, while the encoder behind it
// (FFmpeg's, not ours) would otherwise take most of the time on long pieces.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string>

#include "backup/aac_conversion.h"
#include "backup/mp4_writer.h"
#include "fuzz/memory_file.h"

namespace {
constexpr size_t kAudioBytes = 192;
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  static fuzz::MemoryFile file("fuzz_mp4.mp4");
  const std::string& path = file.path();
  const size_t pieces = data[0] % 8 + 1;
  const int64_t step = data[1];  // ms between pieces; large values test the gap rule
  const uint8_t* p = data + 2;
  const size_t n = size - 2;
  static AacConversion aac;
  static const bool started = aac.Start();
  (void)started;
  CMp4Writer w;
  if (!w.Create(path.c_str(), 0, 0, 0, data[1] % 4 == 0 ? 0 : 25)) return 0;
  for (size_t k = 0; k < pieces; ++k) {
    const size_t from = n * k / pieces, to = n * (k + 1) / pieces;
    const int64_t t = 1700000000000 + static_cast<int64_t>(k) * step * (k % 3 == 2 ? -1 : 1);
    w.WriteH264(p + from, static_cast<int>(to - from), t);
    int width = 0, height = 0;
    volatile bool found = CMp4Writer::JpegSize(p + from, to - from, &width, &height);
    (void)found;
    // Every frame a piece makes is taken (Next() pops one each time until none is left).
    const size_t audio = k % 2 ? std::min(to - from, kAudioBytes) : 0;
    for (int aacBytes = aac.Take(p + from, audio); aacBytes > 0;
         aacBytes = aac.Next())
      w.WriteAudio(aac.frame(), aacBytes, t);
  }
  w.Close();
  return 0;
}
