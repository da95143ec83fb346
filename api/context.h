// The library's process-wide objects behind one context object.
//
// The exported functions reach the current context through a global pointer. The process has a
// default context from static initialisation on (the device registry exists before main runs);
// a test builds its own with ScopedContext, which installs a fresh drive table, clock and device
// registry for its lifetime and puts the previous ones back afterwards. Later layers add their
// process-wide objects here.
#pragma once

#include <memory>

#include "api/disk_users.h"
#include "api/search_cache.h"
#include "api/shared_records.h"
#include "api/storage.h"
#include "backup/backup_engine.h"
#include "device/dev_registry.h"
#include "platform/critical_section.h"
#include "platform/platform_context.h"
#include "recorder/device_service.h"
#include "recorder/disk_watch.h"

namespace qvfs {

class Context {
 public:
  // A fresh context: its own drive table, clock and registry.
  Context();
  ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  platform::PlatformContext& platform() { return *platform_; }
  CDevFlyWeightFactory& registry() { return *registry_; }
  SharedRecords& shared() { return shared_; }
  DiskWatch& diskWatch() { return diskWatch_; }
  DeviceServices& deviceServices() { return deviceServices_; }
  // The search cache and its lock: the exported searches hold it for their whole run.
  SearchCache& searchCache() { return searchCache_; }
  // What QVFS_Init builds: FIFOs, record managers, the frame processor.
  Storage& storage() { return storage_; }
  CCriticalSection& searchLock() { return searchLock_; }
  // The backup engine (one backup at a time for the whole library).
  BackupEngine& backup() { return backup_; }

  // The storage library's global lock: set-up, formatting and configuration changes hold it
  // for their whole run. It comes before every other lock of the library.
  CCriticalSection& storageLock() { return storageLock_; }

  // The layers that use disks (formatting stops and restarts them); by default the disk watch
  // (forget the disk's index before, rescan after); the recording engine installs its own.
  // The context does not own it.
  DiskUsers& diskUsers() { return *diskUsers_; }
  void SetDiskUsers(DiskUsers* users) { diskUsers_ = users ? users : &watchUsers_; }

  // Progress of long work (formatting): what, done, total. Empty by default.
  using ProgressSink = void (*)(const char* what, uint64_t done, uint64_t total);
  void SetProgressSink(ProgressSink sink) { progress_ = sink; }
  void ReportProgress(const char* what, uint64_t done, uint64_t total) const {
    if (progress_) progress_(what, done, total);
  }

  // The current context (the process default unless a test installed its own).
  static Context& Current();
  // The process default context over the default drive table, clock and registry.
  static Context& Default();

 private:
  friend class ScopedContext;
  struct AdoptDefaults {};
  explicit Context(AdoptDefaults);

  std::unique_ptr<platform::PlatformContext> ownedPlatform_;
  std::unique_ptr<CDevFlyWeightFactory> ownedRegistry_;
  platform::PlatformContext* platform_;
  CDevFlyWeightFactory* registry_;
  // What formatting needs of the disk watch.
  class WatchUsers : public DiskUsers {
   public:
    explicit WatchUsers(DiskWatch* watch) : watch_(watch) {}
    void StopUsersOf(const std::string& deviceName) override { watch_->ForgetIndex(deviceName); }
    void RescanAndRestart() override { MountUsbThreadBody(watch_); }

   private:
    DiskWatch* watch_;
  };

  SharedRecords shared_;
  CCriticalSection storageLock_;
  DiskWatch diskWatch_{&shared_};
  DeviceServices deviceServices_;
  SearchCache searchCache_{&shared_};
  CCriticalSection searchLock_;
  WatchUsers watchUsers_{&diskWatch_};
  DiskUsers* diskUsers_ = &watchUsers_;
  ProgressSink progress_ = nullptr;
  BackupEngine backup_{&shared_};  // its thread reads disks: it ends before they go
  Storage storage_{this};  // last: its threads stop before the rest goes
};

// Installs a fresh context for its lifetime. Meant for tests: one at a time, installed and torn
// down on one thread while no library thread runs.
class ScopedContext {
 public:
  ScopedContext();
  ~ScopedContext();
  ScopedContext(const ScopedContext&) = delete;
  ScopedContext& operator=(const ScopedContext&) = delete;

  Context& get() { return ctx_; }

 private:
  Context ctx_;
  Context* previous_;
  platform::PlatformContext* previousPlatform_;
  CDevFlyWeightFactory* previousRegistry_;
};

}  // namespace qvfs
