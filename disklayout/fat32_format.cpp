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
constexpr uint32_t kFatHeadBytes = 4096;    // the first FAT bytes written with entries 0..2
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

// FAT date and time of now (local time).
void FatNow(uint16_t* date, uint16_t* time) {
  struct tm t = platform::Clock::LocalTime(platform::TheClock().NowMs() / 1000);
  int year = std::max(1980, t.tm_year + 1900);
  *date = static_cast<uint16_t>((year - 1980) << 9 | (t.tm_mon + 1) << 5 | t.tm_mday);
  *time = static_cast<uint16_t>(t.tm_hour << 11 | t.tm_min << 5 | t.tm_sec / 2);
}

void PutName(uint8_t* e, const char name[11], uint8_t attr) {
  std::memcpy(e, name, fat::kDirNameSize);
  e[fat::kDirAttrOffset] = attr;
  uint16_t date, time;
  FatNow(&date, &time);
  le::Put16(e + fat::kDirCreateTimeOffset, time);
  le::Put16(e + fat::kDirCreateDateOffset, date);
  le::Put16(e + fat::kDirAccessDateOffset, date);
  le::Put16(e + fat::kDirWriteTimeOffset, time);
  le::Put16(e + fat::kDirWriteDateOffset, date);
}

void PutFile(uint8_t* e, const char name[11], uint32_t cluster, uint32_t size) {
  PutName(e, name, fat::kAttrArchive);
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

  if ((r = dev->WriteZeros(P, fat::kReservedSectors, true)) != 0) return r;
  const std::vector<uint8_t> boot = BootSector(ss, S, g, label);
  if ((r = dev->Write(P, boot.data(), ss, true)) != 0) return r;
  const std::vector<uint8_t> info = FsInfoSector(ss, g.clusterCount - 1, 2);
  if ((r = dev->Write(P + 1, info.data(), ss, true)) != 0) return r;
  if ((r = dev->Write(P + fat::kBackupBootSector, boot.data(), ss, true)) != 0) return r;

  std::vector<uint8_t> head(std::max(kFatHeadBytes, ss), 0);
  le::Put32(&head[0], fat::kFatMedia);
  le::Put32(&head[4], 0xFFFFFFFF);
  le::Put32(&head[8], fat::kFatEndOfChain);  // the root directory's one cluster
  for (int n = 0; n < 2; ++n) {
    if ((r = dev->WriteZeros(FatLba(P, g, n), g.fatSectors, true, kFatZeroChunk)) != 0) return r;
    const uint64_t headBytes = std::min<uint64_t>(head.size(), uint64_t{g.fatSectors} * ss);
    if ((r = dev->Write(FatLba(P, g, n), head.data(), headBytes, true)) != 0) return r;
    if (progress) progress(n + 1, 2);
  }
  // The whole first root cluster is written, so no old bytes of a reused disk look like
  // directory entries.
  std::vector<uint8_t> root(std::max<uint64_t>(kFatHeadBytes, uint64_t{g.sectorsPerCluster} * ss),
                            0);
  char padded[11];
  PaddedLabel(label, padded);
  PutName(root.data(), padded, fat::kAttrVolumeLabel);
  return dev->Write(DataLba(P, g), root.data(), root.size(), true);
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
  uint32_t Entry(uint64_t k) const {
    if (k == 0) return fat::kFatMedia;
    if (k == 1) return 0xFFFFFFFF;
    if (k >= end_) return 0;
    bool last = k + 1 == rootEnd_ || k + 1 == end_ ||
                (k >= rootEnd_ && k < filesEnd_ && (k - rootEnd_ + 1) % perFile_ == 0);
    return last ? fat::kFatEndOfChain : static_cast<uint32_t>(k + 1);
  }

 private:
  uint64_t rootEnd_, filesEnd_, end_;
  uint32_t perFile_;
};

void FileName(uint32_t n, char out[11]) {
  char buf[16];
  snprintf(buf, sizeof buf, "%05u   %s", n, "ASF");
  std::memcpy(out, buf, 11);
}
}  // namespace

