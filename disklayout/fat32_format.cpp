#include "disklayout/fat32_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "device/disk_dev.h"
#include "disklayout/fat32_root.h"
#include "disklayout/layout_format.h"
#include "disklayout/le.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/platform_context.h"

using platform::ConsolePrintf;
namespace fat = layout::fat32;

namespace {
constexpr uint32_t kFatZeroChunk = 524288;  // FATs are zeroed 512 KiB at a time
constexpr uint32_t kRootHeadBytes = 4096;  // the least of a new volume's root that is written
constexpr uint32_t kFatBufferEntries = 262144;  // FAT entries gathered per write (1 MiB)

uint64_t CeilDiv(uint64_t a, uint64_t b) { return (a + b - 1) / b; }

// One try of the cluster-size search; false when the size does not fit.
bool TryClusterSize(uint64_t S, uint32_t s, uint32_t c, Fat32Plan* p) {
  if (S <= fat::kReservedSectors) return false;
  const uint64_t n = (uint64_t{s} * (S - fat::kReservedSectors) - 16) / (uint64_t{s} * c + 8);
  uint64_t f = (4 * n + s + 7) / s;
  if (S < 2 * f + 66) return false;
  uint64_t k = (S - fat::kReservedSectors - 2 * f) / c;
  if (k == 0 || k > std::min<uint64_t>(f * s / 4, fat::kMaxClusters)) return false;
  // The estimate can leave the FAT an entry or two short of clusters 2 .. k + 1: grow it by a
  // sector until it holds them all (the cluster size stays; one sector is always enough).
  while (k + 2 > f * s / 4) {
    if (S < 2 * (f + 1) + 66) return false;
    ++f;
    k = (S - fat::kReservedSectors - 2 * f) / c;
  }
  p->sectorsPerCluster = c;
  p->fatSectors = static_cast<uint32_t>(f);
  p->clusterCount = static_cast<uint32_t>(k);
  return true;
}

// A FAT date and time (local time).
struct FatStamp {
  uint16_t date = 0;
  uint16_t time = 0;
};

// Now, read once for all the entries a directory gets.
FatStamp FatNow() {
  struct tm t = platform::Clock::LocalTime(platform::TheClock().NowMs() / 1000);
  int year = std::max(1980, t.tm_year + 1900);
  FatStamp s;
  s.date = static_cast<uint16_t>((year - 1980) << 9 | (t.tm_mon + 1) << 5 | t.tm_mday);
  s.time = static_cast<uint16_t>(t.tm_hour << 11 | t.tm_min << 5 | t.tm_sec / 2);
  return s;
}

void PutName(uint8_t* e, const char name[11], uint8_t attr, const FatStamp& now) {
  std::memcpy(e, name, fat::kDirNameSize);
  e[fat::kDirAttrOffset] = attr;
  le::Put16(e + fat::kDirCreateTimeOffset, now.time);
  le::Put16(e + fat::kDirCreateDateOffset, now.date);
  le::Put16(e + fat::kDirAccessDateOffset, now.date);
  le::Put16(e + fat::kDirWriteTimeOffset, now.time);
  le::Put16(e + fat::kDirWriteDateOffset, now.date);
}

void PutFile(uint8_t* e, const char name[11], uint32_t cluster, uint32_t size,
             const FatStamp& now) {
  PutName(e, name, fat::kAttrArchive, now);
  e[fat::kDirNtCaseOffset] = fat::kNtCaseLower;
  le::Put16(e + fat::kDirClusterHighOffset, static_cast<uint16_t>(cluster >> 16));
  le::Put16(e + fat::kDirClusterLowOffset, static_cast<uint16_t>(cluster));
  le::Put32(e + fat::kDirSizeOffset, size);
}

// The 11-byte label, padded with spaces.
void PaddedLabel(const std::string& label, char out[11]) {
  std::memset(out, ' ', 11);
  std::memcpy(out, label.data(), std::min<size_t>(label.size(), 11));
}

std::vector<uint8_t> BootSector(uint32_t ss, uint64_t S, const Fat32Plan& g,
                                const std::string& label) {
  std::vector<uint8_t> b(ss, 0);
  const uint8_t jump[3] = {0xEB, 0x58, 0x90};
  std::memcpy(b.data(), jump, 3);
  std::memcpy(b.data() + 3, "MSDOS5.0", 8);
  le::Put16(&b[fat::kBytesPerSectorOffset], static_cast<uint16_t>(ss));
  b[fat::kSectorsPerClusterOffset] = static_cast<uint8_t>(g.sectorsPerCluster);
  le::Put16(&b[fat::kReservedSectorsOffset], fat::kReservedSectors);
  b[fat::kFatCountOffset] = 2;
  if (S < 65536) le::Put16(&b[fat::kTotalSectors16Offset], static_cast<uint16_t>(S));
  b[fat::kMediaOffset] = 0xF8;
  le::Put16(&b[fat::kSectorsPerTrackOffset], 63);
  le::Put16(&b[fat::kHeadsOffset], 255);
  if (S >= 65536) le::Put32(&b[fat::kTotalSectors32Offset], static_cast<uint32_t>(S));
  le::Put32(&b[fat::kSectorsPerFatOffset], g.fatSectors);
  le::Put32(&b[fat::kRootClusterOffset], 2);
  le::Put16(&b[fat::kFsInfoSectorOffset], 1);
  le::Put16(&b[fat::kBackupBootOffset], fat::kBackupBootSector);
  std::memcpy(&b[fat::kStfsMarkOffset], layout::stfs::kMagic, 8);
  // With the extended signature the volume ID and label count; other systems ignore them (and
  // fsck.fat complains about the label) without it.
  b[fat::kBootSignatureOffset] = fat::kExtendedBootSignature;
  le::Put32(&b[fat::kVolumeIdOffset],
            static_cast<uint32_t>(platform::TheClock().NowMs() / 1000));
  char padded[11];
  PaddedLabel(label, padded);
  std::memcpy(&b[fat::kVolumeLabelOffset], padded, 11);
  std::memcpy(&b[fat::kFsTypeOffset], "FAT32   ", 8);
  le::Put16(&b[fat::kSignatureOffset], 0xAA55);
  return b;
}

std::vector<uint8_t> FsInfoSector(uint32_t ss, uint32_t freeClusters, uint32_t nextFree) {
  std::vector<uint8_t> s(ss, 0);
  std::memcpy(&s[fat::kFsInfoLeadOffset], "RRaA", 4);
  std::memcpy(&s[fat::kFsInfoStructOffset], "rrAa", 4);
  le::Put32(&s[fat::kFsInfoFreeOffset], freeClusters);
  le::Put32(&s[fat::kFsInfoNextOffset], nextFree);
  le::Put16(&s[fat::kSignatureOffset], 0xAA55);
  return s;
}

uint64_t FatLba(uint64_t P, const Fat32Plan& g, int n) {
  return P + fat::kReservedSectors + static_cast<uint64_t>(n) * g.fatSectors;
}
uint64_t DataLba(uint64_t P, const Fat32Plan& g) { return FatLba(P, g, 2); }

// The reserved sectors of a volume: the boot sector, FSInfo and the backup boot sector written
// in one piece, the sectors after them zeroed.
int WriteReservedSectors(CDisk_Dev* dev, uint64_t P, uint32_t ss,
                         const std::vector<uint8_t>& boot, const std::vector<uint8_t>& info) {
  constexpr uint32_t kHeadSectors = fat::kBackupBootSector + 1;
  std::vector<uint8_t> head(uint64_t{kHeadSectors} * ss, 0);
  std::memcpy(head.data(), boot.data(), ss);
  std::memcpy(head.data() + ss, info.data(), ss);
  std::memcpy(head.data() + uint64_t{fat::kBackupBootSector} * ss, boot.data(), ss);
  int r = dev->Write(P, head.data(), head.size(), true);
  if (r == 0) r = dev->WriteZeros(P + kHeadSectors, fat::kReservedSectors - kHeadSectors, true);
  return r;
}

// Zeroes FAT n from its sector `from` to its end (the sectors before are the caller's).
int ZeroFatFrom(CDisk_Dev* dev, uint64_t P, const Fat32Plan& g, int n, uint64_t from) {
  if (from >= g.fatSectors) return 0;
  return dev->WriteZeros(FatLba(P, g, n) + from, g.fatSectors - from, true, kFatZeroChunk);
}

// `used` bytes of directory entries at lba, then zeros up to `bytes` (both whole sectors).
int WriteDirectory(CDisk_Dev* dev, uint64_t lba, uint32_t ss, const uint8_t* entries,
                   uint64_t used, uint64_t bytes) {
  int r = dev->Write(lba, entries, used, true);
  if (r == 0 && bytes > used) r = dev->WriteZeros(lba + used / ss, (bytes - used) / ss, true);
  return r;
}

uint64_t RoundUp(uint64_t n, uint64_t unit) { return CeilDiv(n, unit) * unit; }
}  // namespace

