// Real media for tests, made with Debian's ffmpeg at test time: a small H.264 clip (x264, 4:2:0
// as recorders stream it, Annex-B, every start code rewritten to 4 bytes, SPS and PPS before
// each IDR) cut into pictures, and G.726 audio (16 kbit/s, 8000 Hz mono) cut into 40 ms pieces.
// Also the shell helpers the tests use to check files with ffprobe and ffmpeg.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct MediaClip {
  std::vector<std::vector<uint8_t>> pictures;  // one access unit each
  std::vector<bool> key;                        // an IDR picture (with SPS and PPS before it)
  std::vector<std::vector<uint8_t>> audio;      // 80 bytes = 40 ms each
  int width = 0;
  int height = 0;
};

// A clip of `frames` pictures at 25 fps with a key frame every `gop` pictures, and as much
// audio; made once per process and size. Fails the test (and returns an empty clip) when
// ffmpeg is missing.
const MediaClip& TestClip(int frames = 50, int gop = 25, int width = 320, int height = 240);

// Splits an Annex-B stream into access units (a new unit at each slice whose first_mb is 0,
// SPS and PPS joining the picture after them) and makes every start code 4 bytes long.
std::vector<std::vector<uint8_t>> SplitPictures(const std::vector<uint8_t>& stream,
                                                std::vector<bool>* key);

// A "PTMF" frame record around a payload (224-byte header; type, pts, number).
std::vector<uint8_t> TaggedFrame(uint8_t type, int64_t ptsMs, const std::vector<uint8_t>& payload,
                                 uint32_t no);

// `pictures` tagged frames of the test clip from t0, 40 ms apart (the clip looped), each
// followed by an audio frame of the same time when `audio` is set.
std::vector<std::vector<uint8_t>> ClipFrames(int64_t t0, int pictures, bool audio);

// Runs a shell command and returns what it printed on stdout (its exit code in *status).
std::string RunCommand(const std::string& command, int* status = nullptr);

}  // namespace testsupport