int FormatRecordPartition(CDisk_Dev* dev, uint64_t P, uint64_t S, uint32_t B,
                          RecordFilesPlaced* placed, const FormatProgress& progress) {
  const uint32_t ss = dev->get_sec_size();
  Fat32Plan g;
  int r = FormatFat32Volume(dev, P, S, "Record", &g);
  if (r != 0) {
    ConsolePrintf("Format FAT32 partition fail.\n");
    return r;
  }
  S = std::min<uint64_t>(S, UINT32_MAX);
  std::vector<uint8_t> boot(std::max(kFatHeadBytes, ss), 0);
  if ((r = dev->Read(P, boot.data(), boot.size(), true)) != 0) return r;
  layout::Fat32Geometry geo;
  if (layout::ParseFat32Boot(boot.data(), boot.size(), P, &geo) != 0) return kErrNoFatGeometry;

  const uint64_t clusterBytes = uint64_t{g.sectorsPerCluster} * ss;
  const uint32_t count = RecordFileCountFor(S, ss, g, B);
  if (count == 0 || B % clusterBytes != 0) {
    ConsolePrintf("AssignFileProc is fail. ret %d. \n", kErrNoFatGeometry);
    return kErrNoFatGeometry;
  }
  // The 1 MiB root directory holds 32768 entries: the label, the record files and the index.
  if (uint64_t{count} + 2 > fat::kRootDirBytes / fat::kDirEntrySize) {
    ConsolePrintf("AssignFileProc is fail. ret %d. \n", kErrTooManyFiles);
    return kErrTooManyFiles;
  }
  const uint32_t rootClusters = static_cast<uint32_t>(CeilDiv(fat::kRootDirBytes, clusterBytes));
  const uint32_t perFile = static_cast<uint32_t>(B / clusterBytes);
  const uint64_t indexBytes = (uint64_t{count} + 64) * 4096;
  const uint32_t indexClusters = static_cast<uint32_t>(CeilDiv(indexBytes, clusterBytes));
  RecordFat table(rootClusters, count, perFile, indexClusters);
  if (table.end() - 2 > g.clusterCount) {
    ConsolePrintf("AssignFileProc is fail. ret %d. \n", kErrNoFatGeometry);
    return kErrNoFatGeometry;
  }

  // The root directory: label, one entry per record file, the index file.
  std::vector<uint8_t> dir(fat::kRootDirBytes, 0);
  char name[11];
  PaddedLabel("Record", name);
  PutName(dir.data(), name, fat::kAttrVolumeLabel);
  const uint32_t firstFileCluster = 2 + rootClusters;
  for (uint32_t n = 0; n < count; ++n) {
    FileName(n, name);
    PutFile(dir.data() + (n + 1) * fat::kDirEntrySize, name, firstFileCluster + n * perFile, B);
  }
  const uint32_t indexCluster = firstFileCluster + count * perFile;
  std::memcpy(name, "RECINDEXBIN", 11);
  PutFile(dir.data() + (count + 1) * fat::kDirEntrySize, name, indexCluster,
          static_cast<uint32_t>(indexBytes));
  const uint64_t dataLba = geo.dataStartLba;
  if ((r = dev->Write(dataLba, dir.data(), dir.size(), true)) != 0) {
    ConsolePrintf("AssignFileProc is fail. ret %d. \n", r);
    return r;
  }

  // Both FATs, 1 MiB of entries at a time (the rest of each FAT was zeroed with the volume).
  std::vector<uint8_t> buf(kFatBufferEntries * 4);
  const uint64_t entriesPerSector = ss / 4;
  const uint64_t usedEntries = CeilDiv(table.end(), entriesPerSector) * entriesPerSector;
  for (uint64_t k0 = 0; k0 < usedEntries; k0 += kFatBufferEntries) {
    const uint64_t n = std::min<uint64_t>(kFatBufferEntries, usedEntries - k0);
    for (uint64_t k = 0; k < n; ++k) le::Put32(&buf[k * 4], table.Entry(k0 + k));
    const uint64_t sector = k0 / entriesPerSector;
    for (int f = 0; f < 2 && r == 0; ++f) r = dev->Write(FatLba(P, g, f) + sector, buf.data(), n * 4, true);
    if (r != 0) {
      ConsolePrintf("AssignFileProc is fail. ret %d. \n", r);
      return r;
    }
    if (progress) progress(k0 + n, usedEntries);
  }
  // FSInfo tells other systems how much is left; it must count the clusters just allocated.
  const uint32_t used = static_cast<uint32_t>(table.end() - 2);
  const std::vector<uint8_t> info =
      FsInfoSector(ss, g.clusterCount - used, static_cast<uint32_t>(table.end()));
  if ((r = dev->Write(P + 1, info.data(), ss, true)) != 0) return r;

  placed->firstRecordLba = geo.ClusterLba(firstFileCluster);
  placed->recordFileSectors = static_cast<uint32_t>(CeilDiv(B, ss));
  placed->indexLba = dataLba + static_cast<uint64_t>(indexCluster - 2) * g.sectorsPerCluster;
  placed->recordFileCount = count;
  ConsolePrintf("FormatFat32 OK .\n");
  return 0;
}
