// Replay sessions against a plain sequential read of the same record file, in one run:
//
//   Normal   a replay session (client 1) hands out every frame of a 4-minute recording
//            (2 Mbit/s video, 10 kB frames at 25 frames/s, a key frame a second) with no pacing;
//   Fast16   the same session in fast forward at speed 16: every 16th key frame;
//   Plain    pread of the record file's bytes from the disk image in 1 MiB pieces.
//
// Printed: frames per second of each, and the ratio plain time / session time for getting
// through the recording (the aim is 0.8 or more: a session is not much slower than reading the
// file). The best of three rounds counts. By default everything is in the page cache: a session
// copies each frame into its play buffer and out to the caller, so a memory-bound run shows
// about 0.5 at best. With --device every round starts with the image's pages dropped, so that
// both sides meet the disk: the setting the aim is about, as a player reads from a disk.
//
//   bench_replay [--rounds N] [--device]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/context.h"
#include "bench_support.h"
#include "disklayout/le.h"
#include "platform/messages.h"
#include "qvfs/qvfs.h"
#include "record/record_writer.h"

namespace {

constexpr uint32_t kFrameBytes = 10000;
constexpr int kFrames = 6000;  // 4 minutes at 25 frames/s
constexpr int64_t kT0 = 1700000000000;
constexpr int kChannel = 0, kClient = 1;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::vector<uint8_t> Frame(int i) { return benchsupport::VideoFrame(i, kT0, kFrameBytes); }

// Frames a session hands out over the whole recording in a mode.
int Session(int mode, int speed, double* seconds) {
  if (QVFS_PlaybackBytime(kT0 / 1000, kT0 / 1000 + 3600, kChannel, kClient) != 0) return -1;
  if (mode != 16 && QVFS_PlaybackSetMode(mode, speed, kChannel, kClient) != 0) return -1;
  std::vector<uint8_t> buf(1 << 20);
  int frames = 0;
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const int n = QVFS_ReplayFifoReadFrame(buf.data(), static_cast<int>(buf.size()), kChannel,
                                           kClient);
    if (n > 0) {
      ++frames;
      continue;
    }
    if (n == -3003 || n == -100) continue;
    break;
  }
  *seconds = Seconds(start);
  return frames;
}

double PlainRead(const std::string& image, uint64_t offset, uint32_t bytes) {
  const int fd = open(image.c_str(), O_RDONLY);
  if (fd < 0) return -1;
  std::vector<uint8_t> buf(1 << 20);
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t at = 0; at < bytes;) {
    const size_t n = std::min<size_t>(buf.size(), bytes - at);
    if (pread(fd, buf.data(), n, static_cast<off_t>(offset + at)) != static_cast<ssize_t>(n)) {
      close(fd);
      return -1;
    }
    at += static_cast<uint32_t>(n);
  }
  const double s = Seconds(start);
  close(fd);
  return s;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  bool device = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) rounds = std::atoi(argv[++i]);
    device |= std::strcmp(argv[i], "--device") == 0;
  }
  char dir[] = "/tmp/bench_replay.XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string image = std::string(dir) + "/replay.img";
  const std::string drive = benchsupport::MakeRecordDisk(image, 1ull << 30, 1);
  if (drive.empty()) {
    std::fprintf(stderr, "bench_replay: cannot make the record disk\n");
    return 1;
  }
  benchsupport::Recording rec;
  const bool recorded = benchsupport::RecordOne(
      drive, kChannel,
      [](int i, std::vector<uint8_t>* f) {
        if (i >= kFrames) return false;
        *f = Frame(i);
        return true;
      },
      &rec);
  if (!recorded) {
    std::fprintf(stderr, "bench_replay: cannot record\n");
    return 1;
  }
  const uint64_t offset = rec.offset;
  const uint32_t bytes = rec.bytes;
  double plain = 1e9, normal = 1e9, fast = 1e9;
  int normalFrames = 0, fastFrames = 0;
  auto cold = [&] {
    if (device) benchsupport::DropCached(image);
  };
  for (int r = 0; r < rounds; ++r) {
    cold();
    plain = std::min(plain, PlainRead(image, offset, bytes));
    double s;
    cold();
    normalFrames = Session(16, 1, &s);
    normal = std::min(normal, s);
    cold();
    fastFrames = Session(128, 16, &s);
    fast = std::min(fast, s);
  }
  const double plainFps = kFrames / plain;
  std::printf("record file: %u bytes, %d frames, %s\n", bytes, kFrames,
              device ? "read from the disk" : "in the page cache");
  std::printf("Plain    %10.0f frames/s  (%.1f MB/s)\n", plainFps, bytes / plain / 1e6);
  std::printf("Normal   %10.0f frames/s  %d frames  ratio %.2f\n", normalFrames / normal,
              normalFrames, plain / normal);
  std::printf("Fast16   %10.0f frames/s  %d key frames  ratio %.2f\n", fastFrames / fast,
              fastFrames, plain / fast);
  std::printf("ratio replay_normal%s %.3f\nratio replay_fast16%s %.3f\n", device ? "_device" : "",
              plain / normal, device ? "_device" : "", plain / fast);
  QVFS_PlaybackStop(-1, -1);
  unlink(image.c_str());
  rmdir(dir);
  const bool ok = normalFrames == kFrames && fastFrames == (kFrames / 25 + 15) / 16;
  if (!ok) std::fprintf(stderr, "bench_replay: the sessions did not hand out every frame\n");
  return ok ? 0 : 1;
}
