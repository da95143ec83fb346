#include "player/decoder_set.h"

#include <chrono>

#include "platform/messages.h"

namespace player {

struct DecoderSet::Slot {
  mutable std::mutex lock;
  VideoSurface* surface = nullptr;
  H264Decoder decoder;
  bool hasDecoder = false;
  std::vector<uint8_t> picture;  // the scaled picture, rows of width x 4 bytes
  int width = 0, height = 0;     // the last output size
  uint64_t decoded = 0;
  int64_t lastDecodeMs = 0;
  PictureCallback onPicture = nullptr;
  void* pictureUser = nullptr;
  PaintCallback onPaint = nullptr;
  void* paintUser = nullptr;
};

DecoderSet::DecoderSet() {
  for (auto& s : slots_) {
    s = std::make_unique<Slot>();
    // A decoder that does not open leaves its window black; its frames are dropped.
    s->hasDecoder = s->decoder.Open();
  }
}

DecoderSet::~DecoderSet() = default;

namespace {
bool InRange(int n) { return n >= 0 && n < DecoderSet::kSlots; }

int OverMax(int n) {
  DebugLog("Channel %d is over max decoder num %d .\n", n, DecoderSet::kSlots);
  return DecoderSet::kErrSlot;
}
}  // namespace

int DecoderSet::SetSurface(int n, VideoSurface* surface) {
  if (!InRange(n)) return OverMax(n);
  std::lock_guard<std::mutex> g(slots_[n]->lock);
  slots_[n]->surface = surface;
  return 0;
}

int DecoderSet::SetPictureCallback(int n, PictureCallback cb, void* user) {
  if (!InRange(n)) return OverMax(n);
  std::lock_guard<std::mutex> g(slots_[n]->lock);
  slots_[n]->onPicture = cb;
  slots_[n]->pictureUser = user;
  return 0;
}

int DecoderSet::SetPaintCallback(int n, PaintCallback cb, void* user) {
  if (!InRange(n)) return OverMax(n);
  std::lock_guard<std::mutex> g(slots_[n]->lock);
  slots_[n]->onPaint = cb;
  slots_[n]->paintUser = user;
  return 0;
}

int DecoderSet::Decode(int n, const uint8_t* payload, size_t size) {
  const auto begin = std::chrono::steady_clock::now();
  const int pictures = DecodeOnly(n, payload, size);
  if (pictures <= 0) return pictures;
  const int painted = PaintLast(n);
  std::lock_guard<std::mutex> g(slots_[n]->lock);
  slots_[n]->lastDecodeMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::steady_clock::now() - begin)
                                .count();
  return painted;
}

int DecoderSet::DecodeOnly(int n, const uint8_t* payload, size_t size) {
  if (!InRange(n)) return OverMax(n);
  if (!payload || size == 0) return kErrEmpty;
  Slot& s = *slots_[n];
  std::lock_guard<std::mutex> g(s.lock);
  if (!s.hasDecoder || !s.surface || !s.surface->IsVisible()) return 0;
  const auto begin = std::chrono::steady_clock::now();
  const int pictures = s.decoder.Decode(payload, size);
  s.lastDecodeMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                       std::chrono::steady_clock::now() - begin)
                       .count();
  return pictures;
}

int DecoderSet::PaintLast(int n) {
  if (!InRange(n)) return OverMax(n);
  Slot& s = *slots_[n];
  std::lock_guard<std::mutex> g(s.lock);
  if (!s.hasDecoder || !s.surface || !s.surface->IsVisible()) return 0;
  return PaintSlot(s);
}

// Scales the decoder's last picture to the window (its client size, or the picture's own size
// without one) and draws it.
int DecoderSet::PaintSlot(Slot& s) {
  int w = 0, h = 0;
  if (!s.surface->ClientSize(&w, &h) || w <= 0 || h <= 0) {
    w = s.decoder.width();
    h = s.decoder.height();
  }
  if (w <= 0 || h <= 0) return 0;
  if (w != s.width || h != s.height) {
    s.picture.assign(static_cast<size_t>(w) * static_cast<size_t>(h) * 4, 0);
    s.width = w;
    s.height = h;
  }
  if (!s.decoder.ScaleLastInto(s.picture.data(), w * 4, w, h)) return 0;
  if (s.onPicture) s.onPicture(s.picture.data(), w * 4, w, h, 2, s.pictureUser);
  s.surface->Present(s.picture.data(), w * 4, w, h);
  if (s.onPaint) s.onPaint(s.surface, s.paintUser);
  ++s.decoded;
  return 1;
}

uint64_t DecoderSet::decoded(int n) const {
  if (!InRange(n)) return 0;
  std::lock_guard<std::mutex> g(slots_[n]->lock);
  return slots_[n]->decoded;
}

int64_t DecoderSet::lastDecodeMs(int n) const {
  if (!InRange(n)) return 0;
  std::lock_guard<std::mutex> g(slots_[n]->lock);
  return slots_[n]->lastDecodeMs;
}

bool DecoderSet::HasDecoder(int n) const { return InRange(n) && slots_[n]->hasDecoder; }

void DecoderSet::OutputSize(int n, int* width, int* height) const {
  *width = *height = 0;
  if (!InRange(n)) return;
  std::lock_guard<std::mutex> g(slots_[n]->lock);
  *width = slots_[n]->width;
  *height = slots_[n]->height;
}

}  // namespace player
