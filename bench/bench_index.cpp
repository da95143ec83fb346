// Opening a full record index, searching it, and formatting a large record disk, each against
// a baseline of the same work done by plain means, in one run:
//
//   IndexOpen     DiskIndex::Open of a disk with 32768 record files, every entry a closed
//                 recording of 16 channels (every 4th with three segments; all of them land in
//                 the time map), against
//   IndexPread    pread of the same entry bytes in the transfers the device makes of them (the
//                 index asks for 2 MiB pieces; the device splits them into commands of its
//                 transfer size), and
//   IndexPread2M  pread in whole 2 MiB pieces (shown for reference: the difference to it is
//                 the device's command size, not the index code).
//   SearchDay     the per-disk search of one channel over one day, and
//   SearchAll     of all channels over all time, against
//   LinearDay/All a scan of the same entries (summaries and segment tables) held in memory,
//                 testing every entry; the entries each search visits are reported.
//   Format        QVFS_FormatToRecdisk of a sparse image (512 GiB by default, 256 MiB record
//                 files), against
//   MkfsFat       mkfs.fat -F 32 on a sparse file the size of the record partition (the
//                 formatter's nearest outside equivalent: it writes the boot sectors and both
//                 FATs but allocates no files).
// After the runs the time ratios (library / baseline) are printed.
//
// Besides the usual --benchmark_* flags:
//   --qvfs_dir=PATH       folder for the images (default $TMPDIR or /tmp)
//   --qvfs_format_gb=N    size of the formatted image (default 512)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "api/context.h"
#include "device/dev_registry.h"
#include "device/disk_dev.h"
#include "index/disk_index.h"
#include "index/index_create.h"
#include "index/index_format.h"
#include "index/record_search.h"
#include "platform/messages.h"
#include "qvfs/qvfs.h"

namespace {

constexpr uint32_t kFiles = 32768;
constexpr uint64_t kIndexLba = 2048;
constexpr uint32_t kPiece = 0x200000;
uint32_t g_transferBytes = kPiece;  // the index disk's transfer size, once it is attached

struct Options {
  std::string dir;
  uint64_t formatGb = 512;
} g_opt;

std::map<std::string, double> g_secondsPerIteration;
constexpr int64_t kT0 = 1700000000000;
constexpr int64_t kDayMs = 86400000;
std::vector<recindex::RecIndexEntry> g_entries;  // what the disk's index holds

void Record(const benchmark::State& state, const std::string& name, double seconds) {
  if (state.iterations() > 0) g_secondsPerIteration[name] = seconds / state.iterations();
}

std::string IndexImage() { return g_opt.dir + "/bench_index.img"; }
std::string FormatImage() { return g_opt.dir + "/bench_format.img"; }
std::string MkfsImage() { return g_opt.dir + "/bench_mkfs.img"; }

// An image whose index at LBA 2048 lists 32768 closed recordings.
std::string PrepareIndexDisk() {
  const std::string path = IndexImage();
  const uint64_t indexBytes = recindex::IndexBytes(kFiles);
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(kIndexLba * 512 + indexBytes + (1 << 20))) != 0) {
    perror(path.c_str());
    exit(1);
  }
  close(fd);
  int n = QVFS_AttachImage(path.c_str(), 0, 512);
  const std::string drive = "\\\\.\\PhysicalDrive" + std::to_string(n);
  CDisk_Dev* dev = CDevFlyWeightFactory::getSingleton()->CreateScsiDev(drive.c_str(), false);
  if (!dev || CreateRawIndex(dev, 256, kIndexLba, 1 << 20, kFiles, 16) != 0) {
    fprintf(stderr, "cannot create the index\n");
    exit(1);
  }
  std::vector<recindex::RecIndexEntry> entries(kFiles);
  std::memset(entries.data(), 0, entries.size() * sizeof entries[0]);
  for (uint32_t i = 0; i < kFiles; ++i) {
    recindex::RecIndexSummary& s = entries[i].summary;
    s.kind = 1;
    s.channel = static_cast<uint8_t>(i % 16);
    s.segmentCount = i % 4 == 3 ? 3 : 1;
    s.state = recindex::kStateClosed;
    s.typeBits = 1;
    s.size = 256 << 20;
    s.linkIndex = static_cast<int32_t>(i);
    s.startMs = kT0 + int64_t{i / 16} * 600000;
    s.endMs = s.startMs + 599000;
    s.sn = i + 1;
    for (uint32_t k = 0; k < s.segmentCount; ++k) {
      recindex::RecIndexSegment& seg = entries[i].segments[k];
      seg.state = recindex::kSegmentClosed;
      seg.size = s.size / static_cast<int32_t>(s.segmentCount);
      seg.typeBits = 1;
      seg.startMs = s.startMs + k * 200000;
      seg.endMs = seg.startMs + 199000;
      seg.dataEnd = recindex::kRecordDataStart + (k + 1) * static_cast<uint32_t>(seg.size);
    }
  }
  g_entries = entries;
  g_transferBytes = static_cast<uint32_t>(dev->GetMaxTransCnt()) * 512;
  if (g_transferBytes == 0 || g_transferBytes > kPiece) g_transferBytes = kPiece;
  if (dev->Write(kIndexLba + recindex::kEntriesOffset / 512, entries.data(),
                 entries.size() * sizeof entries[0], true) != 0) {
    fprintf(stderr, "cannot write the entries\n");
    exit(1);
  }
  return drive;
}

