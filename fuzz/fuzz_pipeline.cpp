// Fuzz target: the whole way from a damaged record disk to a backup. At start-up a small disk is
// formatted in memory by QVFS_FormatToRecdisk and recorded to through the record writer and
// the record index: channel 0 a closed recording, channel 1 one that a power cut left open. Each
// input damages a copy of that disk, then runs what an application runs:
//   the disk scan with the repair of open recordings (for inputs whose length has bit 1 set the
//   recorder's scan, whose repair QVFS_Init installed writes to the disk; for the others
//   QVFS_ScanDisksForSearch, whose repair stays in memory), the search (QVFS_SearchPlayList),
//   the replay of the channel of the
//   first record found (CReplay1CHProc, the replay sessions' per-channel player: normal, fast x2,
//   backwards; a bounded number of frames), and a backup of that record (QVFS_BackupSrcLstStart
//   into a folder in /dev/shm, removed afterwards): MP4 for an input of odd length, .bin for
//   one of even length. One backup per input: the MP4 one alone costs more than all the rest
//   (a fresh AAC encoder and muxer each time), and both kinds still run on every disk's
//   mutations.
// Everything runs on the fuzzer's thread but the backup's own; sleeps are counted, not slept.
// Faults besides sanitizer reports: a frame over the replay's buffer, and a stall (a reader
// that times out waiting for a frame, or more sleeping than the budget).
//
// Input: mutations, each [u32 where][u16 length][length bytes] (little-endian), written over
// the disk. `where` names the place by its top two bits:
//   0  byte (where & 0x3FFFFFFF) of the disk's non-zero sectors laid end to end
//   1  frame ((where >> 16) & 0x3FFF) of those recorded (channel 0's, then channel 1's), at
//      byte (where & 0xFFFF) of it
//   2  byte (where & 0x3FFFFFFF) of the record index
//   3  byte (where & 0x1FFFFFFF) of the head block (index area included) of recording
//      (where >> 29) & 1
// Offsets wrap around what they address; the bytes may run on past it.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "api/context.h"
#include "backup/backup_engine.h"
#include "disklayout/le.h"
#include "fuzz/memory_disk.h"
#include "fuzz/sleep_budget.h"
#include "index/disk_index.h"
#include "index/disk_index_set.h"
#include "qvfs/qvfs.h"
#include "record/record_format.h"
#include "record/record_writer.h"
#include "replay/replay_1ch.h"

namespace {

constexpr uint64_t kDiskBytes = uint64_t{256} << 20;  // a few record files
constexpr int kFileMB = 64;  // the smallest the formatter makes
constexpr int kChannels = 2;
constexpr int64_t kT0 = 1700000000000;  // the recordings' start (ms)
constexpr uint32_t kSector = 512;
constexpr size_t kMaxMutations = 64;
constexpr uint32_t kFrameCap = 256 << 10;  // the replay's frame buffer
constexpr int64_t kBackupMs = 1000;        // the part of a record backed up
constexpr int kNormalFrames = 40;          // frames replayed in normal play

struct Place {
  uint64_t at;    // disk byte offset
  uint32_t size;  // bytes it spans
};

struct Harness {
  fuzz::SparseImage image;
  fuzz::MemoryDisk disk;
  std::string drive;
  std::string backupDir;
  std::vector<uint64_t> sectors;  // byte offsets of the non-zero sectors
  std::vector<Place> frames;
  Place index{0, 0};
  Place heads[2] = {};
  std::vector<uint8_t> frame = std::vector<uint8_t>(kFrameCap);
};
Harness* g = nullptr;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "fuzz_pipeline: %s\n", what);
  std::abort();
}

// ---- the recording made at start-up --------------------------------------------------------

