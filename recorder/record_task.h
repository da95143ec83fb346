// RecordTask: one channel's recording. It owns the channel's record writer, takes record files
// from the disk index set (a free one, or the oldest recording recycled), tells the index when
// a recording starts, grows (every 35 video frames) and closes, and keeps the times and byte
// counts of the current segment.
//
// Lock rule: lock_ serialises open, write and close of the task (the record thread, and the
// control functions through the manager). Order: record manager, task, disk index set,
// DiskIndex.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "index/disk_index_set.h"
#include "platform/critical_section.h"
#include "qvfs/records.h"
#include "record/record_writer.h"

enum RecordTaskResult : int {
  ERR_TASK_NO_TIME = -4016,  // a frame without a usable time stamp
};

class RecordTask {
 public:
  static constexpr uint32_t kDefaultFileBytes = 0x8000000;
  static constexpr uint32_t kProgressFrames = 35;  // video frames between index updates
  static constexpr uint32_t kKeepFileMargin = 0x800000;

  RecordTask(int channel, DiskIndexSet* set);
  ~RecordTask();

  // Opens a recording of this type at the frame time: a new file, or a new segment of the file
  // kept open. The type on success, else a negative code (-5002: no file to take).
  int Open(int type, int64_t ptsMs);
  // Writes one frame of the open recording. Its size, or the writer's (or index's) code.
  int Write(const uint8_t* frame, uint32_t size);
  // Ends the recording: the segment ends and the file stays open when more than 8 MiB remain
  // in it and it is not to be closed; otherwise the file is closed.
  int Close(int type, bool closeFile);

  int channel() const { return channel_; }
  bool recording() const { return recording_; }
  // Whether the writer holds a record file open (also between two recordings).
  bool HasOpenFile();
  bool fileOpen() const { return writer_.IsOpen(); }
  void SetCycle(bool on) { cycle_ = on; }
  bool cycle() const { return cycle_; }
  void SetResolution(uint32_t width, uint32_t height);
  // The record file in use and how full it is (percent), for the progress queries.
  uint32_t fileIndex() const { return fileIndex_; }
  int FilePercent() const;
  uint32_t recordSn() const { return info_.sn; }
  // Set when a file could not be had; cleared by the manager's reports.
  bool noFreeFile() const { return noFreeFile_; }
  void ClearNoFreeFile() { noFreeFile_ = false; }
  uint16_t diskNo() const { return diskNo_; }
  // Whether the task records to, or holds a file open on, the disk of this path (under the task
  // lock: the record thread changes both when it takes a file).
  bool UsesDisk(const std::string& path) {
    CAutoLock g(&lock_);
    return diskPath_ == path && (recording() || fileOpen());
  }
  // A copy, under the task lock: the record thread changes it when it takes a file.
  std::string diskPath() {
    CAutoLock g(&lock_);
    return diskPath_;
  }
  // Closes the file (if open) and forgets the disk: the disk is gone.
  void Release();

 private:
  int TakeFile(FileGrant* grant);
  void RegisterWriter();
  void UnregisterWriter();
  int Progress(int64_t ptsMs);

  const int channel_;
  DiskIndexSet* set_;
  CRecordWriter writer_;
  CCriticalSection lock_;
  std::atomic<bool> recording_{false};
  std::atomic<bool> cycle_{true};
  std::atomic<bool> noFreeFile_{false};
  uint16_t diskNo_ = 0;
  std::atomic<uint32_t> fileIndex_{0};
  uint32_t fileBytes_ = 0;
  std::string diskPath_ = "/dev/sda";
  uint8_t kind_ = 1;
  uint32_t width_ = 960, height_ = 576;
  _rec_file_info_ info_{};
  int64_t startMs_ = 0, lastMs_ = 0;
  uint64_t segmentBytes_ = 0;
  uint32_t sinceUpdateBytes_ = 0;
  uint32_t videoFrames_ = 0;
  std::weak_ptr<DiskIndex> registeredOn_;  // the index whose writer map lists this writer
};
