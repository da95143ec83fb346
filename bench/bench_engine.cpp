// The recording engine end to end against a plain write of the same bytes, in one run:
//
//   Engine  QVFS_Init on a formatted sparse image, 4 channels of 2 Mbit/s video (10 kB frames,
//           25 a second, a key frame a second) written into the FIFOs with
//           QVFS_FifoWriteFrame on the manual clock, as fast as the engine takes them, until
//           every FIFO is drained and the recordings are closed; then fdatasync of the image.
//   Plain   pwrite of the same number of bytes into the same image in 1 MiB pieces, then
//           fdatasync.
//
// Printed: the throughput of each, the ratio (engine / plain), the CPU time per MB written
// (user + system of the whole process while the phase ran), and how many times faster than
// real time the engine records.
//
// The ceiling (--ceiling): the load the engine holds in real time. Each load (channels x bit
// rate of 25 frames/s video, a key frame a second) runs in a process of its own: frames go into
// the FIFOs at the pace of the real clock (the library's manual clock moves with them) for the
// hold time, and the load is held when no FIFO lost a frame (the FIFOs' own counters), the
// FIFOs were never more than half full, and the recordings then close. The run starts at 32 x 8
// Mbit/s and goes up while loads are held (to 32 x 32 Mbit/s; down while they are not); it
// prints the highest load held and its CPU per MiB against a plain write of the same bytes.
//
//   bench_engine [--seconds N]   N seconds of simulated recording per channel (default 60)
//   bench_engine --ceiling [--hold S]   S seconds per load (default 60)
//   bench_engine --load CHANNELS MBIT [--hold S]   one load (what --ceiling runs)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_support.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "qvfs/qvfs.h"

extern char** environ;