std::string& IndexDrive() {
  static std::string drive = PrepareIndexDisk();
  return drive;
}

void BM_IndexOpen(benchmark::State& state) {
  const std::string& drive = IndexDrive();
  double seconds = 0;
  for (auto _ : state) {
    auto t = std::chrono::steady_clock::now();
    DiskIndex index;
    if (index.Open(0, drive, kIndexLba, true) != 0 || index.timeMap.size() != kFiles) {
      state.SkipWithError("the index did not open with every recording");
      return;
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
  }
  Record(state, "IndexOpen", seconds);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFiles * 4096);
}

void BM_IndexPread(benchmark::State& state, const char* name, bool devicePieces) {
  IndexDrive();
  const uint32_t piece = devicePieces ? g_transferBytes : kPiece;
  int fd = open(IndexImage().c_str(), O_RDONLY);
  std::vector<uint8_t> buf(piece);
  const uint64_t start = kIndexLba * 512 + recindex::kEntriesOffset;
  double seconds = 0;
  for (auto _ : state) {
    auto t = std::chrono::steady_clock::now();
    for (uint64_t done = 0; done < uint64_t{kFiles} * 4096; done += piece)
      if (pread(fd, buf.data(), piece, static_cast<off_t>(start + done)) != piece) abort();
    benchmark::DoNotOptimize(buf.data());
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
  }
  close(fd);
  Record(state, name, seconds);
  state.counters["piece_KiB"] = piece / 1024.0;
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFiles * 4096);
}

SearchQuery DayQuery() {
  SearchQuery q;
  q.startMs = kT0 + 5 * kDayMs;
  q.endMs = q.startMs + kDayMs;
  q.channelFlags[3] = 1;
  q.channelLimit = 16;
  return q;
}

SearchQuery AllQuery() {
  SearchQuery q;
  q.startMs = 0;
  q.endMs = INT64_MAX;
  for (int c = 0; c < 16; ++c) q.channelFlags[c] = 1;
  q.channelLimit = 16;
  return q;
}

void BM_Search(benchmark::State& state, const char* name, SearchQuery (*query)()) {
  static DiskIndex* index = [] {
    auto* i = new DiskIndex;  // kept for every search benchmark
    if (i->Open(0, IndexDrive(), kIndexLba, true) != 0) abort();
    return i;
  }();
  static SearchWindow window;
  const SearchQuery q = query();
  size_t hits = 0;
  double seconds = 0;
  for (auto _ : state) {
    auto t = std::chrono::steady_clock::now();
    ResultMap results;
    SearchDisk(*index, q, results, window);
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    hits = 0;
    for (auto& r : results) hits += r.second.size();
  }
  // The entries the walk visits: the time-map nodes from the first that ends after the start
  // to the last that starts before the end.
  size_t visited = 0;
  bool started = false;
  for (auto& node : index->timeMap) {
    if (!started && node.second.endMs <= q.startMs) continue;
    started = true;
    if (node.second.startMs >= q.endMs) break;
    ++visited;
  }
  state.counters["hits"] = static_cast<double>(hits);
  state.counters["visited"] = static_cast<double>(visited);
  Record(state, name, seconds);
}

// The same answer by testing every entry held in memory.
void BM_Linear(benchmark::State& state, const char* name, SearchQuery (*query)()) {
  IndexDrive();
  const SearchQuery q = query();
  double seconds = 0;
  size_t hits = 0;
  for (auto _ : state) {
    auto t = std::chrono::steady_clock::now();
    std::vector<_rec_file_info_> found;
    for (uint32_t i = 0; i < kFiles; ++i) {
      const recindex::RecIndexEntry& e = g_entries[i];
      const recindex::RecIndexSummary& s = e.summary;
      if (s.channel >= q.channelLimit || !q.channelFlags[s.channel]) continue;
      if (s.segmentCount == 1) {
        if (s.endMs > q.startMs && s.startMs < q.endMs) found.push_back(WholeEntryRecord(s, 0));
        continue;
      }
      for (uint32_t k = 0; k < recindex::UsableSegments(s); ++k) {
        const recindex::RecIndexSegment& seg = e.segments[k];
        if (seg.endMs > q.startMs && seg.startMs < q.endMs)
          found.push_back(SegmentRecord(s, reinterpret_cast<const uint8_t*>(&e), k, 0));
      }
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    hits = found.size();
  }
  state.counters["hits"] = static_cast<double>(hits);
  state.counters["visited"] = kFiles;
  Record(state, name, seconds);
}

void MakeSparse(const std::string& path, uint64_t bytes) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) {
    perror(path.c_str());
    exit(1);
  }
  close(fd);
}

