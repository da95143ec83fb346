// Backups against the tools and copies they stand in for, in one run:
//
//   Mp4      the MP4 backup of a 10-minute recording (an x264 clip made by ffmpeg, cycled:
//            15000 pictures at 25 frames/s, no audio) against
//   ffmpeg   `ffmpeg -f h264 -r 25 -i raw.h264 -c copy out.mp4` on the same pictures (aim: the
//            backup is not slower);
//   Asf, Bin the .asf and .bin backups of the same recording against
//   Copy     a plain copy of the record file's bytes (pread from the image, write to a file).
//
// Printed: seconds and MB/s of each and the ratios (other / backup for MP4, copy time / backup
// time for .asf and .bin). The best of three rounds counts; everything is in the page cache.
//
//   bench_backup [--rounds N]
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "api/context.h"
#include "backup/backup_engine.h"
#include "bench_support.h"
#include "qvfs/qvfs.h"
#include "record/h264.h"

namespace {

constexpr int kPictures = 15000;  // 10 minutes at 25 frames/s
constexpr int64_t kT0 = 1767607200000;

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The clip's pictures: every start code 4 bytes long, SPS and PPS joining their IDR picture.
std::vector<std::vector<uint8_t>> Pictures(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> s((std::istreambuf_iterator<char>(in)), {});
  std::vector<std::vector<uint8_t>> pics;
  std::vector<uint8_t> cur;
  bool slice = false;
  for (size_t i = 0; i + 3 <= s.size();) {
    if (!(s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1)) {
      ++i;
      continue;
    }
    size_t end = i + 3;
    while (end + 3 <= s.size() && !(s[end] == 0 && s[end + 1] == 0 && s[end + 2] == 1)) ++end;
    if (end + 3 > s.size()) end = s.size();
    size_t stop = end;
    while (stop > i + 3 && s[stop - 1] == 0) --stop;
    const uint8_t type = s[i + 3] & 0x1F;
    const bool first = (type == 1 || type == 5) && (s[i + 4] & 0x80);
    if (slice && (first || type == 7 || type == 9)) {
      pics.push_back(cur);
      cur.clear();
      slice = false;
    }
    cur.insert(cur.end(), {0, 0, 0, 1});
    cur.insert(cur.end(), s.begin() + static_cast<long>(i) + 3, s.begin() + static_cast<long>(stop));
    slice = slice || type == 1 || type == 5;
    i = end;
  }
  if (!cur.empty()) pics.push_back(cur);
  return pics;
}

std::vector<uint8_t> Tagged(const std::vector<uint8_t>& payload, bool key, int i) {
  std::vector<uint8_t> f(224 + payload.size(), 0);
  std::memcpy(f.data(), "PTMF", 4);
  f[4] = 224;
  f[5] = key ? 'I' : 'P';
  f[7] = 25;  // frames per second, as a frame FIFO marks it
  le::Put32(&f[8], static_cast<uint32_t>(i));
  le::Put32(&f[12], static_cast<uint32_t>(payload.size()));
  const int64_t pts = kT0 + int64_t{i} * 40;
  le::Put32(&f[16], static_cast<uint32_t>(pts));
  le::Put16(&f[20], static_cast<uint16_t>(pts >> 32));
  std::memcpy(f.data() + 224, payload.data(), payload.size());
  return f;
}

double Backup(const _rec_file_info_& r, int type, const std::string& dir, std::string* path) {
  const auto start = std::chrono::steady_clock::now();
  _rec_file_info_ one = r;
  if (QVFS_BackupSrcLstStart(&one, 1, type, dir.c_str()) != 0) return -1;
  BackupEngine& e = qvfs::Context::Current().backup();
  e.Wait();
  const double s = Seconds(start);
  const auto outputs = e.Outputs();
  if (outputs.size() != 1 || outputs[0].result != 0) return -1;
  *path = outputs[0].path;
  return s;
}

double PlainCopy(const std::string& image, uint64_t offset, uint32_t bytes, const std::string& to) {
  const int in = open(image.c_str(), O_RDONLY);
  const int out = open(to.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  if (in < 0 || out < 0) return -1;
  std::vector<uint8_t> buf(1 << 20);
  const auto start = std::chrono::steady_clock::now();
  for (uint32_t at = 0; at < bytes;) {
    const size_t n = std::min<size_t>(buf.size(), bytes - at);
    if (pread(in, buf.data(), n, static_cast<off_t>(offset + at)) != static_cast<ssize_t>(n) ||
        write(out, buf.data(), n) != static_cast<ssize_t>(n))
      return -1;
    at += static_cast<uint32_t>(n);
  }
  close(out);
  const double s = Seconds(start);
  close(in);
  return s;
}

uint64_t SizeOf(const std::string& p) {
  struct stat st {};
  return stat(p.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 3;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) rounds = std::atoi(argv[++i]);
  char dirTemplate[] = "/tmp/bench_backup.XXXXXX";
  if (!mkdtemp(dirTemplate)) return 1;
  const std::string dir = dirTemplate;
  const std::string clip = dir + "/clip.h264", raw = dir + "/raw.h264";
  const std::string make = "ffmpeg -v error -y -f lavfi -i testsrc=size=640x360:rate=25 -frames:v 250 "
                           "-c:v libx264 -preset ultrafast -bf 0 -g 25 -x264-params repeat-headers=1 "
                           "-f h264 '" + clip + "'";
  if (std::system(make.c_str()) != 0) {
    std::fprintf(stderr, "bench_backup: needs ffmpeg with libx264\n");
    return 1;
  }
  const std::vector<std::vector<uint8_t>> pics = Pictures(clip);
  if (pics.size() != 250) {
    std::fprintf(stderr, "bench_backup: the clip has %zu pictures\n", pics.size());
    return 1;
  }
  // The same pictures for ffmpeg, as one Annex-B stream.
  {
    std::ofstream out(raw, std::ios::binary);
    for (int i = 0; i < kPictures; ++i) {
      const auto& p = pics[static_cast<size_t>(i) % pics.size()];
      out.write(reinterpret_cast<const char*>(p.data()), static_cast<std::streamsize>(p.size()));
    }
  }
  const std::string image = dir + "/backup.img";
  const std::string drive = benchsupport::MakeRecordDisk(image, 1ull << 30, 1);
  benchsupport::Recording rec;
  const bool recorded = !drive.empty() && benchsupport::RecordOne(
      drive, 0,
      [&pics](int i, std::vector<uint8_t>* f) {
        if (i >= kPictures) return false;
        const size_t k = static_cast<size_t>(i) % pics.size();
        *f = Tagged(pics[k], k % 25 == 0, i);
        return true;
      },
      &rec);
  if (!recorded) {
    std::fprintf(stderr, "bench_backup: cannot record\n");
    return 1;
  }
  const std::string outDir = dir + "/out";
  mkdir(outDir.c_str(), 0755);

  double mp4 = 1e9, ffmpeg = 1e9, asf = 1e9, bin = 1e9, copy = 1e9;
  uint64_t mp4Bytes = 0;
  std::string path;
  bool ok = true;
  for (int r = 0; r < rounds && ok; ++r) {
    double s = Backup(rec.record, kBackupMp4, outDir, &path);
    ok = ok && s > 0;
    mp4 = std::min(mp4, s);
    mp4Bytes = SizeOf(path);
    if (r == 0) {
      // The backup holds every picture (ffprobe counts the samples).
      const std::string probe = "ffprobe -v error -select_streams v -count_packets -show_entries "
                                "stream=nb_read_packets -of csv=p=0 '" + path + "'";
      FILE* p = popen(probe.c_str(), "r");
      int packets = 0;
      if (!p || std::fscanf(p, "%d", &packets) != 1) packets = -1;
      if (p) pclose(p);
      if (packets != kPictures) {
        std::fprintf(stderr, "bench_backup: the MP4 holds %d pictures of %d\n", packets, kPictures);
        ok = false;
      }
    }
    unlink(path.c_str());
    const auto start = std::chrono::steady_clock::now();
    const std::string cmd = "ffmpeg -v error -y -f h264 -r 25 -i '" + raw + "' -c copy '" + outDir +
                            "/ffmpeg.mp4'";
    ok = ok && std::system(cmd.c_str()) == 0;
    ffmpeg = std::min(ffmpeg, Seconds(start));
    s = Backup(rec.record, kBackupAsf, outDir, &path);
    ok = ok && s > 0;
    asf = std::min(asf, s);
    unlink(path.c_str());
    s = Backup(rec.record, kBackupBin, outDir, &path);
    ok = ok && s > 0;
    bin = std::min(bin, s);
    unlink(path.c_str());
    s = PlainCopy(image, rec.offset, rec.bytes, outDir + "/copy");
    ok = ok && s > 0;
    copy = std::min(copy, s);
  }
  if (!ok) {
    std::fprintf(stderr, "bench_backup: a backup failed\n");
    return 1;
  }
  const double mb = rec.bytes / 1e6;
  std::printf("recording: %d pictures (10 minutes), record file %u bytes\n", kPictures, rec.bytes);
  std::printf("Mp4      %7.3f s  %8.1f MB/s  (%llu bytes)\n", mp4, mb / mp4,
              static_cast<unsigned long long>(mp4Bytes));
  std::printf("ffmpeg   %7.3f s  ratio ffmpeg/backup %.2f (aim >= 1: not slower)\n", ffmpeg,
              ffmpeg / mp4);
  std::printf("Asf      %7.3f s  %8.1f MB/s  ratio copy/backup %.2f\n", asf, mb / asf, copy / asf);
  std::printf("Bin      %7.3f s  %8.1f MB/s  ratio copy/backup %.2f\n", bin, mb / bin, copy / bin);
  std::printf("Copy     %7.3f s  %8.1f MB/s\n", copy, mb / copy);
  std::printf("ratio backup_mp4_vs_ffmpeg %.3f\nratio backup_asf_vs_copy %.3f\n"
              "ratio backup_bin_vs_copy %.3f\n", ffmpeg / mp4, copy / asf, copy / bin);
  const std::string cleanup = "rm -rf '" + dir + "'";
  return std::system(cleanup.c_str()) == 0 ? 0 : 0;
}