namespace {

constexpr int kChannels = 4;
constexpr uint32_t kFrameBytes = 10000;
constexpr int kFps = 25;

double CpuSeconds() {
  struct rusage u {};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void Sync(const std::string& path) {
  int fd = open(path.c_str(), O_RDWR);
  if (fd < 0 || fdatasync(fd) != 0) std::abort();
  close(fd);
}

struct Phase {
  double seconds = 0, cpu = 0;
  uint64_t bytes = 0;
};

// A recorder's set-up: every channel records its main stream, recycling the oldest recording.
StorageConfig RecorderConfig(int channels) {
  StorageConfig c{};
  c.channelCount = channels;
  c.mainRecordMask = static_cast<int32_t>(channels >= 32 ? 0xFFFFFFFFu : (1u << channels) - 1);
  c.cycleRecord = 1;
  c.fifoUsers = 4;
  c.mainFifoSize = 0x400000;
  c.writeCacheSize = 0x180000;
  c.playBufferSize = 0x140000;
  c.frameBufferSize = 0x100000;
  return c;
}

Phase RunEngine(const std::string& image, int seconds) {
  QVFS_SetManualClock(1, 1767607200000);
  QVFS_Init(RecorderConfig(kChannels));
  std::vector<uint8_t> frame(kFrameBytes, 0x5A);
  Phase p;
  const double t0 = Now(), c0 = CpuSeconds();
  QVFS_RecordStart();
  for (int f = 0; f < seconds * kFps; ++f) {
    for (int ch = 0; ch < kChannels; ++ch) {
      while (QVFS_FIFO_GetWarter(ch, 0) > 50) platform::SleepMs(1);
      if (QVFS_FifoWriteFrame(frame.data(), kFrameBytes, f % kFps == 0 ? 'I' : 'P', ch) != 0)
        std::abort();
      p.bytes += kFrameBytes + 224;
    }
    QVFS_AdvanceClock(1000 / kFps);
  }
  for (int ch = 0; ch < kChannels; ++ch)
    while (QVFS_FifoGetDataSize(ch, 0) > 0) platform::SleepMs(1);
  QVFS_RecordStop();
  Sync(image);
  p.seconds = Now() - t0;
  p.cpu = CpuSeconds() - c0;
  return p;
}

Phase RunPlain(const std::string& image, uint64_t bytes) {
  std::vector<uint8_t> chunk(1 << 20, 0x5A);
  Phase p;
  const double t0 = Now(), c0 = CpuSeconds();
  int fd = open(image.c_str(), O_RDWR);
  if (fd < 0) std::abort();
  const off_t base = 1ll << 30;  // the second half of the image: what the engine left alone
  for (uint64_t done = 0; done < bytes; done += chunk.size())
    if (pwrite(fd, chunk.data(), std::min<uint64_t>(chunk.size(), bytes - done),
               base + static_cast<off_t>(done)) < 0)
      std::abort();
  if (fdatasync(fd) != 0) std::abort();
  close(fd);
  p.bytes = bytes;
  p.seconds = Now() - t0;
  p.cpu = CpuSeconds() - c0;
  return p;
}

void Print(const char* what, const Phase& p) {
  const double mb = static_cast<double>(p.bytes) / 1048576.0;
  printf("%-34s %8.1f MiB in %6.2f s  %8.1f MiB/s  CPU %6.2f ms/MiB\n", what, mb, p.seconds,
         mb / p.seconds, p.cpu * 1000 / mb);
}

// ---- the ceiling ---------------------------------------------------------------------------

constexpr int kHoldDefault = 60;

struct LoadResult {
  bool held = false;
  int64_t lost = 0;
  int peakFill = 0;        // the fullest any FIFO was, percent
  double lagMs = 0;        // how far the feeding fell behind the real clock at most
  double cpuPerMiB = 0;    // ms of CPU per MiB recorded (the whole process)
  double plainPerMiB = 0;  // the same for pwrite + fdatasync of the same bytes
  double mib = 0;
  double recordedMib = 0;  // what a search finds recorded afterwards
};

std::string MakeDisk(const std::string& image, uint64_t bytes, int fileMiB) {
  int fd = open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) return "";
  close(fd);
  const int n = QVFS_AttachImage(image.c_str(), 0, 512);
  const std::string drive = "\\\\.\\PhysicalDrive" + std::to_string(n);
  if (n < 0 || QVFS_FormatToRecdisk(drive.c_str(), fileMiB, 0) <= 0) return "";
  Sync(image);
  return drive;
}

// One load in this process: channels x mbit for hold seconds of real time.
LoadResult RunLoad(const std::string& image, int channels, int mbit, int hold) {
  LoadResult out;
  const uint32_t frameBytes = static_cast<uint32_t>(int64_t{mbit} * 1000000 / 8 / kFps);
  const int64_t startMs = 1767607200000;
  QVFS_SetManualClock(1, startMs);
  if (QVFS_Init(RecorderConfig(channels)) != 0) std::abort();
  std::vector<uint8_t> frame(frameBytes, 0x5A);
  uint64_t bytes = 0;
  benchsupport::DropCached(image);  // both phases start with nothing of the image cached
  const double t0 = Now(), c0 = CpuSeconds();
  QVFS_RecordStart();
  const int ticks = hold * kFps;
  for (int f = 0; f < ticks; ++f) {
    // Frame f of every channel is due at f / 25 s of real time.
    const double due = t0 + static_cast<double>(f) / kFps;
    double now = Now();
    if (now < due) platform::SleepMs(static_cast<uint32_t>((due - now) * 1000));
    out.lagMs = std::max(out.lagMs, (Now() - due) * 1000);
    for (int ch = 0; ch < channels; ++ch) {
      QVFS_FifoWriteFrame(frame.data(), static_cast<int>(frameBytes), f % kFps == 0 ? 'I' : 'P',
                          ch);
      out.peakFill = std::max(out.peakFill, QVFS_FIFO_GetWarter(ch, 0));
      bytes += frameBytes + 224;
    }
    QVFS_AdvanceClock(1000 / kFps);
  }
  // What the FIFOs still hold goes to the disk; a load the engine keeps up with drains at once.
  for (int wait = 0; wait < 500; ++wait) {
    int held = 0;
    for (int ch = 0; ch < channels; ++ch) held += QVFS_FifoGetDataSize(ch, 0) > 0;
    if (held == 0) break;
    platform::SleepMs(10);
  }
  QVFS_RecordStop();
  Sync(image);
  for (int ch = 0; ch < channels; ++ch) out.lost += QVFS_FifoGetLostFrames(ch, 0);
  out.mib = static_cast<double>(bytes) / 1048576.0;
  out.cpuPerMiB = (CpuSeconds() - c0) * 1000 / out.mib;
  // The recordings as the index lists them: every frame fed should be there.
  std::vector<_rec_file_info_> found(4096);
  const int n = QVFS_SearchPlayList(found.data(), static_cast<int>(found.size() * sizeof found[0]),
                                    startMs / 1000 - 60, startMs / 1000 + hold + 60, -1, 0, 0, 0,
                                    1);
  for (int i = 0; i < n; ++i) out.recordedMib += static_cast<double>(found[static_cast<size_t>(i)].size) / 1048576.0;
  benchsupport::DropCached(image);
  const Phase plain = RunPlain(image, bytes);
  out.plainPerMiB = plain.cpu * 1000 / out.mib;
  // Held: nothing lost, room to spare, and what was fed is on the disk (the frames before the
  // first key frame and the last partial index update aside: 1 % slack).
  out.held = out.lost == 0 && out.peakFill <= 50 && out.recordedMib >= out.mib * 0.99;
  return out;
}

// Runs one load in a child process (a fresh library and disk each time) and reads its result.
bool RunLoadProcess(const char* self, int channels, int mbit, int hold, LoadResult* out) {
  const std::string ch = std::to_string(channels), mb = std::to_string(mbit),
                    h = std::to_string(hold);
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
  const char* args[] = {self, "--load", ch.c_str(), mb.c_str(), "--hold", h.c_str(), nullptr};
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, self, &actions, nullptr, const_cast<char**>(args), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  std::string text;
  char buf[512];
  for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
  close(pipeFds[0]);
  int status = 0;
  if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status) ||
      WEXITSTATUS(status) != 0)
    return false;
  int held = 0;
  long long lost = 0;
  const size_t at = text.find("load-result ");
  return at != std::string::npos &&
         sscanf(text.c_str() + at, "load-result %d %lld %d %lf %lf %lf %lf %lf", &held, &lost,
                &out->peakFill, &out->lagMs, &out->cpuPerMiB, &out->plainPerMiB, &out->mib,
                &out->recordedMib) == 8 &&
         ((out->held = held != 0), (out->lost = lost), true);
}

