// Record files against plain file I/O of the same bytes, in one run:
//
//   Write    4 channels of 2 Mbit/s video (10 kB frames at 25 frames/s, a key frame a second)
//            into 4 record files through CRecordWriter::WriteFrame, the device service thread
//            flushing the write caches, until Close (a writer per channel, kept from file to
//            file as a recorder keeps them); against
//   PlainWrite  pwrite of the same bytes to 4 files in 1 MiB pieces, with fsync-free close.
//   Read     the record reader moving one file's data into its play buffer (the device service
//            thread's refills) and GetFrame taking every frame out (one reader, kept from file
//            to file as a player keeps it); against
//   PlainRead   pread of the same bytes in 1 MiB pieces.
// Printed after the runs: the throughput ratios (library / plain). The aim is 0.8 or more.
//
// The copy floor. A record file's data path copies each frame once more than plain I/O does:
// into the write cache, and from the play buffer to the caller. PlainWriteCopied and
// PlainReadCopied are the plain runs with that one copy added and nothing else; their ratios to
// the plain runs are the most the library's rows can show on this machine.
//
// Two settings. By default both sides run against the page cache, where the extra copy weighs
// as much as the kernel's own. With --device both sides meet the disk (writes end with
// fdatasync, reads start with the file's pages dropped): the setting the aim is about, as a
// recorder writes to and a player reads from a disk.
//
// With --benchmark_repetitions=N each ratio compares the medians of the N runs.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "api/context.h"
#include "bench_support.h"
#include "disklayout/le.h"
#include "platform/messages.h"
#include "record/record_reader.h"
#include "record/record_writer.h"

namespace {

constexpr int kChannels = 4;
constexpr uint32_t kFrameBytes = 10000;
constexpr int kFrames = 1500;  // a minute of video per channel
constexpr uint32_t kFileBytes = 64 << 20;
benchsupport::Rates g_rate;
std::string g_dir;

std::vector<uint8_t> Frame(int i, int64_t t0) { return benchsupport::VideoFrame(i, t0, kFrameBytes); }

std::string FileOf(int ch) { return g_dir + "/rec" + std::to_string(ch) + ".asf"; }

// With --device, both sides meet the disk rather than the page cache: writes end with the files
// on the disk (fdatasync, as a recorder needs), reads start with the file's pages dropped.
bool g_durable = false;
using benchsupport::DropCached;
void SyncFiles() {
  for (int ch = 0; ch < kChannels; ++ch) {
    int fd = open(FileOf(ch).c_str(), O_RDWR);
    if (fd < 0 || fdatasync(fd) != 0) abort();
    close(fd);
  }
}

void MakeFile(const std::string& p, uint64_t bytes) {
  int fd = open(p.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) abort();
  close(fd);
}

void Record(benchmark::State& state, const char* name, double seconds, uint64_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  if (seconds > 0) g_rate.Add(name, static_cast<double>(bytes) / seconds);
}

void BM_Write(benchmark::State& state) {
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < kFrames; ++i) frames.push_back(Frame(i, 1700000000000));
  uint64_t bytes = 0;
  double seconds = 0;
  // A recorder keeps a writer per channel and opens file after file with it: the writers (and
  // their write caches) are made once, each round records a file per channel.
  std::vector<std::unique_ptr<CRecordWriter>> writers;
  for (int ch = 0; ch < kChannels; ++ch) writers.push_back(std::make_unique<CRecordWriter>(ch));
  for (auto _ : state) {
    for (int ch = 0; ch < kChannels; ++ch) MakeFile(FileOf(ch), kFileBytes);
    auto t = std::chrono::steady_clock::now();
    for (int ch = 0; ch < kChannels; ++ch)
      if (writers[static_cast<size_t>(ch)]->OpenNew(FileOf(ch), 0, kFileBytes, 1700000000000,
                                                    nullptr) != 0)
        abort();
    for (int i = 0; i < kFrames; ++i)
      for (auto& w : writers)
        if (w->WriteFrame(frames[i].data(), static_cast<uint32_t>(frames[i].size())) < 0) abort();
    for (auto& w : writers) w->Close();
    if (g_durable) SyncFiles();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    bytes += uint64_t{kChannels} * kFrames * frames[0].size();
  }
  Record(state, "Write", seconds, bytes);
}

