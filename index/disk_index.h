// DiskIndex: the in-memory picture of one record disk's index. Open reads the index file (a run
// of sectors on a record disk, or recordIdx.bin / recindex.bin in a folder) and sorts every entry
// into the free list, the time map of well-formed recordings or the repair list. The index
// maintenance and the searches work on the lists afterwards.
//
// Lock rule: lock() guards every list, the writer map and the SN counters. Open holds it from
// clearing the lists until the entries are read; everything else that reads or changes the
// lists takes it too. Within the storage lock order it comes last: record manager, record task,
// disk index set, DiskIndex.
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "index/index_format.h"
#include "platform/critical_section.h"
#include "qvfs/records.h"

class CDisk_Dev;
class CSerialFileBase;

// What the index and the searches need of the record writer of a channel on this disk.
class IndexedWriter {
 public:
  virtual ~IndexedWriter() = default;
  virtual uint32_t WriterFileIndex() const = 0;  // the record file being written
  virtual int64_t WriterEndMs() const = 0;       // time of the last frame written
  virtual int32_t WriterDataSize() const = 0;    // bytes written to the file so far
};

// Index and search result codes.
enum IndexResult : int {
  ERR_NO_INDEX_FILE = -116,  // a folder without recordIdx.bin / recindex.bin, or a record file
  ERR_INDEX_MAGIC = -5000,   // not an index, or a header whose counts disagree
  ERR_INDEX_NO_RESULT = -5002,
  ERR_INDEX_NOTHING_FOUND = -5007,
};

// Time-map key: recordings in start-time order; two that start in the same millisecond (two
// channels started together) both stay, ordered by file index.
struct TimeKey {
  int64_t startMs;
  uint32_t fileIndex;
  bool operator<(const TimeKey& o) const {
    return startMs != o.startMs ? startMs < o.startMs : fileIndex < o.fileIndex;
  }
};

class DiskIndex {
 public:
  DiskIndex();
  ~DiskIndex();
  DiskIndex(const DiskIndex&) = delete;
  DiskIndex& operator=(const DiskIndex&) = delete;

  // Opens the index of a device path ("\\.\PhysicalDriveN", the index at indexLba) or a folder
  // path, and fills the lists. An index that is open already is read again only with force.
  // 0, -2010 (no device or path), -116 (no index file in the folder), -5000 (not an index, or
  // its counts disagree), or a region-file code.
  int Open(uint16_t diskNo, const std::string& path, uint64_t indexLba, bool force);
  bool IsOpen() const { return open_; }

  CCriticalSection& lock() { return lock_; }
  void Lock() { lock_.Lock(); }
  void Unlock() { lock_.Unlock(); }

  // The record description of entry i (the repair list and the recording engine build it).
  _rec_file_info_ Describe(const recindex::RecIndexSummary& s, uint32_t fileIndex) const;

  // ---- what Open read; fixed until the next Open ----
  std::string path;              // device name, or folder path ending in '/'
  CDisk_Dev* device = nullptr;   // absent for a folder
  std::unique_ptr<CSerialFileBase> file;  // the region file over the index
  uint16_t diskNo = 0;
  uint32_t recordFileCount = 0;
  uint32_t recordFileBytes = 0;
  uint32_t indexBytes = 0;
  uint32_t entryOffset = 0;
  uint32_t entryBytes = 0;
  uint32_t word36 = 0;
  uint32_t segmentTableOffset = 0;
  uint32_t segmentBytes = 0;
  uint32_t segmentsPerEntry = 0;
  uint64_t recordAreaLba = 0;
  uint32_t counter = 0;

  // ---- guarded by lock() ----
  std::vector<uint32_t> allFiles;    // 0 .. count - 1
  std::deque<uint32_t> freeList;     // free and unusable files, in file order
  std::map<TimeKey, recindex::RecIndexSummary> timeMap;  // well-formed recordings
  std::list<_rec_file_info_> repairList;  // entries to repair or that cannot be used
  std::map<int, IndexedWriter*> writerMap;  // channel -> its writer on this disk
  uint32_t nextSn = 1;
  uint32_t leastSn = 0;

 private:
  int OpenRegion(uint64_t indexLba);
  int ReadHeader();
  int ReadEntries();
  // Sorts the 4096 entry bytes of file i into the lists.
  void SortEntry(const uint8_t* entry, uint32_t i, bool* firstSn);

  CCriticalSection lock_;
  bool open_ = false;
};

// Folder disks: the index file of a folder (recordIdx.bin, else recindex.bin), or "" when
// neither exists. The folder path ends in '/'.
std::string FolderIndexPath(const std::string& folder);
// The path of record file i of a folder disk: NNNNN.asf in Record/, else in the folder itself.
// 0, or -116 when neither exists.
int FolderRecordFilePath(const std::string& folder, uint32_t fileIndex, std::string* out);
// The folder path with one trailing '/'.
std::string WithTrailingSlash(const std::string& folder);
// True when the path names a device ("\\.\PhysicalDrive...").
bool IsDevicePath(const std::string& path);
// True when the folder holds an index file whose first four bytes are "STFS".
bool TestIndex(const std::string& folder);