void PrintLoad(int channels, int mbit, const LoadResult& r) {
  printf("load %2d x %2d Mbit/s: %-8s lost %lld, recorded %.0f of %.0f MiB, FIFO peak %d%%, "
         "feeding late by %.0f ms at most, CPU %.2f ms/MiB (plain write %.2f ms/MiB)\n",
         channels, mbit, r.held ? "held" : "NOT held", static_cast<long long>(r.lost),
         r.recordedMib, r.mib, r.peakFill, r.lagMs, r.cpuPerMiB, r.plainPerMiB);
  fflush(stdout);
}

int Ceiling(const char* self, int hold) {
  // Loads in rising order; the run starts at the aim, 32 x 8 Mbit/s.
  const std::vector<std::pair<int, int>> loads = {{4, 2},  {8, 4},   {16, 4},  {16, 8},
                                                  {32, 4}, {32, 8},  {32, 12}, {32, 16},
                                                  {32, 24}, {32, 32}};
  const size_t aim = 5;
  int best = -1;
  LoadResult bestResult;
  auto run = [&](size_t i, LoadResult* r) {
    if (!RunLoadProcess(self, loads[i].first, loads[i].second, hold, r)) {
      fprintf(stderr, "bench_engine: the load %d x %d did not run\n", loads[i].first,
              loads[i].second);
      std::exit(1);
    }
    PrintLoad(loads[i].first, loads[i].second, *r);
    return r->held;
  };
  LoadResult r;
  const bool aimHeld = run(aim, &r);
  const LoadResult atAim = r;
  if (aimHeld) {
    best = static_cast<int>(aim);
    bestResult = r;
    // Upwards while held.
    for (size_t i = aim + 1; i < loads.size(); ++i) {
      if (!run(i, &r)) break;
      best = static_cast<int>(i);
      bestResult = r;
    }
  } else {
    for (size_t i = aim; i-- > 0;) {  // downwards until one is held
      if (!run(i, &r)) continue;
      best = static_cast<int>(i);
      bestResult = r;
      break;
    }
  }
  printf("at %d x %d Mbit/s: CPU %.2f ms/MiB, %.2f x a plain write's\n", loads[aim].first,
         loads[aim].second, atAim.cpuPerMiB, atAim.cpuPerMiB / atAim.plainPerMiB);
  printf("ratio engine_aim_cpu_vs_plain %.3f\n", atAim.cpuPerMiB / atAim.plainPerMiB);
  if (best < 0) {
    printf("ceiling: no load held\n");
    printf("ratio engine_ceiling_mbit 0\n");
    return 0;
  }
  const int ch = loads[static_cast<size_t>(best)].first, mb = loads[static_cast<size_t>(best)].second;
  const double cpuRatio = bestResult.cpuPerMiB / bestResult.plainPerMiB;
  printf("ceiling: %d channels x %d Mbit/s held for %d s (%d Mbit/s in all), CPU %.2f ms/MiB, "
         "%.2f x a plain write's\n",
         ch, mb, hold, ch * mb, bestResult.cpuPerMiB, cpuRatio);
  printf("ratio engine_ceiling_mbit %d\n", ch * mb);
  printf("ratio engine_ceiling_cpu_vs_plain %.3f\n", cpuRatio);
  return 0;
}

