// The AAC encoder interface the MP4 backup uses (Easy_AACEncoder_*), built on libavcodec: the
// recorder's audio decoded (G.726, G.711 A-law or mu-law, or 16-bit PCM), then encoded by
// libavcodec's own AAC encoder into raw AAC frames of 1024 samples (no ADTS header), one frame
// out per call at most (the rest waits for the next call).
//
// The 16-byte initialisation block:
//   byte 0   codec: 3 G.726, 1 G.711 A-law, 0 G.711 mu-law, 2 16-bit PCM (little-endian)
//   byte 1   G.726 code word bits: 2 (16 kbit/s) .. 5 (40 kbit/s); 0 counts as 2
//   byte 2   G.726 bit packing: 0 the first code word in the top bits of a byte (the order the
//            recorder's ASF audio stream declares, FFmpeg's "g726"), 1 in the bottom bits
//            (RFC 3551 "G726-16", FFmpeg's "g726le")
//   byte 3   0
//   4..7     sample rate (0 counts as 8000)
//   8..11    channels (0 counts as 1)
//   12..15   0
#pragma once

#include <cstdint>
#include <vector>

#pragma pack(push, 1)
struct InitParam {
  uint8_t codec;
  uint8_t g726Bits;
  uint8_t packing;
  uint8_t reserved3;
  uint32_t sampleRate;
  uint32_t channels;
  uint32_t reserved12;
};
#pragma pack(pop)
static_assert(sizeof(InitParam) == 16, "the initialisation block is 16 bytes");

enum AudioCodecSelector : uint8_t {
  kAudioMuLaw = 0,
  kAudioALaw = 1,
  kAudioPcm16 = 2,
  kAudioG726 = 3,
};

typedef void* EasyAACEncoder_Handle;

// A new encoder, or null when the input codec or the AAC encoder cannot be opened.
EasyAACEncoder_Handle Easy_AACEncoder_Init(InitParam param);
// Encodes inLen bytes of input: 0 with *outLen the bytes of one AAC frame written to out (0
// while fewer than 1024 samples wait), or -1 (bad arguments, data the decoder refuses, or an
// output buffer smaller than the frame).
int Easy_AACEncoder_Encode(EasyAACEncoder_Handle handle, unsigned char* in, unsigned int inLen,
                           unsigned char* out, unsigned int* outLen);
void Easy_AACEncoder_Release(EasyAACEncoder_Handle handle);

// The AAC stream's decoder configuration (AudioSpecificConfig), sample rate and channels, as an
// MP4 audio track needs them. False for a null handle.
bool AacEncoderFormat(EasyAACEncoder_Handle handle, std::vector<uint8_t>* config, int* sampleRate,
                      int* channels);
