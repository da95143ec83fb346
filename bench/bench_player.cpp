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
// With --stfsctl the multi-channel player (CMultiVistor) also plays recordings in a grid of a
// 1280x720 window, in two scenarios one after the other:
//
//   16 channels of 704x576 (D1) at 25/s, 1.5 Mbit/s, in a 4x4 grid (tiles of 320x180);
//    4 channels of 1920x1080 at 25/s, 4 Mbit/s, in a 2x2 grid (tiles of 640x360).
//
// For each, ffmpeg (libx264) makes a clip with a key frame a second, stfsctl records it on
// every channel of a fresh sparse disk image (60 s, or --seconds + 5 when longer), and a child
// process of this benchmark (a storage library set up once per process, and a peak memory of
// its own) opens the image read-only as the player does, searches the recordings, plays them
// from their start for --seconds of real time and prints: the pictures painted per second
// against what real time needs, the pictures dropped, the resyncs, the skew between the tiles
// (sampled every 100 ms), its peak resident memory and whether the grid plays in real time
// (painted >= 99 % of what real time needs, dropped < 1 %, skew at most 80 ms: one frame
// interval + 40 ms). Painted, dropped and skew count from the end of the first second on: the
// readers open and the decoders fill in that second. A grid that is slower than real time is
// reported, not failed (the machine may be busy); a tool that fails, a child that runs over
// its time or a tile that paints nothing make the benchmark fail. The files go to a temporary
// folder removed at the end.
//
//   bench_player [--rounds N] [--seconds S] [--player PATH] [--stfsctl PATH]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include "index/record_search.h"
#include "player/decoder_set.h"
#include "player/multi_vistor.h"
#include "qvfs/qvfs.h"

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

// ---- running programs -------------------------------------------------------------------------

// Runs a program (no shell) with its input from /dev/null, and its output too when quiet; waits
// at most timeoutS seconds and kills a program still running then, so no tool can hold the
// benchmark up. The exit status, or -1 when it did not start, ran over its time or ended on a
// signal (said on stderr).
int RunBounded(const std::vector<std::string>& args, int timeoutS, bool quiet) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::fflush(nullptr);  // what this process printed comes before the program's output
  const pid_t pid = fork();
  if (pid < 0) {
    std::fprintf(stderr, "bench_player: cannot start %s: %s\n", argv[0], std::strerror(errno));
    return -1;
  }
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, STDIN_FILENO);
      if (quiet) dup2(null, STDOUT_FILENO);
    }
    execvp(argv[0], argv.data());
    std::fprintf(stderr, "bench_player: cannot run %s: %s\n", argv[0], std::strerror(errno));
    _exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutS);
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) {
      std::fprintf(stderr, "bench_player: lost %s: %s\n", argv[0], std::strerror(errno));
      return -1;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      std::fprintf(stderr, "bench_player: %s ran over %d s and was stopped\n", argv[0], timeoutS);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  if (WIFSIGNALED(status)) {
    std::fprintf(stderr, "bench_player: %s ended on signal %d\n", argv[0], WTERMSIG(status));
    return -1;
  }
  return WEXITSTATUS(status);
}

// ---- the multi-channel player in a grid ------------------------------------------------------

constexpr int kGridWindowW = 1280, kGridWindowH = 720;
constexpr int kPicturesPerSecond = 25;
constexpr int64_t kRecordStartSec = 1767607200;  // 2026-01-05 10:00:00 UTC
constexpr int kRecordMinSeconds = 60;
// As the player's search: segments further apart than this are separate recordings.
constexpr int64_t kRecordingGapMs = 5000;
constexpr int kWarmUpMs = 1000;
constexpr int kSkewSampleMs = 100;
// Real time: this share of the pictures due painted at least, less than this share dropped,
// and the tiles at most one frame interval and 40 ms apart.
constexpr double kMinPaintedShare = 0.99;
constexpr double kMaxDroppedShare = 0.01;
constexpr int64_t kMaxSkewMs = player::PlayClock::kFrameIntervalMs + 40;
// The longest each program may run: a clip, an image's making or formatting, a recording; the
// child's set-up and stop on top of its play time.
constexpr int kClipTimeoutS = 300, kImageTimeoutS = 120, kRecordTimeoutS = 900;
constexpr int kPlaySlackS = 120;
// The child process that plays a grid: --play-grid IMAGE CHANNELS SECONDS.
constexpr const char* kPlayGridOption = "--play-grid";

