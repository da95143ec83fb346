// The record reader: opens one record file, positions it at a time through its I-frame index,
// and moves frame data into a play buffer in the order the play mode asks for (all frames, key
// frames forwards, key frames backwards). The disk's device service thread refills the buffer
// every 50 ms (Fill); the consumer takes whole frames out (GetFrame).
//
// Lock rule: lock_ serialises position changes (SeekToTime, Fill and the reads it dispatches);
// the play buffer has its own lock for its data. GetFrame waits outside lock_.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "fifo/play_buf.h"
#include "platform/critical_section.h"
#include "qvfs/records.h"
#include "record/asf_frames.h"
#include "record/frame_strategy.h"
#include "record/record_format.h"
#include "recorder/device_service.h"

class CSerialFileBase;

// Play modes.
enum PlayMode : int {
  kModePause = 1,
  kModeStop = 2,
  kModeNormal = 16,
  kModeSingle = 32,
  kModeSlow = 64,
  kModeFast = 128,
  kModeBack = 256,
};

enum RecordReaderResult : int {
  ERR_READER_BAD_FRAME = -97,
  ERR_READER_NO_REGION = -100,
  ERR_READER_NO_ENTRY = -101,
  ERR_READER_NO_INDEX = -109,
  ERR_READER_BEFORE_FIRST = -3002,
  ERR_READER_END = -3003,
  ERR_READER_TIMEOUT = -2008,
  ERR_READER_PAST_END = -2004,
  ERR_READER_NO_BUFFER = -4011,
  ERR_READER_BAD_SECTOR = -1005,  // the disk reported a medium error where the reader read
};

// How long to wait before showing the next frame: |difference| / speed in the fast modes,
// |difference| in normal mode, 40 ms otherwise; never more than 1000 ms.
int64_t PaceDelayMs(int mode, int speed, int64_t previousMs, int64_t nextMs);

class CRecReadBase {
 public:
  virtual int Open(const std::string& path, uint32_t fileIndex, int64_t startMs, int64_t endMs,
                   bool clear) = 0;                                  // 1
  virtual int ReadData() = 0;                                        // 2
  virtual int ReadThinned() = 0;                                     // 3
  virtual int ReadKeyFramesForward() = 0;                            // 4
  virtual int ReadKeyFramesBackward() = 0;                           // 5
  virtual int GetFrame(void* buffer, uint32_t size) = 0;             // 6
  virtual int GetFrameInRange(void* buffer, uint32_t size) = 0;      // 7
  virtual ~CRecReadBase() = default;
};

class CRecordReader : public CRecReadBase, public ServiceReader {
 public:
  explicit CRecordReader(int clientId = 0);
  ~CRecordReader() override;

  int Open(const std::string& path, uint32_t fileIndex, int64_t startMs, int64_t endMs,
           bool clear) override;
  int ReadData() override;
  int ReadThinned() override;
  int ReadKeyFramesForward() override;
  int ReadKeyFramesBackward() override;
  int GetFrame(void* buffer, uint32_t size) override;
  int GetFrameInRange(void* buffer, uint32_t size) override;

  // An exported record file given as an ordinary path; channel, index and times from info.
  int OpenFile(const std::string& path, const _rec_file_info_& info);
  // Reads the head and the index; the I-frame count, 0 for an index-less file with data,
  // -5002 empty, -4008 not a record file.
  int ReadRecordInfo(recfile::RecordHead* headCopy);
  int SeekToTime(int64_t ms, bool clearBuffer);
  int64_t SeekIndex(int64_t ms);
  int Fill(int level) override;
  int GetGpsInfo(uint32_t seconds, recfile::GpsEntry* out);
  int Close();

  void SetPlayMode(int mode, int speed);

  // ---- replay's operations on the reader ----
  // Opens (or keeps) record file item.fileIndex of disk item.diskNo at time t (the item's
  // start when t is earlier); reopen clears the play buffer and opens afresh. 0 or the code.
  int OpenRecord(const _rec_file_info_& item, int64_t t, bool reopen);
  // The checked mode change: modes 1, 2, 16, 32, 64, 128, 256; speed 0..32 (0 steps as 1).
  // Play goes on from the last frame taken out, with the buffer emptied. 0 or -101.
  int SetReplayMode(int mode, int speed);
  int speed() const { return speed_; }
  bool IsOpen() const { return open_.load(); }
  // Empties the play buffer under the reader's lock.
  void ClearPlayBuffer();
  uint32_t fileIndex() const { return fileIndex_; }
  int64_t currentMs() const { return currentMs_.load(); }
  int mode() const { return mode_; }
  bool ended() const { return ended_.load(); }
  // Whether the play buffer holds nothing (the consumer has taken every frame read).
  bool Drained() { return !play_ || play_->DataSize() == 0; }
  uint32_t position() const { return pos_; }
  // The bytes of the open file the reader may read: the head's size, bounded by the file.
  uint32_t regionBytes() const { return fileSize_; }
  const std::vector<recfile::IndexEntry>& index() const { return index_; }
  const recfile::RecordHead& head() const { return head_; }
  CPlayBufStrategy* playBuffer() { return play_.get(); }

