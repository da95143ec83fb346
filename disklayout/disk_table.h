// CDiskTable reads the layout of a record disk: the partition table (MBR or GPT), the STFS mark
// of the record partition, the record partition's FAT32 root directory and the STFS table.
// Init decides whether an attached disk is a record disk (check IsStfs afterwards). The same
// object keeps the values that formatting computes and writes back.
//
// Thread safety: not locked; all reads go through CDisk_Dev::Read with its lock flag set, so
// each read is atomic against other users of the device. The disk scan uses one object from
// its one thread and reuses it for every disk.
#pragma once

#include <cstdint>
#include <vector>

#include "disklayout/partition_tables.h"

class CDisk_Dev;

class CDiskTable {
 public:
  CDiskTable();

  // 0 when the disk's tables were read, negative otherwise (a read's code, -1 without a
  // partition table, -5000 when both STFS tables are bad: a wrong magic, or record files
  // smaller than a sector).
  int Init(CDisk_Dev* dev);

  int GetPartCount() const;
  uint64_t GetPartStart(uint32_t index) const;
  uint64_t GetPartSize(uint32_t index) const;

  // Reads the STFS table at LBA 64, retrying a failed read, and falls back to the copy at 88
  // when the first is not usable (see Init). The record file sectors it gives are never 0.
  int ReadStfsTable();
  // Writes the STFS table of the record files formatting placed, at LBA 64 and then at 88 (a
  // failure there is reported, not returned). 0 or the first write's code.
  int WriteStfsTable(uint32_t recordFileMB, uint32_t recordFileCount);

  // What formatting wrote: the new GPT, the record file estimate and then the placed files.
  void SetFormattedGpt(const std::vector<GptEntry>& entries);
  void SetRecordFileCount(uint32_t n) { recordFileCount_ = n; }
  void SetCommonPartMB(uint32_t mb) { commonPartMB_ = mb; }
  void SetRecordFiles(uint64_t firstRecordLba, uint32_t recordFileSectors, uint64_t indexLba,
                      uint32_t count);

  uint64_t GetFirstRecordLba() const { return firstRecordLba_; }
  uint32_t GetRecordFileSectors() const { return recordFileSectors_; }
  uint64_t GetIndexLba() const { return indexLba_; }
  uint64_t GetExtA() const { return extA_; }
  uint64_t GetExtB() const { return extB_; }
  uint32_t GetExtC() const { return extC_; }
  uint32_t GetExtD() const { return extD_; }
  uint32_t GetExtE() const { return extE_; }
  uint64_t GetTableLba() const { return tableLba_; }
  uint32_t GetRecordFileCount() const { return recordFileCount_; }
  uint32_t GetCommonPartMB() const { return commonPartMB_; }
  bool IsStfs() const { return isStfs_; }
  bool IsGpt() const { return isGpt_; }
  CDisk_Dev* GetDevice() const { return dev_; }
  const std::vector<GptEntry>& GptEntries() const { return gptEntries_; }
  const std::vector<MbrEntry>& MbrEntries() const { return mbrEntries_; }

 private:
  int ParsePartitions();
  int ReadRecordRoot(uint64_t partitionLba);

  CDisk_Dev* dev_ = nullptr;
  std::vector<uint8_t> head_;  // the first 4096 bytes of the disk
  std::vector<GptEntry> gptEntries_;
  std::vector<MbrEntry> mbrEntries_;
  uint64_t firstRecordLba_ = 0;
  uint32_t recordFileSectors_ = 0x80000;
  uint64_t indexLba_ = 2048;
  uint64_t extB_ = 0;
  uint64_t extA_ = 0;
  uint32_t extC_ = 0, extD_ = 0, extE_ = 268435456;
  uint64_t tableLba_ = layout::stfs::kTableLba;
  uint32_t recordFileCount_ = 100;
  uint32_t commonPartMB_ = 0;
  bool isGpt_ = false;
  bool isStfs_ = false;
};
