#include "media_clips.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>

#include "record/h264.h"
#include "test_support.h"

namespace testsupport {
namespace {

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

}  // namespace

std::string RunCommand(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int rc = pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

std::vector<std::vector<uint8_t>> SplitPictures(const std::vector<uint8_t>& stream,
                                                std::vector<bool>* key) {
  std::vector<std::vector<uint8_t>> out;
  for (H264Picture& p : ::SplitPictures(stream.data(), stream.size())) {
    out.push_back(std::move(p.bytes));
    if (key) key->push_back(p.key);
  }
  return out;
}

std::vector<uint8_t> TaggedFrame(uint8_t type, int64_t ptsMs, const std::vector<uint8_t>& payload,
                                 uint32_t no) {
  std::vector<uint8_t> f = PtmfFrame(type, ptsMs, static_cast<uint32_t>(payload.size()), no);
  std::copy(payload.begin(), payload.end(), f.begin() + 224);
  return f;
}

std::vector<std::vector<uint8_t>> ClipFrames(int64_t t0, int pictures, bool audio) {
  const MediaClip& clip = TestClip();
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < pictures && !clip.pictures.empty(); ++i) {
    const size_t k = static_cast<size_t>(i) % clip.pictures.size();
    const int64_t t = t0 + i * 40;
    const uint32_t no = static_cast<uint32_t>(i);
    frames.push_back(TaggedFrame(clip.key[k] ? 'I' : 'P', t, clip.pictures[k], no));
    if (audio) frames.push_back(TaggedFrame('A', t, clip.audio[k % clip.audio.size()], no));
  }
  return frames;
}

const MediaClip& TestClip(int frames, int gop, int width, int height) {
  static std::map<std::tuple<int, int, int, int>, MediaClip> made;
  static TempDir dir;
  auto key = std::make_tuple(frames, gop, width, height);
  auto it = made.find(key);
  if (it != made.end()) return it->second;
  MediaClip& clip = made[key];
  const std::string tag = std::to_string(frames) + "_" + std::to_string(gop) + "_" +
                          std::to_string(width) + "x" + std::to_string(height);
  const std::string video = dir.File("clip" + tag + ".h264");
  const std::string audio = dir.File("clip" + tag + ".g726");
  char cmd[1024];
  std::snprintf(cmd, sizeof cmd,
                "ffmpeg -v error -y -f lavfi -i testsrc=size=%dx%d:rate=25 -frames:v %d "
                "-c:v libx264 -pix_fmt yuv420p -bf 0 -g %d -x264-params repeat-headers=1 -f h264 %s && "
                "ffmpeg -v error -y -f lavfi -i sine=frequency=440:sample_rate=8000 -t %.2f "
                "-c:a g726 -b:a 16k -f g726 %s",
                width, height, frames, gop, video.c_str(), frames / 25.0, audio.c_str());
  int status = 0;
  RunCommand(cmd, &status);
  if (status != 0) {
    ADD_FAILURE() << "ffmpeg could not make the test clip (is it installed?): " << cmd;
    return clip;
  }
  std::vector<bool> keys;
  clip.pictures = SplitPictures(ReadAll(video), &keys);
  clip.key = keys;
  const std::vector<uint8_t> a = ReadAll(audio);
  for (size_t at = 0; at + 80 <= a.size(); at += 80)
    clip.audio.emplace_back(a.begin() + at, a.begin() + at + 80);
  clip.width = width;
  clip.height = height;
  return clip;
}

}  // namespace testsupport
