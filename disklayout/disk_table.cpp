#include "disklayout/disk_table.h"

#include <algorithm>
#include <cstring>

#include "device/disk_dev.h"
#include "disklayout/fat32_root.h"
#include "disklayout/le.h"
#include "platform/clock.h"
#include "platform/last_error.h"
#include "platform/messages.h"
#include "serialfile/region_io.h"

using platform::ConsolePrintf;

namespace {
constexpr uint32_t kHeadBytes = 4096;
constexpr uint32_t kGptReadBytes = 16384;  // read at LBA 1 when sectors are not 512 bytes
constexpr int kTableReadAttempts = 4;
constexpr uint32_t kTableRetryMs = 1000;

// Bytes to read for n bytes of data on this device: whole sectors.
uint64_t RoundUp(uint64_t n, uint32_t ss) { return (n + ss - 1) / ss * ss; }

// A table with the STFS magic whose record files hold at least one sector. A smaller record
// file size places no record file at all (and would be zero sectors to step from one file to
// the next with), so such a table does not make a record disk.
bool UsableTable(const std::vector<uint8_t>& sector, uint32_t ss, layout::stfs::Table* t) {
  if (!layout::stfs::Parse(sector.data(), sector.size(), t)) return false;
  if (t->recordFileBytes >= ss) return true;
  ConsolePrintf("Record file size %u is less than a sector of %u.\n", t->recordFileBytes, ss);
  return false;
}
}  // namespace

CDiskTable::CDiskTable() : head_(kHeadBytes, 0) {}

int CDiskTable::Init(CDisk_Dev* dev) {
  if (!dev) {
    ConsolePrintf("CDiskTable::Init failed!\r\n");
    return -1;
  }
  if (dev->TestUnitReady() != 0) {
    dev->Lock();
    if (dev->is_closed() || dev->get_last_err() == platform::kOsInvalidHandle) dev->Open();
    dev->Unlock();
  }
  gptEntries_.clear();
  mbrEntries_.clear();
  isGpt_ = false;
  dev_ = dev;
  std::fill(head_.begin(), head_.end(), 0);
  ConsolePrintf("CDiskTable::Read data  %s !\r\n", dev->get_device_name());
  int r = dev->Read(0, head_.data(), kHeadBytes, true);
  if (r != 0) {
    ConsolePrintf("Read data error %d ret %d .\n", dev->get_last_err(), r);
    return r;
  }
  r = ParsePartitions();
  if (r < 0) {
    isStfs_ = false;
    return r;
  }
  if (GetPartCount() == 0) {
    isStfs_ = false;
    ConsolePrintf("Can not get partition table.\n");
    return -1;
  }
  // The record partition's boot sector carries the STFS mark in its reserved area. A missing mark
  // is reported, not fatal: a valid STFS table still makes a record disk.
  const uint32_t ss = dev->get_sec_size();
  std::vector<uint8_t> boot(RoundUp(kHeadBytes, ss), 0);
  r = dev->Read(GetPartStart(0), boot.data(), boot.size(), true);
  if (r != 0) {
    ConsolePrintf("Read data error.\n");
    return r;
  }
  if (!layout::stfs::HasMagic(boot.data() + layout::fat32::kStfsMarkOffset)) {
    isStfs_ = false;
    ConsolePrintf("Is not STFS  partition.\n");
  }
  ReadRecordRoot(GetPartStart(1));
  r = ReadStfsTable();
  if (r != 0) {
    ConsolePrintf("Read STFS Table error. ret %d \n", r);
    return r;
  }
  return 0;
}

int CDiskTable::ParsePartitions() {
  const uint32_t ss = dev_->get_sec_size();
  // Where the GPT header and entries are: inside the head buffer on 512-byte sectors, else in a
  // separate read at LBA 1 whose entries start one sector in.
  std::vector<uint8_t> lba1;
  const uint8_t* header = head_.data() + 512;
  const uint8_t* entries = head_.data() + 1024;
  size_t entriesLen = kHeadBytes - 1024;
  if (ss != 512) {
    lba1.assign(RoundUp(std::max<uint64_t>(kGptReadBytes, uint64_t{ss} + 3072), ss), 0);
    if (dev_->Read(1, lba1.data(), lba1.size(), true) != 0) lba1.assign(lba1.size(), 0);
    header = lba1.data();
    entries = lba1.data() + ss;
    entriesLen = lba1.size() - ss;
  }
  bool gptHeader = layout::IsGptHeader(header, 8);
  int n = layout::ParseMbr(head_.data(), kHeadBytes, gptHeader, &mbrEntries_, &isGpt_);
  if (n > 0) return n;
  mbrEntries_.clear();
  if (!gptHeader) {
    ConsolePrintf("Not GPT parttion.\n");
    return -1;
  }
  isGpt_ = true;
  gptEntries_.clear();
  return layout::ParseGptEntries(entries, entriesLen, &gptEntries_);
}

int CDiskTable::GetPartCount() const {
  return static_cast<int>(isGpt_ ? gptEntries_.size() : mbrEntries_.size());
}

uint64_t CDiskTable::GetPartStart(uint32_t index) const {
  if (index >= static_cast<uint32_t>(GetPartCount()) || index >= layout::gpt::kMaxEntries) {
    ConsolePrintf("Error part no %u\n", index);
    return 0;
  }
  if (isGpt_) return le::Get64(gptEntries_[index].data() + layout::gpt::kFirstLbaOffset);
  return le::Get32(mbrEntries_[index].data() + layout::mbr::kStartLbaOffset);
}

