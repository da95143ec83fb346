#include "backup/backup_engine.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "api/shared_records.h"
#include "backup/bin_container.h"
#include "backup/mp4_backup.h"
#include "backup/record_frames.h"
#include "platform/messages.h"
#include "platform/time_print.h"
#include "record/asf_file.h"
#include "record/h264.h"

namespace {

constexpr int kProgressEvery = 100;  // frames between progress figures

bool IsFolder(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

uint64_t FreeBytes(const std::string& folder) {
  struct statvfs vfs {};
  if (statvfs(folder.c_str(), &vfs) != 0) return 0;
  return uint64_t{vfs.f_bavail} * vfs.f_frsize;
}

const char* Extension(int type) {
  return type == kBackupMp4 ? ".mp4" : type == kBackupBin ? ".bin" : ".asf";
}

struct tm BrokenDown(int64_t ms, uint8_t tzByte) {
  const time_t t = static_cast<time_t>(ms / 1000 + int64_t{tzByte >> 1} * 3600);
  struct tm out {};
  gmtime_r(&t, &out);
  return out;
}

// The record's share of the whole backup so far, in percent.
int ShareOf(size_t i, size_t n, uint64_t done, uint64_t size) {
  if (n == 0) return 0;
  const uint64_t within = size ? std::min<uint64_t>(done * 100 / size, 100) : 0;
  return static_cast<int>((i * 100 + within) / n);
}

}  // namespace

BackupEngine::BackupEngine(SharedRecords* shared) : shared_(shared) {}

BackupEngine::~BackupEngine() {
  Stop();
  Wait();
}

std::string BackupEngine::MakeName(int type, const _rec_file_info_& r) {
  const struct tm s = BrokenDown(r.startMs, r.tzByte), e = BrokenDown(r.endMs, r.tzByte);
  char start[80], end[80], name[200];
  std::snprintf(start, sizeof start, "%04d-%02d-%02d_%02d_%02d_%02d", s.tm_year + 1900,
                s.tm_mon + 1, s.tm_mday, s.tm_hour, s.tm_min, s.tm_sec);
  if (s.tm_year == e.tm_year && s.tm_yday == e.tm_yday)
    std::snprintf(end, sizeof end, "%02d_%02d_%02d", e.tm_hour, e.tm_min, e.tm_sec);
  else if (s.tm_year == e.tm_year)
    std::snprintf(end, sizeof end, "%02d-%02d_%02d_%02d_%02d", e.tm_mon + 1, e.tm_mday,
                  e.tm_hour, e.tm_min, e.tm_sec);
  else
    std::snprintf(end, sizeof end, "%04d-%02d-%02d_%02d_%02d_%02d", e.tm_year + 1900,
                  e.tm_mon + 1, e.tm_mday, e.tm_hour, e.tm_min, e.tm_sec);
  std::snprintf(name, sizeof name, "CH%02d_%s__%s%s", r.channel + 1, start, end, Extension(type));
  return name;
}

// ---- preparing -----------------------------------------------------------------------------

void BackupEngine::Stage(const _rec_file_info_& r) {
  std::lock_guard<std::mutex> g(lock_);
  staged_.push_back(r);
}

void BackupEngine::ClearStaged() {
  std::lock_guard<std::mutex> g(lock_);
  staged_.clear();
}

int BackupEngine::Prepare(int type, const std::string& dest) {
  std::vector<_rec_file_info_> records;
  {
    std::lock_guard<std::mutex> g(lock_);
    records = staged_;
  }
  return CheckAndQueue(std::move(records), type, dest);
}

int BackupEngine::Prepare(const _rec_file_info_* list, int count, int type,
                          const std::string& dest) {
  std::vector<_rec_file_info_> records;
  if (list && count > 0) records.assign(list, list + count);
  return CheckAndQueue(std::move(records), type, dest);
}

int BackupEngine::CheckAndQueue(std::vector<_rec_file_info_> records, int type,
                                const std::string& dest) {
  // The queue belongs to the running thread: a new one waits until it has ended.
  if (running_) return ERR_BACKUP_RUNNING;
  if (!IsFolder(dest)) {
    DebugLog("No this path. %s \n", dest.c_str());
    return ERR_BACKUP_NO_DEST;
  }
  uint64_t sum = 0;
  for (const _rec_file_info_& r : records) sum += static_cast<uint32_t>(r.size);
  if (sum == 0) {
    DebugLog("File list error num %d \n", static_cast<int>(records.size()));
    return ERR_BACKUP_NOTHING;
  }
  const uint64_t free = FreeBytes(dest);
  if (sum >= free) {
    DebugLog("Space not enough. File file %lld, disk free size %lld.\n",
             static_cast<long long>(sum), static_cast<long long>(free));
    return ERR_BACKUP_NO_SPACE;
  }
  std::lock_guard<std::mutex> g(lock_);
  queue_ = std::move(records);
  queueLength_ = queue_.size();
  staged_.clear();
  outputs_.clear();
  failures_.clear();
  dest_ = dest;
  if (dest_.back() != '/') dest_ += '/';
  type_ = type;
  progress_ = 0;
  lastReported_ = 0;
  stop_ = false;
  return 0;
}

// ---- the thread ----------------------------------------------------------------------------

int BackupEngine::Start() {
  bool expected = false;
  if (!running_.compare_exchange_strong(expected, true)) return ERR_BACKUP_RUNNING;
  if (thread_.joinable()) thread_.join();  // the last backup's thread has ended
  thread_ = std::thread(&BackupEngine::Run, this);
  return 0;
}

int BackupEngine::Stop() {
  stop_ = true;
  return 0;
}

void BackupEngine::Wait() {
  if (thread_.joinable()) thread_.join();
}

std::vector<BackupEngine::Failure> BackupEngine::Failures() {
  std::lock_guard<std::mutex> g(lock_);
  return failures_;
}

std::vector<BackupEngine::Output> BackupEngine::Outputs() {
  std::lock_guard<std::mutex> g(lock_);
  return outputs_;
}

void BackupEngine::Report(int percent, int error) {
  const int32_t payload[2] = {percent, error};
  if (shared_) shared_->ReportStatus(kStatusBackupProgress, payload, sizeof payload);
}

void BackupEngine::ReportProgress(int percent, int minStep) {
  percent = std::min(std::max(percent, 0), 100);
  progress_ = percent;
  if (percent - lastReported_.load() >= minStep) {
    lastReported_ = percent;
    Report(percent, 0);
  }
}

std::string BackupEngine::FreePath(const std::string& name) const {
  std::string path = dest_ + name;
  if (!Exists(path)) return path;
  const size_t dot = name.rfind('.');
  const std::string stem = name.substr(0, dot), ext = name.substr(dot);
  for (int k = 1; k < 1000; ++k) {
    path = dest_ + stem + " (" + std::to_string(k) + ")" + ext;
    if (!Exists(path)) return path;
  }
  return std::string();  // no free name: the record fails
}

void BackupEngine::Run() {
  const auto began = std::chrono::steady_clock::now();
  std::vector<_rec_file_info_> queue;
  std::string dest;
  {
    std::lock_guard<std::mutex> g(lock_);
    queue = queue_;
    dest = dest_;
  }
  progress_ = 0;
  Report(0, 0);
  int error = 0;
  size_t done = 0;
  for (size_t i = 0; i < queue.size() && !stop_; ++i) {
    const std::string path = FreePath(MakeName(type_, queue[i]));
    error = path.empty() ? ERR_BACKUP_OUTPUT : BackupOne(i, queue[i], path);
    // A record that failed leaves nothing behind: an empty or partial file is no backup of it.
    // A stop keeps what was written, closed and playable up to there.
    if (error != 0 && error != ERR_BACKUP_STOPPED && !path.empty() && Exists(path) &&
        std::remove(path.c_str()) != 0)
      DebugLog("Backup: the failed output %s could not be removed.\n", path.c_str());
    {
      std::lock_guard<std::mutex> g(lock_);
      if (!path.empty() && Exists(path)) outputs_.push_back({path, error});
      if (error != 0) failures_.push_back({i, error});
    }
    // A record that failed counts as done too: a finished backup reaches 100, and the final
    // status carries the error.
    done += 100;
    ReportProgress(static_cast<int>(done / queue.size()), 1);
    if (error != 0 && (!IsFolder(dest) || stop_)) break;
  }
  if (error != 0) {
    Report(progress_, error);
  } else {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - began);
    DebugLog("Backup thread end. Time diffMS %d  speed .\n", static_cast<int>(ms.count()));
  }
  stop_ = true;
  {
    std::lock_guard<std::mutex> g(lock_);
    queue_.clear();
    queueLength_ = 0;
  }
  running_ = false;
}