int ChooseFat32Geometry(uint64_t S, uint32_t s, Fat32Plan* out) {
  if (s == 0) s = 512;
  if (S > UINT32_MAX) return kErrNoFatGeometry;  // FAT32 counts sectors in 32 bits
  uint32_t c;
  if (s != 512) c = 8;
  else if (S <= (1ull << 25)) c = 16;
  else if (S <= (1ull << 26)) c = 64;
  else c = 128;
  Fat32Plan p;
  while (!TryClusterSize(S, s, c, &p)) {
    c *= 2;
    if (c > 128) return kErrNoFatGeometry;
  }
  // Below 65525 clusters other systems take the volume for FAT16: smaller clusters give more.
  while (p.clusterCount < fat::kMinClusters) {
    if (c == 1) return kErrNoFatGeometry;
    c /= 2;
    if (!TryClusterSize(S, s, c, &p)) return kErrNoFatGeometry;
  }
  *out = p;
  return 0;
}

int FormatFat32Volume(CDisk_Dev* dev, uint64_t P, uint64_t S, const std::string& label,
                      Fat32Plan* geometry, const FormatProgress& progress) {
  const uint32_t ss = dev->get_sec_size();
  // FAT32 counts sectors in 32 bits: a larger partition gets a volume of the most it can hold.
  S = std::min<uint64_t>(S, UINT32_MAX);
  Fat32Plan g;
  int r = ChooseFat32Geometry(S, ss, &g);
  if (r != 0) return r;
  *geometry = g;

  const std::vector<uint8_t> boot = BootSector(ss, S, g, label);
  const std::vector<uint8_t> info = FsInfoSector(ss, g.clusterCount - 1, 2);
  if ((r = WriteReservedSectors(dev, P, ss, boot, info)) != 0) return r;

  // Each FAT: entries 0..2 (the last one the root directory's one cluster) in its first sector,
  // zeros after it.
  std::vector<uint8_t> head(ss, 0);
  le::Put32(&head[0], fat::kFatMedia);
  le::Put32(&head[4], 0xFFFFFFFF);
  le::Put32(&head[8], fat::kFatEndOfChain);
  for (int n = 0; n < 2; ++n) {
    if ((r = dev->Write(FatLba(P, g, n), head.data(), ss, true)) != 0) return r;
    if ((r = ZeroFatFrom(dev, P, g, n, 1)) != 0) return r;
    if (progress) progress(n + 1, 2);
  }
  // The whole first root cluster (at least 4 KiB) is written, so no old bytes of a reused disk
  // look like directory entries.
  const uint64_t rootBytes =
      std::max<uint64_t>(kRootHeadBytes, uint64_t{g.sectorsPerCluster} * ss);
  std::vector<uint8_t> label0(ss, 0);
  char padded[11];
  PaddedLabel(label, padded);
  PutName(label0.data(), padded, fat::kAttrVolumeLabel, FatNow());
  return WriteDirectory(dev, DataLba(P, g), ss, label0.data(), ss, rootBytes);
}

