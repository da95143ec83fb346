// What the record, replay and backup benchmarks share: a synthetic "PTMF" video frame, dropping
// a file's pages from the page cache (so that a read meets the disk), and a record disk with
// one recording on it.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "api/context.h"
#include "disklayout/le.h"
#include "qvfs/qvfs.h"
#include "record/frame_strategy.h"
#include "record/record_writer.h"

namespace benchsupport {

// Throughputs of the runs of each benchmark (a run per repetition with --benchmark_repetitions)
// and their median: a ratio of medians does not move with one run that the machine disturbed.
class Rates {
 public:
  void Add(const std::string& name, double bytesPerSecond) { runs_[name].push_back(bytesPerSecond); }
  // 0 when the benchmark did not run (filtered out).
  double Median(const std::string& name) const {
    auto it = runs_.find(name);
    if (it == runs_.end() || it->second.empty()) return 0;
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }

 private:
  std::map<std::string, std::vector<double>> runs_;
};

// Frame i of a 25 frames/s stream from t0 with a key frame each second and `payload` bytes.
inline std::vector<uint8_t> VideoFrame(int i, int64_t t0, uint32_t payload) {
  std::vector<uint8_t> f(224 + payload, static_cast<uint8_t>(i));
  std::memset(f.data(), 0, 224);
  std::memcpy(f.data(), "PTMF", 4);
  f[4] = 224;
  f[5] = i % 25 == 0 ? 'I' : 'P';
  le::Put32(&f[8], static_cast<uint32_t>(i));
  le::Put32(&f[12], payload);
  const int64_t pts = t0 + i * 40;
  le::Put32(&f[16], static_cast<uint32_t>(pts));
  le::Put16(&f[20], static_cast<uint16_t>(pts >> 32));
  return f;
}

// Writes the file's dirty pages out and drops its pages from the page cache.
inline void DropCached(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) abort();
  fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

// A sparse image of `bytes` attached, formatted with 64 MiB record files and QVFS_Init run
// without recording; the drive name, or "" when it failed.
inline std::string MakeRecordDisk(const std::string& image, uint64_t bytes, int channels) {
  const int fd = open(image.c_str(), O_CREAT | O_RDWR | O_TRUNC, 0644);
  if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes)) != 0) return "";
  close(fd);
  QVFS_SetLogSink([](const char*) {});
  QVFS_SetConsoleOutput(0);
  QVFS_UseSystemDisks(0);
  const int n = QVFS_AttachImage(image.c_str(), 0, 512);
  const std::string drive = "\\\\.\\PhysicalDrive" + std::to_string(n);
  if (n < 0 || QVFS_FormatToRecdisk(drive.c_str(), 64, 0) <= 0) return "";
  StorageConfig c{};
  c.channelCount = channels;
  c.fifoUsers = 2;
  c.mainFifoSize = 0x10000;
  c.playBufferSize = 0x140000;
  c.frameBufferSize = 0x80000;
  c.writeCacheSize = 0x180000;
  QVFS_Init(c);
  return drive;
}

// One recording of a channel in one free record file, entered in the record index as the
// recorder does: frame(i, &f) gives frame i until it returns false. The whole recording as one
// record, the file's offset in the image and its data bytes.
struct Recording {
  _rec_file_info_ record{};
  uint64_t offset = 0;
  uint32_t bytes = 0;
};
inline bool RecordOne(const std::string& drive, int channel,
                      const std::function<bool(int, std::vector<uint8_t>*)>& frame,
                      Recording* out) {
  qvfs::Context& ctx = qvfs::Context::Current();
  DiskIndexSet& set = ctx.diskWatch().IndexSet(0);
  FileGrant g;
  std::vector<uint8_t> f;
  if (set.TakeFreeFile(&g) != 0 || !frame(0, &f)) return false;
  CFrmStategy sel;
  auto timeOf = [&sel](std::vector<uint8_t>& v) {
    return sel.Select(v.data()) == 0 ? sel.Current()->GetPts() : 0;
  };
  const int64_t t0 = timeOf(f);
  CRecordWriter w(channel);
  if (w.OpenNew(g.path, g.fileIndex, g.fileBytes, t0, nullptr) != 0) return false;
  _rec_file_info_& r = out->record;
  r.channel = static_cast<uint8_t>(channel);
  r.fileIndex = static_cast<int32_t>(g.fileIndex);
  r.kind = 1;
  r.typeBits = 2;
  r.state = 0x81;
  r.startMs = r.endMs = t0;
  r.operation = kOpRecordStart;
  if (set.WriteRecord(r) != 0) return false;
  int64_t last = t0;
  for (int i = 1;; ++i) {
    if (w.WriteFrame(f.data(), static_cast<uint32_t>(f.size())) <= 0) return false;
    last = timeOf(f);
    if (!frame(i, &f)) break;
  }
  out->bytes = w.position();
  if (w.Close() != 0) return false;
  r.operation = kOpRecordClose;
  r.state = 0x01;
  r.size = static_cast<int32_t>(out->bytes - recfile::kDataOffset);
  r.endMs = last;
  if (set.UpdateRecordInfo(r) != 0) return false;
  out->offset = ctx.diskWatch().RecordFileLba(drive, g.fileIndex) * 512;
  return true;
}

}  // namespace benchsupport