int BackupEngine::BackupOne(size_t i, const _rec_file_info_& r, const std::string& path) {
  CRecordReader reader(kReaderClient);
  switch (type_) {
    case kBackupMp4:
      return BackupRecordToMp4(i, r, reader, path, *this);
    case kBackupBin:
      return BackupBin(i, r, reader, path);
    default:
      return BackupAsf(i, r, reader, path);
  }
}

int BackupEngine::BackupAsf(size_t i, const _rec_file_info_& r, CRecordReader& reader,
                            const std::string& path) {
  RecordFrames frames(reader, r, kFrameBufferBytes);
  int n = frames.Open();
  if (n != 0) return n;
  n = frames.NextOfType("I");
  if (n <= 0) return n < 0 ? n : ERR_BACKUP_OUTPUT;  // no key frame: no file
  platform::LogRange("First I Frame", frames.pts(), frames.pts());

  RecordDescriptor desc;
  desc.recordSN = r.sn;
  std::strcpy(desc.text2, "WIN32 SIMULATE RECORDER");
  std::strcpy(desc.text3, "V1.0.0");
  int w = 0, h = 0;
  if (ParseSpsSize(w, h, frames.frame() + frames.headerBytes(),
                   static_cast<size_t>(n) - frames.headerBytes())) {
    desc.width = static_cast<uint32_t>(w);
    desc.height = static_cast<uint32_t>(h);
  }
  CAsfFile asf(r.channel);
  if (asf.OpenNew(path, 0, 0, r.startMs, &desc) != 0) {
    DebugLog("open file failed.\n");
    return ERR_BACKUP_OUTPUT;
  }
  platform::LogRange("Backup reocord File", r.startMs, r.endMs);
  int result = 0;
  const size_t queued = std::max<size_t>(queueLength(), 1);
  for (uint64_t count = 1;; ++count) {
    if (asf.WriteFrame(frames.frame(), static_cast<uint32_t>(n)) < 0) {
      result = ERR_BACKUP_WRITE;
      break;
    }
    if (count % kProgressEvery == 0)
      ReportProgress(ShareOf(i, queued, frames.bytesRead(), static_cast<uint32_t>(r.size)), 1);
    if (stopRequested()) {
      result = ERR_BACKUP_STOPPED;
      break;
    }
    n = frames.Next();
    if (n <= 0) {
      result = n;  // 0 at the end; a damaged record's error is the record's result
      break;
    }
  }
  platform::LogRange("Last frame time", frames.pts(), frames.pts());
  if (asf.Close() != 0 && result == 0) result = ERR_BACKUP_WRITE;
  return result;
}

