// Writes the seed inputs of the fuzz targets: small disks laid out as a recorder formats them
// (MBR or GPT, the STFS tables at LBA 64 and 88, a commonData partition, and a FAT32 record
// partition whose root lists the record files), plus the pieces of such a disk for the buffer
// parsers. The fuzzer starts from these instead of having to find the signatures by itself.
//
// Usage: make_seeds OUTDIR  (writes a folder of seeds per target under OUTDIR)
#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "disklayout/layout_format.h"
#include "disklayout/le.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Where the pieces of a seed disk lie, in sectors of its own size.
struct DiskPlan {
  uint32_t sectorSize;
  bool gpt;
  uint32_t commonLba;      // commonData partition
  uint32_t commonSectors;
  uint32_t recordLba;      // record partition
  uint32_t recordSectors;
  uint8_t sectorsPerCluster;
  uint16_t reserved;
  uint32_t sectorsPerFat;
  uint32_t recordFileBytes;
  int recordFiles;
};

void PutMbrEntry(uint8_t* sector0, int i, uint8_t type, uint32_t start, uint32_t count) {
  uint8_t* e = sector0 + layout::mbr::kEntriesOffset + i * layout::mbr::kEntrySize;
  e[layout::mbr::kTypeOffset] = type;
  le::Put32(e + layout::mbr::kStartLbaOffset, start);
  le::Put32(e + layout::mbr::kSectorCountOffset, count);
}

