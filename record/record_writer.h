// The record writer: turns one channel's tagged frames into a record file. CRecWriteBase holds
// what every writer shares (head image, segment list, index buffer, write cache); CRecordWriter
// writes native record files. Frames go to a write cache first; the disk's device service
// thread flushes it every 50 ms (and WriteFrame flushes it itself while the cache is full).
//
// Lock rule: flushLock_ serialises cache flushes (device service thread, record thread and
// Close); the cache ring has its own lock for its positions. WriteFrame runs on one thread (the
// record thread); the head and the segments are that thread's.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fifo/fifo_buf.h"
#include "index/disk_index.h"
#include "platform/critical_section.h"
#include "qvfs/records.h"
#include "record/frame_strategy.h"
#include "record/record_format.h"
#include "recorder/device_service.h"
#include "serialfile/region_io.h"

class CSerialFileBase;

// What OpenNew is told about the recording.
struct RecordDescriptor {
  uint32_t recordSN = 0;
  uint32_t unused = 0;
  char text1[64] = {};
  char text2[64] = {};  // the recorder's name
  char text3[64] = {};  // the recorder's version
  uint32_t width = 0;
  uint32_t height = 0;
};

enum RecordWriterResult : int {
  ERR_WRITER_OPEN = -105,
  ERR_WRITER_OVER_FILE = -2004,
  ERR_WRITER_CACHE_FULL = -2008,
  ERR_WRITER_NO_NAME = -2010,
  ERR_WRITER_TIME_AHEAD = -4006,
  ERR_WRITER_TIME_BACK = -4007,
  ERR_WRITER_NO_KEY = -4013,
  ERR_WRITER_NO_ROOM = -4014,
  ERR_WRITER_NO_REGION = -8003,
};

// Device status after a failed flush.
constexpr int kDeviceWriteFailed = 3;
constexpr int kDeviceGone = 5;

class CRecWriteBase {
 public:
  virtual int OpenNew(const std::string& path, uint32_t fileIndex, uint32_t fileSize,
                      int64_t startMs, const RecordDescriptor* desc) = 0;          // 1
  virtual int OpenAppend(const std::string& path, const _rec_file_info_& desc,
                         uint32_t fileSize, int64_t lastMs) = 0;                    // 2
  virtual int WriteFrame(const void* frame, uint32_t size) = 0;                     // 3
  virtual int SetParamSets(const void* data, uint32_t length) = 0;                  // 4
  virtual int RepairFile(const std::string& path, uint32_t fileIndex, uint32_t regionSize,
                         int64_t startMs, int64_t endMs, uint32_t* dataEnd,
                         int64_t* endTimeMs) = 0;                                   // 5
  virtual int Close() = 0;                                                          // 6
  virtual ~CRecWriteBase() = default;
};

class CRecordWriter : public CRecWriteBase, public ServiceWriter, public IndexedWriter {
 public:
  explicit CRecordWriter(int channel);
  ~CRecordWriter() override;

  static constexpr uint64_t kAnyMedium = ~uint64_t{0};
  // The next open (OpenNew or OpenAppend) of a device file succeeds only on this medium of the
  // device (see CDisk_Dev::medium): the one the disk's index handed the file out on.
  void ExpectMedium(uint64_t medium) { expectMedium_ = medium; }

  int OpenNew(const std::string& path, uint32_t fileIndex, uint32_t fileSize, int64_t startMs,
              const RecordDescriptor* desc) override;
  int OpenAppend(const std::string& path, const _rec_file_info_& desc, uint32_t fileSize,
                 int64_t lastMs) override;
  int WriteFrame(const void* frame, uint32_t size) override;
  int SetParamSets(const void*, uint32_t) override { return 0; }
  int RepairFile(const std::string& path, uint32_t fileIndex, uint32_t regionSize,
                 int64_t startMs, int64_t endMs, uint32_t* dataEnd, int64_t* endTimeMs) override;
  // The same repair with nothing written (the file is opened read-only): the data end and end
  // time the repair would give. For drives that must not be written and for search scans.
  int FindRepairedEnd(const std::string& path, uint32_t fileIndex, uint32_t regionSize,
                      int64_t startMs, int64_t endMs, uint32_t* dataEnd, int64_t* endTimeMs);
  int Close() override;

