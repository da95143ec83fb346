#include "disk_images.h"

#include <cstring>

#include "disklayout/le.h"
#include "test_support.h"

namespace testimg {

using testsupport::WriteFileBytes;

void WriteGpt(const std::string& image, uint32_t ss, const std::vector<Part>& parts) {
  std::vector<uint8_t> mbr(512, 0);
  uint8_t* e = mbr.data() + layout::mbr::kEntriesOffset;
  e[layout::mbr::kTypeOffset] = layout::mbr::kTypeGptProtective;
  le::Put32(e + layout::mbr::kStartLbaOffset, 1);
  le::Put32(e + layout::mbr::kSectorCountOffset, 0xFFFFFFFF);
  le::Put16(mbr.data() + 510, 0xAA55);
  WriteFileBytes(image, 0, mbr.data(), mbr.size());
  std::vector<uint8_t> header(92, 0);
  std::memcpy(header.data(), layout::gpt::kSignature, 8);
  le::Put32(header.data() + 8, 0x00010000);
  le::Put32(header.data() + 12, 92);
  le::Put64(header.data() + 24, 1);
  le::Put64(header.data() + 72, 2);
  le::Put32(header.data() + 80, 128);
  le::Put32(header.data() + 84, 128);
  WriteFileBytes(image, ss, header.data(), header.size());
  std::vector<uint8_t> entries(128 * 128, 0);
  for (size_t i = 0; i < parts.size() && i < 128; ++i) {
    uint8_t* p = entries.data() + i * 128;
    for (int k = 0; k < 16; ++k) p[k] = static_cast<uint8_t>(0xA0 + k);  // a type GUID
    le::Put64(p + layout::gpt::kFirstLbaOffset, parts[i].first);
    le::Put64(p + layout::gpt::kLastLbaOffset, parts[i].last);
  }
  WriteFileBytes(image, 2ull * ss, entries.data(), entries.size());
}

void WriteMbr(const std::string& image, const std::vector<std::array<uint32_t, 3>>& entries) {
  std::vector<uint8_t> mbr(512, 0);
  for (size_t i = 0; i < entries.size() && i < 4; ++i) {
    uint8_t* e = mbr.data() + layout::mbr::kEntriesOffset + i * 16;
    e[layout::mbr::kTypeOffset] = static_cast<uint8_t>(entries[i][0]);
    le::Put32(e + layout::mbr::kStartLbaOffset, entries[i][1]);
    le::Put32(e + layout::mbr::kSectorCountOffset, entries[i][2]);
  }
  le::Put16(mbr.data() + 510, 0xAA55);
  WriteFileBytes(image, 0, mbr.data(), mbr.size());
}

void WriteStfsTable(const std::string& image, uint32_t ss, uint64_t lba,
                    const layout::stfs::Table& t) {
  uint8_t buf[layout::stfs::kTableBytes];
  layout::stfs::Build(t, buf);
  WriteFileBytes(image, lba * ss, buf, sizeof buf);
}

uint64_t WriteFat32Boot(const std::string& image, uint32_t ss, const Fat32& v) {
  std::vector<uint8_t> boot(512, 0);
  boot[0] = 0xEB;
  boot[1] = 0x58;
  boot[2] = 0x90;
  le::Put16(boot.data() + 11, static_cast<uint16_t>(ss));
  boot[layout::fat32::kSectorsPerClusterOffset] = v.sectorsPerCluster;
  le::Put16(boot.data() + layout::fat32::kReservedSectorsOffset, v.reserved);
  boot[layout::fat32::kFatCountOffset] = v.fats;
  le::Put32(boot.data() + layout::fat32::kSectorsPerFatOffset, v.sectorsPerFat);
  le::Put32(boot.data() + layout::fat32::kRootClusterOffset, v.rootCluster);
  if (v.stfsMark)
    std::memcpy(boot.data() + layout::fat32::kStfsMarkOffset, layout::stfs::kMagic, 8);
  le::Put16(boot.data() + 510, 0xAA55);
  WriteFileBytes(image, v.partitionLba * ss, boot.data(), boot.size());
  uint64_t dataStart = v.partitionLba + v.reserved + uint64_t{v.fats} * v.sectorsPerFat;
  return dataStart + uint64_t{v.rootCluster - 2} * v.sectorsPerCluster;
}

void WriteDir(const std::string& image, uint64_t byteOffset, const std::vector<DirEntry>& entries) {
  std::vector<uint8_t> dir(entries.size() * 32, 0);
  for (size_t i = 0; i < entries.size(); ++i) {
    uint8_t* e = dir.data() + i * 32;
    std::memcpy(e, entries[i].name11.data(), std::min<size_t>(11, entries[i].name11.size()));
    e[11] = entries[i].attr;
    le::Put16(e + 20, static_cast<uint16_t>(entries[i].cluster >> 16));
    le::Put16(e + 26, static_cast<uint16_t>(entries[i].cluster));
    le::Put32(e + 28, entries[i].size);
  }
  WriteFileBytes(image, byteOffset, dir.data(), dir.size());
}

layout::stfs::Table WriteRecordDisk(const std::string& image, uint32_t ss, int files,
                                    uint32_t fileBytes) {
  Fat32 v;
  v.partitionLba = ss == 4096 ? 256 : 2048;
  v.sectorsPerCluster = static_cast<uint8_t>(32768 / ss);
  WriteGpt(image, ss, {{v.partitionLba, v.partitionLba + 100000}});
  uint64_t rootLba = WriteFat32Boot(image, ss, v);
  std::vector<DirEntry> dir;
  uint32_t clustersPerFile = fileBytes / 32768;
  for (int n = 0; n < files; ++n) {
    char name[32];
    snprintf(name, sizeof name, "%05d   ASF", n % 100000);
    dir.push_back({name, 0x20, 3 + n * clustersPerFile, fileBytes});
  }
  WriteDir(image, rootLba * ss, dir);
  layout::stfs::Table t;
  t.firstRecordLba = rootLba + v.sectorsPerCluster;  // cluster 3
  t.recordFileBytes = fileBytes;
  t.recordFileCount = static_cast<uint32_t>(files);
  t.indexLba = 4000;
  WriteStfsTable(image, ss, layout::stfs::kTableLba, t);
  WriteStfsTable(image, ss, layout::stfs::kTableCopyLba, t);
  return t;
}

}  // namespace testimg
