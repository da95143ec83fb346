#include "disklayout/record_disk_format.h"

#include <algorithm>

#include "device/disk_dev.h"
#include "disklayout/disk_table.h"
#include "disklayout/gpt_writer.h"
#include "platform/messages.h"

using platform::ConsolePrintf;

namespace {
// A partition's size as the table reads it back, and as much as one FAT32 volume covers.
uint64_t Size(const GptPartitionSpec& p) {
  return std::min<uint64_t>(p.lastLba - p.firstLba, UINT32_MAX);
}
}  // namespace

int CheckRecordDiskFits(CDisk_Dev* dev, uint32_t recordFileMB, uint32_t commonMB) {
  const uint64_t L = dev->get_capacity();
  if (L == 0) return -1;
  const uint32_t ss = dev->get_sec_size();
  if (recordFileMB == 0 || recordFileMB >= 4096) {
    ConsolePrintf("Record file size %u MB does not fit the tables.\n", recordFileMB);
    return kErrNoFatGeometry;
  }
  const uint64_t first = ss == 4096 ? 256 : 2048;
  // A common partition as large as the disk leaves no record area: said as such, not as a
  // partition that is too small.
  const uint64_t diskMB = (L + 1) * ss >> 20;
  if (commonMB != 0 && uint64_t{commonMB} >= diskMB) {
    ConsolePrintf("A common data partition of %u MB leaves no room for the record area on a "
                  "disk of %llu MB.\n", commonMB, static_cast<unsigned long long>(diskMB));
    return kErrNoFatGeometry;
  }
  const auto parts = RecordDiskPartitions(L, ss, commonMB);
  Fat32Plan g;
  for (size_t i = 0; i < parts.size(); ++i) {
    const GptPartitionSpec& p = parts[i];
    if (L < first + 2 * 34 + 2 || p.lastLba <= p.firstLba || p.lastLba > L - 34) {
      ConsolePrintf("Partition %zu (%s) does not fit a disk of %llu MB.\n", i + 1,
                    p.name.c_str(), static_cast<unsigned long long>(diskMB));
      return kErrNoFatGeometry;
    }
    if (ChooseFat32Geometry(Size(p), ss, &g) != 0) {
      ConsolePrintf("Partition %zu (%s) is too small for a FAT32 volume of %u-byte sectors.\n",
                    i + 1, p.name.c_str(), ss);
      return kErrNoFatGeometry;
    }
  }
  const uint32_t count = RecordFileCountFor(Size(parts.back()), ss, g, recordFileMB << 20);
  if (count == 0) {
    ConsolePrintf("The record partition cannot hold one record file of %u MB.\n", recordFileMB);
    return kErrNoFatGeometry;
  }
  if (uint64_t{count} + 2 > layout::fat32::kRootDirBytes / layout::fat32::kDirEntrySize) {
    ConsolePrintf("%u record files of %u MB do not fit the root directory (at most %u).\n",
                  count, recordFileMB,
                  static_cast<unsigned>(layout::fat32::kRootDirBytes / layout::fat32::kDirEntrySize - 2));
    return kErrTooManyFiles;
  }
  return 0;
}

int FormatRecordDisk(CDiskTable* table, CDisk_Dev* dev, uint32_t recordFileMB, uint32_t commonMB,
                     const FormatProgress& progress) {
  const uint64_t L = dev->get_capacity();
  const uint32_t ss = dev->get_sec_size();
  std::vector<GptEntry> entries;
  int r = WriteGpt(dev, RecordDiskPartitions(L, ss, commonMB), &entries);
  if (r != 0) return r;
  table->SetFormattedGpt(entries);
  table->SetCommonPartMB(commonMB);
  const uint64_t fileSectors = ((uint64_t{recordFileMB} << 20) + ss - 1) / ss;
  table->SetRecordFileCount(static_cast<uint32_t>(L > 2081 ? (L - 2081) / fileSectors : 0));

  uint32_t recordPart = 0;
  if (commonMB != 0) {
    Fat32Plan g;
    r = FormatFat32Volume(dev, table->GetPartStart(0), table->GetPartSize(0), "commonData", &g);
    if (r != 0) {
      ConsolePrintf("Format FAT32 partition fail.\n");
      return r;
    }
    recordPart = 1;
  }
  RecordFilesPlaced placed;
  r = FormatRecordPartition(dev, table->GetPartStart(recordPart), table->GetPartSize(recordPart),
                            recordFileMB << 20, &placed, progress);
  if (r != 0) return r;
  table->SetRecordFiles(placed.firstRecordLba, placed.recordFileSectors, placed.indexLba,
                        placed.recordFileCount);
  return static_cast<int>(placed.recordFileCount);
}