uint64_t CDiskTable::GetPartSize(uint32_t index) const {
  if (index >= static_cast<uint32_t>(GetPartCount()) || index >= layout::gpt::kMaxEntries) {
    ConsolePrintf("Error part no %u\n", index);
    return 0;
  }
  if (isGpt_) {
    const uint8_t* e = gptEntries_[index].data();
    uint64_t first = le::Get64(e + layout::gpt::kFirstLbaOffset);
    uint64_t last = le::Get64(e + layout::gpt::kLastLbaOffset);
    return last >= first ? last - first : 0;  // a damaged entry gives no size, not a huge one
  }
  return le::Get32(mbrEntries_[index].data() + layout::mbr::kSectorCountOffset);
}

int CDiskTable::ReadRecordRoot(uint64_t partitionLba) {
  const uint32_t ss = dev_->get_sec_size();
  std::vector<uint8_t> boot(RoundUp(512, ss), 0);
  if (dev_->Read(partitionLba, boot.data(), boot.size(), true) != 0) return -1;
  layout::Fat32Geometry geo;
  if (layout::ParseFat32Boot(boot.data(), boot.size(), partitionLba, &geo) != 0) return -1;
  std::vector<uint8_t> dir(RoundUp(layout::fat32::kRootBytesRead, ss), 0);
  if (dev_->Read(geo.ClusterLba(geo.rootCluster), dir.data(), dir.size(), true) != 0) return -1;
  layout::RecordFilesFound found;
  int r = layout::WalkRecordRoot(dir.data(), layout::fat32::kRootBytesRead, geo, ss, &found);
  if (found.found && found.recordFileSectors > 0) {  // a file under a sector places nothing
    firstRecordLba_ = found.firstRecordLba & 0xFFFFFFFFull;  // the high half is not kept here
    recordFileSectors_ = found.recordFileSectors;
  }
  return r;
}

void CDiskTable::SetFormattedGpt(const std::vector<GptEntry>& entries) {
  isGpt_ = true;
  mbrEntries_.clear();
  gptEntries_ = entries;
}

void CDiskTable::SetRecordFiles(uint64_t firstRecordLba, uint32_t recordFileSectors,
                                uint64_t indexLba, uint32_t count) {
  firstRecordLba_ = firstRecordLba;
  recordFileSectors_ = recordFileSectors;
  indexLba_ = indexLba;
  recordFileCount_ = count;
}

int CDiskTable::WriteStfsTable(uint32_t recordFileMB, uint32_t recordFileCount) {
  if (!dev_) return ERR_NO_DEVICE;
  layout::stfs::Table t;
  t.firstRecordLba = firstRecordLba_;
  t.recordFileBytes = recordFileMB << 20;
  t.recordFileCount = recordFileCount;
  t.indexLba = indexLba_;
  if (uint64_t{recordFileCount} * 4096 > (1ull << 31))
    ConsolePrintf("Error rec index num %d \n", static_cast<int>(recordFileCount));
  const uint32_t ss = dev_->get_sec_size();
  std::vector<uint8_t> sector(RoundUp(layout::stfs::kTableBytes, ss), 0);
  layout::stfs::Build(t, sector.data());
  int r = dev_->Write(layout::stfs::kTableLba, sector.data(), sector.size(), true);
  if (r != 0) {
    ConsolePrintf("Write STFS Table fail.\n");
    return r;
  }
  if (dev_->Write(layout::stfs::kTableCopyLba, sector.data(), sector.size(), true) != 0)
    ConsolePrintf("Write data fail.\n");
  tableLba_ = layout::stfs::kTableCopyLba;
  return 0;
}

int CDiskTable::ReadStfsTable() {
  if (!dev_) return ERR_NO_DEVICE;
  isStfs_ = false;
  tableLba_ = layout::stfs::kTableLba;
  const uint32_t ss = dev_->get_sec_size();
  std::vector<uint8_t> sector(RoundUp(layout::stfs::kTableBytes, ss), 0);
  int r = 0;
  for (int attempt = 0; attempt < kTableReadAttempts; ++attempt) {
    if (attempt > 0) platform::SleepMs(kTableRetryMs);
    r = dev_->Read(layout::stfs::kTableLba, sector.data(), layout::stfs::kTableBytes, true);
    if (r == 0) break;
  }
  if (r != 0) return r;
  layout::stfs::Table t;
  if (!UsableTable(sector, ss, &t)) {
    ConsolePrintf("read lba init table failed!");
    tableLba_ = layout::stfs::kTableCopyLba;
    r = dev_->Read(layout::stfs::kTableCopyLba, sector.data(), layout::stfs::kTableBytes, true);
    if (r != 0) return r;
    if (!UsableTable(sector, ss, &t)) {
      ConsolePrintf("read second table failed!");
      isStfs_ = false;
      return -5000;
    }
  }
  firstRecordLba_ = t.firstRecordLba;
  recordFileSectors_ = t.recordFileBytes / ss;
  indexLba_ = t.indexLba;
  extA_ = t.extA;
  extB_ = t.extB;
  extC_ = t.extC;
  extD_ = t.extD;
  extE_ = t.extE;
  isStfs_ = true;
  return 0;
}