  // Moves the cache to the disk (0, or the failed write's code).
  int FlushCache();
  int FlushIndex(bool force);
  int WriteHead();
  // Ends the current segment (its data length into *length) and keeps the file open.
  int EndSegment(uint32_t* length);
  int NewSegment(const _rec_file_info_& desc);

  // ServiceWriter / IndexedWriter.
  int FlushForService() override { return FlushCache(); }
  int ServiceLastError() const override { return lastError_; }
  uint32_t WriterFileIndex() const override { return head_.fileIndex; }
  int64_t WriterEndMs() const override { return lastFrameMs_.load(); }
  int32_t WriterDataSize() const override {
    return static_cast<int32_t>(pos_.load() - recfile::kDataOffset);
  }

  bool IsOpen() const { return file_ != nullptr; }
  const recfile::RecordHead& head() const { return head_; }
  const recfile::SegmentRecord& currentSegment() const { return cur_; }
  uint32_t position() const { return pos_; }
  int deviceStatus() const { return deviceStatus_; }
  // The key the device service thread knows this writer by.
  uint64_t ServiceKeyOf() const { return serviceKey_; }

 private:
  int OpenRegion(const std::string& path, uint32_t fileIndex, uint32_t fileSize,
                 int mode = MODE_RDWR);
  int Repair(const std::string& path, uint32_t fileIndex, uint32_t regionSize, int64_t startMs,
             int64_t endMs, bool write, uint32_t* dataEnd, int64_t* endTimeMs);
  void ReleaseRegion();
  void StartBuffers();
  int AddIndexEntry(uint8_t type, int64_t ptsMs, uint32_t offset, uint32_t frameBytes);
  int PutInCache(const void* frame, uint32_t size);
  int CheckRoomForNextGop();
  void Register();
  void Unregister();

  int channel_;
  uint32_t headOffset_ = 0;
  std::vector<uint8_t> headImage_;
  recfile::RecordHead head_{};
  std::vector<recfile::SegmentRecord> segments_;
  recfile::SegmentRecord cur_{};
  recfile::IndexEntry lastIndex_{};
  std::vector<uint8_t> indexBuf_;  // the index area image (from file offset 8192)
  std::vector<uint8_t> repairBlock_;             // the repair's head block, kept between repairs
  std::unique_ptr<uint8_t[]> repairChunk_;       // its data reads (not zeroed), made once
  uint32_t indexAppend_ = 0;
  uint32_t indexFlushed_ = 0;
  int64_t lastIndexFlushMs_ = 0;
  CFIFO_buf cache_;
  // File offset of the cache's first byte (moved by flushes on the service thread).
  std::atomic<uint32_t> cacheDiskPos_{0};
  std::atomic<uint32_t> pos_{0};          // read by the searches' thread
  std::atomic<int64_t> lastFrameMs_{0};
  uint32_t lastFrameNo_ = 0;
  uint32_t minIndexDistance_ = recfile::kDefaultIndexDistance;
  std::unique_ptr<CSerialFileBase> file_;
  std::string path_;        // as given to OpenNew
  uint64_t expectMedium_ = kAnyMedium;
  std::string regionName_;  // device name or file path
  // Set on the record thread, read by flushes on the service thread (and back).
  std::atomic<bool> closing_{false};
  std::atomic<bool> segmentDirty_{false};
  int64_t lastFlushMs_ = 0;  // flushLock_
  std::atomic<int> deviceStatus_{0};
  std::atomic<int> lastError_{0};
  uint64_t serviceKey_ = 0;
  bool registered_ = false;
  CFrmStategy selector_;
  CCriticalSection flushLock_;
};