struct GridScenario {
  int channels;         // one tile each
  int width, height;    // the cameras' pictures
  const char* bitRate;  // ffmpeg's -b:v, what a camera of that size records
};
constexpr GridScenario kGrids[] = {{16, 704, 576, "1500k"}, {4, 1920, 1080, "4M"}};

// Tiles per row and column of a square grid (1, 4, 9 or 16 tiles).
int GridSide(int tiles) { return static_cast<int>(std::lround(std::sqrt(tiles))); }

// The recording outlasts the play, so every tile has pictures to the end.
int RecordSeconds(int playSeconds) { return std::max(kRecordMinSeconds, playSeconds + 5); }

// Makes the scenario's clip with ffmpeg and records it with stfsctl on every channel of a new
// sparse disk image in dir. The image's path, or empty when a step failed (said on stderr).
std::string RecordGrid(const std::string& stfsctl, const std::string& dir, const GridScenario& g,
                       int playSeconds) {
  const std::string name = dir + "/grid" + std::to_string(g.channels);
  const std::string clip = name + ".h264", image = name + ".img";
  const std::string source = "testsrc2=size=" + std::to_string(g.width) + "x" +
                             std::to_string(g.height) +
                             ":rate=" + std::to_string(kPicturesPerSecond);
  const std::string span = "@" + std::to_string(kRecordStartSec) + "+" +
                           std::to_string(RecordSeconds(playSeconds)) + "s";
  struct Step {
    const char* what;
    std::vector<std::string> args;
    int timeoutS;
  };
  // A camera's stream: a key frame a second carrying its parameter sets, no B pictures; the
  // recorder loops the 10 s clip over the span.
  const Step steps[] = {
      {"ffmpeg (making the clip)",
       {"ffmpeg",       "-v",
        "error",        "-nostdin",
        "-f",           "lavfi",
        "-i",           source,
        "-t",           "10",
        "-c:v",         "libx264",
        "-preset",      "veryfast",
        "-b:v",         g.bitRate,
        "-g",           "25",
        "-bf",          "0",
        "-x264-params", "repeat-headers=1",
        "-pix_fmt",     "yuv420p",
        "-f",           "h264",
        "-y",           clip},
       kClipTimeoutS},
      {"stfsctl mkimage", {stfsctl, "mkimage", image, "--size", "8G"}, kImageTimeoutS},
      {"stfsctl format",
       {stfsctl, "--no-system-disks", "format", image, "--file-mb", "256"},
       kImageTimeoutS},
      {"stfsctl record",
       {stfsctl, "--no-system-disks", "--image", image, "record", "--channels",
        "0-" + std::to_string(g.channels - 1), "--input", clip, "--span", span},
       kRecordTimeoutS},
  };
  for (const Step& step : steps) {
    const int r = RunBounded(step.args, step.timeoutS, true);
    if (r == 0) continue;
    if (r > 0)
      std::fprintf(stderr, "bench_player: %s failed with exit status %d\n", step.what, r);
    else
      std::fprintf(stderr, "bench_player: %s failed\n", step.what);
    return std::string();
  }
  return image;
}

// The storage library as the player sets it up: the machine's own disks left out, every drive
// read-only, the image attached, 32 channels and small FIFOs (a player records nothing).
bool OpenImageAsPlayer(const std::string& image) {
  QVFS_SetConsoleOutput(0);
  QVFS_UseSystemDisks(0);
  QVFS_SetAllReadOnly(1);
  if (QVFS_AttachImage(image.c_str(), 1, 0) < 0) {
    std::fprintf(stderr, "bench_player: cannot attach %s\n", image.c_str());
    return false;
  }
  StorageConfig c{};
  c.channelCount = 32;
  c.fifoUsers = 4;
  c.mainFifoSize = 0x10000;
  c.writeCacheSize = 0x180000;
  c.playBufferSize = 0x140000;
  c.frameBufferSize = 0x80000;
  QVFS_Init(c);
  return true;
}