std::string ImagePath() {
  const char* tmp = getenv("TMPDIR");
  return std::string(tmp ? tmp : "/tmp") + "/bench_engine." + std::to_string(getpid()) + ".img";
}

}  // namespace

int main(int argc, char** argv) {
  int hold = kHoldDefault;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--hold") == 0) hold = std::max(1, std::atoi(argv[i + 1]));
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--ceiling") == 0) return Ceiling("/proc/self/exe", hold);
  for (int i = 1; i + 2 < argc; ++i) {
    if (std::strcmp(argv[i], "--load") != 0) continue;
    const int channels = std::atoi(argv[i + 1]), mbit = std::atoi(argv[i + 2]);
    if (channels < 1 || channels > 32 || mbit < 1 || mbit > 64) return 2;
    const std::string image = ImagePath();
    QVFS_SetConsoleOutput(0);
    QVFS_UseSystemDisks(0);
    // Room for every channel's file and then some: 256 MiB record files on 16 GiB.
    if (MakeDisk(image, 16ull << 30, 256).empty()) {
      fprintf(stderr, "bench_engine: cannot make the record disk\n");
      return 1;
    }
    const LoadResult r = RunLoad(image, channels, mbit, hold);
    unlink(image.c_str());
    printf("load-result %d %lld %d %.1f %.3f %.3f %.1f %.1f\n", r.held ? 1 : 0,
           static_cast<long long>(r.lost), r.peakFill, r.lagMs, r.cpuPerMiB, r.plainPerMiB, r.mib,
           r.recordedMib);
    return 0;
  }
  int seconds = 60;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atoi(argv[i + 1]);
  const char* tmp = getenv("TMPDIR");
  const std::string image = std::string(tmp ? tmp : "/tmp") + "/bench_engine." +
                            std::to_string(getpid()) + ".img";
  int fd = open(image.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ftruncate(fd, 2ll << 30) != 0) return 1;
  close(fd);
  QVFS_SetConsoleOutput(0);
  QVFS_UseSystemDisks(0);
  const int n = QVFS_AttachImage(image.c_str(), 0, 512);
  const std::string drive = "\\\\.\\PhysicalDrive" + std::to_string(n);
  if (n < 0 || QVFS_FormatToRecdisk(drive.c_str(), 64, 0) <= 0) {
    fprintf(stderr, "bench_engine: cannot make the record disk\n");
    return 1;
  }
  Sync(image);
  const Phase engine = RunEngine(image, seconds);
  const Phase plain = RunPlain(image, engine.bytes);
  printf("Recording engine (4 channels x 2 Mbit/s, %d s each) against a plain write\n", seconds);
  Print("engine: FIFOs -> record files", engine);
  Print("plain: pwrite + fdatasync", plain);
  const double throughputRatio = (static_cast<double>(engine.bytes) / engine.seconds) /
                                 (static_cast<double>(plain.bytes) / plain.seconds);
  printf("ratio (engine / plain throughput) %.2f\n", throughputRatio);
  printf("ratio engine_throughput %.3f\n", throughputRatio);
  // What a recorder needs: the channels' bit rate in real time. The engine syncs the index
  // with every update (each 35 video frames of a channel), which a run much faster than real
  // time crowds together; the headroom over real time is the figure that matters there.
  const double needed = static_cast<double>(engine.bytes) / seconds;
  printf("headroom over real time (4 x 2 Mbit/s) %.1fx\n",
         (static_cast<double>(engine.bytes) / engine.seconds) / needed);
  unlink(image.c_str());
  return 0;
}
