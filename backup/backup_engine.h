// The backup engine: copies recordings (records of a search) from the record disks into
// ordinary files in a destination folder, one file per record, as ".asf" (CAsfFile), ".mp4"
// (CMp4Writer) or ".bin" (a record-file container). One backup at a time runs on a thread
// of its own; the caller polls the progress or gets status 0x8006 {percent, error} through the
// status callback, and can stop it.
//
// Output names are "CH%02d_%s__%s%s": channel + 1, the start time, the end time in the shortest
// form that is unambiguous (time of day, month-day and time, or the full date), the extension.
// An existing file is never overwritten: " (1)", " (2)", ... go before the extension.
//
// Lock rule: lock_ guards the queue, the outputs and the prepared settings; the thread takes it
// only to read its next record and to note a result, never while copying frames. Progress,
// the running flag and the stop flag are atomics.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "backup/aac_conversion.h"
#include "qvfs/records.h"

class SharedRecords;
class CRecordReader;

enum BackupType : int { kBackupAsf = 0, kBackupMp4 = 1, kBackupBin = 2 };

enum BackupResult : int {
  ERR_BACKUP_RUNNING = -98,
  ERR_BACKUP_OUTPUT = -99,      // output not created, or no key frame in the record
  ERR_BACKUP_WRITE = -1003,
  ERR_BACKUP_STOPPED = -2010,
  ERR_BACKUP_NO_DEST = -4000,
  ERR_BACKUP_NO_SPACE = -4001,
  ERR_BACKUP_NOTHING = -4002,
};

constexpr int kStatusBackupProgress = 0x8006;

class BackupEngine {
 public:
  static constexpr uint32_t kFrameBufferBytes = 1024000;
  static constexpr int kReaderClient = 5;  // the backup's reader, apart from the replay clients

  // One output of the current or last backup: its path and the record's result (0, or the
  // stop: a stopped record keeps the file written up to there, which plays).
  struct Output {
    std::string path;
    int result = 0;
  };
  // A record of the current or last backup that failed: its position in the queue and its
  // result. A failed record leaves no file behind (an empty or partial file is no backup).
  struct Failure {
    size_t record = 0;
    int result = 0;
  };

  explicit BackupEngine(SharedRecords* shared);
  ~BackupEngine();  // stops a running backup and waits for it

  void Stage(const _rec_file_info_& r);
  void ClearStaged();
  // Moves the staged records (or the given ones) into the queue after the checks: 0, -4000,
  // -4001, -4002, or -98 while a backup runs.
  int Prepare(int type, const std::string& dest);
  int Prepare(const _rec_file_info_* list, int count, int type, const std::string& dest);
  // Starts the backup thread over the queue: 0, or -98 while one runs.
  int Start();
  int Stop();
  // Waits until the backup thread has ended (tools and tests).
  void Wait();
  int Progress() const { return progress_.load(); }
  bool Running() const { return running_.load(); }
  std::vector<Output> Outputs();
  std::vector<Failure> Failures();

  // The file name of a record for a backup type.
  static std::string MakeName(int type, const _rec_file_info_& r);

  // The audio conversion of MP4 backups (QVFS_BackupAudioParm).
  AacConversion& audio() { return audio_; }

  // ---- for the record writers ----
  bool stopRequested() const { return stop_.load(); }
  size_t queueLength() const { return queueLength_.load(); }
  // Sets the progress and reports it when it grew by at least minStep.
  void ReportProgress(int percent, int minStep);

 private:
  int CheckAndQueue(std::vector<_rec_file_info_> records, int type, const std::string& dest);
  void Run();
  int BackupOne(size_t i, const _rec_file_info_& r, const std::string& path);
  int BackupAsf(size_t i, const _rec_file_info_& r, CRecordReader& reader,
                const std::string& path);
  int BackupBin(size_t i, const _rec_file_info_& r, CRecordReader& reader,
                const std::string& path);
  // A path in the destination that does not exist yet.
  std::string FreePath(const std::string& name) const;
  void Report(int percent, int error);

  SharedRecords* shared_;
  std::mutex lock_;
  std::vector<_rec_file_info_> staged_;
  std::vector<_rec_file_info_> queue_;
  std::vector<Output> outputs_;
  std::vector<Failure> failures_;
  std::string dest_;
  int type_ = kBackupAsf;
  AacConversion audio_;

  std::atomic<int> progress_{0};
  std::atomic<int> lastReported_{0};
  std::atomic<bool> stop_{false};
  std::atomic<bool> running_{false};
  std::atomic<size_t> queueLength_{0};
  std::thread thread_;
};
