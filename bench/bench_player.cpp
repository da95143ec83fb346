// The player's decode path against ffmpeg's own decoder, in one run:
//
//   Player   every access unit of a 1080p25 H.264 stream through a decoder slot of the player:
//            decoded on one thread and scaled to a 960x540 window as 32-bit BGRA (bilinear;
//            a window of exactly half the picture averages 2x2 blocks, its bilinear sample);
//            for comparison also to a 1280x720 window (the general scaler);
//   ffmpeg   `ffmpeg -threads 1 -i stream.h264 -f null -`: the same stream decoded on one
//            thread and thrown away.
//
// Printed: pictures per second of each, the ratio player time / ffmpeg time (the aim: 1.2 or
// less) and whether the player keeps up with 1080p at 25 pictures per second on one core; then
// the benchmark's peak resident memory (VmHWM) with the 16 decoder slots of a player. The
// stream is made with ffmpeg (libx264) at the start. The best of the rounds counts
// (--rounds, 3 by default).
//
// With --player and --stfsctl the stream is also recorded on a disk image with stfsctl and the
// player itself (offscreen) plays it through its scripted tour: its peak resident memory while
// playing 1080p is printed.
//
//   bench_player [--rounds N] [--seconds S] [--player PATH --stfsctl PATH]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "player/decoder_set.h"

namespace {

constexpr int kWindowW = 960, kWindowH = 540;

class NullWindow : public player::VideoSurface {
 public:
  NullWindow(int w, int h) : w_(w), h_(h) {}
  bool IsVisible() const override { return true; }
  bool ClientSize(int* w, int* h) const override {
    *w = w_;
    *h = h_;
    return true;
  }
  void Present(const uint8_t* bgra, int, int, int) override { sink_ += bgra[0]; }
  unsigned sink_ = 0;

 private:
  int w_, h_;
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The access units of a raw H.264 stream, as FFmpeg's parser cuts them.
std::vector<std::vector<uint8_t>> AccessUnits(const std::string& path) {
  std::vector<std::vector<uint8_t>> units;
  AVFormatContext* in = nullptr;
  if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) return units;
  AVPacket* p = av_packet_alloc();
  while (av_read_frame(in, p) >= 0) {
    units.emplace_back(p->data, p->data + p->size);
    av_packet_unref(p);
  }
  av_packet_free(&p);
  avformat_close_input(&in);
  return units;
}

long PeakRssKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// Records the stream on a disk image and lets the player's tour play it offscreen; prints the
// player's peak resident memory. 0 when the tour went through.
int PlayerMemory(const std::string& player, const std::string& stfsctl, const std::string& dir,
                 const std::string& stream, int seconds) {
  const std::string image = dir + "/disk.img";
  const std::string tool = stfsctl + " --no-system-disks ";
  const std::string steps =
      stfsctl + " mkimage " + image + " --size 2G >/dev/null && " + tool + "format " + image +
      " --file-mb 256 >/dev/null && " + tool + "--image " + image +
      " record --channels 0 --input " + stream + " --span @1767607200+" +
      std::to_string(seconds * 3) + "s >/dev/null && cd " + dir + " && QT_QPA_PLATFORM=offscreen " +
      player + " --no-system-disks --image " + image + " --tour tour --tour-seconds " +
      std::to_string(seconds) + " > tour.out 2>/dev/null";
  if (std::system(steps.c_str()) != 0) {
    std::fprintf(stderr, "bench_player: the player's tour on the 1080p recording failed\n");
    return 1;
  }
  std::ifstream out(dir + "/tour.out");
  std::string line;
  while (std::getline(out, line))
    if (line.rfind("playing:", 0) == 0 || line.rfind("peak resident memory:", 0) == 0)
      std::printf("player while playing 1080p: %s\n", line.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3, seconds = 10;
  std::string playerPath, stfsctlPath;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--rounds") && i + 1 < argc)
      rounds = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
      seconds = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--player") && i + 1 < argc)
      playerPath = argv[++i];
    else if (!std::strcmp(argv[i], "--stfsctl") && i + 1 < argc)
      stfsctlPath = argv[++i];
  }
  char dir[] = "/tmp/bench_player.XXXXXX";
  if (!mkdtemp(dir)) return 1;
  const std::string stream = std::string(dir) + "/stream.h264";
  const std::string make =
      "ffmpeg -v error -f lavfi -i testsrc2=size=1920x1080:rate=25 -frames:v " +
      std::to_string(seconds * 25) +
      " -c:v libx264 -preset veryfast -b:v 4M -bf 0 -g 25 -pix_fmt yuv420p -f h264 -y " + stream;
  if (std::system(make.c_str()) != 0) {
    std::fprintf(stderr, "bench_player: ffmpeg could not make the stream\n");
    return 1;
  }
  const auto units = AccessUnits(stream);
  std::printf("stream: 1920x1080, %zu access units (%d s at 25/s), window %dx%d\n", units.size(),
              seconds, kWindowW, kWindowH);

  double best = 1e9, best720 = 1e9, bestFfmpeg = 1e9, bestDecodeOnly = 1e9;
  uint64_t painted = 0;
  for (int r = 0; r < rounds; ++r) {
    player::DecoderSet decoders;  // 16 slots, as a player holds them
    NullWindow window(kWindowW, kWindowH), window720(1280, 720);
    decoders.SetSurface(0, &window);
    decoders.SetSurface(1, &window720);
    const auto t0 = std::chrono::steady_clock::now();
    for (const auto& u : units) decoders.Decode(0, u.data(), u.size());
    best = std::min(best, Seconds(t0));
    painted = decoders.decoded(0);
    const auto t3 = std::chrono::steady_clock::now();
    for (const auto& u : units) decoders.Decode(1, u.data(), u.size());
    best720 = std::min(best720, Seconds(t3));

    H264Decoder plain;  // the same decoder without the scaling, to show what each costs
    plain.Open();
    const auto t2 = std::chrono::steady_clock::now();
    for (const auto& u : units) plain.Decode(u.data(), u.size());
    bestDecodeOnly = std::min(bestDecodeOnly, Seconds(t2));

    const auto t1 = std::chrono::steady_clock::now();
    const std::string decode = "ffmpeg -v error -threads 1 -i " + stream + " -f null - 2>/dev/null";
    if (std::system(decode.c_str()) != 0) return 1;
    bestFfmpeg = std::min(bestFfmpeg, Seconds(t1));
  }
  const double n = static_cast<double>(units.size());
  std::printf("player (decode + scale to BGRA): %8.1f pictures/s (%llu painted)\n", n / best,
              static_cast<unsigned long long>(painted));
  std::printf("player into a 1280x720 window:    %8.1f pictures/s\n", n / best720);
  std::printf("player's decoder without scaling:  %8.1f pictures/s\n", n / bestDecodeOnly);
  std::printf("ffmpeg -threads 1 (decode only): %8.1f pictures/s (process start included)\n",
              n / bestFfmpeg);
  std::printf("ratio player / ffmpeg time: %.2f (aim: 1.2 or less)\n", best / bestFfmpeg);
  std::printf("real time for 1080p25 on one core: %s (%.1fx)\n", n / best >= 25 ? "yes" : "NO",
              n / best / 25);
  std::printf("peak resident memory: %.1f MiB\n", static_cast<double>(PeakRssKb()) / 1024.0);
  int result = painted == units.size() ? 0 : 1;
  if (!playerPath.empty() && !stfsctlPath.empty())
    result |= PlayerMemory(playerPath, stfsctlPath, dir, stream, seconds);
  std::system((std::string("rm -rf ") + dir).c_str());
  return result;
}