void PutGptEntry(uint8_t* e, uint8_t kind, uint64_t first, uint64_t last) {
  // Microsoft basic data type GUID; the unique GUID only has to differ between entries.
  static const uint8_t kBasicData[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                         0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
  std::memcpy(e, kBasicData, sizeof kBasicData);
  std::memset(e + 16, 0x40 + kind, 16);
  le::Put64(e + layout::gpt::kFirstLbaOffset, first);
  le::Put64(e + layout::gpt::kLastLbaOffset, last);
}

void PutFat32Boot(uint8_t* s, const DiskPlan& p, uint32_t partitionLba, uint32_t sectors) {
  using namespace layout::fat32;
  s[0] = 0xEB;
  s[1] = 0x58;
  s[2] = 0x90;
  std::memcpy(s + 3, "MSWIN4.1", 8);
  le::Put16(s + 11, static_cast<uint16_t>(p.sectorSize));
  s[kSectorsPerClusterOffset] = p.sectorsPerCluster;
  le::Put16(s + kReservedSectorsOffset, p.reserved);
  s[kFatCountOffset] = 2;
  s[21] = 0xF8;  // media
  le::Put32(s + 28, partitionLba);  // hidden sectors
  le::Put32(s + 32, sectors);
  le::Put32(s + kSectorsPerFatOffset, p.sectorsPerFat);
  le::Put32(s + kRootClusterOffset, 2);
  std::memcpy(s + kStfsMarkOffset, layout::stfs::kMagic, sizeof layout::stfs::kMagic);
  le::Put16(s + kSignatureOffset, layout::mbr::kSignature);
}

void PutDirEntry(uint8_t* e, const char* name11, uint8_t attr, uint32_t cluster, uint32_t size) {
  using namespace layout::fat32;
  std::memcpy(e, name11, kDirNameSize);
  e[kDirAttrOffset] = attr;
  le::Put16(e + kDirClusterHighOffset, static_cast<uint16_t>(cluster >> 16));
  le::Put16(e + kDirClusterLowOffset, static_cast<uint16_t>(cluster));
  le::Put32(e + kDirSizeOffset, size);
}

void PutStfsTable(uint8_t* s, uint64_t firstRecordLba, uint32_t fileBytes, uint32_t count,
                  uint64_t indexLba) {
  using namespace layout::stfs;
  std::memcpy(s + kMagicOffset, kMagic, sizeof kMagic);
  std::memcpy(s + kVersionOffset, kVersion, sizeof kVersion);
  le::Put64(s + kFirstRecordLbaOffset, firstRecordLba);
  le::Put32(s + kRecordFileBytesOffset, fileBytes);
  le::Put32(s + kRecordFileCountOffset, count);
  le::Put64(s + kIndexLbaOffset, indexLba);
  le::Put32(s + kIndexBytesOffset, count * 4096);
  le::Put32(s + kTwoOffset, 2);
}

// A whole disk, cut after the record partition's root directory (the rest reads as zeros).
Bytes BuildDisk(const DiskPlan& p) {
  const uint64_t ss = p.sectorSize;
  const uint32_t dataLba = p.recordLba + p.reserved + 2 * p.sectorsPerFat;  // cluster 2: root
  Bytes d((dataLba + 1) * ss + layout::fat32::kRootBytesRead, 0);

  if (p.gpt) {
    PutMbrEntry(d.data(), 0, layout::mbr::kTypeGptProtective, 1, 0xFFFFFFFFu);
    uint8_t* h = d.data() + ss;
    std::memcpy(h, layout::gpt::kSignature, sizeof layout::gpt::kSignature);
    le::Put32(h + 8, 0x00010000);  // revision 1.0
    le::Put32(h + 12, 92);         // header size
    le::Put64(h + 24, 1);          // this header's LBA
    le::Put64(h + 40, 34);         // first usable LBA
    le::Put64(h + 72, 2);          // entries' LBA
    le::Put32(h + 80, layout::gpt::kMaxEntries);
    le::Put32(h + 84, layout::gpt::kEntrySize);
    uint8_t* entries = d.data() + 2 * ss;
    PutGptEntry(entries, 1, p.commonLba, p.commonLba + p.commonSectors - 1);
    PutGptEntry(entries + layout::gpt::kEntrySize, 2, p.recordLba,
                uint64_t{p.recordLba} + p.recordSectors - 1);
  } else {
    PutMbrEntry(d.data(), 0, 0x0C, p.commonLba, p.commonSectors);
    PutMbrEntry(d.data(), 1, 0x0C, p.recordLba, p.recordSectors);
  }
  le::Put16(d.data() + layout::mbr::kSignatureOffset, layout::mbr::kSignature);

  // Both STFS table copies.
  const uint32_t fileSectors = p.recordFileBytes / p.sectorSize;
  const uint32_t firstRecordCluster = 3;
  const uint64_t firstRecordLba = dataLba + uint64_t{firstRecordCluster - 2} * p.sectorsPerCluster;
  for (uint64_t lba : {layout::stfs::kTableLba, layout::stfs::kTableCopyLba})
    PutStfsTable(d.data() + lba * ss, firstRecordLba, p.recordFileBytes,
                 static_cast<uint32_t>(p.recordFiles), p.commonLba);

  PutFat32Boot(d.data() + uint64_t{p.commonLba} * ss, p, p.commonLba, p.commonSectors);
  PutFat32Boot(d.data() + uint64_t{p.recordLba} * ss, p, p.recordLba, p.recordSectors);

  // The root directory: a volume label, record file 0 ("00000", no extension), record files
  // "00001.ASF" ... one after another, and the index file.
  uint8_t* dir = d.data() + uint64_t{dataLba} * ss;
  const uint32_t fileClusters = fileSectors / p.sectorsPerCluster;
  PutDirEntry(dir, "RECORDDISK ", 0x08, 0, 0);
  PutDirEntry(dir + 32, "00000      ", layout::fat32::kAttrArchive, firstRecordCluster,
              p.recordFileBytes);
  int slot = 2;
  for (int i = 1; i < p.recordFiles; ++i, ++slot) {
    char name[12];
    std::snprintf(name, sizeof name, "%05d   ASF", i);
    PutDirEntry(dir + 32 * slot, name, layout::fat32::kAttrArchive,
                firstRecordCluster + static_cast<uint32_t>(i) * fileClusters, p.recordFileBytes);
  }
  PutDirEntry(dir + 32 * slot, "INDEX   DAT", layout::fat32::kAttrArchive,
              firstRecordCluster + static_cast<uint32_t>(p.recordFiles) * fileClusters,
              static_cast<uint32_t>(p.recordFiles) * 4096);
  return d;
}

bool WriteFile(const std::string& path, const Bytes& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    std::fprintf(stderr, "make_seeds: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    return false;
  }
  bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  ok = std::fclose(f) == 0 && ok;
  if (!ok) std::fprintf(stderr, "make_seeds: short write to %s\n", path.c_str());
  return ok;
}

// A disk_table seed: the geometry byte, then the disk.
Bytes WithGeometry(uint8_t geometry, const Bytes& disk) {
  Bytes b;
  b.reserve(disk.size() + 1);
  b.push_back(geometry);
  b.insert(b.end(), disk.begin(), disk.end());
  return b;
}

// An index_open seed: the mode byte, then a record index of `count` files with a closed, an
// open (three segments), a locked and an unusable recording, written at the documented offsets.
Bytes IndexSeed(uint8_t mode, uint32_t count) {
  Bytes b((count + 8) * 4096, 0);
  auto put32 = [&](size_t o, uint32_t v) { le::Put32(&b[o], v); };
  std::memcpy(&b[0], "STFS IDX0010", 12);
  const uint32_t header[] = {1024, 1024, 256u << 20, 0x8000, 4096, count, 0, 256, 60, 64,
                             (count + 8) * 4096};
  for (size_t i = 0; i < sizeof header / sizeof header[0]; ++i) put32(12 + 4 * i, header[i]);
  const int64_t t0 = 1700000000000;
  auto entry = [&](uint32_t i, uint8_t state, uint8_t segments, int32_t link, uint32_t sn) {
    size_t o = 0x8000 + size_t{i} * 4096;
    b[o] = 1;
    b[o + 1] = static_cast<uint8_t>(i % 4);
    b[o + 2] = segments;
    b[o + 4] = state;
    le::Put16(&b[o + 6], 2);
    put32(o + 8, 1 << 20);
    put32(o + 12, static_cast<uint32_t>(link));
    le::Put64(&b[o + 16], static_cast<uint64_t>(t0 + i * 60000));
    le::Put64(&b[o + 24], static_cast<uint64_t>(t0 + i * 60000 + 30000));
    put32(o + 32, sn);
    for (uint32_t k = 0; k < segments; ++k) {
      size_t s = o + 256 + k * 60;
      b[s] = state;
      put32(s + 4, 1 << 18);
      le::Put16(&b[s + 8], 2);
      le::Put64(&b[s + 12], static_cast<uint64_t>(t0 + i * 60000 + k * 10000));
      le::Put64(&b[s + 20], static_cast<uint64_t>(t0 + i * 60000 + k * 10000 + 9000));
    }
  };
  if (count > 4) {
    entry(0, 0x01, 1, 0, 5);
    entry(1, 0x80, 3, 1, 6);
    entry(2, 0x03, 2, 2, 7);
    entry(3, 0x01, 1, static_cast<int32_t>(count), 8);
  }
  return WithGeometry(mode, b);
}

// A fuzz_pipeline mutation: where (see fuzz_pipeline.cpp), length, bytes.
void PutMutation(Bytes* b, uint32_t where, const Bytes& bytes) {
  uint8_t head[6];
  le::Put32(head, where);
  le::Put16(head + 4, static_cast<uint16_t>(bytes.size()));
  b->insert(b->end(), head, head + 6);
  b->insert(b->end(), bytes.begin(), bytes.end());
}

// Places in fuzz_pipeline's disk: byte `at` of frame n, of the record index, of a recording's
// head block.
uint32_t FrameByte(uint32_t n, uint32_t at) { return 1u << 30 | n << 16 | at; }
uint32_t IndexByte(uint32_t at) { return 2u << 30 | at; }
uint32_t HeadByte(uint32_t recording, uint32_t at) { return 3u << 30 | recording << 29 | at; }

// A frame tag whose header length (byte 4) and payload length (bytes 12..15) say so.
Bytes TagLengths(uint32_t frame, uint8_t header, uint32_t payload) {
  Bytes b;
  PutMutation(&b, FrameByte(frame, 4), {header});
  Bytes len(4);
  le::Put32(len.data(), payload);
  PutMutation(&b, FrameByte(frame, 12), len);
  return b;
}

bool MakeDir(const std::string& path) {
  if (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) return true;
  std::fprintf(stderr, "make_seeds: cannot create %s: %s\n", path.c_str(), std::strerror(errno));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds OUTDIR\n");
    return 2;
  }
  const std::string out = argv[1];
  const std::string tableDir = out + "/disk_table";
  const std::string rootDir = out + "/fat32_root";
  const std::string indexDir = out + "/index_open";
  const std::string geometryDir = out + "/fat32_geometry";
  const std::string searchDir = out + "/search";
  const std::string framesDir = out + "/frames";
  const std::string fifoDir = out + "/fifo";
  const std::string headDir = out + "/record_head";
  const std::string fileDir = out + "/record_file";
  const std::string asfDir = out + "/asf";
  const std::string pipelineDir = out + "/pipeline";
  if (!MakeDir(out) || !MakeDir(tableDir) || !MakeDir(rootDir) || !MakeDir(indexDir) ||
      !MakeDir(geometryDir) || !MakeDir(searchDir) || !MakeDir(framesDir) || !MakeDir(fifoDir) ||
      !MakeDir(headDir) || !MakeDir(fileDir) || !MakeDir(asfDir) || !MakeDir(pipelineDir))
    return 1;

  // 512-byte sectors: commonData at 128, record partition at 256, root directory at LBA 304.
  DiskPlan p512{512, false, 128, 128, 256, 1u << 21, 8, 32, 8, 1u << 20, 3};
  // 4096-byte sectors: commonData at 96, record partition at 104, root directory at LBA 110.
  DiskPlan p4k{4096, false, 96, 8, 104, 1u << 18, 1, 4, 1, 1u << 20, 3};

  Bytes mbr512 = BuildDisk(p512);
  p512.gpt = true;
  Bytes gpt512 = BuildDisk(p512);
  Bytes mbr4k = BuildDisk(p4k);
  p4k.gpt = true;
  Bytes gpt4k = BuildDisk(p4k);

  bool ok = true;
  ok &= WriteFile(tableDir + "/blank", Bytes{});
  ok &= WriteFile(tableDir + "/mbr512", WithGeometry(0, mbr512));
  ok &= WriteFile(tableDir + "/gpt512", WithGeometry(0, gpt512));
  ok &= WriteFile(tableDir + "/mbr4096", WithGeometry(1, mbr4k));
  ok &= WriteFile(tableDir + "/gpt4096", WithGeometry(1, gpt4k));
  ok &= WriteFile(tableDir + "/gpt512-read16", WithGeometry(2, gpt512));
  ok &= WriteFile(tableDir + "/mbr512-8g", WithGeometry(4, mbr512));
  ok &= WriteFile(tableDir + "/gpt4096-huge", WithGeometry(7, gpt4k));

  // The buffer parsers: a record partition's boot sector followed by its root directory, the
  // head of a GPT disk (protective MBR, header, entries) and an STFS table sector.
  const size_t root512 = (256 + 32 + 16) * 512;
  Bytes bootAndRoot(mbr512.begin() + 256 * 512, mbr512.begin() + 256 * 512 + 512);
  bootAndRoot.insert(bootAndRoot.end(), mbr512.begin() + root512,
                     mbr512.begin() + root512 + layout::fat32::kRootBytesRead);
  ok &= WriteFile(rootDir + "/blank", Bytes{});
  ok &= WriteFile(rootDir + "/boot-root", bootAndRoot);
  ok &= WriteFile(rootDir + "/gpt-head", Bytes(gpt512.begin(), gpt512.begin() + 4096));
  ok &= WriteFile(rootDir + "/stfs-table",
                  Bytes(mbr512.begin() + 64 * 512, mbr512.begin() + 65 * 512));

  ok &= WriteFile(indexDir + "/index8-512", IndexSeed(2, 8));
  ok &= WriteFile(indexDir + "/index40-4096", IndexSeed(3, 40));
  ok &= WriteFile(indexDir + "/empty-index", IndexSeed(0, 1));
  // Search seeds: a query over the whole time of the index seeds, all channels and types, a
  // writer on channel 1 writing file 1; then the index (without the mode byte).
  for (uint32_t count : {8u, 40u}) {
    Bytes query(32, 0);
    le::Put64(query.data(), 0);
    le::Put64(query.data() + 8, 1800000000000ull);
    le::Put32(query.data() + 16, 0xFFFFFFFF);
    le::Put32(query.data() + 20, 0xFFFFFFFF);
    query[24] = 32;
    query[26] = 1;
    le::Put32(query.data() + 27, 1);
    Bytes index = IndexSeed(0, count);
    query.insert(query.end(), index.begin() + 1, index.end());
    ok &= WriteFile(searchDir + "/search" + std::to_string(count), query);
  }
  // Frames: a "PTMF" header, an "FSFM" header, and an SPS (1280x720) with a PPS.
  Bytes ptmf(64, 0);
  std::memcpy(ptmf.data(), "PTMF", 4);
  ptmf[4] = 224;
  ptmf[5] = 'I';
  le::Put32(ptmf.data() + 12, 1000);
  ok &= WriteFile(framesDir + "/ptmf", ptmf);
  Bytes fsfm(64, 0);
  std::memcpy(fsfm.data(), "FSFM", 4);
  le::Put16(fsfm.data() + 36, 1280);
  le::Put16(fsfm.data() + 38, 720);
  ok &= WriteFile(framesDir + "/fsfm", fsfm);
  const Bytes spsPps = {0, 0, 0, 1, 0x67, 0x42, 0x00, 0x1F, 0xE9, 0x00, 0xA0, 0x0B, 0x72,
                        0, 0, 0, 1, 0x68, 0xCE, 0x38, 0x80};
  ok &= WriteFile(framesDir + "/sps-pps", spsPps);
  // FIFO operations: key frame, reads by readers 0 and 1, garbage, play-buffer record and read.
  const Bytes ops = {0, 1, 0xE8, 0x03, 3, 0, 0x00, 0x20, 3, 1, 0x00, 0x20, 2, 0, 0x2C, 0x01,
                     0, 0, 0x00, 0x10, 3, 0, 0x00, 0x20, 6, 0, 0xE8, 0x03, 7, 0, 0x00, 0x10};
  ok &= WriteFile(fifoDir + "/ops", ops);
  // A record file's head block and index area: head at 1024, two segments, index and GPS
  // entries with stray bytes between them.
  Bytes head(0x2000 + 4096, 0);
  std::memcpy(head.data() + 1024, "STFSRECD0200", 12);
  le::Put32(head.data() + 1024 + 48, 1536);
  for (int k = 0; k < 2; ++k) std::memcpy(head.data() + 1536 + 64 * k + 60, "RSEG", 4);
  std::memcpy(head.data() + 0x2000, "RIDX", 4);
  std::memcpy(head.data() + 0x2000 + 20, "GPSI", 4);
  std::memcpy(head.data() + 0x2000 + 45, "RIDX", 4);
  ok &= WriteFile(headDir + "/asf-head", head);
  // A record file's index area and data area: three frames, the first a key frame, indexed.
  for (uint8_t mode = 0; mode < 3; ++mode) {
    Bytes rec(1 + 4096, 0);
    rec[0] = mode;
    std::memcpy(rec.data() + 1, "RIDX", 4);
    rec[1 + 4] = 1;
    rec[1 + 6] = 'I';
    le::Put32(rec.data() + 1 + 12, 0x2F000);
    le::Put32(rec.data() + 1 + 16, 1224);
    for (uint32_t i = 0; i < 3; ++i) {
      Bytes fr(1224, static_cast<uint8_t>(i));
      std::memset(fr.data(), 0, 224);
      std::memcpy(fr.data(), "PTMF", 4);
      fr[4] = 224;
      fr[5] = i == 0 ? 'I' : 'P';
      le::Put32(fr.data() + 12, 1000);
      le::Put32(fr.data() + 16, 1000 + 40 * i);
      rec.insert(rec.end(), fr.begin(), fr.end());
    }
    ok &= WriteFile(fileDir + "/file" + std::to_string(mode), rec);
  }
  // Partition sectors (8 bytes), sector size code, record file MiB (2 bytes).
  const uint64_t sizes[] = {1ull << 25, (1ull << 25) + 1, 614400, 1ull << 33, 70000};
  for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; ++i) {
    Bytes g(11, 0);
    le::Put64(g.data(), sizes[i]);
    g[8] = static_cast<uint8_t>(i % 2 ? 3 : 0);
    le::Put16(g.data() + 9, 128);
    ok &= WriteFile(geometryDir + "/size" + std::to_string(i), g);
  }
  // ASF objects: a key frame, pictures and audio pieces 40 ms apart, a frame over several
  // packets; once clean and once with a few spoilt bytes.
  for (uint8_t spoilt : {0, 3}) {
    Bytes asf(1, spoilt);
    for (uint8_t k = 0; k < spoilt; ++k) asf.insert(asf.end(), {static_cast<uint8_t>(k * 77), 0x90, 0x03, 0x5A});
    for (int k = 0; k < 60; ++k) {
      const uint16_t size = k == 30 ? 50000 : static_cast<uint16_t>(k % 2 ? 80 : 1500 + k * 7);
      const uint8_t flags = static_cast<uint8_t>((k % 2 ? 1 : (k % 25 == 0 ? 2 : 0)) | (40 << 2));
      asf.insert(asf.end(), {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), flags});
    }
    ok &= WriteFile(asfDir + "/objects" + std::to_string(spoilt), asf);
  }
  // Damage to fuzz_pipeline's disk: none; frame tags with lengths of 0 (a P frame and the first
  // key frame of the closed recording, a frame of the open one that the scan repairs) or shorter
  // than their header; the closed recording marked open again in the index (its entry is the
  // first, at 0x8000; byte 4 the state); a torn head.
  ok &= WriteFile(pipelineDir + "/undamaged", Bytes{});
  ok &= WriteFile(pipelineDir + "/zero-tag", TagLengths(10, 0, 0));
  ok &= WriteFile(pipelineDir + "/zero-tag-key", TagLengths(0, 0, 0));
  ok &= WriteFile(pipelineDir + "/zero-tag-open", TagLengths(200, 0, 0));
  ok &= WriteFile(pipelineDir + "/short-tag", TagLengths(40, 8, 0));
  Bytes reopened;
  PutMutation(&reopened, IndexByte(0x8000 + 4), {0x81});
  ok &= WriteFile(pipelineDir + "/reopened", reopened);
  Bytes torn;
  PutMutation(&torn, HeadByte(1, 0), Bytes(64, 0xFF));
  ok &= WriteFile(pipelineDir + "/torn-head", torn);
  return ok ? 0 : 1;
}
