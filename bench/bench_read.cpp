// Read throughput of the device layer and of region files against plain pread of the same bytes.
//
// A disk image (256 MiB by default) is written full of data first, so every read is served from
// the page cache and the benchmark measures the library's own cost: command building, sense
// handling, splitting into the adapter's transfer size, the emulated SCSI path and the region
// walk. The three readers go sequentially over the same region of the image (from LBA 2048 to
// 1 MiB before the end) in transfers of 4 KiB, 64 KiB and 1 MiB, and after the runs the ratio
// library throughput / pread throughput is printed for each reader and size.
//
// Besides the usual --benchmark_* flags:
//   --qvfs_image_mb=N     image size in MiB (default 256; at least 4)
//   --qvfs_dir=PATH       folder for the image (default $TMPDIR or /tmp); removed at start
//   --qvfs_min_ratio=R    exit 1 when a ratio is below R (default 0: report only)
// Machine-readable results: --benchmark_out=FILE --benchmark_out_format=json.
// With --benchmark_repetitions=N each ratio compares the medians of the N runs.
// The data every reader returns is checked against pread before timing; a mismatch exits 1.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "api/context.h"
#include "bench_support.h"
#include "device/disk_dev.h"
#include "platform/messages.h"
#include "qvfs/qvfs.h"
#include "serialfile/serial_file.h"