void BM_PlainWrite(benchmark::State& state) {
  std::vector<uint8_t> chunk(1 << 20, 0x5A);
  const uint64_t perFile = uint64_t{kFrames} * (224 + kFrameBytes);
  uint64_t bytes = 0;
  double seconds = 0;
  for (auto _ : state) {
    for (int ch = 0; ch < kChannels; ++ch) MakeFile(FileOf(ch), kFileBytes);
    auto t = std::chrono::steady_clock::now();
    for (int ch = 0; ch < kChannels; ++ch) {
      int fd = open(FileOf(ch).c_str(), O_RDWR);
      for (uint64_t done = 0; done < perFile; done += chunk.size())
        if (pwrite(fd, chunk.data(), std::min<uint64_t>(chunk.size(), perFile - done),
                   static_cast<off_t>(0x2F000 + done)) < 0)
          abort();
      close(fd);
    }
    if (g_durable) SyncFiles();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    bytes += kChannels * perFile;
  }
  Record(state, "PlainWrite", seconds, bytes);
}

// The floor of the writer's data path: the plain writes above plus the one copy the record
// file's design puts in front of them (each frame into a per-channel cache, written out when the
// next frame does not fit), and nothing else: no frame checks, no index, no head.
void BM_PlainWriteCopied(benchmark::State& state) {
  std::vector<std::vector<uint8_t>> frames;
  for (int i = 0; i < kFrames; ++i) frames.push_back(Frame(i, 1700000000000));
  constexpr size_t kCacheBytes = 1 << 20;
  std::vector<std::vector<uint8_t>> caches(kChannels, std::vector<uint8_t>(kCacheBytes));
  uint64_t bytes = 0;
  double seconds = 0;
  for (auto _ : state) {
    for (int ch = 0; ch < kChannels; ++ch) MakeFile(FileOf(ch), kFileBytes);
    auto t = std::chrono::steady_clock::now();
    int fds[kChannels];
    size_t held[kChannels] = {};
    off_t at[kChannels];
    for (int ch = 0; ch < kChannels; ++ch) {
      fds[ch] = open(FileOf(ch).c_str(), O_RDWR);
      at[ch] = 0x2F000;
    }
    auto flush = [&](int ch) {
      if (pwrite(fds[ch], caches[static_cast<size_t>(ch)].data(), held[ch], at[ch]) < 0) abort();
      at[ch] += static_cast<off_t>(held[ch]);
      held[ch] = 0;
    };
    for (int i = 0; i < kFrames; ++i)
      for (int ch = 0; ch < kChannels; ++ch) {
        const std::vector<uint8_t>& f = frames[static_cast<size_t>(i)];
        if (held[ch] + f.size() > kCacheBytes) flush(ch);
        std::memcpy(caches[static_cast<size_t>(ch)].data() + held[ch], f.data(), f.size());
        held[ch] += f.size();
      }
    for (int ch = 0; ch < kChannels; ++ch) {
      flush(ch);
      close(fds[ch]);
    }
    if (g_durable) SyncFiles();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    bytes += uint64_t{kChannels} * kFrames * frames[0].size();
  }
  Record(state, "PlainWriteCopied", seconds, bytes);
}

// The read side's file: one channel's recording, written once, apart from the write side's files
// (with --benchmark_enable_random_interleaving a write run may come between two read runs).
std::string ReadFile() {
  static bool written = false;
  const std::string path = g_dir + "/read.asf";
  if (!written) {
    MakeFile(path, kFileBytes);
    CRecordWriter w(0);
    if (w.OpenNew(path, 0, kFileBytes, 1700000000000, nullptr) != 0) abort();
    for (int i = 0; i < kFrames; ++i) {
      auto f = Frame(i, 1700000000000);
      if (w.WriteFrame(f.data(), static_cast<uint32_t>(f.size())) < 0) abort();
    }
    if (w.Close() != 0) abort();
    written = true;
  }
  return path;
}

void BM_Read(benchmark::State& state) {
  const std::string file = ReadFile();
  std::vector<uint8_t> buf(1 << 16);
  uint64_t bytes = 0;
  double seconds = 0;
  CRecordReader r;  // a player keeps its reader (and play buffer) from file to file
  for (auto _ : state) {
    if (g_durable) DropCached(file);
    auto t = std::chrono::steady_clock::now();
    if (r.Open(file, 0, 0, 0, true) != 0) abort();
    int frames = 0, n;
    while ((n = r.GetFrame(buf.data(), static_cast<uint32_t>(buf.size()))) > 0) {
      ++frames;
      bytes += static_cast<uint64_t>(n);
    }
    if (frames != kFrames) abort();
    r.Close();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
  }
  Record(state, "Read", seconds, bytes);
}

