// H.264 decoding of a real clip (x264 via ffmpeg): every picture comes out, at the clip's size,
// and converts to BGRA at another size; damaged and empty payloads are survived.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "media_clips.h"
#include "player/h264_decoder.h"
#include "test_support.h"

namespace {

TEST(H264Decoder, EveryPictureOfAClipComesOutAndConverts) {
  const auto& clip = testsupport::TestClip();
  ASSERT_EQ(clip.pictures.size(), 50u);
  H264Decoder d;
  ASSERT_TRUE(d.Open());
  EXPECT_EQ(d.Decode(nullptr, 0), H264Decoder::kErrEmpty);
  std::vector<uint8_t> bgra;
  EXPECT_FALSE(d.LastPictureBgra(0, 0, &bgra));
  int out = 0;
  for (const auto& p : clip.pictures) out += d.Decode(p.data(), p.size());
  out += d.Flush();
  EXPECT_EQ(out, 50);
  EXPECT_EQ(d.pictures(), 50u);
  EXPECT_EQ(d.width(), 320);
  EXPECT_EQ(d.height(), 240);
  ASSERT_TRUE(d.LastPictureBgra(160, 120, &bgra));
  ASSERT_EQ(bgra.size(), 160u * 120 * 4);
  // The test pattern is colourful: many different pixels, every alpha byte opaque.
  std::vector<bool> seen(256, false);
  for (size_t i = 0; i < bgra.size(); i += 4) {
    seen[bgra[i + 1]] = true;
    ASSERT_EQ(bgra[i + 3], 255);
  }
  EXPECT_GT(std::count(seen.begin(), seen.end(), true), 20);
}

TEST(H264Decoder, DamagedDataIsSkippedAndDecodingGoesOn) {
  const auto& clip = testsupport::TestClip();
  H264Decoder d;
  ASSERT_TRUE(d.Open());
  std::vector<uint8_t> junk = testsupport::Pattern(5000, 7);
  EXPECT_GE(d.Decode(junk.data(), junk.size()), 0);
  std::vector<uint8_t> cut(clip.pictures[0].begin(), clip.pictures[0].begin() + 40);
  EXPECT_GE(d.Decode(cut.data(), cut.size()), 0);
  int out = 0;
  for (size_t k = 0; k < 25; ++k) out += d.Decode(clip.pictures[k].data(), clip.pictures[k].size());
  out += d.Flush();
  EXPECT_GE(out, 24);  // the key frame and what follows it decode
}

}  // namespace
