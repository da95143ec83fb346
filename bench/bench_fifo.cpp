// Frame FIFO and play-buffer throughput against the physical floor of the same copies, in one
// run:
//
//   FifoVideo / FifoAudio   one writer and three readers (the consuming one and two others) on
//                           one frame FIFO, 30 kB video or 160-byte audio frames: each frame is
//                           written once and read by each reader;
//   CopyVideo / CopyAudio   the same bytes copied by plain memcpy: once in, once out per reader.
//   PlayBuf                 GetFrame over record data (30 kB "PTMF" frames) poured into a
//                           CPlayBufGeneral, against
//   CopyPlay                memcpy of the same bytes in and out.
//   CopyAudioRecords        the copies the FIFO's design needs for the audio frames: the
//                           224-byte record header in and out with each payload.
// The ratios (library throughput / memcpy throughput) are printed after the runs; with
// --benchmark_repetitions=N they compare the medians of the N runs.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "api/context.h"
#include "bench_support.h"
#include "disklayout/le.h"
#include "fifo/frame_fifo.h"
#include "fifo/play_buf.h"

namespace {

constexpr uint32_t kFifoBytes = 8 << 20;
benchsupport::Rates g_bytesPerSecond;

void Record(benchmark::State& state, const std::string& name, double seconds, uint64_t bytes) {
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  if (seconds > 0) g_bytesPerSecond.Add(name, static_cast<double>(bytes) / seconds);
}

void BM_Fifo(benchmark::State& state, const char* name, uint32_t frameBytes) {
  CFrameFIFO fifo(0);
  fifo.InitFrames(kFifoBytes);
  std::vector<uint8_t> payload(frameBytes, 0x5A), out(frameBytes + 224);
  for (int reader : {1, 2}) fifo.ReadFrame(out.data(), out.size(), reader);  // start following
  uint64_t bytes = 0;
  double seconds = 0;
  for (auto _ : state) {
    auto t = std::chrono::steady_clock::now();
    for (int i = 0; i < 64; ++i) {
      if (fifo.WriteFrame(payload.data(), frameBytes, i % 25 == 0 ? 'I' : 'P') != 0) abort();
      for (int reader : {0, 1, 2})
        if (fifo.ReadFrame(out.data(), out.size(), reader) <= 0) abort();
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    bytes += 64ull * frameBytes;
  }
  Record(state, name, seconds, bytes);
}

void BM_Copy(benchmark::State& state, const char* name, uint32_t frameBytes, int outs) {
  std::vector<uint8_t> payload(frameBytes, 0x5A), ring(kFifoBytes), out(frameBytes);
  uint64_t bytes = 0, pos = 0;
  double seconds = 0;
  for (auto _ : state) {
    auto t = std::chrono::steady_clock::now();
    for (int i = 0; i < 64; ++i) {
      if (pos + frameBytes > ring.size()) pos = 0;
      std::memcpy(ring.data() + pos, payload.data(), frameBytes);
      for (int k = 0; k < outs; ++k) std::memcpy(out.data(), ring.data() + pos, frameBytes);
      benchmark::DoNotOptimize(out.data());
      pos += frameBytes;
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    bytes += 64ull * frameBytes;
  }
  Record(state, name, seconds, bytes);
}

// The copies a frame FIFO cannot avoid: each frame goes in as its 224-byte record header and the
// payload, and each reader takes both out. Counted in payload bytes, as the FIFO runs are, so its
// ratio to BM_Copy is the most a FIFO run can show.
void BM_CopyRecords(benchmark::State& state, const char* name, uint32_t frameBytes, int outs) {
  constexpr uint32_t kHeader = 224;
  std::vector<uint8_t> header(kHeader, 0), payload(frameBytes, 0x5A), ring(kFifoBytes),
      out(kHeader + frameBytes);
  uint64_t bytes = 0, pos = 0;
  double seconds = 0;
  for (auto _ : state) {
    auto t = std::chrono::steady_clock::now();
    for (int i = 0; i < 64; ++i) {
      if (pos + kHeader + frameBytes > ring.size()) pos = 0;
      std::memcpy(ring.data() + pos, header.data(), kHeader);
      std::memcpy(ring.data() + pos + kHeader, payload.data(), frameBytes);
      for (int k = 0; k < outs; ++k) std::memcpy(out.data(), ring.data() + pos, kHeader + frameBytes);
      benchmark::DoNotOptimize(out.data());
      pos += kHeader + frameBytes;
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    bytes += 64ull * frameBytes;
  }
  Record(state, name, seconds, bytes);
}

void BM_PlayBuf(benchmark::State& state) {
  constexpr uint32_t kPayload = 30000;
  std::vector<uint8_t> frame(224 + kPayload, 0x33), out(frame.size());
  std::memcpy(frame.data(), "PTMF", 4);
  frame[4] = 224;
  le::Put32(&frame[12], kPayload);
  std::vector<uint8_t> chunk;
  for (int i = 0; i < 32; ++i) chunk.insert(chunk.end(), frame.begin(), frame.end());
  CPlayBufGeneral buf;
  buf.Open(0, 0x140000, nullptr, 0);
  uint64_t bytes = 0;
  double seconds = 0;
  for (auto _ : state) {
    auto t = std::chrono::steady_clock::now();
    if (buf.PutData(chunk.data(), static_cast<uint32_t>(chunk.size())) < 0) abort();
    for (int i = 0; i < 32; ++i)
      if (buf.GetFrame(out.data(), static_cast<uint32_t>(out.size())) <= 0) abort();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    bytes += chunk.size();
  }
  Record(state, "PlayBuf", seconds, bytes);
}

// The result line, and the same ratio as "ratio KEY VALUE" for scripts.
void PrintRatio(const char* what, const char* lib, const char* floor, const char* key) {
  const double a = g_bytesPerSecond.Median(lib), b = g_bytesPerSecond.Median(floor);
  if (a <= 0 || b <= 0) return;
  printf("%-34s %9.0f MiB/s %9.0f MiB/s  ratio %.2f\n", what, a / 1048576, b / 1048576, a / b);
  printf("ratio %s %.3f\n", key, a / b);
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  qvfs::ScopedContext context;
  benchmark::RegisterBenchmark("FifoVideo/30kB/3readers", BM_Fifo, "FifoVideo", 30000u);
  benchmark::RegisterBenchmark("CopyVideo/30kB/3readers", BM_Copy, "CopyVideo", 30000u, 3);
  benchmark::RegisterBenchmark("FifoAudio/160B/3readers", BM_Fifo, "FifoAudio", 160u);
  benchmark::RegisterBenchmark("CopyAudio/160B/3readers", BM_Copy, "CopyAudio", 160u, 3);
  benchmark::RegisterBenchmark("CopyAudioRecords/160B/3readers", BM_CopyRecords, "CopyAudioRecords",
                               160u, 3);
  benchmark::RegisterBenchmark("PlayBuf/GetFrame/30kB", BM_PlayBuf);
  benchmark::RegisterBenchmark("CopyPlay/30kB", BM_Copy, "CopyPlay", 30224u, 1);
  benchmark::RunSpecifiedBenchmarks();
  printf("\nThroughput ratio: library / memcpy of the same bytes (1.00 = the copy floor)\n");
  PrintRatio("frame FIFO, 30 kB video, 3 readers", "FifoVideo", "CopyVideo", "fifo_video_30kB");
  PrintRatio("frame FIFO, 160 B audio, 3 readers", "FifoAudio", "CopyAudio", "fifo_audio_160B");
  PrintRatio("play buffer GetFrame, 30 kB frames", "PlayBuf", "CopyPlay", "play_buffer_30kB");
  printf("\nCopy floor: the FIFO's own bytes (a 224-byte record header per frame) / memcpy\n");
  PrintRatio("headers and 160 B audio, 3 readers", "CopyAudioRecords", "CopyAudio",
             "fifo_audio_160B_copy_floor");
  return 0;
}
