// The display layer under the player's decoder slots: what a decoder slot needs of the window it
// paints into. The desktop player implements it with a Qt widget; benchmarks and tests with a
// plain buffer.
#pragma once

#include <cstdint>

namespace player {

class VideoSurface {
 public:
  virtual ~VideoSurface() = default;
  // Whether the window is shown: pictures for a hidden window are not decoded.
  virtual bool IsVisible() const = 0;
  // The client area's size; false when the window has none (the picture's own size is used).
  virtual bool ClientSize(int* width, int* height) const = 0;
  // Draws a top-down BGRA picture at (0, 0). Called on the decode thread: the implementation
  // copies what it keeps and hands it to its own thread.
  virtual void Present(const uint8_t* bgra, int lineSize, int width, int height) = 0;
  // The time stamp (ms) of the picture Present draws next: a window that shows the time takes
  // it from here. Called on the decode thread just before Present.
  virtual void NoteTime(int64_t ptsMs) { (void)ptsMs; }
};

}  // namespace player
