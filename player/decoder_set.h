// The player's decoder set: 16 decoder slots, one per video window. A slot decodes the H.264
// payloads of its window with FFmpeg, scales each picture to the window's client size as 32-bit
// BGRA (bilinear; the scaler is rebuilt only when that size changes) and paints it through the
// window's surface, calling the slot's picture and paint callbacks on the way.
//
// Lock rule: each slot has its own lock, taken by the one decode thread that feeds the slot and
// by the dialog when it sets the window or the callbacks.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "player/h264_decoder.h"
#include "player/video_surface.h"

namespace player {

// (pixel data, line size, width, height, 2, user value)
using PictureCallback = void (*)(const uint8_t* data, int lineSize, int width, int height, int kind,
                                 void* user);
// (the surface painted, user value)
using PaintCallback = void (*)(VideoSurface* surface, void* user);

class DecoderSet {
 public:
  static constexpr int kSlots = 16;
  static constexpr int kErrSlot = -1;      // slot number out of range
  static constexpr int kErrEmpty = -2002;  // an empty payload

  DecoderSet();
  ~DecoderSet();

  // The window of slot n (null: none). -1 out of range ("Channel %d is over max decoder num").
  int SetSurface(int n, VideoSurface* surface);
  int SetPictureCallback(int n, PictureCallback cb, void* user);
  int SetPaintCallback(int n, PaintCallback cb, void* user);

  // Decodes one payload for slot n and paints what comes out: the number of pictures painted,
  // 0 when the slot has no decoder or its window is hidden (the payload is dropped), kErrSlot,
  // or kErrEmpty.
  int Decode(int n, const uint8_t* payload, size_t size);
  // The same in two steps, for a player that shows each picture at its time: DecodeOnly returns
  // the pictures that came out (0 as Decode, kErrSlot, kErrEmpty), PaintLast paints the last
  // of them (1, or 0 when there is none or the window is hidden).
  int DecodeOnly(int n, const uint8_t* payload, size_t size);
  int PaintLast(int n);

  uint64_t decoded(int n) const;      // pictures painted
  int64_t lastDecodeMs(int n) const;  // how long the last decode took
  bool HasDecoder(int n) const;
  // The size of the last picture painted (0, 0 before the first).
  void OutputSize(int n, int* width, int* height) const;

 private:
  struct Slot;
  int PaintSlot(Slot& s);

  std::unique_ptr<Slot> slots_[kSlots];
};

}  // namespace player
