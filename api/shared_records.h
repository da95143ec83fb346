// The process-wide records every layer reads: the configuration copy, the tuning record
// StorageParams, the five replay-client records and the two callback slots. One SharedRecords
// lives in the library context (api/context.h).
//
// Thread safety: QVFS_Init writes the configuration and the tuning record before the library's
// threads start; afterwards they are read without a lock. The client records are changed by the
// replay-session manager under its own lock and read by the search cache. The callback slots
// are atomic, so a callback may be set while threads report.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "qvfs/records.h"

// The tuning record, created with these defaults the first time anything asks for it (a reader
// or writer may be built before QVFS_Init); QVFS_Init overwrites the fields it owns.
struct StorageParams {
  int32_t channels = 6;
  int32_t mainFifoSize = 0;
  int32_t frameBufferSize = 0x80000;   // the one-frame buffer of the record thread and readers
  int32_t writeCacheSize = 0x180000;   // the record writer's cache
  int32_t subFifoSize = 0;
  int32_t field6 = 0;                  // StorageConfig.extParam2
  int32_t field7 = 0;                  // StorageConfig.extParam1
  int32_t field8 = 30;
  int32_t field9 = 1000;
  int32_t frameBufferSize2 = 0x80000;
  int32_t playBufferSize = 0x140000;   // handed to each play buffer
  int32_t field12 = 30;
  bool multiUserPlayBuffer = false;
};

// One replay client's record, shared by the replay sessions and the search cache (72 bytes).
struct ClientRecord {
  static constexpr int32_t kFree = -1;
  static constexpr int32_t kPlaying = 123;
  static constexpr int32_t kStopRequested = 886;

  int32_t userId = kFree;       // the client id; -1: slot free
  int32_t state = 0;            // 123 playing, 886 stop requested, 0 idle
  uint64_t channelMask = 0;     // bit n: channel n replayed for this client
  uint64_t stopMask = 0;        // bit n: stop channel n; all ones: stop all
  int64_t startMs = 0;          // range of the last InitChAndTime (or search)
  int64_t endMs = 0;
  int32_t typeMask = 0;         // search cache: type mask of the last search
  int32_t resultCount = 0;      // search cache: its result count
  int64_t lastSearchSec = 0;    // search cache: when it ran (0: never)
  uint8_t reserved[16] = {};
};
static_assert(sizeof(ClientRecord) == 72, "ClientRecord is 72 bytes");

constexpr int kClientRecordCount = 5;

class SharedRecords {
 public:
  SharedRecords();

  // The configuration copy (zero until QVFS_Init gives one).
  StorageConfig& config() { return config_; }
  // The tuning record, created with its defaults on first use.
  StorageParams& params();
  // Client id n uses record n. Record 0 belongs to the local client (user id 0); the others
  // are free (-1) until the replay-session manager hands them out.
  ClientRecord& client(int n) { return clients_[n]; }

  void SetStatusCallback(QVFS_StatusCallback cb) { statusCb_.store(cb); }
  void SetGetFrameCallback(QVFS_GetFrameCallback cb) { getFrameCb_.store(cb); }
  QVFS_GetFrameCallback GetFrameCallback() const { return getFrameCb_.load(); }
  // The record readers' mixed-audio flag: on at start, off when the configuration says so.
  bool mixAudio() const { return mixAudio_.load(); }
  void SetMixAudio(bool on) { mixAudio_.store(on); }
  // Calls the status callback when one is set: true when it was called.
  bool ReportStatus(int code, const void* data, int length) const;

 private:
  StorageConfig config_{};
  std::once_flag paramsOnce_;
  std::unique_ptr<StorageParams> params_;
  ClientRecord clients_[kClientRecordCount];
  std::atomic<QVFS_StatusCallback> statusCb_{nullptr};
  std::atomic<QVFS_GetFrameCallback> getFrameCb_{nullptr};
  std::atomic<bool> mixAudio_{true};
};

// The internal record description of an exported one: channel, state, disk, segment and type
// bits to their fields, the time-zone hours into bits 1..7, file index and size, times x 1000.
// The record SN and kind stay 0.
_rec_file_info_ RecordItemToInfo(const RecordItem& item);
// Fills an exported record description from a search result (times in whole seconds); bytes 0,
// 2 and 4..7 are left as they are, as the searches leave them.
void FillRecordItem(RecordItem* item, const _rec_file_info_& r);