std::vector<uint8_t> Tagged(uint8_t type, int64_t pts, uint32_t no,
                            const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> f(224, 0);
  std::memcpy(f.data(), "PTMF", 4);
  f[4] = 224;
  f[5] = type;
  le::Put32(&f[8], no);
  le::Put32(&f[12], static_cast<uint32_t>(payload.size()));
  le::Put32(&f[16], static_cast<uint32_t>(pts));
  le::Put16(&f[20], static_cast<uint16_t>(static_cast<uint64_t>(pts) >> 32));
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

// H.264 as recorders stream it: key frames carry the SPS (1280x720) and PPS before the IDR slice.
std::vector<uint8_t> Picture(bool key, uint32_t no) {
  std::vector<uint8_t> p;
  if (key)
    p = {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1F, 0xE9, 0x00, 0xA0, 0x0B, 0x72,
         0, 0, 0, 1, 0x68, 0xCE, 0x38, 0x80, 0, 0, 0, 1, 0x65, 0x88};
  else
    p = {0, 0, 0, 1, 0x41, 0x9A};
  const size_t n = key ? 1500 : 300 + no * 37 % 400;
  while (p.size() < n) p.push_back(static_cast<uint8_t>(0x10 + (no + p.size()) % 200));
  return p;
}

// One recording of `seconds` at 25 frames a second (a key frame each second, G.726 audio each
// 200 ms), entered in the index as the recorder does: opened, a segment record each 35 video
// frames. closed = false leaves it as a power cut does: frames and index on the disk, the
// record file and its index entry still open, and after its last frame the frames of an older
// recording the file held before (as a recycled file does: the repair stops at them).
void Record(int channel, int seconds, bool closed) {
  qvfs::Context& ctx = qvfs::Context::Current();
  DiskIndexSet& set = ctx.diskWatch().IndexSet(0);
  FileGrant grant;
  if (set.TakeFreeFile(&grant) != 0) Fail("no free record file");
  const int64_t t0 = kT0 + channel * 500;
  CRecordWriter w(channel);
  if (w.OpenNew(grant.path, grant.fileIndex, grant.fileBytes, t0, nullptr) != 0)
    Fail("cannot open a record file");
  const uint64_t fileAt = ctx.diskWatch().RecordFileLba(grant.path, grant.fileIndex) * kSector;
  g->heads[channel] = {fileAt, recfile::kDataOffset};
  _rec_file_info_ r{};
  r.channel = static_cast<uint8_t>(channel);
  r.fileIndex = static_cast<int32_t>(grant.fileIndex);
  r.diskNo = static_cast<uint8_t>(grant.diskNo);
  r.kind = 1;
  r.typeBits = 2;
  r.state = 0x81;
  r.startMs = r.endMs = t0;
  r.operation = kOpRecordStart;
  if (set.WriteRecord(r) != 0) Fail("cannot enter the recording in the index");
  int32_t bytes = 0;
  const uint32_t pictures = static_cast<uint32_t>(seconds) * 25;
  for (uint32_t i = 0; i < pictures; ++i) {
    const int64_t pts = t0 + i * 40;
    QVFS_AdvanceClock(40);  // the writer flushes by the clock
    const bool key = i % 25 == 0;
    std::vector<std::vector<uint8_t>> out{Tagged(key ? 'I' : 'P', pts, i, Picture(key, i))};
    if (i % 5 == 4) out.push_back(Tagged('A', pts + 20, i, std::vector<uint8_t>(80, 0x5A)));
    for (const auto& f : out) {
      g->frames.push_back({fileAt + w.position(), static_cast<uint32_t>(f.size())});
      if (w.WriteFrame(f.data(), static_cast<uint32_t>(f.size())) <= 0) Fail("a frame not written");
      bytes += static_cast<int32_t>(f.size());
    }
    const bool last = i + 1 == pictures;
    if ((i + 1) % 35 == 0 || last) {
      r.operation = last && closed ? kOpRecordClose : 0;
      if (last && closed) r.state = 0x01;
      r.size = bytes;
      r.endMs = pts;
      if (set.UpdateRecordInfo(r) != 0) Fail("cannot update the index");
      bytes = 0;  // the segment keeps its start: its record grows with each update
    }
  }
  if (closed) {
    if (w.Close() != 0) Fail("cannot close a recording");
    return;
  }
  // The power goes now: what the writer holds reaches the disk, its close does not.
  QVFS_AdvanceClock(10000);
  if (w.FlushCache() != 0 || w.FlushIndex(true) != 0 || w.WriteHead() != 0)
    Fail("cannot flush an open recording");
  uint64_t at = fileAt + w.position();
  for (uint32_t i = 0; i < 25; ++i) {
    const auto f = Tagged(i == 0 ? 'I' : 'P', t0 - 86400000 + i * 40, i, Picture(i == 0, i));
    g->image.Write(at, f.data(), f.size());
    at += f.size();
  }
  g->image.Freeze();
  w.Close();
  g->image.Reset();
}

// ---- one run over the disk ----------------------------------------------------------------

void Mutate(const uint8_t* data, size_t size) {
  size_t at = 0;
  const uint64_t sectorBytes = uint64_t{g->sectors.size()} * kSector;
  for (size_t n = 0; n < kMaxMutations && at + 6 <= size; ++n) {
    const uint32_t where = le::Get32(data + at);
    const size_t length = std::min<size_t>(le::Get16(data + at + 4), size - at - 6);
    const uint8_t* bytes = data + at + 6;
    at += 6 + length;
    uint64_t pos = 0;
    switch (where >> 30) {
      case 0: {
        const uint64_t k = (where & 0x3FFFFFFF) % sectorBytes;
        pos = g->sectors[k / kSector] + k % kSector;
        break;
      }
      case 1: {
        const Place& f = g->frames[((where >> 16) & 0x3FFF) % g->frames.size()];
        pos = f.at + (where & 0xFFFF) % f.size;
        break;
      }
      case 2:
        pos = g->index.at + (where & 0x3FFFFFFF) % g->index.size;
        break;
      default: {
        const Place& h = g->heads[(where >> 29) & 1];
        pos = h.at + (where & 0x1FFFFFFF) % h.size;
        break;
      }
    }
    if (pos + length > kDiskBytes) continue;
    g->image.Write(pos, bytes, length);
  }
}

void RemoveBackups() {
  DIR* d = opendir(g->backupDir.c_str());
  if (!d) return;
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') unlink((g->backupDir + e->d_name).c_str());
  closedir(d);
}

struct RunResult {
  int records = 0;
  int channels = 0;  // channels with records
  int normal = 0, fast = 0, back = 0;  // frames played in each mode
  int mp4 = 1, bin = 1;  // the backups' results (1: not run)
};

// A reader that refills on the caller's thread and still times out waiting for a frame made no
// progress in hundreds of passes: a player would wait on it for ever.
void CheckProgress(int result) {
  if (result == ERR_READER_TIMEOUT) Fail("stall: the reader timed out waiting for a frame");
}

// Frames of the replay until `most` came or the play ends; a frame over the buffer is a fault.
int Play(CReplay1CHProc& replay, int most) {
  int got = 0;
  for (int tries = 0; tries < most * 2 && got < most; ++tries) {
    const int n = replay.ReadFrame(g->frame.data(), kFrameCap);
    if (n > static_cast<int>(kFrameCap)) Fail("a frame larger than the buffer");
    CheckProgress(n);
    if (n > 0) {
      ++got;
      continue;
    }
    // Between two files the reader is closed or ended for a moment: the session's step opens
    // the next one.
    if (n == ERR_READER_END || n == ERR_READER_NO_REGION) {
      replay.Step();
      continue;
    }
    if (n != PLAYBUF_ERR_BAD) break;
  }
  return got;
}

// Backs up the record's first kBackupMs (an investigator's clip of it): the backup's whole way
// runs, and the MP4 one's AAC encoding stays a small part of an input.
int Backup(const _rec_file_info_& record, int type) {
  _rec_file_info_ r = record;
  const int64_t start = r.startMs, end = r.endMs;
  int64_t span = 0;  // a damaged index can give times further apart than 64 bits hold
  if (!__builtin_sub_overflow(end, start, &span) && span > kBackupMs) r.endMs = start + kBackupMs;
  int result = QVFS_BackupSrcLstStart(&r, 1, type, g->backupDir.c_str());
  BackupEngine& engine = qvfs::Context::Current().backup();
  engine.Wait();
  if (result == 0) {
    const auto outputs = engine.Outputs();
    result = outputs.empty() ? ERR_BACKUP_OUTPUT : outputs.front().result;
  }
  CheckProgress(result);
  RemoveBackups();
  return result;
}

enum class Backups { kByInput, kBoth };

RunResult Run(Backups which, bool mp4, bool repairWrites) {
  RunResult out;
  qvfs::Context& ctx = qvfs::Context::Current();
  // Each input is a disk never seen before: nothing of the last one's index stays.
  ctx.diskWatch().CloseAll();
  if (repairWrites) MountUsbThreadBody(&ctx.diskWatch());
  else QVFS_ScanDisksForSearch(kChannels);

  static _rec_file_info_ list[256];
  const int n = QVFS_SearchPlayList(list, sizeof list, 0, 4000000000LL, (1 << kChannels) - 1, 0,
                                    0, 0, /*client*/ 1);
  if (n < 0) return out;
  out.records = n;
  bool seen[32] = {};
  for (int i = 0; i < n; ++i) {
    if (list[i].channel >= kChannels) Fail("a record of a channel not asked for");
    if (!seen[list[i].channel]) ++out.channels;
    seen[list[i].channel] = true;
  }
  if (n == 0) return out;

  const _rec_file_info_ first = list[0];
  std::vector<_rec_file_info_> items;
  int64_t from = first.startMs, to = first.endMs;
  for (int i = 0; i < n; ++i) {
    if (list[i].channel != first.channel) continue;
    items.push_back(list[i]);
    const int64_t start = list[i].startMs, end = list[i].endMs;  // packed: copied out
    from = std::min(from, start);
    to = std::max(to, end);
  }
  {
    CReplay1CHProc replay(/*client*/ 1, first.channel);
    if (replay.Init(items, from, to, 0) == 0) {
      out.normal = Play(replay, kNormalFrames);
      if (replay.SetPlayMode(kModeFast, 2) == 0) out.fast = Play(replay, 20);
      if (replay.SetPlayMode(kModeBack, 1) == 0) out.back = Play(replay, 20);
    }
  }
  if (which == Backups::kBoth || mp4) out.mp4 = Backup(first, kBackupMp4);
  if (which == Backups::kBoth || !mp4) out.bin = Backup(first, kBackupBin);
  return out;
}

void Setup() {
  g = new Harness;
  g->disk.image = &g->image;
  g->disk.blocks = kDiskBytes / kSector;
  g->drive = fuzz::InstallMemoryDrive(&g->disk, /*writable*/ true);
  QVFS_SetManualClock(1, kT0);
  g->backupDir = "/dev/shm/fuzz_pipeline." + std::to_string(getpid()) + "/";
  if (mkdir(g->backupDir.c_str(), 0700) != 0) Fail("cannot make the backup folder");
  std::atexit([] { rmdir(g->backupDir.c_str()); });

  const int files = QVFS_FormatToRecdisk(g->drive.c_str(), kFileMB, 0);
  if (files < 3) Fail("the memory disk did not format with three record files or more");
  StorageConfig config{};
  config.channelCount = kChannels;
  config.fifoUsers = 1;
  config.playBufferSize = 64 << 10;  // frames of at most a few KiB: small buffers, fewer fresh pages
  config.frameBufferSize = 64 << 10;
  QVFS_Init(config);  // scans the disk, and from now on repairs what a scan finds open
  {
    DiskIndexRef index = qvfs::Context::Current().diskWatch().IndexSet(0).Find(g->drive);
    if (!index) Fail("the formatted disk has no index");
    const auto disks = qvfs::Context::Current().diskWatch().Disks();
    g->index = {disks.at(0).indexLba * kSector, index->indexBytes};
    if (g->index.size == 0) Fail("an index of no bytes");
  }
  Record(0, 3, true);
  g->image.Freeze();
  Record(1, 2, false);  // freezes the image as the power cut left it

  // The places the mutations reach.
  std::vector<uint8_t> sector(kSector);
  for (uint64_t chunk : g->image.FrozenChunks())
    for (uint64_t s = chunk; s < chunk + fuzz::SparseImage::kChunk; s += kSector) {
      g->image.Read(s, sector.data(), kSector);
      if (std::any_of(sector.begin(), sector.end(), [](uint8_t b) { return b != 0; }))
        g->sectors.push_back(s);
    }

  // The undamaged disk must go the whole way, or the target tests nothing.
  fuzz::InstallSleepBudget("fuzz_pipeline");
  fuzz::NewInput();
  const RunResult r = Run(Backups::kBoth, true, true);
  g->image.Reset();
  if (r.channels != kChannels || r.normal < kNormalFrames || r.fast == 0 || r.back == 0 || r.mp4 != 0 ||
      r.bin != 0) {
    std::fprintf(stderr,
                 "fuzz_pipeline: the undamaged disk: %d records of %d channels, %d/%d/%d frames "
                 "played (normal/fast/back), backups %d and %d\n",
                 r.records, r.channels, r.normal, r.fast, r.back, r.mp4, r.bin);
    Fail("the undamaged disk does not go the whole way");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::NewInput();
  g->image.Reset();
  Mutate(data, size);
  Run(Backups::kByInput, size % 2 == 1, (size >> 1) % 2 == 1);
  // What this input's disk left behind (its index, the disk's writes) goes now rather than at
  // the next input's start: libFuzzer runs an input a second time, looking for leaks, whenever
  // its allocations outlive it, and that doubled the cost of most inputs.
  qvfs::Context::Current().diskWatch().CloseAll();
  g->image.Reset();
  return 0;
}
