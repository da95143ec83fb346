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
//   bench_engine [--seconds N]   N seconds of simulated recording per channel (default 60)
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/messages.h"
#include "qvfs/qvfs.h"

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

Phase RunEngine(const std::string& image, int seconds) {
  StorageConfig c{};
  c.channelCount = kChannels;
  c.mainRecordMask = (1 << kChannels) - 1;
  c.cycleRecord = 1;
  c.fifoUsers = 4;
  c.mainFifoSize = 0x400000;
  c.writeCacheSize = 0x180000;
  c.playBufferSize = 0x140000;
  c.frameBufferSize = 0x100000;
  QVFS_SetManualClock(1, 1767607200000);
  QVFS_Init(c);
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

}  // namespace

int main(int argc, char** argv) {
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