uint32_t RecordFileCountFor(uint64_t S, uint32_t s, const Fat32Plan& g, uint32_t fileBytes) {
  const uint64_t b = CeilDiv(fileBytes, s);
  if (b == 0) return 0;
  const uint64_t reserve = 2 * (g.sectorsPerCluster + ((S / b + 256) * 4096) / s) +
                           2 * uint64_t{g.fatSectors} + fat::kReservedSectors + (2u << 20) / s;
  if (S <= reserve) return 0;
  return static_cast<uint32_t>(std::min<uint64_t>((S - reserve) / b, UINT32_MAX));
}

namespace {
// n entries first, first + 1, ... from out on.
void PutRun(uint8_t* out, uint32_t first, uint64_t n) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  // Entries as the host stores them are the disk's: whole words, which the compiler vectorizes.
  for (uint64_t i = 0; i < n; ++i) {
    const uint32_t v = first + static_cast<uint32_t>(i);
    std::memcpy(out + i * 4, &v, 4);
  }
#else
  for (uint64_t i = 0; i < n; ++i) le::Put32(out + i * 4, first + static_cast<uint32_t>(i));
#endif
}

// The FAT of the record partition: the root directory chain from cluster 2, then one chain per
// record file, then the index file's chain.
class RecordFat {
 public:
  RecordFat(uint32_t rootClusters, uint32_t count, uint32_t perFile, uint32_t indexClusters)
      : rootEnd_(2 + rootClusters),
        filesEnd_(rootEnd_ + uint64_t{count} * perFile),
        end_(filesEnd_ + indexClusters),
        perFile_(perFile) {}
  uint64_t end() const { return end_; }  // first cluster after the index file

