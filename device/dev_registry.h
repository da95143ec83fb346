// CDevFlyWeightFactory: the process-wide registry of open disk devices. It hands out one
// CDisk_Dev per device name, so every region file, table reader and record file on one disk
// shares one handle, one request block and one device lock; and it caches each device's
// identification text.
//
// Lock order: registry, then device. CreateScsiDev, DelScsiDev, DelDevText and CloseDeviceFd
// hold the registry lock for their whole run and take a device's lock inside it only to close
// its handle. GetDevText, AutoScan and Clear run on the disk-watch thread and at start-up; they
// take the registry lock only where they change the maps.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "device/disk_dev.h"
#include "platform/critical_section.h"

class CDevFlyWeightFactory {
 public:
  CDevFlyWeightFactory() = default;
  ~CDevFlyWeightFactory();
  CDevFlyWeightFactory(const CDevFlyWeightFactory&) = delete;
  CDevFlyWeightFactory& operator=(const CDevFlyWeightFactory&) = delete;

  // The registry of the current library context (created with the process).
  static CDevFlyWeightFactory* getSingleton();
  // Same object as getSingleton(); kept up to date when a context is installed.
  static CDevFlyWeightFactory* _Instance;

  // The device registered under name; opens and registers it when absent. With reopen set, a
  // registered device is closed and associated again (same object). Null when it cannot be
  // opened.
  CDisk_Dev* CreateScsiDev(const char* name, bool reopen);
  // The device registered under name, or null: nothing is opened.
  CDisk_Dev* FindScsiDev(const char* name);
  int DelScsiDev(const char* name);
  // Copies the device's identification text into out (at least 32 bytes); an empty string
  // when none could be obtained. Always 0.
  int GetDevText(char* out, const char* name);
  int DelDevText(const char* name);
  int CloseDeviceFd(const char* name);
  // Registers every drive of the drive table that opens; returns the number registered.
  int AutoScan();
  int Clear();
  int GetDevNum();

 private:
  void RecordTextLocked(const std::string& name, CDisk_Dev* dev) QVFS_REQUIRES(lock_);

  CCriticalSection lock_;
  std::map<std::string, CDisk_Dev*> devices_ QVFS_GUARDED_BY(lock_);
  std::map<std::string, std::string> texts_ QVFS_GUARDED_BY(lock_);
  // Devices forgotten by DelScsiDev, AutoScan or a replacing GetDevText: still valid for those
  // who hold them, deleted by Clear.
  std::vector<CDisk_Dev*> retired_ QVFS_GUARDED_BY(lock_);
};