// The recordings of channels 0..channels-1 as the player's search lists them: a run of a
// file's segment records is one recording.
std::vector<_rec_file_info_> SearchRecordings(int channels, int playSeconds) {
  std::vector<_rec_file_info_> found(4096);
  const int n =
      QVFS_SearchPlayList(found.data(), static_cast<int>(found.size() * sizeof found[0]),
                          kRecordStartSec, kRecordStartSec + RecordSeconds(playSeconds) + 1,
                          static_cast<int32_t>((1u << channels) - 1), 0, 0, 0, 0);
  found.resize(static_cast<size_t>(std::max(n, 0)));
  return MergeSegmentRuns(std::move(found), kRecordingGapMs);
}

struct TileCounts {
  uint64_t painted = 0, dropped = 0, resyncs = 0;
};

TileCounts SumTiles(const CMultiVistor& vistor, int tiles) {
  TileCounts sum;
  for (int n = 0; n < tiles; ++n) {
    const CMultiVistor::TileView v = vistor.view(n);
    sum.painted += v.painted;
    sum.dropped += v.dropped;
    sum.resyncs += v.resyncs;
  }
  return sum;
}

struct GridPlay {
  double measuredS = 0;  // real time from the end of the warm-up to the end of the play
  TileCounts warm, end;  // the tiles' counts at the end of the warm-up and of the play
  int64_t maxSkewMs = 0;
  double meanSkewMs = 0;
};

// Plays the grid from startMs for playSeconds of real time, sampling the skew every 100 ms
// once the warm-up is over.
GridPlay PlayAndSample(CMultiVistor& vistor, int tiles, int64_t startMs, int playSeconds) {
  using Clock = std::chrono::steady_clock;
  GridPlay play;
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + std::chrono::seconds(playSeconds);
  vistor.Play(startMs);
  std::this_thread::sleep_until(start + std::chrono::milliseconds(kWarmUpMs));
  play.warm = SumTiles(vistor, tiles);
  const Clock::time_point warmEnd = Clock::now();
  int64_t skewSum = 0;
  int samples = 0;
  for (Clock::time_point next = warmEnd + std::chrono::milliseconds(kSkewSampleMs); next <= end;
       next += std::chrono::milliseconds(kSkewSampleMs)) {
    std::this_thread::sleep_until(next);
    const int64_t skew = vistor.SkewMs();
    play.maxSkewMs = std::max(play.maxSkewMs, skew);
    skewSum += skew;
    ++samples;
  }
  std::this_thread::sleep_until(end);
  play.end = SumTiles(vistor, tiles);
  play.measuredS = Seconds(warmEnd);
  play.meanSkewMs = samples > 0 ? static_cast<double>(skewSum) / samples : 0.0;
  return play;
}

// The grid's block: painted and dropped pictures against what real time needs, the skew, the
// peak memory and the verdict.
void PrintGridPlay(const GridPlay& play, int tiles, double peakMiB) {
  const double need = static_cast<double>(tiles) * kPicturesPerSecond;
  const double due = need * play.measuredS;  // pictures due after the warm-up
  const auto painted = static_cast<double>(play.end.painted - play.warm.painted);
  const uint64_t dropped = play.end.dropped - play.warm.dropped;
  const double paintedShare = due > 0 ? painted / due : 0.0;
  const double droppedShare = due > 0 ? static_cast<double>(dropped) / due : 0.0;
  std::printf("  painted %.1f pictures/s, real time needs %.1f (%.1f %%)\n",
              painted / play.measuredS, need, 100.0 * paintedShare);
  std::printf("  dropped %.2f %% (%llu of %.0f), resyncs %llu\n", 100.0 * droppedShare,
              static_cast<unsigned long long>(dropped), due,
              static_cast<unsigned long long>(play.end.resyncs));
  std::printf("  skew: max %lld ms, mean %.0f ms (bound: %lld ms = one frame interval + 40 ms)\n",
              static_cast<long long>(play.maxSkewMs), play.meanSkewMs,
              static_cast<long long>(kMaxSkewMs));
  std::printf("  peak resident memory: %.1f MiB\n", peakMiB);
  const bool paintedEnough = paintedShare >= kMinPaintedShare;
  const bool droppedFew = droppedShare < kMaxDroppedShare;
  const bool inStep = play.maxSkewMs <= kMaxSkewMs;
  std::printf(
      "  plays in real time: %s (painted %s %.0f %%, dropped %s %.0f %%, max skew %s %lld ms)\n",
      paintedEnough && droppedFew && inStep ? "yes" : "NO", paintedEnough ? ">=" : "<",
      100.0 * kMinPaintedShare, droppedFew ? "<" : ">=", 100.0 * kMaxDroppedShare,
      inStep ? "<=" : ">", static_cast<long long>(kMaxSkewMs));
}

