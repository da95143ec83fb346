#include "player/h264_decoder.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

#include "player/plane_halving.h"

namespace {

// Three planes of Y, U and V (4:2:0, 4:2:2 or 4:4:4 as the stream's profile has them).
bool IsPlanarYuv(int format) {
  const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(format));
  return d && d->nb_components == 3 && (d->flags & AV_PIX_FMT_FLAG_PLANAR) &&
         !(d->flags & AV_PIX_FMT_FLAG_RGB);
}

// An 8-bit 4:2:0 picture whose planes all halve into whole samples: exactly width / 2 by
// height / 2, with chroma planes of a quarter of the luma plane's size.
bool HalvesExactly(const AVFrame* src, int width, int height) {
  const auto f = static_cast<AVPixelFormat>(src->format);
  return (f == AV_PIX_FMT_YUV420P || f == AV_PIX_FMT_YUVJ420P) && src->width % 4 == 0 &&
         src->height % 4 == 0 && width * 2 == src->width && height * 2 == src->height;
}

void HalvePlanes(const AVFrame* src, AVFrame* dst) {
  player::HalvePlane(src->data[0], src->linesize[0], dst->data[0], dst->linesize[0], dst->width,
                     dst->height);
  for (int p = 1; p < 3; ++p)
    player::HalvePlane(src->data[p], src->linesize[p], dst->data[p], dst->linesize[p],
                       dst->width / 2, dst->height / 2);
}

}  // namespace

struct H264Decoder::Impl {
  AVCodecContext* ctx = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* frame = nullptr;      // receives each picture
  AVFrame* last = nullptr;       // the last picture kept for conversion
  SwsContext* scaler = nullptr;  // to BGRA (at the window size, or unscaled after shrink)
  SwsContext* shrink = nullptr;  // YUV picture to the same format at the window size
  AVFrame* resized = nullptr;    // the picture at the window size, before conversion

  // The last picture shrunk to width x height in its own format; the picture itself when it is
  // not planar YUV or not larger than that; null when scaling failed.
  const AVFrame* Resized(int width, int height);

  ~Impl() {
    sws_freeContext(scaler);
    sws_freeContext(shrink);
    av_frame_free(&resized);
    av_frame_free(&last);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&ctx);
  }
};

H264Decoder::H264Decoder() = default;
H264Decoder::~H264Decoder() = default;

bool H264Decoder::IsOpen() const { return impl_ && impl_->ctx; }

bool H264Decoder::Open() {
  if (IsOpen()) return true;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  if (!codec) return false;
  auto impl = std::make_unique<Impl>();
  impl->ctx = avcodec_alloc_context3(codec);
  if (!impl->ctx) return false;
  impl->ctx->thread_count = 1;  // a picture out for each picture in, no frame-thread delay
  if (avcodec_open2(impl->ctx, codec, nullptr) < 0) return false;
  impl->packet = av_packet_alloc();
  impl->frame = av_frame_alloc();
  impl->last = av_frame_alloc();
  if (!impl->packet || !impl->frame || !impl->last) return false;
  impl_ = std::move(impl);
  return true;
}

int H264Decoder::ReceiveAll() {
  int out = 0;
  while (avcodec_receive_frame(impl_->ctx, impl_->frame) == 0) {
    av_frame_unref(impl_->last);
    av_frame_move_ref(impl_->last, impl_->frame);
    width_ = impl_->last->width;
    height_ = impl_->last->height;
    ++pictures_;
    ++out;
  }
  return out;
}

int H264Decoder::Decode(const uint8_t* payload, size_t size) {
  if (!IsOpen()) return kErrNoDecoder;
  if (!payload || size == 0) return kErrEmpty;
  // The packet owns a padded copy: the decoder reads a little past the end of its data.
  if (av_new_packet(impl_->packet, static_cast<int>(size)) < 0) return kErrNoDecoder;
  std::copy(payload, payload + size, impl_->packet->data);
  const int r = avcodec_send_packet(impl_->ctx, impl_->packet);
  av_packet_unref(impl_->packet);
  if (r < 0 && r != AVERROR(EAGAIN)) {
    ++refused_;
    return 0;  // damaged data: skipped
  }
  return ReceiveAll();
}

int H264Decoder::Flush() {
  if (!IsOpen()) return kErrNoDecoder;
  avcodec_send_packet(impl_->ctx, nullptr);
  const int n = ReceiveAll();
  avcodec_flush_buffers(impl_->ctx);
  return n;
}

bool H264Decoder::LastPictureBgra(int width, int height, std::vector<uint8_t>* out) {
  if (!IsOpen() || pictures_ == 0 || width_ <= 0 || height_ <= 0) return false;
  if (width <= 0 || height <= 0) {
    width = width_;
    height = height_;
  }
  out->assign(static_cast<size_t>(width) * static_cast<size_t>(height) * 4, 0);
  return ScaleLastInto(out->data(), width * 4, width, height);
}

// A YUV picture shrunk into a smaller window is scaled in its own planes first and then
// converted to BGRA without scaling: swscale's unscaled converter has a fast path, and the
// planes hold 1.5 bytes a pixel (4:2:0) against BGRA's 4 (1080p into a 960x540 window takes
// about a sixth less time than scaling straight to BGRA). A window of exactly half the picture's
// size averages each 2x2 block of the planes, which is that size's bilinear sample and about
// four times faster than swscale's shrink. A larger window scales in one pass, so
// its colours are interpolated at the window's own resolution.
const AVFrame* H264Decoder::Impl::Resized(int width, int height) {
  AVFrame* src = last;
  const bool shrinks =
      width <= src->width && height <= src->height && (width < src->width || height < src->height);
  if (!IsPlanarYuv(src->format) || !shrinks) return src;
  if (resized &&
      (resized->width != width || resized->height != height || resized->format != src->format))
    av_frame_free(&resized);
  if (!resized) {
    resized = av_frame_alloc();
    if (!resized) return nullptr;
    resized->format = src->format;
    resized->width = width;
    resized->height = height;
    if (av_frame_get_buffer(resized, 0) < 0) {
      av_frame_free(&resized);
      return nullptr;
    }
  }
  if (HalvesExactly(src, width, height)) {
    HalvePlanes(src, resized);
    return resized;
  }
  const auto format = static_cast<AVPixelFormat>(src->format);
  shrink = sws_getCachedContext(shrink, src->width, src->height, format, width, height, format,
                                SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!shrink || sws_scale(shrink, src->data, src->linesize, 0, src->height, resized->data,
                           resized->linesize) != height)
    return nullptr;
  return resized;
}

bool H264Decoder::ScaleLastInto(uint8_t* dst, int lineSize, int width, int height) {
  if (!IsOpen() || pictures_ == 0 || width_ <= 0 || height_ <= 0) return false;
  if (!dst || width <= 0 || height <= 0 || lineSize < width * 4) return false;
  const AVFrame* src = impl_->Resized(width, height);
  if (!src) return false;
  impl_->scaler = sws_getCachedContext(impl_->scaler, src->width, src->height,
                                       static_cast<AVPixelFormat>(src->format), width, height,
                                       AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!impl_->scaler) return false;
  uint8_t* planes[4] = {dst, nullptr, nullptr, nullptr};
  int strides[4] = {lineSize, 0, 0, 0};
  return sws_scale(impl_->scaler, src->data, src->linesize, 0, src->height, planes, strides) ==
         height;
}
