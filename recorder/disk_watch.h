// The disk watch finds the record disks: every drive of the drive table but the system drive,
// and every mounted file system (and added volume folder) that holds a record index. It keeps
// the disk list (one record per drive found, its position the disk number) and has the index of
// every record disk opened into one of the two disk index sets.
//
// Lock rules: the watch lock guards the disk list and is held for a whole scan; readers of the
// list (disk name, disks, LBA queries) copy what they need under it. Each disk index set has its
// own lock for its list; a DiskIndex's own lock guards its contents (index/disk_index.h). Order:
// watch lock, then a set's lock, then a DiskIndex lock, then a device lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "index/disk_index.h"
#include "index/disk_index_set.h"
#include "platform/critical_section.h"

class SharedRecords;
class CDiskTable;

enum DiskState : int16_t {
  kDiskReady = 0,         // record disk with an open index
  kDiskNoRecordArea = 2,  // present, but no usable record area or index
  kDiskNotReady = -1,
};

struct DiskRecord {
  uint16_t partitionCount = 0;
  int16_t state = kDiskNoRecordArea;
  uint32_t capacityMB = 0;  // 0 for a volume disk
  uint32_t totalMB = 0;     // record file MiB x record files
  uint32_t freeMB = 0;      // record file MiB x free record files
  std::string name;         // "\\.\PhysicalDriveN", or a volume folder ending in '/'
  std::string deviceText;   // vendor and product
  uint64_t firstRecordLba = 0;
  uint32_t recordFileSectors = 0;
  uint64_t indexLba = 0;    // 0: no record area
  uint32_t extC = 0, extD = 0;
  uint64_t extB = 0;
  bool volume = false;      // a folder holding record files as ordinary files
  bool readOnly = false;
};

class CRecordWriter;

class DiskWatch {
 public:
  static constexpr int kDriveSlots = 16;
  static constexpr int kMaxVolumes = 19;
  static constexpr uint64_t kUnknownDiskLba = 2048;

  explicit DiskWatch(SharedRecords* shared);
  ~DiskWatch();

  // The scan (MountUsbThreadBody): the number of disks listed, or 0 when a scan already runs.
  // Recordings a power loss left open are repaired on the disk by the index-opened call when
  // repairWrites is set and the drive may be written; every other one (a read-only drive, a
  // scan for searching) is repaired in memory, so that it is listed and played all the same
  // and nothing is written.
  int Scan(bool repairWrites = true);
  // Called after a scan, outside the watch lock, with the names of the disks whose indexes the
  // scan dropped (the disk left, or another disk is under its name): the recording engine
  // installs it to close the recordings and replays that used them.
  void SetDisksLeft(std::function<void(const std::vector<std::string>&)> f) {
    CAutoLock g(&lock_);
    disksLeft_ = std::move(f);
  }
  // Called at the end of a scan for each index it opened (the index, and whether its drive is
  // read-only); the recording engine installs it to repair recordings left open.
  void SetIndexOpened(std::function<void(DiskIndex&, bool readOnly)> f) {
    CAutoLock g(&lock_);
    indexOpened_ = std::move(f);
  }
  // Tests each listed disk; the number of ready disks (states updated).
  int ReadyCheck();
  // Re-opens the physical drives; the number of disks with an index.
  int ReopenDrives(bool reopen);
  // Removes the first disk with this name: 0, or -2010 when the list is empty.
  int RemoveDisk(const std::string& name);
  // Closes and forgets the index of a disk (before it is formatted), in whichever set it is.
  void ForgetIndex(const std::string& name);
  // Closes every index and empties the disk list (before the devices go).
  void CloseAll();

  // The name of disk n; with a bad number and exactly one disk, that disk's name. False when
  // there is none.
  bool DiskName(int n, std::string* out);
  // A copy of the disk list.
  std::vector<DiskRecord> Disks();
  // LBA of record file n on the disk of this name (a device name, or a folder with or without
  // its trailing '/'); 2048 when no disk has it.
  uint64_t RecordFileLba(const std::string& name, uint32_t n);
  // Sectors of each record file on the disk of this name; 0 when no disk has it.
  // A record head's own sizes are bounded by it: a damaged head must not reach the next files.
  uint32_t RecordFileSectors(const std::string& name);
  bool IsVolumeRecordSource(const std::string& name);
  // Where an in-memory repair found the end of record file n of disk `name` (a device name or
  // a folder path), 0 when it has not repaired that file: readers of a file left open stop
  // there instead of reading on into what an earlier recording left behind.
  uint32_t RepairedDataEnd(const std::string& name, uint32_t n);
  uint32_t ReadyMask() const { return readyMask_.load(); }
  uint32_t RecordFileBytes() const { return recordFileBytes_.load(); }
  uint32_t ExtE() const { return extE_.load(); }
  bool Scanning() const { return scanning_.load(); }
  // Scans completed so far: a search result kept from before a scan is not reused after it.
  uint64_t ScansDone() const { return scansDone_.load(); }

  // Source 0: the record-disk set; any other: the second set.
  DiskIndexSet& IndexSet(int source) { return source ? second_ : first_; }

 private:
  void ScanDrive(int n, CDiskTable& table);
  void ScanVolumes();
  void AddVolume(const std::string& folder, bool readOnly);
  // Opens (or re-opens) the index of a disk in the set it already belongs to, else in the set
  // chosen for a new one. 0 or the open's code.
  // A known index whose identity differs from the disk's is dropped (another disk under the
  // name) and a fresh one opened in its set.
  int OpenIndex(const std::string& path, uint64_t indexLba, uint16_t diskNo, DiskIndexSet& fresh,
                bool readOnly, uint32_t identity);
  // Drops the indexes of disks this scan did not find ready: "Dev %s is deleted.".
  void DropIndexesOfLeftDisks();
  // The in-memory repair of what the index lists for repair (see Scan).
  void RepairInMemory(DiskIndex& index);
  void FillSpace();
  void RebuildReadyMask();
  // Lists the disk and reports the list: true when someone received the report.
  bool Append(DiskRecord rec);
  bool ListedRawDisk(const std::string& mountSource);

  SharedRecords* shared_;
  CCriticalSection lock_;
  std::vector<DiskRecord> disks_;  // guarded by lock_
  DiskIndexSet first_, second_;
  std::vector<std::pair<DiskIndexRef, bool>> opened_;  // by the running scan, with read-only
  std::vector<std::string> left_;  // disks whose index the running scan dropped
  std::function<void(DiskIndex&, bool)> indexOpened_;
  std::function<void(const std::vector<std::string>&)> disksLeft_;
  std::unique_ptr<CRecordWriter> finder_;  // the in-memory repairs' file scans (under lock_)
  std::atomic<bool> scanning_{false};
  std::atomic<uint64_t> scansDone_{0};
  std::atomic<uint32_t> recordFileBytes_{134217728};
  std::atomic<uint32_t> extE_{536870912};
  std::atomic<uint32_t> readyMask_{0};
  int startDrive_ = 0;
};

// The scan body, as the set-up, the format and QVFS_ScanDisk run it.
int MountUsbThreadBody(DiskWatch* watch);
