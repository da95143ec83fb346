// Halving a picture plane for a window exactly half the picture's size (1080p in 960x540, D1
// in CIF): each output sample is the rounded mean of the 2x2 block it stands for. That is what
// bilinear sampling at the output pixel's centre gives when the size halves exactly, and it
// runs several times faster than a general scaler.
#pragma once

#include <cstdint>

namespace player {

// dst gets dstHeight rows of dstWidth samples; src holds 2 x dstHeight rows of at least
// 2 x dstWidth samples.
void HalvePlane(const uint8_t* src, int srcStride, uint8_t* dst, int dstStride, int dstWidth,
                int dstHeight);

}  // namespace player
