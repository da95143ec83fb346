// A disk index set: the open indexes of the record disks one stream records to (the first set
// for the main stream, the second for the sub stream), with the dispatch of the index
// maintenance to one disk, and per channel the recordings updated most recently.
//
// Lock rule: lock() guards the list of indexes and the position of the disk asked first; every
// operation takes it before the DiskIndex lock (set, then disk). The recent-records lists have
// their own mutex and are fed before the set's lock is taken.
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "index/disk_index.h"
#include "platform/critical_section.h"

// A record file handed to a recording.
struct FileGrant {
  uint16_t diskNo = 0;
  uint32_t fileIndex = 0;
  uint32_t fileBytes = 0;
  std::string path;  // the disk's device path or folder
  uint64_t medium = 0;  // the medium the disk's index was read from: the file opens only on it
  uint32_t identity = 0;  // which disk (DiskIndex::identity)
};

class DiskIndexSet {
 public:
  static constexpr size_t kRecentMax = 65536;

  CCriticalSection& lock() { return lock_; }
  // The indexes in order: shared, so that one dropped from the set meanwhile stays valid for
  // whoever holds it.
  std::vector<DiskIndexRef> Indexes();
  DiskIndexRef Find(const std::string& path);
  DiskIndexRef Add(DiskIndexRef index);
  bool Remove(const std::string& path);
  void Clear();
  size_t Size();

  // The channel limit of the record descriptions (the configured channel count).
  void SetChannelLimit(uint32_t n) { channelLimit_ = n; }
  uint32_t channelLimit() const { return channelLimit_; }

  // A free file: the disk asked first, then every disk in order; -5002 when none has one.
  int TakeFreeFile(FileGrant* out);
  // The oldest recording's file of the first disk on which recycling succeeds; -5002.
  int RecycleFile(FileGrant* out);
  // Dispatched to the disk whose number is the description's (the only disk when there is
  // one). With no disk: WriteRecord -5002, UpdateRecordInfo 0 (an update of a recording whose
  // disk left changes nothing).
  int WriteRecord(_rec_file_info_& r);
  int UpdateRecordInfo(_rec_file_info_& r);
  // Whether a disk of this number is in the set.
  bool HasDisk(uint8_t diskNo);
  // The disk whose number the record carries; -5002 when the set has none of that number.
  int LockRecord(const _rec_file_info_& r);
  int UnlockRecord(const _rec_file_info_& r);
  int DeleteRecord(const _rec_file_info_& r);
  void ClearRepairLists();
  // Records waiting on the repair lists of every disk.
  size_t RepairCount();
  // Free record files over every disk, and their space in MiB.
  uint32_t FreeFiles();
  uint64_t FreeSpaceMB();
  // The channel's most recently updated recordings, newest first.
  std::vector<_rec_file_info_> RecentRecords(int channel);

 private:
  DiskIndex* DiskFor(uint8_t diskNo);  // under lock_
  void Remember(const _rec_file_info_& r);
  FileGrant GrantOf(const DiskIndex& d, uint32_t fileIndex) const;

  CCriticalSection lock_;
  std::list<DiskIndexRef> indexes_;  // guarded by lock_
  size_t takeFirst_ = 0;                           // guarded by lock_
  uint32_t channelLimit_ = 32;
  std::mutex recentMutex_;
  std::map<int, std::deque<_rec_file_info_>> recent_;  // guarded by recentMutex_
};
