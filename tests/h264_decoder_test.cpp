// H.264 decoding of a real clip (x264 via ffmpeg): every picture comes out, at the clip's size,
// and converts to BGRA at another size; damaged and empty payloads are survived.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <utility>
#include <vector>

#include "media_clips.h"
#include "player/h264_decoder.h"
#include "player/plane_halving.h"
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

// A smaller window gets the picture shrunk: every pixel close to the average of the 2x2 block
// of the full-size picture it stands for (colours in their places, no plane mixed up); a window
// a pixel wider (the general scaler rather than the block average) shows nearly the same
// picture; odd and larger sizes convert too.
TEST(H264Decoder, ShrunkPictureMatchesTheFullPictureAveraged) {
  const auto& clip = testsupport::TestClip();
  H264Decoder d;
  ASSERT_TRUE(d.Open());
  for (size_t k = 0; k < 10; ++k) d.Decode(clip.pictures[k].data(), clip.pictures[k].size());
  std::vector<uint8_t> full, half;
  ASSERT_TRUE(d.LastPictureBgra(0, 0, &full));
  ASSERT_TRUE(d.LastPictureBgra(160, 120, &half));
  const auto at = [&](int x, int y, int c) { return int{full[(y * 320 + x) * 4 + c]}; };
  double sum = 0;
  for (int y = 0; y < 120; ++y)
    for (int x = 0; x < 160; ++x)
      for (int c = 0; c < 3; ++c) {
        const int box =
            (at(2 * x, 2 * y, c) + at(2 * x + 1, 2 * y, c) + at(2 * x, 2 * y + 1, c) +
             at(2 * x + 1, 2 * y + 1, c) + 2) / 4;
        sum += std::abs(box - int{half[(y * 160 + x) * 4 + c]});
      }
  EXPECT_LT(sum / (160 * 120 * 3), 6.0) << sum / (160 * 120 * 3);
  std::vector<uint8_t> wider;
  ASSERT_TRUE(d.LastPictureBgra(161, 120, &wider));
  sum = 0;
  for (int y = 0; y < 120; ++y)
    for (int x = 0; x < 80; ++x)  // the left half, where the two samplings line up best
      for (int c = 0; c < 3; ++c)
        sum += std::abs(int{half[(y * 160 + x) * 4 + c]} - int{wider[(y * 161 + x) * 4 + c]});
  EXPECT_LT(sum / (80 * 120 * 3), 6.0) << sum / (80 * 120 * 3);
  for (const auto& size : {std::pair<int, int>{161, 119}, {321, 240}, {640, 480}, {1, 1}}) {
    std::vector<uint8_t> bgra;
    ASSERT_TRUE(d.LastPictureBgra(size.first, size.second, &bgra));
    EXPECT_EQ(bgra[3], 255);
    EXPECT_EQ(bgra.back(), 255);
  }
}

// The halving of a plane: each sample the rounded mean of its 2x2 block (rows read with the
// source's stride, not its width), and nothing written past the output's width in a row.
TEST(PlaneHalving, EachSampleIsTheRoundedMeanOfItsBlock) {
  constexpr int kW = 37, kH = 5, kSrcStride = 2 * kW + 9, kDstStride = kW + 7;
  std::vector<uint8_t> src(static_cast<size_t>(kSrcStride) * 2 * kH);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>(i * 37 + (i >> 3));
  std::vector<uint8_t> dst(static_cast<size_t>(kDstStride) * kH, 0xEE);
  player::HalvePlane(src.data(), kSrcStride, dst.data(), kDstStride, kW, kH);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      const auto at = [&](int sx, int sy) { return int{src[sy * kSrcStride + sx]}; };
      const int mean =
          (at(2 * x, 2 * y) + at(2 * x + 1, 2 * y) + at(2 * x, 2 * y + 1) +
           at(2 * x + 1, 2 * y + 1) + 2) >> 2;
      ASSERT_EQ(int{dst[y * kDstStride + x]}, mean) << x << "," << y;
    }
    for (int x = kW; x < kDstStride; ++x) ASSERT_EQ(dst[y * kDstStride + x], 0xEE);
  }
  const uint8_t white[4] = {255, 255, 255, 255};
  uint8_t out = 0;
  player::HalvePlane(white, 2, &out, 1, 1, 1);
  EXPECT_EQ(out, 255);  // no overflow of the sum
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
