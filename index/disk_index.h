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

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
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
  ERR_INDEX_NO_SEGMENT = -107,     // every segment record of the entry in use (a new segment)
  ERR_INDEX_RECORD_OPEN = -111,    // the recording is being written: it cannot be deleted
  ERR_NO_INDEX_FILE = -116,  // a folder without recordIdx.bin / recindex.bin, or a record file
  ERR_INDEX_MAGIC = -5000,   // not an index, or a header whose counts disagree
  ERR_INDEX_NO_RESULT = -5002,     // nothing to take, no write state, no disk
  ERR_INDEX_SEGMENTS_FULL = -5004, // the 64 segment records are used (disks written by peers)
  ERR_INDEX_NOTHING_FOUND = -5007,
};

// The operation byte of a record description given to the index maintenance.
constexpr uint8_t kOpRecordStart = 1;  // a recording starts in the file
constexpr uint8_t kOpRecordClose = 4;  // the recording in the file is closed
                                       // anything else: progress of the open recording

// What the index keeps of a channel recording on this disk: the file, the number of the open
// segment's record (n: the records before it are closed segments) and the image of the file's
// entry. Progress updates grow record n in place; a new record is taken only when a segment
// ends (a type change, or a recording closed while its file stays open).
struct ChannelWriteState {
  uint32_t fileIndex = 0;
  uint32_t used = 0;
  recindex::RecIndexEntry image{};
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

  // ---- index maintenance (index_maintenance.cpp); each takes lock() ----
  // The first free file: 0, or -5002 with none.
  int TakeFreeFile(uint32_t* fileIndex);
  // The oldest recording's file (by start time, or by SN when the clock stands before the
  // recorded history) that no writer is writing; the entry on disk is left for the recording
  // that follows. 0, or -5002.
  int Recycle(uint32_t* fileIndex);
  // Writes the start of a recording (operation 1: entry, SN, time map) or of a new segment
  // (other operations). Sets r's segment number and SN. 0, -107, -5002 or an I/O code.
  int WriteRecord(_rec_file_info_& r, uint32_t channelLimit);
  // Close (operation 4) or progress of the channel's recording: the open segment's record
  // grows in place. 0, -5002 or an I/O code.
  int UpdateRecordInfo(_rec_file_info_& r, uint32_t channelLimit);
  // Lock, unlock or delete segment r.segmentNo of file r.fileIndex (delete: the whole entry
  // when it has one segment). 0, -5002 (no such file), -111 (being written) or an I/O code.
  int LockRecord(const _rec_file_info_& r);
  int UnlockRecord(const _rec_file_info_& r);
  int DeleteRecord(const _rec_file_info_& r);
  // Repairs the entries on the repair list; repairFile asks the record writer to repair the
  // record file (the data end and end time it found). Records that failed or whose file is
  // within 8 MiB of full leave the list; the others stay for the next start.
  using RepairFn = std::function<int(const _rec_file_info_&, uint32_t* dataEnd, int64_t* endMs)>;
  int Repair(const RepairFn& repairFile);
  // The same repair in memory only, for drives that must not be written and for scans that
  // only look: nothing is written. Each repaired entry joins the time map and is kept in
  // `repaired` (searches read its segments there, readers end the file at its data end); the
  // repair list stays as it is for a repair that writes. The number of entries repaired.
  int RepairInMemory(const RepairFn& findEnd);
  // The data end an in-memory repair found for the file, 0 when it has none.
  uint32_t RepairedDataEnd(uint32_t fileIndex);
  // Writes the entries of recordings still open (recording stops) with the open bit cleared.
  void CloseWriters();
  // The summary of entry fileIndex as it lies on the disk (only reads): 0 or a read code.
  int ReadSummary(uint32_t fileIndex, recindex::RecIndexSummary* out);

