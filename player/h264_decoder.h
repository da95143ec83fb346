// H.264 decoding for replay and the player: FFmpeg's decoder (send a packet, receive every
// picture it yields), and the last picture converted to 32-bit BGRA at a chosen size with a
// bilinear scaler. One decoder per video stream; not shared between threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

class H264Decoder {
 public:
  static constexpr int kErrEmpty = -2002;   // an empty payload
  static constexpr int kErrNoDecoder = -1;  // no H.264 decoder could be opened

  H264Decoder();
  ~H264Decoder();
  H264Decoder(const H264Decoder&) = delete;
  H264Decoder& operator=(const H264Decoder&) = delete;

  // Opens the decoder (one thread: one picture out per picture in). False when FFmpeg has no
  // H.264 decoder or it does not open.
  bool Open();
  bool IsOpen() const;
  // Decodes one frame's payload (Annex-B NAL units). The number of pictures that came out, or
  // kErrEmpty / kErrNoDecoder; a payload the decoder refuses counts no picture and is not an
  // error of the stream (damaged data is skipped).
  int Decode(const uint8_t* payload, size_t size);
  // Drains the pictures the decoder still holds; their number.
  int Flush();

  uint64_t pictures() const { return pictures_; }
  // Payloads the decoder refused.
  uint64_t refused() const { return refused_; }
  int width() const { return width_; }
  int height() const { return height_; }
  // The last picture as BGRA, width x height (0, 0: its own size), 4 bytes a pixel, rows of
  // width x 4 bytes. False before the first picture.
  bool LastPictureBgra(int width, int height, std::vector<uint8_t>* out);
  // Scales the last picture into dst (height rows of lineSize bytes) as BGRA, width x height.
  // The scaler is kept and rebuilt only when a size or the picture format changes.
  bool ScaleLastInto(uint8_t* dst, int lineSize, int width, int height);

 private:
  int ReceiveAll();

  struct Impl;
  std::unique_ptr<Impl> impl_;
  uint64_t pictures_ = 0;
  uint64_t refused_ = 0;
  int width_ = 0, height_ = 0;
};