  // Entries k0 .. k0 + n - 1, 4 bytes each, into out: every cluster of a chain points at the
  // next one, the last cluster of each chain ends it, and the clusters after the index are free.
  void Fill(uint64_t k0, uint64_t n, uint8_t* out) const {
    const uint64_t k1 = k0 + n;
    const uint64_t chained = std::min(std::max(k0, end_), k1);
    PutRun(out, static_cast<uint32_t>(k0 + 1), chained - k0);
    std::memset(out + (chained - k0) * 4, 0, (k1 - chained) * 4);
    auto put = [&](uint64_t k, uint32_t v) {
      if (k >= k0 && k < k1) le::Put32(out + (k - k0) * 4, v);
    };
    put(0, fat::kFatMedia);
    put(1, 0xFFFFFFFF);
    put(rootEnd_ - 1, fat::kFatEndOfChain);
    put(end_ - 1, fat::kFatEndOfChain);
    if (perFile_ == 0) return;
    // The last cluster of each record file: rootEnd_ - 1 + j * perFile_ for j = 1 .. count.
    uint64_t k = rootEnd_ - 1 + perFile_;
    if (k < k0) k += CeilDiv(k0 - k, perFile_) * perFile_;
    for (; k < std::min(k1, filesEnd_); k += perFile_)
      le::Put32(out + (k - k0) * 4, fat::kFatEndOfChain);
  }

 private:
  uint64_t rootEnd_, filesEnd_, end_;
  uint32_t perFile_;
};

// "nnnnn   ASF": the record file's 8.3 name.
void FileName(uint32_t n, char out[11]) {
  if (n >= 100000) {  // wider than five digits (never, with at most 32766 files)
    char buf[24];
    snprintf(buf, sizeof buf, "%05u   %s", n, "ASF");
    std::memcpy(out, buf, 11);
    return;
  }
  for (int i = 4; i >= 0; --i, n /= 10) out[i] = static_cast<char>('0' + n % 10);
  std::memcpy(out + 5, "   ASF", 6);
}

// What the record partition holds, worked out before anything is written.
struct RecordPlan {
  uint32_t count = 0;
  uint32_t rootClusters = 0;
  uint32_t perFile = 0;
  uint64_t indexBytes = 0;
  uint32_t indexClusters = 0;
};

// 0, or -101 / -4011 when the files do not fit the volume or its root directory.
int PlanRecordFiles(uint64_t S, uint32_t ss, const Fat32Plan& g, uint32_t B, RecordPlan* p) {
  const uint64_t clusterBytes = uint64_t{g.sectorsPerCluster} * ss;
  p->count = RecordFileCountFor(S, ss, g, B);
  if (p->count == 0 || B % clusterBytes != 0) return kErrNoFatGeometry;
  // The 1 MiB root directory holds 32768 entries: the label, the record files and the index.
  if (uint64_t{p->count} + 2 > fat::kRootDirBytes / fat::kDirEntrySize) return kErrTooManyFiles;
  p->rootClusters = static_cast<uint32_t>(CeilDiv(fat::kRootDirBytes, clusterBytes));
  p->perFile = static_cast<uint32_t>(B / clusterBytes);
  p->indexBytes = (uint64_t{p->count} + 64) * 4096;
  p->indexClusters = static_cast<uint32_t>(CeilDiv(p->indexBytes, clusterBytes));
  RecordFat table(p->rootClusters, p->count, p->perFile, p->indexClusters);
  if (table.end() - 2 > g.clusterCount) return kErrNoFatGeometry;
  return 0;
}
}  // namespace

