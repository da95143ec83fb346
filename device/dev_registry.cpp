#include "device/dev_registry.h"

#include <cstring>

#include "platform/drive_table.h"
#include "platform/last_error.h"
#include "platform/messages.h"

using platform::ConsolePrintf;

CDevFlyWeightFactory* CDevFlyWeightFactory::_Instance = nullptr;

namespace {
// The registry exists from static initialisation on, before the application's main code runs.
[[maybe_unused]] const bool kRegistryCreated = (CDevFlyWeightFactory::getSingleton(), true);
}  // namespace

CDevFlyWeightFactory* CDevFlyWeightFactory::getSingleton() {
  static CCriticalSection createLock;
  CAutoLock g(&createLock);
  if (!_Instance) _Instance = new CDevFlyWeightFactory;  // lives until the process ends
  return _Instance;
}

CDevFlyWeightFactory::~CDevFlyWeightFactory() { Clear(); }

void CDevFlyWeightFactory::RecordTextLocked(const std::string& name, CDisk_Dev* dev) {
  char text[32] = {};
  if (dev->GetDeviceText(text, sizeof text) == 0 && texts_.find(name) == texts_.end())
    texts_[name] = text;
}

CDisk_Dev* CDevFlyWeightFactory::CreateScsiDev(const char* name, bool reopen) {
  if (!name) return nullptr;
  bool memoryCard = std::strstr(name, "/dev/mmcblk") != nullptr;
  CAutoLock g(&lock_);
  auto it = devices_.find(name);
  if (it == devices_.end()) {
    auto* dev = new CDisk_Dev;
    int r = dev->associate(name, memoryCard);
    if (r == -1) {
      int err = platform::GetLastOsError();
      ConsolePrintf("Open failed dev %s ret %d errno %d %s \n", name, r, 0,
                    platform::OsErrorText(err).c_str());
      delete dev;
      return nullptr;
    }
    devices_[name] = dev;
    dev->init_devlock();
    RecordTextLocked(name, dev);
    return dev;
  }
  CDisk_Dev* dev = it->second;
  if (!reopen) return dev;
  // Closed and opened again under the device lock (registry lock, then device lock): a service
  // thread's command never goes out on a transport being replaced.
  if (dev->Reassociate() == -1) return nullptr;
  RecordTextLocked(name, dev);
  return dev;
}

CDisk_Dev* CDevFlyWeightFactory::FindScsiDev(const char* name) {
  if (!name) return nullptr;
  CAutoLock g(&lock_);
  auto it = devices_.find(name);
  return it == devices_.end() ? nullptr : it->second;
}

int CDevFlyWeightFactory::DelScsiDev(const char* name) {
  if (!name) return 0;
  CAutoLock g(&lock_);
  auto it = devices_.find(name);
  if (it != devices_.end()) {
    retired_.push_back(it->second);  // holders of the pointer keep a valid device
    devices_.erase(it);
  }
  texts_.erase(name);
  return 0;
}

int CDevFlyWeightFactory::GetDevText(char* out, const char* name) {
  if (!out || !name) return 0;
  out[0] = '\0';
  {
    CAutoLock g(&lock_);
    auto it = texts_.find(name);
    if (it != texts_.end()) {
      std::strncpy(out, it->second.c_str(), 31);
      out[31] = '\0';
      return 0;
    }
  }
  ConsolePrintf("Can not found deviceText of dev %s.\n", name);
  auto* dev = new CDisk_Dev;
  if (dev->associate(name, false) == -1) {
    delete dev;
    return 0;
  }
  dev->init_devlock();
  char text[32] = {};
  int r = dev->GetDeviceText(text, sizeof text);
  // Registering replaces a pointer others may be using, so it happens under the registry lock;
  // the replaced object stays alive (its users keep a valid device) and is freed by Clear.
  CAutoLock g(&lock_);
  auto it = devices_.find(name);
  if (it != devices_.end() && it->second != dev) retired_.push_back(it->second);
  devices_[name] = dev;
  if (r == 0) {
    std::strcpy(out, text);
    texts_[name] = text;
  }
  return 0;
}

int CDevFlyWeightFactory::DelDevText(const char* name) {
  if (!name) return -1;
  CAutoLock g(&lock_);
  return texts_.erase(name) ? 0 : -1;
}

int CDevFlyWeightFactory::CloseDeviceFd(const char* name) {
  if (!name) return -1;
  CAutoLock g(&lock_);
  auto it = devices_.find(name);
  if (it == devices_.end()) return -1;
  it->second->Close();
  return 0;
}

int CDevFlyWeightFactory::AutoScan() {
  CAutoLock g(&lock_);
  // Forgotten, not deleted: region files may still hold these devices.
  for (auto& kv : devices_) retired_.push_back(kv.second);
  devices_.clear();
  for (int n = 0; n < platform::kMaxDrives; ++n) {
    std::string name = platform::DriveName(n);
    auto* dev = new CDisk_Dev;
    if (dev->associate(name.c_str(), false) == -1) {
      delete dev;
      continue;
    }
    dev->init_devlock();
    devices_[name] = dev;
  }
  return static_cast<int>(devices_.size());
}

int CDevFlyWeightFactory::Clear() {
  CAutoLock g(&lock_);
  for (auto& kv : devices_) delete kv.second;
  for (CDisk_Dev* d : retired_) delete d;
  devices_.clear();
  texts_.clear();
  retired_.clear();
  return 0;
}

int CDevFlyWeightFactory::GetDevNum() {
  CAutoLock g(&lock_);
  return static_cast<int>(devices_.size());
}