  // ---- entry heads kept for the searches (callers hold lock()) ----
  // A search reads the entries of recordings with several segments from the index file. Their
  // heads (the summary and the segment records up to the first unused one, as the file holds
  // them) are kept here after the first read, so a later search finds them in memory. Every
  // write of an entry drops its head, and Open drops them all: a kept head is always what the
  // file holds. The heads lie one after another in the order the searches met them (time
  // order), so a walk reads them as a stream. Past kHeadCacheBytes (dropped heads included)
  // all are dropped and kept again by the searches that follow.
  static constexpr size_t kHeadCacheBytes = 16u << 20;
  // The kept head of file i, or null. Valid until the next KeepHead or write of an entry.
  const uint8_t* KeptHead(uint32_t fileIndex) const;
  // Keeps the head of `entry` (a whole 4096-byte entry as read) for file i.
  void KeepHead(uint32_t fileIndex, const uint8_t* entry);
  // The bytes of an entry's head: the summary and its usable segment records up to and
  // including the first that is not in use (all a search looks at).
  static size_t HeadBytes(const uint8_t* entry);

  // ---- what Open read; fixed until the next Open ----
  std::string path;              // device name, or folder path ending in '/'
  CDisk_Dev* device = nullptr;   // absent for a folder
  std::unique_ptr<CSerialFileBase> file;  // the region file over the index
  std::atomic<uint16_t> diskNo{0};  // set by each scan, read by grants and dispatch: atomic
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
  // Which disk this is (set by the disk watch when it opens the index): a digest of what
  // formatting made unique to the disk, compared at every scan (see DiskWatch).
  // Written by each scan, read by the recording engine's grants: atomic.
  std::atomic<uint32_t> identity{0};
  uint64_t medium = 0;  // the device's medium when the index was read (0 for a folder)

  // ---- guarded by lock() ----
  std::vector<uint32_t> allFiles;    // 0 .. count - 1
  std::deque<uint32_t> freeList;     // free and unusable files, in file order
  std::map<TimeKey, recindex::RecIndexSummary> timeMap;  // well-formed recordings
  std::list<_rec_file_info_> repairList;  // entries to repair or that cannot be used
  std::map<int, IndexedWriter*> writerMap;  // channel -> its writer on this disk
  uint32_t nextSn = 1;
  uint32_t leastSn = 0;
  std::map<int, ChannelWriteState> writeStates;  // channel -> its recording's entry
  // Entries repaired in memory (RepairInMemory), by file index, with the data end found.
  struct RepairedFile {
    recindex::RecIndexEntry entry{};
    uint32_t dataEnd = 0;
  };
  std::map<uint32_t, RepairedFile> repaired;
  uint32_t lastTaken = 0;                        // the file most recently taken

 private:
  int OpenRegion(uint64_t indexLba);
  int ReadHeader();
  int ReadEntries();
  // Sorts the 4096 entry bytes of file i into the lists.
  void SortEntry(const uint8_t* entry, uint32_t i, bool* firstSn);
  // The entry a repair gives record rec, its record file searched by repairFile (rec's end,
  // size and data end filled in): false when the repair failed.
  bool RepairedEntry(_rec_file_info_& rec, const RepairFn& repairFile,
                     recindex::RecIndexEntry* out);
  int ReadEntry(uint32_t fileIndex, recindex::RecIndexEntry* e);
  int WriteEntry(uint32_t fileIndex, const recindex::RecIndexEntry& e);
  void DropFromTimeMap(uint32_t fileIndex);
  // Puts (or moves) file fileIndex's recording into the time map.
  void PutInTimeMap(uint32_t fileIndex, const recindex::RecIndexSummary& s);
  bool BeingWritten(uint32_t fileIndex) const;
  int RecycleByLeastSn(uint32_t* fileIndex);
  void ResetSn();
  int SetSegmentLock(const _rec_file_info_& r, bool lock);

  void DropHead(uint32_t fileIndex);

  CCriticalSection lock_;
  bool open_ = false;
  // Kept heads (guarded by lock()): file index -> offset of its head in headArena_.
  std::unordered_map<uint32_t, uint32_t> heads_;
  std::vector<uint8_t> headArena_;
};

// A DiskIndex lives as long as anyone holds it: the disk index set that lists it, and each
// search, replay or writer that took it from the set. A rescan or a format that drops an index
// from its set therefore never frees one in use; the holder finishes with an index that is no
// longer listed (and whose region file refuses a disk that changed under it).
using DiskIndexRef = std::shared_ptr<DiskIndex>;

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