int FormatRecordPartition(CDisk_Dev* dev, uint64_t P, uint64_t S, uint32_t B,
                          RecordFilesPlaced* placed, const FormatProgress& progress) {
  const uint32_t ss = dev->get_sec_size();
  S = std::min<uint64_t>(S, UINT32_MAX);
  Fat32Plan g;
  int r = ChooseFat32Geometry(S, ss, &g);
  if (r != 0) {
    ConsolePrintf("Format FAT32 partition fail.\n");
    return r;
  }
  RecordPlan plan;
  const int refused = PlanRecordFiles(S, ss, g, B, &plan);
  if (refused != 0) {
    // The files do not fit: the partition is left an empty volume "Record".
    if ((r = FormatFat32Volume(dev, P, S, "Record", &g)) != 0) {
      ConsolePrintf("Format FAT32 partition fail.\n");
      return r;
    }
    ConsolePrintf("AssignFileProc is fail. ret %d. \n", refused);
    return refused;
  }
  const uint32_t count = plan.count;
  const RecordFat table(plan.rootClusters, count, plan.perFile, plan.indexClusters);
  const uint64_t entriesPerSector = ss / 4;
  const uint64_t usedEntries = CeilDiv(table.end(), entriesPerSector) * entriesPerSector;

  // The volume: the reserved sectors with the FSInfo of the allocated volume, and the FATs past
  // the allocated entries zeroed (the entries themselves follow below).
  const std::vector<uint8_t> boot = BootSector(ss, S, g, "Record");
  layout::Fat32Geometry geo;
  if (layout::ParseFat32Boot(boot.data(), boot.size(), P, &geo) != 0) return kErrNoFatGeometry;
  // FSInfo tells other systems how much is left; it counts the clusters allocated here.
  const uint32_t used = static_cast<uint32_t>(table.end() - 2);
  const std::vector<uint8_t> info =
      FsInfoSector(ss, g.clusterCount - used, static_cast<uint32_t>(table.end()));
  r = WriteReservedSectors(dev, P, ss, boot, info);
  for (int f = 0; f < 2 && r == 0; ++f)
    r = ZeroFatFrom(dev, P, g, f, usedEntries / entriesPerSector);
  if (r != 0) {
    ConsolePrintf("Format FAT32 partition fail.\n");
    return r;
  }

  // The root directory: label, one entry per record file, the index file; zeros to its end.
  const FatStamp now = FatNow();
  std::vector<uint8_t> dir(RoundUp((uint64_t{count} + 2) * fat::kDirEntrySize, ss), 0);
  char name[11];
  PaddedLabel("Record", name);
  PutName(dir.data(), name, fat::kAttrVolumeLabel, now);
  const uint32_t firstFileCluster = 2 + plan.rootClusters;
  for (uint32_t n = 0; n < count; ++n) {
    FileName(n, name);
    PutFile(dir.data() + (n + 1) * fat::kDirEntrySize, name, firstFileCluster + n * plan.perFile,
            B, now);
  }
  const uint32_t indexCluster = firstFileCluster + count * plan.perFile;
  std::memcpy(name, "RECINDEXBIN", 11);
  PutFile(dir.data() + (count + 1) * fat::kDirEntrySize, name, indexCluster,
          static_cast<uint32_t>(plan.indexBytes), now);
  const uint64_t dataLba = geo.dataStartLba;
  if ((r = WriteDirectory(dev, dataLba, ss, dir.data(), dir.size(), fat::kRootDirBytes)) != 0) {
    ConsolePrintf("AssignFileProc is fail. ret %d. \n", r);
    return r;
  }

  // Both FATs' allocated entries, 1 MiB at a time, each piece written to both.
  std::vector<uint8_t> buf(kFatBufferEntries * 4);
  for (uint64_t k0 = 0; k0 < usedEntries; k0 += kFatBufferEntries) {
    const uint64_t n = std::min<uint64_t>(kFatBufferEntries, usedEntries - k0);
    table.Fill(k0, n, buf.data());
    const uint64_t sector = k0 / entriesPerSector;
    for (int f = 0; f < 2 && r == 0; ++f)
      r = dev->Write(FatLba(P, g, f) + sector, buf.data(), n * 4, true);
    if (r != 0) {
      ConsolePrintf("AssignFileProc is fail. ret %d. \n", r);
      return r;
    }
    if (progress) progress(k0 + n, usedEntries);
  }

  placed->firstRecordLba = geo.ClusterLba(firstFileCluster);
  placed->recordFileSectors = static_cast<uint32_t>(CeilDiv(B, ss));
  placed->indexLba = dataLba + static_cast<uint64_t>(indexCluster - 2) * g.sectorsPerCluster;
  placed->recordFileCount = count;
  ConsolePrintf("FormatFat32 OK .\n");
  return 0;
}