void BM_Format(benchmark::State& state) {
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    MakeSparse(FormatImage(), g_opt.formatGb << 30);
    int n = QVFS_AttachImage(FormatImage().c_str(), 0, 512);
    const std::string drive = "\\\\.\\PhysicalDrive" + std::to_string(n);
    state.ResumeTiming();
    auto t = std::chrono::steady_clock::now();
    if (QVFS_FormatToRecdisk(drive.c_str(), 256, 0) <= 0) {
      state.SkipWithError("format failed");
      return;
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
    state.PauseTiming();
    CDevFlyWeightFactory::getSingleton()->DelScsiDev(drive.c_str());
    state.ResumeTiming();
  }
  Record(state, "Format", seconds);
}

void BM_MkfsFat(benchmark::State& state) {
  // The record partition: from 2048 to 34 sectors before the end.
  const uint64_t bytes = ((g_opt.formatGb << 30) / 512 - 2048 - 34) * 512;
  const std::string cmd = "mkfs.fat -F 32 -S 512 " + MkfsImage() + " >/dev/null 2>&1";
  double seconds = 0;
  for (auto _ : state) {
    state.PauseTiming();
    MakeSparse(MkfsImage(), bytes);
    state.ResumeTiming();
    auto t = std::chrono::steady_clock::now();
    if (std::system(cmd.c_str()) != 0) {
      state.SkipWithError("mkfs.fat failed (dosfstools)");
      return;
    }
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
  }
  Record(state, "MkfsFat", seconds);
}

// The result line, and the same ratio as "ratio KEY VALUE" for scripts.
void PrintRatio(const char* what, const char* lib, const char* base, const char* key) {
  auto a = g_secondsPerIteration.find(lib), b = g_secondsPerIteration.find(base);
  if (a == g_secondsPerIteration.end() || b == g_secondsPerIteration.end() || b->second <= 0) {
    printf("%-28s no ratio (a run failed)\n", what);
    return;
  }
  printf("%-28s %10.3f ms %10.3f ms  ratio %.2f\n", what, a->second * 1e3, b->second * 1e3,
         a->second / b->second);
  printf("ratio %s %.3f\n", key, a->second / b->second);
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = getenv("TMPDIR");
  g_opt.dir = tmp ? tmp : "/tmp";
  std::vector<char*> rest;
  for (int i = 0; i < argc; ++i) {
    std::string a = argv[i];
    if (a.rfind("--qvfs_dir=", 0) == 0) g_opt.dir = a.substr(11);
    else if (a.rfind("--qvfs_format_gb=", 0) == 0) g_opt.formatGb = strtoull(a.c_str() + 17, nullptr, 10);
    else rest.push_back(argv[i]);
  }
  int restc = static_cast<int>(rest.size());
  benchmark::Initialize(&restc, rest.data());
  qvfs::ScopedContext context;
  platform::SetConsoleOutput(false);
  QVFS_UseSystemDisks(0);

  benchmark::RegisterBenchmark("IndexOpen/32768files", BM_IndexOpen)->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("IndexPread/32768files", BM_IndexPread, "IndexPread", true)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("IndexPread2M/32768files", BM_IndexPread, "IndexPread2M", false)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("SearchDay/1channel", BM_Search, "SearchDay", &DayQuery)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("LinearDay/1channel", BM_Linear, "LinearDay", &DayQuery)
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("SearchAll/16channels", BM_Search, "SearchAll", &AllQuery)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("LinearAll/16channels", BM_Linear, "LinearAll", &AllQuery)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Format", BM_Format)->Unit(benchmark::kMillisecond)->Iterations(3);
  benchmark::RegisterBenchmark("MkfsFat", BM_MkfsFat)->Unit(benchmark::kMillisecond)->Iterations(3);
  benchmark::RunSpecifiedBenchmarks();

  printf("\nTime ratio: library / baseline (1.00 = as fast as the baseline)\n");
  PrintRatio("index open vs pread", "IndexOpen", "IndexPread", "index_open");
  PrintRatio("index open vs 2 MiB preads", "IndexOpen", "IndexPread2M", "index_open_2mib");
  PrintRatio("search 1 channel 1 day", "SearchDay", "LinearDay", "search_1ch_day");
  PrintRatio("search all vs linear", "SearchAll", "LinearAll", "search_16ch_all");
  char what[64];
  snprintf(what, sizeof what, "format %llu GiB vs mkfs.fat", static_cast<unsigned long long>(g_opt.formatGb));
  PrintRatio(what, "Format", "MkfsFat", "format_vs_mkfs_fat");
  unlink(IndexImage().c_str());
  unlink(FormatImage().c_str());
  unlink(MkfsImage().c_str());
  return 0;
}