// The child process: opens the image as the player does and plays its channels in a grid of
// the 1280x720 window. 0 when every tile painted; the block is printed either way.
int PlayGrid(const std::string& image, int tiles, int playSeconds) {
  const int side = GridSide(tiles);
  if (side * side != tiles || tiles > CMultiVistor::kTiles || playSeconds * 1000 <= kWarmUpMs) {
    std::fprintf(stderr, "bench_player: no grid of %d tiles for %d s\n", tiles, playSeconds);
    return 1;
  }
  if (!OpenImageAsPlayer(image)) return 1;
  std::vector<_rec_file_info_> records = SearchRecordings(tiles, playSeconds);
  auto vistor = std::make_unique<CMultiVistor>();
  vistor->SetRecords(std::move(records));
  const size_t found = vistor->Channels().size();
  if (found != static_cast<size_t>(tiles)) {
    std::fprintf(stderr, "bench_player: recordings of %zu of the %d channels found\n", found,
                 tiles);
    return 1;
  }
  vistor->SetLayout(tiles);
  vistor->AssignDefault();
  std::vector<std::unique_ptr<NullWindow>> windows;
  for (int n = 0; n < tiles; ++n) {
    windows.push_back(std::make_unique<NullWindow>(kGridWindowW / side, kGridWindowH / side));
    vistor->SetSurface(n, windows.back().get());
  }
  int64_t startMs = 0, endMs = 0;
  vistor->Span(&startMs, &endMs);
  const GridPlay play = PlayAndSample(*vistor, tiles, startMs, playSeconds);
  vistor->Stop();
  PrintGridPlay(play, tiles, static_cast<double>(PeakRssKb()) / 1024.0);
  int result = 0;
  for (int n = 0; n < tiles; ++n) {
    if (vistor->view(n).painted > 0) continue;
    std::fprintf(stderr, "bench_player: tile %d painted nothing\n", n);
    result = 1;
  }
  vistor.reset();  // the readers close before the storage library goes
  return result;
}

// One scenario: records the grid's channels, then a child process of this benchmark plays
// them (the storage library is set up once per process, and the peak memory is the play's).
// 0 when it ran.
int RunGrid(const std::string& stfsctl, const std::string& dir, const GridScenario& g,
            int playSeconds) {
  const int side = GridSide(g.channels);
  std::printf("multi-channel %d x %dx%d @%d in a %dx%d grid of %dx%d:\n", g.channels, g.width,
              g.height, kPicturesPerSecond, side, side, kGridWindowW, kGridWindowH);
  const std::string image = RecordGrid(stfsctl, dir, g, playSeconds);
  if (image.empty()) return 1;
  const int r = RunBounded({"/proc/self/exe", kPlayGridOption, image, std::to_string(g.channels),
                            std::to_string(playSeconds)},
                           playSeconds + kPlaySlackS, false);
  if (r != 0)
    std::fprintf(stderr, "bench_player: playing the %d-channel grid failed\n", g.channels);
  return r == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && !std::strcmp(argv[1], kPlayGridOption))
    return PlayGrid(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
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
  seconds = std::max(seconds, 2);  // a grid's first second is its warm-up
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
  std::printf("ratio player_vs_ffmpeg_time %.3f\n", best / bestFfmpeg);
  std::printf("real time for 1080p25 on one core: %s (%.1fx)\n", n / best >= 25 ? "yes" : "NO",
              n / best / 25);
  std::printf("peak resident memory: %.1f MiB\n", static_cast<double>(PeakRssKb()) / 1024.0);
  int result = painted == units.size() ? 0 : 1;
  if (!playerPath.empty() && !stfsctlPath.empty())
    result |= PlayerMemory(playerPath, stfsctlPath, dir, stream, seconds);
  if (!stfsctlPath.empty())
    for (const GridScenario& grid : kGrids) result |= RunGrid(stfsctlPath, dir, grid, seconds);
  std::system((std::string("rm -rf ") + dir).c_str());
  return result;
}
