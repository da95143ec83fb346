// What a decode thread plays from: the single-channel player (one reader feeding window 0) or
// the multi-channel player (a reader per tile, all on one play clock). A decode thread takes a
// frame for its window, decodes the video through the window's decoder slot and hands the
// decoded picture back to be shown at its time.
#pragma once

#include <cstdint>

namespace player {

class DecoderSet;

class PlaySource {
 public:
  virtual ~PlaySource() = default;
  // The next frame for window into buffer: its length, 0 when none is ready yet, or a
  // negative code.
  virtual int TakeFrame(int window, uint8_t* buffer, uint32_t size) = 0;
  // A frame of window with time stamp pts was taken (audio included).
  virtual void NoteFrameTime(int window, int64_t pts) = 0;
  // A video frame of window was decoded (pictures: how many came out): shows it at its time.
  virtual void Show(int window, int64_t pts, int pictures) = 0;
  virtual DecoderSet& decoders() = 0;
  // While paused or disabled the threads take no frames.
  virtual bool Paused() const = 0;
  virtual bool Enabled() const = 0;
  // How long a thread rests when no frame was ready (ms).
  virtual int IdleMs() const { return 100; }
  // Ends every wait of Show and TakeFrame: the threads are stopping.
  virtual void CancelWaits() = 0;
};

}  // namespace player
