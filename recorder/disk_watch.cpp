#include "recorder/disk_watch.h"

#include <sys/stat.h>

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>

#include "api/shared_records.h"
#include "device/dev_registry.h"
#include "device/disk_dev.h"
#include "disklayout/disk_table.h"
#include "platform/drive_table.h"
#include "platform/messages.h"
#include "platform/mounts.h"
#include "platform/platform_context.h"
#include "record/record_writer.h"
#include "serialfile/region_io.h"

namespace {
// Process-wide: a scan is running on some disk watch.
std::atomic<bool> g_scanRunning{false};

constexpr int kStatusDisks = 0x8001;
constexpr uint32_t kScanPauseMs = 30;
// What a volume disk's record carries in place of a table.
constexpr uint64_t kVolumeFirstRecordLba = 20480;
constexpr uint32_t kVolumeRecordFileSectors = 262144;
constexpr uint64_t kVolumeIndexLba = 2048;
constexpr uint32_t kVolumeExtC = 4096;
constexpr uint64_t kVolumeExtB = 20480;

// File systems that never hold a volume disk.
const std::set<std::string> kPseudoFileSystems = {
    "proc", "sysfs", "devtmpfs", "devpts", "tmpfs", "ramfs", "cgroup", "cgroup2", "mqueue",
    "debugfs", "tracefs", "securityfs", "pstore", "bpf", "autofs", "hugetlbfs", "configfs",
    "fusectl", "binfmt_misc", "nsfs", "rpc_pipefs", "efivarfs", "overlay", "squashfs"};

// What tells one record disk from another under the same name: the first sector of the GPT
// entries (the partition GUIDs formatting made, unique per format) and the index header (its
// layout and creation time). Read under the device lock the caller holds; 0 when unreadable.
uint32_t DeviceIdentity(CDisk_Dev* dev, uint64_t indexLba) {
  std::vector<uint8_t> sector(dev->get_sec_size());
  uLong crc = crc32(0L, Z_NULL, 0);
  for (uint64_t lba : {uint64_t{2}, indexLba}) {
    if (dev->Read(lba, sector.data(), sector.size(), true) != 0) return 0;
    crc = crc32(crc, sector.data(), static_cast<uInt>(sector.size()));
  }
  return static_cast<uint32_t>(crc) | 1;  // never 0
}

// A folder disk: its index file's inode and header.
uint32_t FolderIdentity(const std::string& folder) {
  const std::string path = FolderIndexPath(folder);
  struct stat st {};
  std::ifstream in(path, std::ios::binary);
  if (path.empty() || stat(path.c_str(), &st) != 0 || !in) return 0;
  char header[512] = {};
  in.read(header, sizeof header);
  uLong crc = crc32(0L, Z_NULL, 0);
  const uint64_t ino = static_cast<uint64_t>(st.st_ino);
  crc = crc32(crc, reinterpret_cast<const Bytef*>(&ino), sizeof ino);
  crc = crc32(crc, reinterpret_cast<const Bytef*>(header), static_cast<uInt>(in.gcount()));
  return static_cast<uint32_t>(crc) | 1;
}

bool IsFolder(const std::string& p) {
  struct stat st;
  return stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Whether a listed disk is the one a caller names: the same device name, or the same folder
// with or without its trailing '/'. Never a part of a name ("PhysicalDrive1" is not drive 10).
bool Names(const DiskRecord& d, const std::string& name) {
  if (d.name == name) return true;
  return d.volume && !name.empty() && !IsDevicePath(name) && d.name == WithTrailingSlash(name);
}
}  // namespace

// ---- the scan ------------------------------------------------------------------------------

DiskWatch::DiskWatch(SharedRecords* shared) : shared_(shared) {}
DiskWatch::~DiskWatch() = default;

int MountUsbThreadBody(DiskWatch* watch) { return watch->Scan(); }

int DiskWatch::Scan(bool repairWrites) {
  bool expected = false;
  if (!g_scanRunning.compare_exchange_strong(expected, true)) return 0;
  if (scanning_.exchange(true)) {
    DebugLog("MountUsbThreadBody is running .\n");
    g_scanRunning = false;
    return 0;
  }
  int count = 0;
  std::vector<std::string> left;
  std::function<void(const std::vector<std::string>&)> disksLeft;
  {
    CAutoLock g(&lock_);
    disks_.clear();
    DebugLog("Scan driver start no %d support num %d .\n", startDrive_, kDriveSlots);
    CDiskTable table;  // one object serves the whole scan
    for (int n = startDrive_; n < kDriveSlots; ++n) ScanDrive(n, table);
    ScanVolumes();
    DropIndexesOfLeftDisks();
    FillSpace();
    RebuildReadyMask();
    // The indexes opened by this scan go to the recording engine (which repairs what power
    // loss left open) once the disk list is complete: the repair finds record files through it.
    std::vector<std::pair<DiskIndexRef, bool>> opened;
    opened.swap(opened_);
    for (auto& o : opened) {
      if (indexOpened_ && repairWrites) indexOpened_(*o.first, o.second);
      RepairInMemory(*o.first);  // what the call above did not repair on the disk
    }
    count = static_cast<int>(disks_.size());
    left.swap(left_);
    disksLeft = disksLeft_;
  }
  // The users of dropped indexes close outside the watch lock: closing a recording takes the
  // record task's lock, which comes before the watch lock. Until they close they cannot reach
  // any disk: their region files refuse a disk that changed, and a disk that left has no handle.
  if (!left.empty() && disksLeft) disksLeft(left);
  ++scansDone_;
  scanning_ = false;
  g_scanRunning = false;
  return count;
}

void DiskWatch::DropIndexesOfLeftDisks() {
  for (DiskIndexSet* set : {&first_, &second_}) {
    for (const DiskIndexRef& index : set->Indexes()) {
      const bool ready = std::any_of(disks_.begin(), disks_.end(), [&](const DiskRecord& d) {
        return d.state == kDiskReady && Names(d, index->path);
      });
      if (ready) continue;
      DebugLog("Dev %s is deleted.\n", index->path.c_str());
      set->Remove(index->path);
      left_.push_back(index->path);
    }
  }
}

int DiskWatch::OpenIndex(const std::string& path, uint64_t indexLba, uint16_t diskNo,
                         DiskIndexSet& fresh, bool readOnly, uint32_t identity) {
  // A disk scanned again is re-opened in the set it is already in.
  DiskIndexSet* home = &first_;
  DiskIndexRef index = first_.Find(path);
  if (!index) {
    home = &second_;
    index = second_.Find(path);
  }
  const bool otherMedium = index && index->device && index->medium != index->device->medium();
  if (index && (index->identity != identity || otherMedium)) {
    // Another disk under a known name: the old index leaves (its users close after the scan)
    // and the new disk gets an index of its own in the same set.
    DebugLog("Dev %s is another disk now: its index is read anew.\n", path.c_str());
    home->Remove(path);
    left_.push_back(path);
    index = nullptr;
  } else if (!index) {
    home = &fresh;
  }
  const bool known = index != nullptr;
  if (!known) index = std::make_shared<DiskIndex>();
  int r = index->Open(diskNo, path, indexLba, false);
  if (r != 0) {
    if (known) home->Remove(path);
    return r;
  }
  {
    CAutoLock g(&index->lock());
    index->diskNo = diskNo;  // disk numbers are positions in the latest scan
    index->identity = identity;
  }
  if (!known) home->Add(index);
  opened_.emplace_back(index, readOnly);
  return 0;
}

void DiskWatch::ScanDrive(int n, CDiskTable& table) {
  platform::DriveEntry entry;
  if (!platform::Drives().Get(n, &entry)) return;
  if (entry.systemDrive) return;  // the disk that holds the system is never listed
  const std::string name = platform::DriveName(n);
  // Which disk the index known under this name was read from (set lock, then DiskIndex lock:
  // taken before the device lock, in the order every other path takes them).
  DiskIndexRef known = first_.Find(name);
  if (!known) known = second_.Find(name);
  uint32_t knownIdentity = 0;
  if (known) {
    CAutoLock g(&known->lock());
    knownIdentity = known->identity;
  }
  CDevFlyWeightFactory* registry = CDevFlyWeightFactory::getSingleton();
  if (!registry->CreateScsiDev(name.c_str(), false)) return;
  char text[32] = {};
  registry->GetDevText(text, name.c_str());
  CDisk_Dev* dev = registry->CreateScsiDev(name.c_str(), false);  // the text may replace it
  if (!dev) return;
  DiskRecord rec;
  rec.name = name;
  rec.deviceText = text;
  rec.readOnly = entry.readOnly;
  uint32_t identity = 0;
  bool recordDisk = false;
  {
    // Re-opening the device, reading its tables and telling whether it is another disk happen
    // under the device lock: no command of a writer reaches the disk between them, so what
    // was opened on the old disk never writes to the new one.
    CAutoLock devLock(dev->get_lock());
    if (dev->Reassociate() == -1) return;
    dev->TestUnitReady();  // wakes a sleeping disk; the result does not matter here
    if (text[0] == '\0') {
      DebugLog("Can not get devtext  device %s %s ", name.c_str(), text);
      return;
    }
    if (table.Init(dev) == 0 && table.IsStfs()) {
      rec.extB = table.GetExtB();
      rec.extC = table.GetExtC();
      rec.extD = table.GetExtD();
      rec.indexLba = table.GetIndexLba();
      rec.partitionCount = static_cast<uint16_t>(table.GetPartCount());
      rec.firstRecordLba = table.GetFirstRecordLba();
      rec.recordFileSectors = table.GetRecordFileSectors();
      recordDisk = rec.indexLba != 0;
      if (recordDisk) identity = DeviceIdentity(dev, rec.indexLba);
    }
    // Another disk in the same device node (a card or disk exchanged).
    if (known && knownIdentity != identity) dev->NewMedium();
    rec.capacityMB = static_cast<uint32_t>(dev->get_capacity_MB());
  }
  rec.state = kDiskNoRecordArea;
  if (recordDisk) {
    const uint16_t diskNo = static_cast<uint16_t>(disks_.size());
    DiskIndexSet& fresh = first_.Size() == 0 ? first_ : second_;
    if (OpenIndex(name, rec.indexLba, diskNo, fresh, rec.readOnly, identity) == 0)
      rec.state = kDiskReady;
    if (disks_.empty()) extE_ = table.GetExtE();
  }
  // The pause gives the receiver of the disk report time to take it in; with nobody receiving
  // reports there is nothing to wait for (a format's rescan would wait 30 ms per drive).
  if (Append(std::move(rec))) platform::SleepMs(kScanPauseMs);
}

bool DiskWatch::Append(DiskRecord rec) {
  disks_.push_back(std::move(rec));
  const int32_t listed[2] = {static_cast<int32_t>(disks_.size()),
                             static_cast<int32_t>(disks_.size())};
  return shared_ && shared_->ReportStatus(kStatusDisks, listed, sizeof listed);
}

bool DiskWatch::ListedRawDisk(const std::string& mountSource) {
  for (const DiskRecord& d : disks_) {
    if (d.volume) continue;
    platform::DriveEntry e;
    if (platform::Drives().Get(platform::DriveNumberOf(d.name), &e) &&
        platform::IsOnDisk(mountSource, e.path)) {
      DebugLog("Volume %s lies on disk %s: listed once, as the disk.\n", mountSource.c_str(),
               d.name.c_str());
      return true;
    }
  }
  return false;
}

void DiskWatch::ScanVolumes() {
  const std::string systemDisk = platform::DriveTable::SystemDiskPath();
  int candidates = 0;
  std::vector<platform::MountEntry> mounts;
  if (platform::Drives().UsesMachineMounts()) mounts = platform::ReadMounts();
  std::sort(mounts.begin(), mounts.end(),
            [](const platform::MountEntry& a, const platform::MountEntry& b) {
              return a.mountPoint < b.mountPoint;
            });
  for (const platform::MountEntry& m : mounts) {
    if (m.mountPoint == "/" || kPseudoFileSystems.count(m.fsType)) continue;
    if (candidates++ >= kMaxVolumes) break;
    if (!systemDisk.empty() && platform::IsOnDisk(m.source, systemDisk)) {
      DebugLog("Skip drvie %d  localDiskNum %d .\n", candidates, 0);
      continue;
    }
    // A record partition mounted by the machine is listed once, as the raw disk.
    if (ListedRawDisk(m.source)) continue;
    AddVolume(WithTrailingSlash(m.mountPoint), platform::Drives().AllReadOnly());
  }
  for (const platform::DriveTable::Volume& v : platform::Drives().Volumes())
    AddVolume(v.folder, v.readOnly);
}

void DiskWatch::AddVolume(const std::string& folder, bool readOnly) {
  if (!IsFolder(folder) || FolderIndexPath(folder).empty()) return;
  for (const DiskRecord& d : disks_)
    if (d.name == folder) return;  // a folder both mounted and added
  DiskRecord rec;
  rec.name = folder;
  rec.volume = true;
  rec.readOnly = readOnly;
  rec.partitionCount = 1;
  rec.firstRecordLba = kVolumeFirstRecordLba;
  rec.recordFileSectors = kVolumeRecordFileSectors;
  rec.indexLba = kVolumeIndexLba;
  rec.extC = kVolumeExtC;
  rec.extB = kVolumeExtB;
  if (OpenIndex(folder, 0, static_cast<uint16_t>(disks_.size()), first_, readOnly,
                FolderIdentity(folder)) != 0)
    return;
  rec.state = kDiskReady;
  Append(std::move(rec));
}

void DiskWatch::FillSpace() {
  bool first = true;
  for (const DiskIndexRef& index : first_.Indexes()) {
    if (!first) break;
    recordFileBytes_ = index->recordFileBytes;
    DebugLog("Record file size is %d .\n", static_cast<int>(index->recordFileBytes));
    first = false;
  }
  // Each disk's space comes from its own index (found by its name, in either set).
  for (DiskRecord& d : disks_) {
    DiskIndexRef index = first_.Find(d.name);
    if (!index) index = second_.Find(d.name);
    if (!index) {
      if (d.state == kDiskReady) DebugLog("NO index file.\n");
      continue;
    }
    CAutoLock g(&index->lock());
    const uint32_t fileMB = index->recordFileBytes >> 20;
    d.totalMB = fileMB * index->recordFileCount;
    d.freeMB = fileMB * static_cast<uint32_t>(index->freeList.size());
  }
}

void DiskWatch::RebuildReadyMask() {
  uint32_t mask = 0;
  for (size_t i = 0; i < disks_.size() && i < 32; ++i)
    if (disks_[i].state == kDiskReady) mask |= 1u << i;
  readyMask_ = mask;
}

// ---- queries -------------------------------------------------------------------------------

int DiskWatch::ReadyCheck() {
  CAutoLock g(&lock_);
  int ready = 0;
  for (DiskRecord& d : disks_) {
    if (d.volume) {
      if (IsFolder(d.name)) {
        d.state = d.indexLba ? kDiskReady : kDiskNoRecordArea;
        ++ready;
      } else {
        DebugLog("Disk  %s is not ready. %d \n", d.name.c_str(), 0);
        d.state = kDiskNotReady;
      }
      continue;
    }
    CDisk_Dev* dev = CDevFlyWeightFactory::getSingleton()->CreateScsiDev(d.name.c_str(), false);
    if (!dev) continue;
    if (dev->TestUnitReady() != 0) {
      DebugLog("Disk  %s is not ready. %d \n", d.name.c_str(), dev->get_last_err());
      d.state = kDiskNotReady;
      continue;
    }
    d.state = d.indexLba ? kDiskReady : kDiskNoRecordArea;
    ++ready;
  }
  RebuildReadyMask();
  return ready;
}

int DiskWatch::ReopenDrives(bool reopen) {
  CAutoLock g(&lock_);
  int withIndex = 0;
  for (DiskRecord& d : disks_) {
    if (IsDevicePath(d.name) &&
        !CDevFlyWeightFactory::getSingleton()->CreateScsiDev(d.name.c_str(), reopen)) {
      DebugLog("CreateScsiDev %s fail.\n ", d.name.c_str());
      continue;
    }
    d.state = d.indexLba ? kDiskReady : kDiskNoRecordArea;
    withIndex += d.indexLba ? 1 : 0;
  }
  RebuildReadyMask();
  return withIndex;
}

int DiskWatch::RemoveDisk(const std::string& name) {
  CAutoLock g(&lock_);
  if (disks_.empty()) return ERR_NO_DEVICE;
  for (auto it = disks_.begin(); it != disks_.end(); ++it) {
    if (it->name == name) {
      disks_.erase(it);
      break;
    }
  }
  RebuildReadyMask();
  return 0;
}

void DiskWatch::ForgetIndex(const std::string& name) {
  CAutoLock g(&lock_);
  first_.Remove(name) || second_.Remove(name);
}

void DiskWatch::CloseAll() {
  CAutoLock g(&lock_);
  disks_.clear();
  first_.Clear();
  second_.Clear();
  readyMask_ = 0;
}

bool DiskWatch::DiskName(int n, std::string* out) {
  CAutoLock g(&lock_);
  if (n >= 0 && static_cast<size_t>(n) < disks_.size()) {
    *out = disks_[n].name;
    return true;
  }
  DebugLog("Error disk number %d.\n", n);
  if (disks_.size() == 1) {
    DebugLog("Set to devcice %s \n", disks_[0].name.c_str());
    *out = disks_[0].name;
    return true;
  }
  return false;
}

std::vector<DiskRecord> DiskWatch::Disks() {
  CAutoLock g(&lock_);
  return disks_;
}

uint64_t DiskWatch::RecordFileLba(const std::string& name, uint32_t n) {
  CAutoLock g(&lock_);
  for (const DiskRecord& d : disks_) {
    // 64-bit: the record area of a large disk lies past 2^32 sectors.
    if (Names(d, name))
      return d.firstRecordLba + static_cast<uint64_t>(n) * d.recordFileSectors;
  }
  return kUnknownDiskLba;
}

uint32_t DiskWatch::RecordFileSectors(const std::string& name) {
  CAutoLock g(&lock_);
  for (const DiskRecord& d : disks_)
    if (Names(d, name)) return d.recordFileSectors;
  return 0;
}

void DiskWatch::RepairInMemory(DiskIndex& index) {
  {
    CAutoLock g(&index.lock());
    if (index.repairList.empty()) return;
  }
  if (!finder_) finder_ = std::make_unique<CRecordWriter>(0);
  CRecordWriter& finder = *finder_;
  index.RepairInMemory([&index, &finder](const _rec_file_info_& r, uint32_t* dataEnd,
                                         int64_t* endMs) {
    return finder.FindRepairedEnd(index.path, static_cast<uint32_t>(r.fileIndex),
                                  index.recordFileBytes, r.startMs, 0, dataEnd, endMs);
  });
}

uint32_t DiskWatch::RepairedDataEnd(const std::string& name, uint32_t n) {
  DiskIndexRef index = first_.Find(name);
  if (!index) index = second_.Find(name);
  return index ? index->RepairedDataEnd(n) : 0;
}

bool DiskWatch::IsVolumeRecordSource(const std::string& name) {
  CAutoLock g(&lock_);
  for (const DiskRecord& d : disks_)
    if (Names(d, name)) return d.indexLba != 0 && d.extB != 0;
  return false;
}