int BackupEngine::BackupBin(size_t i, const _rec_file_info_& r, CRecordReader& reader,
                            const std::string& path) {
  RecordFrames frames(reader, r, kFrameBufferBytes);
  int n = frames.Open();
  if (n != 0) return n;
  BinContainer bin;
  if (path.empty()) DebugLog("fileName is empty,\n");
  if (path.empty() || bin.Create(path, r.channel, static_cast<uint32_t>(r.fileIndex), r.startMs,
                                 static_cast<uint32_t>(r.size)) != 0)
    return ERR_BACKUP_OUTPUT;
  int result = 0;
  const size_t queued = std::max<size_t>(queueLength(), 1);
  for (uint64_t count = 1;; ++count) {
    n = frames.Next();
    if (n <= 0) {
      result = n;
      break;
    }
    result = bin.Append(frames.frame(), static_cast<uint32_t>(n));
    if (result != 0) break;
    if (count % kProgressEvery == 0)
      ReportProgress(ShareOf(i, queued, bin.dataEnd() - recfile::kDataOffset,
                             static_cast<uint32_t>(r.size)), 2);
    if (stopRequested()) {
      result = ERR_BACKUP_STOPPED;
      break;
    }
  }
  const int closed = bin.Close();
  return result != 0 ? result : closed;
}
