#include "recorder/device_service.h"

#include "device/disk_dev.h"
#include "index/disk_index.h"
#include "platform/clock.h"
#include "platform/messages.h"
#include "platform/time_print.h"
#include "serialfile/serial_file_base.h"

namespace {
constexpr int kFillPercent = 45;  // refill while the consumer's buffer is below this level
constexpr int64_t kCloseLogShiftMs = 10000;
}  // namespace

DeviceService::DeviceService(CDisk_Dev* device, const std::string& name)
    : device_(device), name_(name) {}

DeviceService::~DeviceService() { Stop(); }

void DeviceService::SetIntervals(uint32_t passMs, uint32_t idleMs) {
  passMs_ = passMs;
  idleMs_ = idleMs;
}

void DeviceService::AddWriter(uint64_t key, ServiceWriter* writer) {
  CAutoLock g(&writerLock_);
  auto range = writers_.equal_range(key);
  for (auto it = range.first; it != range.second; ++it)
    if (it->second == writer) return;  // registered already
  writers_.emplace(key, writer);
  busy_ = true;
}

void DeviceService::AddReader(uint64_t key, ServiceReader* reader, uint32_t readBufferBytes) {
  CAutoLock g(&readerLock_);
  if (readBuffer_.empty()) readBuffer_.assign(readBufferBytes, 0);
  readers_.emplace(key, reader);
  ++readerCount_;
}

int DeviceService::RemoveReader(uint64_t key, ServiceReader* reader) {
  CAutoLock g(&readerLock_);
  auto range = readers_.equal_range(key);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second != reader) continue;
    DebugLog("Found CH %d the reader file.LBA %lld .\n", reader->ServiceChannel(),
             static_cast<long long>(reader->ServiceFileLba()));
    int64_t start = 0, end = 0;
    bool backward = false;
    reader->ServiceTimeRange(&start, &end, &backward);
    platform::LogRange("Close record time", start,
                       backward ? end - kCloseLogShiftMs : end + kCloseLogShiftMs);
    readers_.erase(it);
    return 0;
  }
  return -1;
}

bool DeviceService::RemoveWriter(uint64_t key, ServiceWriter* writer) {
  CAutoLock g(&writerLock_);
  auto range = writers_.equal_range(key);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second != writer) continue;
    writers_.erase(it);
    return true;
  }
  return false;
}

size_t DeviceService::WriterCount() {
  CAutoLock g(&writerLock_);
  return writers_.size();
}

size_t DeviceService::ReaderCount() {
  CAutoLock g(&readerLock_);
  return readers_.size();
}

bool DeviceService::EnsureThread() {
  CAutoLock g(&threadLock_);
  if (running_) return false;
  // A thread that ended on its own is finished; collect it before starting the next.
  if (thread_.joinable()) thread_.join();
  stop_ = false;
  running_ = true;
  thread_ = std::thread(&DeviceService::ThreadLoop, this);
  return true;
}

void DeviceService::Stop() {
  CAutoLock g(&threadLock_);
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  running_ = false;
}

void DeviceService::ThreadLoop() {
  while (!stop_) {
    if (WriterCount() != 0 || ReaderCount() != 0) {
      busy_ = true;
      FlushPass();
      FillPass();
      platform::SleepMs(passMs_);
    } else if (!IdleRound()) {
      break;
    }
  }
  running_ = false;
}

void DeviceService::FlushPass() {
  CAutoLock g(&writerLock_);
  for (auto it = writers_.begin(); it != writers_.end();) {
    int r = it->second->FlushForService();
    if (r < 0) {
      DebugLog("Flush_FIFOData Error ret %d error %d ", r, it->second->ServiceLastError());
      it = writers_.erase(it);
    } else {
      ++it;
    }
  }
}

