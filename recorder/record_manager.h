// RecordManager: the recording engine of one stream (main or sub). It owns one RecordTask per
// channel, a record thread that moves frames from the channels' FIFOs into record files, and a
// timer thread that applies schedules, ends event recordings, checks rate and space, and
// reports state changes through the status callback (0x8001 disks, 0x8002 disk full or
// hardware error, 0x8003 a channel's record type, 0x8004 no record disk).
//
// Record types are bits: 1 schedule, 2 manual, 4, 8, 16, 32 events. A channel's current type
// is 0, 1, 2 or a union of event bits.
//
// Lock rule: lock_ guards the channel states and every record-type change; it is taken before
// a task's lock (manager, task, disk index set, DiskIndex). The threads read the flags below
// without it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "index/disk_index_set.h"
#include "platform/critical_section.h"
#include "qvfs/records.h"
#include "recorder/record_task.h"

class SharedRecords;
class DiskWatch;

namespace rec {
constexpr uint32_t kTypeSchedule = 1;
constexpr uint32_t kTypeManual = 2;
constexpr uint32_t kEventTypes = 4 | 8 | 16 | 32;
constexpr int kStatusDisks = 0x8001;
constexpr int kStatusDiskError = 0x8002;
constexpr int kStatusChannelType = 0x8003;
constexpr int kStatusNoDisk = 0x8004;
}  // namespace rec

class RecordManager {
 public:
  // Takes one frame of a channel into buf: its length, 0 when none is waiting, or an error.
  using FrameSource = std::function<int(int channel, uint8_t* buf, uint32_t size)>;
  // A channel's FIFO fill level in percent.
  using FifoLevel = std::function<int(int channel)>;

  RecordManager(int channels, int stream, DiskIndexSet* set, DiskWatch* watch,
                SharedRecords* shared);
  ~RecordManager();
  RecordManager(const RecordManager&) = delete;
  RecordManager& operator=(const RecordManager&) = delete;

  void SetFrameSource(FrameSource source, FifoLevel level);
  // Starts the record thread and the timer thread (stop flag cleared).
  void StartThreads();
  // Sets the stop flag and waits for both threads to end (tear-down).
  void JoinThreads();
  // Closes every task's record file, also one kept open for a next segment (tear-down).
  void CloseFiles();
  // Closes the recordings and files of the tasks that record to this disk (it is about to be
  // formatted or is gone); their channels record again at the next key frame.
  void ReleaseDisk(const std::string& path);
  bool recordThreadRunning() const { return recordRunning_; }
  bool started() const { return everStarted_; }

  void StartRecord(int channel, uint32_t type);
  void StopRecord(int channel, uint32_t type, bool force, bool closeFile);
  // The duration of an event type, its clock starting now.
  void SetEventData(int channel, uint32_t type, int value);
  void ManualStop(int channel);  // -1: every channel
  // Switches the channels of the mask to manual recording (the caller keeps the mask).
  void SetRecordSwitch(uint32_t mask);
  // Closes every active channel's recording and waits (at most about 3.1 s) for the record
  // thread to be idle; reports every channel and the disks.
  void StopAll();
  void SetCycle(bool on);
  void SetPrepare(int value, int prepare);
  void SetResolution(uint32_t width, uint32_t height, int channel);
  void SetSchedule(int channel, const RecordSchedule& s);
  RecordSchedule Schedule(int channel);

  // The stream's record mask (type 2 wanted on these channels).
  uint32_t recordMask() const { return recordMask_; }
  void SetRecordMask(uint32_t mask) { recordMask_ = mask; }
  void SetRecordMaskBit(int channel, bool on);

  int channelCount() const { return static_cast<int>(tasks_.size()); }
  RecordTask* Task(int channel);
  uint32_t CurrentType(int channel);
  uint32_t activeMask() const { return activeMask_; }
  bool TaskActive(int channel) const;
  uint64_t bytesWritten() const { return bytes_; }
  uint32_t rateKBps() const { return rateKBps_; }
  // Reports 0x8001 (or 0x8004) as the report counter allows.
  void ReportDisks(bool force = false);
  void ClearReportCounter() { reportCounter_ = 0; }

  // Intervals (ms) of the waits the threads make; tests shorten them.
  void SetTimings(int diskLossPollMs, int timerStepMs);

 private:
  struct ChannelState {
    uint16_t frameStatus = 0;  // 0 none, 1 frames arrive, 2 idle
    uint32_t type = 0;
    uint32_t reported = 0;
    int64_t eventStartSec[4] = {};  // types 4, 8, 16, 32
    uint32_t eventSeconds[4] = {};
    RecordSchedule schedule{};
  };
  struct Slot {  // read by the record thread without the lock
    std::atomic<bool> active{true};
    std::atomic<bool> started{false};
  };

  void RecordThread();
  void TimerThread();
  int ReadyCheck(int channel);
  int WriteFrame(int channel, const uint8_t* frame, uint32_t size);
  int HandleWriteError(int channel, uint32_t type, int error, int64_t pts,
                       const uint8_t* frame, uint32_t size);
  // Waits out a disk loss; false when the stop flag ended the wait.
  bool WaitForDisk();
  void ReportChannel(int channel, uint32_t type);
  void ReportAllChannels(bool zero);
  int RecordDiskCount();
  void CheckEvents(int64_t nowMs);
  void ApplySchedules(int64_t nowMs);
  void CheckRateAndSpace(int64_t nowMs);
  bool Sleep(int ms);  // false when the stop flag came during the sleep

  const int stream_;
  DiskIndexSet* set_;
  DiskWatch* watch_;
  SharedRecords* shared_;
  std::vector<std::unique_ptr<RecordTask>> tasks_;
  std::vector<Slot> slots_;
  std::vector<ChannelState> states_;
  FrameSource source_;
  FifoLevel level_;
  CCriticalSection lock_;

  std::atomic<bool> diskLost_{false};
  std::atomic<int> reportCounter_{0};
  std::atomic<uint32_t> activeMask_{0};
  std::atomic<uint32_t> recordMask_{0};
  std::atomic<bool> stop_{true};
  std::atomic<bool> recordRunning_{false};  // set when started, cleared when the thread ends
  std::atomic<bool> recordThreadIn_{false};
  std::atomic<bool> quit_{false};           // tear-down: every loop ends
  std::atomic<bool> timerRunning_{false};
  std::atomic<bool> idle_{true};
  std::atomic<bool> everStarted_{false};
  std::atomic<bool> diskFullReported_{false};
  bool prepare_ = true;
  int prepareValue_ = 5;
  std::atomic<uint64_t> bytes_{0};
  uint64_t bytesAtRate_ = 0;
  int64_t rateAtMs_ = 0, spaceAtMs_ = 0;
  std::atomic<uint32_t> rateKBps_{0};
  int diskLossPollMs_ = 10000;
  int timerStepMs_ = 300;
  std::thread recordThread_, timerThread_;
};