// pread of the file in 1 MiB pieces. With copyOut, also the floor of the reader's data path:
// the plain reads plus the one copy the play buffer puts behind them (each frame from the
// buffer read into the caller's), and nothing else.
void BM_PlainRead(benchmark::State& state, const char* name, bool copyOut) {
  const std::string file = ReadFile();
  std::vector<uint8_t> chunk(1 << 20), out(1 << 16);
  constexpr uint64_t kFrameSize = 224 + kFrameBytes;
  const uint64_t perFile = uint64_t{kFrames} * kFrameSize;
  uint64_t bytes = 0;
  double seconds = 0;
  for (auto _ : state) {
    if (g_durable) DropCached(file);
    auto t = std::chrono::steady_clock::now();
    int fd = open(file.c_str(), O_RDONLY);
    for (uint64_t done = 0; done < perFile; done += chunk.size()) {
      const uint64_t n = std::min<uint64_t>(chunk.size(), perFile - done);
      if (pread(fd, chunk.data(), n, static_cast<off_t>(0x2F000 + done)) < 0) abort();
      if (!copyOut) continue;
      for (uint64_t at = 0; at < n; at += kFrameSize)
        std::memcpy(out.data(), chunk.data() + at, std::min(kFrameSize, n - at));
      benchmark::DoNotOptimize(out.data());
    }
    close(fd);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    bytes += perFile;
  }
  Record(state, name, seconds, bytes);
}

// The result line, and the same ratio as "ratio KEY VALUE" for scripts.
void PrintRatio(const char* what, const char* lib, const char* plain, const char* key) {
  const double a = g_rate.Median(lib), b = g_rate.Median(plain);
  if (a <= 0 || b <= 0) return;
  printf("%-40s %9.0f MiB/s %9.0f MiB/s  ratio %.2f\n", what, a / 1048576, b / 1048576, a / b);
  printf("ratio %s %.3f\n", key, a / b);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  for (int i = 1; i < argc; ++i) g_durable |= std::strcmp(argv[i], "--device") == 0;
  const char* tmp = getenv("TMPDIR");
  char dir[256];
  snprintf(dir, sizeof dir, "%s/bench_record.XXXXXX", tmp ? tmp : "/tmp");
  if (!mkdtemp(dir)) return 1;
  g_dir = dir;
  qvfs::ScopedContext context;
  platform::SetConsoleOutput(false);
  benchmark::RegisterBenchmark("Write/4ch", BM_Write)->Unit(benchmark::kMillisecond)->Iterations(g_durable ? 8 : 30);
  benchmark::RegisterBenchmark("PlainWrite/4ch", BM_PlainWrite)->Unit(benchmark::kMillisecond)->Iterations(g_durable ? 8 : 30);
  benchmark::RegisterBenchmark("PlainWriteCopied/4ch", BM_PlainWriteCopied)->Unit(benchmark::kMillisecond)->Iterations(g_durable ? 8 : 30);
  benchmark::RegisterBenchmark("Read/1ch", BM_Read)->Unit(benchmark::kMillisecond)->Iterations(g_durable ? 8 : 40);
  benchmark::RegisterBenchmark("PlainRead/1ch", BM_PlainRead, "PlainRead", false)->Unit(benchmark::kMillisecond)->Iterations(g_durable ? 8 : 40);
  benchmark::RegisterBenchmark("PlainReadCopied/1ch", BM_PlainRead, "PlainReadCopied", true)->Unit(benchmark::kMillisecond)->Iterations(g_durable ? 8 : 40);
  benchmark::RunSpecifiedBenchmarks();
  printf("\nThroughput ratio: record files / plain file I/O of the same bytes (aim: 0.8)\n");
  PrintRatio("write, 4 channels through the cache", "Write", "PlainWrite",
             g_durable ? "record_writer_4ch_device" : "record_writer_4ch");
  PrintRatio("read into the play buffer, GetFrame", "Read", "PlainRead",
             g_durable ? "record_reader_device" : "record_reader");
  // What the design's copies alone leave: the most the two rows above can show.
  printf("\nCopy floor: plain I/O plus the one copy the design adds / plain I/O\n");
  PrintRatio("write plus one copy into a cache", "PlainWriteCopied", "PlainWrite",
             g_durable ? "record_writer_copy_floor_device" : "record_writer_copy_floor");
  PrintRatio("read plus one copy out per frame", "PlainReadCopied", "PlainRead",
             g_durable ? "record_reader_copy_floor_device" : "record_reader_copy_floor");
  for (int ch = 0; ch < kChannels; ++ch) unlink(FileOf(ch).c_str());
  unlink((g_dir + "/read.asf").c_str());
  rmdir(dir);
  return 0;
}