void DeviceService::FillPass() {
  CAutoLock g(&readerLock_);
  for (auto it = readers_.begin(); it != readers_.end();) {
    ServiceReader* reader = it->second;
    // A reader that closed its file or moved to another one registers again when it needs to.
    bool keep = reader->ServiceFileOpen() && reader->ServiceKey() == it->first &&
                reader->Fill(kFillPercent) >= 0;
    it = keep ? std::next(it) : readers_.erase(it);
  }
}

bool DeviceService::IdleRound() {
  // The idle wait is cut short by a stop request.
  for (uint32_t waited = 0; waited < idleMs_ && !stop_; waited += 10) platform::SleepMs(10);
  busy_ = false;
  if (stop_ || !device_) return true;
  if (device_->TestUnitReady() == 0) return true;
  CAutoLock g(&readerLock_);
  std::vector<uint8_t>().swap(readBuffer_);
  return false;
}

// ---- the list of objects -------------------------------------------------------------------

DeviceServices::~DeviceServices() { StopAll(); }

std::string DeviceServices::ServiceName(const std::string& path) {
  if (IsDevicePath(path)) return path;
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(0, slash + 1);
}

bool DeviceServices::Serves(const std::string& service, const std::string& path) {
  // A device by its exact name ("PhysicalDrive1" never serves drive 10); a folder serves the
  // files beneath it.
  if (IsDevicePath(service) || IsDevicePath(path)) return service == path;
  return !service.empty() && service.back() == '/' && path.compare(0, service.size(), service) == 0;
}

DeviceService* DeviceServices::Find(const std::string& path) {
  CAutoLock g(&lock_);
  for (auto& s : services_)
    if (Serves(s->name(), path)) return s.get();
  return nullptr;
}

DeviceService* DeviceServices::FindOrCreate(const std::string& path, CDisk_Dev* device,
                                            bool* created) {
  CAutoLock g(&lock_);
  for (auto& s : services_) {
    if (Serves(s->name(), path)) {
      *created = false;
      return s.get();
    }
  }
  services_.push_back(std::make_unique<DeviceService>(device, ServiceName(path)));
  services_.back()->SetIntervals(passMs_, idleMs_);
  *created = true;
  return services_.back().get();
}

int DeviceServices::RegisterWriter(const std::string& path, uint64_t key, ServiceWriter* writer,
                                   CDisk_Dev* device) {
  bool created = false;
  DeviceService* s = FindOrCreate(path, device, &created);
  s->AddWriter(key, writer);
  if (created) DebugLog("Create thread for record.\n");
  if (threads_ && s->EnsureThread() && !created)
    DebugLog("Re-cread thhread to flush fifo data. dev %s \n", s->name().c_str());
  return created ? 1 : 0;
}

int DeviceServices::RegisterReader(const std::string& path, uint64_t key, ServiceReader* reader,
                                   CDisk_Dev* device, uint32_t readBufferBytes) {
  bool created = false;
  DeviceService* s = FindOrCreate(path, device, &created);
  s->AddReader(key, reader, readBufferBytes);
  if (threads_ && s->EnsureThread() && !created)
    DebugLog("Re-cread thhread to flush fifo data. dev %s \n", s->name().c_str());
  return created ? 1 : 0;
}

int DeviceServices::UnregisterReader(const std::string& path, uint64_t key,
                                     ServiceReader* reader) {
  DeviceService* s = Find(path);
  if (!s) return -1;
  s->RemoveReader(key, reader);
  return 0;
}

bool DeviceServices::UnregisterWriter(const std::string& path, uint64_t key,
                                      ServiceWriter* writer) {
  DeviceService* s = Find(path);
  return s && s->RemoveWriter(key, writer);
}

void DeviceServices::SetIntervals(uint32_t passMs, uint32_t idleMs) {
  CAutoLock g(&lock_);
  passMs_ = passMs;
  idleMs_ = idleMs;
  for (auto& s : services_) s->SetIntervals(passMs, idleMs);
}

void DeviceServices::StopAll() {
  CAutoLock g(&lock_);
  for (auto& s : services_) s->Stop();
}