  // ServiceReader.
  bool ServiceFileOpen() const override { return open_.load(); }
  uint64_t ServiceKey() const override { return serviceKey_; }
  int ServiceChannel() const override { return channel_; }
  uint64_t ServiceFileLba() const override { return fileLba_; }
  void ServiceTimeRange(int64_t* startMs, int64_t* endMs, bool* fastBackward) const override;

 private:
  int OpenRegion(const std::string& path, uint32_t fileIndex);
  int Prepare(int64_t startMs, int64_t endMs, bool clear);
  // The region's size (at most `size`), the play buffer and the position at the data start.
  int PrepareRegion(uint64_t size, int channel, int64_t startMs, int64_t endMs, bool clear);
  // A piece the recovery scan found (operation QVFS_OPERATION_RECOVERED): its bytes
  // [endOffset - size, endOffset) of the record file, read as they lie.
  int OpenRecovered(const std::string& path, const _rec_file_info_& item);
  void Register();
  void ReleaseRegion();
  // The key frame of index entry k, read whole and pushed into the play buffer: 1 pushed,
  // 0 no room, -97 no key frame there (the walk goes on with the next entry), other negative
  // codes after setting the end flag.
  int PushIndexedFrame(size_t k);
  uint32_t ReadableEnd() const;
  // The code of a failed read: -1005 when the disk reported a medium error (a bad sector:
  // playback can go on further along), else the read's own code.
  int ReadFailure(int r) const;
  // After a bad sector: on to an index entry past it (by mode), clearing the end flag.
  int MoveToAnotherEntry();
  // ASF-packaged files: packets read and put back together into tagged frames.
  int ReadAsfPackets();
  int PushPendingFrames();
  int PushAsfKeyFrame(size_t k);
  void ForgetAsfFrames();
  // A frame GetFrame hands out: the last time taken noted, audio passed through the mixing step.
  int Delivered(void* buffer, int length);

  int clientId_;
  std::unique_ptr<CSerialFileBase> file_;
  uint32_t repairedEnd_ = 0;  // the data end an in-memory repair found (file left open), or 0
  uint32_t rangeStart_ = 0, rangeEnd_ = 0;  // a recovered piece's bytes; 0, 0 otherwise
  std::string regionName_;
  bool direct_ = false;
  uint32_t fileSectors_ = 0;  // of each record file on the disk; 0 when not known
  uint64_t fileLba_ = 0;
  uint64_t serviceKey_ = 0;
  bool registered_ = false;
  uint32_t fileSize_ = 0;
  uint32_t fileIndex_ = 0;
  int channel_ = 0;
  int64_t startMs_ = 0, endMs_ = 0;
  recfile::RecordHead head_{};
  std::vector<recfile::IndexEntry> index_;
  std::vector<recfile::GpsEntry> gps_;
  uint32_t pos_ = recfile::kDataOffset;
  size_t curIndex_ = 0;
  bool keySent_ = false;  // the key frame of curIndex_ went out already
  size_t step_ = 1;
  int mode_ = kModeNormal;
  int speed_ = 1;
  std::atomic<bool> ended_{false};
  std::atomic<bool> open_{false};
  // Refills passed over while the buffer was full enough: the service thread and a consumer
  // refilling by itself both count them.
  std::atomic<int> skips_{0};
  std::atomic<int64_t> currentMs_{0};  // moved by the filling thread and by the consumer
  std::atomic<int64_t> consumedMs_{0};
  // Odd while OpenRecord opens and positions a file; moves on at its start and end.
  std::atomic<uint32_t> openGen_{0};
  struct Positioning {
    explicit Positioning(std::atomic<uint32_t>& g) : gen(g) { ++gen; }
    ~Positioning() { ++gen; }
    std::atomic<uint32_t>& gen;
  };  // the last frame GetFrame handed out since the last seek
  int64_t lastSeekMs_ = 0;
  std::unique_ptr<CPlayBufStrategy> play_;
  std::vector<uint8_t> frameBuf_;  // key frames and thinned reads
  CFrmStategy selector_;      // the consumer's (GetFrame)
  CFrmStategy fillSelector_;  // the filling thread's, under lock_
  bool asf_ = false;  // the data area holds ASF packets
  AsfFrameAssembler assembler_;
  std::deque<std::vector<uint8_t>> pending_;  // frames put together, not yet in the buffer
  CCriticalSection lock_;
};