namespace {

constexpr uint32_t kSectorSize = 512;
constexpr uint64_t kRegionLba = 2048;  // a region file may not start at LBA 0
constexpr uint64_t kRegionOffset = kRegionLba * kSectorSize;
const uint32_t kSizes[] = {4096, 65536, 1u << 20};

enum class Reader { kPread, kDiskDev, kSerialFile };
const char* ReaderName(Reader r) {
  switch (r) {
    case Reader::kPread: return "pread";
    case Reader::kDiskDev: return "CDisk_Dev::Read";
    case Reader::kSerialFile: return "CSerial_file::ReadPos";
  }
  return "?";
}

struct Options {
  uint64_t imageMb = 256;
  std::string dir;
  double minRatio = 0.0;
};

struct Env {
  std::unique_ptr<qvfs::ScopedContext> context;
  int fd = -1;                // the image for pread
  CDisk_Dev* dev = nullptr;
  CSerial_file file;
  uint64_t regionBytes = 0;   // bytes of the region, from kRegionOffset on
};

Env* g_env = nullptr;

[[noreturn]] void Die(const char* fmt, const char* arg = "") {
  std::fprintf(stderr, "bench_read: ");
  std::fprintf(stderr, fmt, arg);
  std::fprintf(stderr, "\n");
  std::exit(1);
}

// The image's content: every 8-byte word holds a value of its own offset, so data read from the
// wrong place can never compare equal.
uint64_t WordAt(uint64_t offset) { return (offset * 0x9E3779B97F4A7C15ull) ^ 0x5157465321ull; }

void WriteImage(int fd, uint64_t bytes) {
  std::vector<uint64_t> chunk((1u << 20) / 8);
  for (uint64_t off = 0; off < bytes; off += chunk.size() * 8) {
    for (size_t i = 0; i < chunk.size(); ++i) chunk[i] = WordAt(off + i * 8);
    const auto* p = reinterpret_cast<const uint8_t*>(chunk.data());
    size_t left = chunk.size() * 8, done = 0;
    while (left) {
      ssize_t n = ::pwrite(fd, p + done, left, static_cast<off_t>(off + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) Die("writing the image failed: %s", std::strerror(errno));
      done += static_cast<size_t>(n);
      left -= static_cast<size_t>(n);
    }
  }
  // Written back now, so that no writeback runs while the reads are timed; the pages stay cached.
  if (::fdatasync(fd) != 0) Die("fdatasync failed: %s", std::strerror(errno));
}

bool PreadAll(int fd, uint8_t* buf, size_t size, uint64_t offset) {
  size_t done = 0;
  while (done < size) {
    ssize_t n = ::pread(fd, buf + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// One transfer of size bytes at pos within the region; true when it succeeded.
bool ReadOnce(Env& env, Reader reader, uint8_t* buf, uint32_t size, uint64_t pos) {
  switch (reader) {
    case Reader::kPread:
      return PreadAll(env.fd, buf, size, kRegionOffset + pos);
    case Reader::kDiskDev:
      return env.dev->Read(kRegionLba + pos / kSectorSize, buf, size, true) == 0;
    case Reader::kSerialFile:
      return env.file.ReadPos(static_cast<uint32_t>(pos), buf, size, true) ==
             static_cast<int>(size);
  }
  return false;
}

void Setup(const Options& opt) {
  auto* env = new Env;
  env->context = std::make_unique<qvfs::ScopedContext>();
  QVFS_SetConsoleOutput(0);
  QVFS_UseSystemDisks(0);

  const uint64_t bytes = opt.imageMb << 20;
  std::string path = opt.dir + "/qvfs-bench-XXXXXX";
  std::vector<char> name(path.begin(), path.end());
  name.push_back('\0');
  int wfd = ::mkstemp(name.data());
  if (wfd < 0) Die("cannot create an image in %s", opt.dir.c_str());
  path = name.data();
  std::fprintf(stderr, "bench_read: writing a %" PRIu64 " MiB image %s\n", opt.imageMb,
               path.c_str());
  WriteImage(wfd, bytes);
  ::close(wfd);

  int drive = QVFS_AttachImage(path.c_str(), 1, static_cast<int>(kSectorSize));
  if (drive < 0) Die("QVFS_AttachImage failed for %s", path.c_str());
  std::string driveName = "\\\\.\\PhysicalDrive" + std::to_string(drive);
  env->dev = qvfs::Context::Current().registry().CreateScsiDev(driveName.c_str(), false);
  env->fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  // Both readers hold the image open; the name is not needed any more, and removing it now
  // leaves nothing behind however the run ends.
  ::unlink(path.c_str());
  if (!env->dev) Die("the image did not open as a device");
  if (env->fd < 0) Die("cannot open the image for pread");
  if (env->dev->get_sec_size() != kSectorSize || env->dev->get_capacity() != bytes / kSectorSize - 1)
    Die("the device reports a capacity other than the image's");

  // The region stops 1 MiB short of the end: CSerial_file::Open refuses a region that reaches
  // the disk's last sector.
  env->regionBytes = bytes - kRegionOffset - (1u << 20);
  int r = env->file.Open(env->dev, kRegionLba, static_cast<uint32_t>(env->regionBytes), MODE_RDONLY);
  if (r != 0) Die("CSerial_file::Open failed");
  g_env = env;
}

// Every reader must return the bytes pread returns, at the start, in the middle and at the end
// of the region, and those must be the bytes written.
void CheckData() {
  Env& env = *g_env;
  for (uint32_t size : kSizes) {
    std::vector<uint8_t> want(size), got(size);
    for (uint64_t pos : {uint64_t{0}, env.regionBytes / 2 / size * size, env.regionBytes - size}) {
      if (!ReadOnce(env, Reader::kPread, want.data(), size, pos)) Die("pread failed");
      uint64_t first;
      std::memcpy(&first, want.data(), sizeof first);
      if (first != WordAt(kRegionOffset + pos)) Die("the image does not hold the data written");
      for (Reader reader : {Reader::kDiskDev, Reader::kSerialFile}) {
        std::fill(got.begin(), got.end(), 0);
        if (!ReadOnce(env, reader, got.data(), size, pos)) Die("%s failed", ReaderName(reader));
        if (got != want) Die("%s returned other bytes than pread", ReaderName(reader));
      }
    }
  }
}

void BM_Read(benchmark::State& state, Reader reader, uint32_t size) {
  Env& env = *g_env;
  std::vector<uint8_t> buf(size);
  uint64_t pos = 0;
  for (auto _ : state) {
    if (!ReadOnce(env, reader, buf.data(), size, pos)) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(buf.data());
    benchmark::ClobberMemory();
    pos += size;
    if (pos + size > env.regionBytes) pos = 0;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

std::string RunName(Reader reader, uint32_t size) {
  return std::string("read/") + ReaderName(reader) + "/" + std::to_string(size);
}

// Prints as the console reporter does and keeps each run's bytes per second.
class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  explicit CollectingReporter(bool color)
      : ConsoleReporter(color ? OO_ColorTabular : OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      // The single runs, or only their mean where the aggregates alone are reported.
      bool mean = run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean";
      if (run.run_type != Run::RT_Iteration && !mean) continue;
      auto it = run.counters.find("bytes_per_second");
      if (it == run.counters.end()) continue;
      (mean ? means_ : runs_).Add(run.run_name.function_name, it->second.value);
    }
  }
  // Bytes per second: the median of the single runs (one per repetition), or of the reported
  // means; 0 when the benchmark did not run.
  double BytesPerSecond(const std::string& name) const {
    const double single = runs_.Median(name);
    return single > 0 ? single : means_.Median(name);
  }

 private:
  benchsupport::Rates runs_;   // single runs
  benchsupport::Rates means_;  // reported means
};

std::string SizeText(uint32_t size) {
  return size >= (1u << 20) ? std::to_string(size >> 20) + " MiB" : std::to_string(size >> 10) + " KiB";
}

// Prints the ratio table; returns false when a ratio is below the minimum asked for.
bool PrintRatios(const CollectingReporter& rep, double minRatio) {
  bool ok = true;
  std::printf("\nThroughput ratio: library / pread of the same bytes (1.00 = as fast as pread)\n");
  std::printf("%-8s %-24s %12s %12s %8s\n", "size", "reader", "MiB/s", "pread MiB/s", "ratio");
  for (uint32_t size : kSizes) {
    double base = rep.BytesPerSecond(RunName(Reader::kPread, size));
    for (Reader reader : {Reader::kDiskDev, Reader::kSerialFile}) {
      double lib = rep.BytesPerSecond(RunName(reader, size));
      if (base <= 0 || lib <= 0) continue;  // filtered out or failed
      double ratio = lib / base;
      std::printf("%-8s %-24s %12.1f %12.1f %8.3f\n", SizeText(size).c_str(), ReaderName(reader),
                  lib / (1 << 20), base / (1 << 20), ratio);
      if (ratio < minRatio) ok = false;
    }
  }
  for (uint32_t size : kSizes) {
    double base = rep.BytesPerSecond(RunName(Reader::kPread, size));
    for (Reader reader : {Reader::kDiskDev, Reader::kSerialFile}) {
      double lib = rep.BytesPerSecond(RunName(reader, size));
      if (base <= 0 || lib <= 0) continue;
      std::printf("ratio %s %u %.3f\n", ReaderName(reader), size, lib / base);
    }
  }
  if (!ok) std::printf("FAILED: a ratio is below the minimum %.3f\n", minRatio);
  return ok;
}

// Colours as Google Benchmark's own console output would: --benchmark_color=true/false/auto,
// auto meaning only on a terminal.
bool WantColor(int argc, char** argv) {
  std::string mode = "auto";
  for (int i = 1; i < argc; ++i) {
    const char* flag = "--benchmark_color=";
    if (std::strncmp(argv[i], flag, std::strlen(flag)) == 0) mode = argv[i] + std::strlen(flag);
  }
  if (mode == "true" || mode == "yes" || mode == "1" || mode == "always") return true;
  if (mode == "auto") return ::isatty(STDOUT_FILENO) != 0;
  return false;
}

// Takes this program's own flags out of argv before Google Benchmark sees the rest.
Options ParseOptions(int* argc, char** argv) {
  Options opt;
  const char* tmp = std::getenv("TMPDIR");
  opt.dir = tmp && *tmp ? tmp : "/tmp";
  int out = 1;
  for (int i = 1; i < *argc; ++i) {
    std::string a = argv[i];
    auto value = [&](const char* flag) -> const char* {
      size_t n = std::strlen(flag);
      return a.compare(0, n, flag) == 0 ? argv[i] + n : nullptr;
    };
    if (const char* v = value("--qvfs_image_mb=")) {
      char* end = nullptr;
      unsigned long long mb = std::strtoull(v, &end, 10);
      if (!*v || *end || mb < 4 || mb > 4095) Die("--qvfs_image_mb must be 4..4095, not %s", v);
      opt.imageMb = mb;
    } else if (const char* v = value("--qvfs_dir=")) {
      opt.dir = v;
    } else if (const char* v = value("--qvfs_min_ratio=")) {
      char* end = nullptr;
      opt.minRatio = std::strtod(v, &end);
      if (!*v || *end) Die("--qvfs_min_ratio takes a number, not %s", v);
    } else {
      argv[out++] = argv[i];
    }
  }
  *argc = out;
  argv[out] = nullptr;
  return opt;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt = ParseOptions(&argc, argv);
  const bool color = WantColor(argc, argv);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

  Setup(opt);
  CheckData();
  for (uint32_t size : kSizes) {
    for (Reader reader : {Reader::kPread, Reader::kDiskDev, Reader::kSerialFile}) {
      benchmark::RegisterBenchmark(RunName(reader, size).c_str(), BM_Read, reader, size)
          ->UseRealTime();
    }
  }
  CollectingReporter reporter(color);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  bool ok = PrintRatios(reporter, opt.minRatio);
  benchmark::Shutdown();

  g_env->file.Close();
  ::close(g_env->fd);
  delete g_env;  // the devices go with the context
  return ok ? 0 : 1;
}
