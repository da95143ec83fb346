#include "media_clips.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <tuple>

#include "test_support.h"

namespace testsupport {
namespace {

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// Start of each NAL unit (after its start code, 3 or 4 bytes).
std::vector<size_t> NalStarts(const std::vector<uint8_t>& s) {
  std::vector<size_t> out;
  for (size_t k = 0; k + 3 <= s.size(); ++k)
    if (s[k] == 0 && s[k + 1] == 0 && s[k + 2] == 1) {
      out.push_back(k + 3);
      k += 2;
    }
  return out;
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

std::vector<std::vector<uint8_t>> SplitPictures(const std::vector<uint8_t>& s,
                                                std::vector<bool>* key) {
  std::vector<std::vector<uint8_t>> pictures;
  std::vector<uint8_t> cur;
  bool curKey = false, curHasSlice = false;
  const std::vector<size_t> starts = NalStarts(s);
  for (size_t i = 0; i < starts.size(); ++i) {
    size_t end = i + 1 < starts.size() ? starts[i + 1] - 3 : s.size();
    // A 4-byte start code leaves a zero at the end of the previous unit.
    while (end > starts[i] && s[end - 1] == 0) --end;
    const uint8_t type = s[starts[i]] & 0x1F;
    const bool slice = type == 1 || type == 5;
    // first_mb_in_slice is ue(v) right after the header byte: 0 reads as a leading 1 bit.
    const bool firstSlice = slice && starts[i] + 1 < s.size() && (s[starts[i] + 1] & 0x80);
    const bool startsPicture = (firstSlice && curHasSlice) || ((type == 7 || type == 9) && curHasSlice);
    if (startsPicture) {
      pictures.push_back(cur);
      if (key) key->push_back(curKey);
      cur.clear();
      curKey = curHasSlice = false;
    }
    static const uint8_t kStart[4] = {0, 0, 0, 1};
    cur.insert(cur.end(), kStart, kStart + 4);
    cur.insert(cur.end(), s.begin() + starts[i], s.begin() + end);
    curHasSlice |= slice;
    curKey |= type == 5;
  }
  if (curHasSlice) {
    pictures.push_back(cur);
    if (key) key->push_back(curKey);
  }
  return pictures;
}

std::vector<uint8_t> TaggedFrame(uint8_t type, int64_t ptsMs, const std::vector<uint8_t>& payload,
                                 uint32_t no) {
  std::vector<uint8_t> f = PtmfFrame(type, ptsMs, static_cast<uint32_t>(payload.size()), no);
  std::copy(payload.begin(), payload.end(), f.begin() + 224);
  return f;
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
                "-c:v libx264 -bf 0 -g %d -x264-params repeat-headers=1 -f h264 %s && "
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
