#include "serialfile/serial_file_raw.h"

#include "device/dev_registry.h"
#include "platform/messages.h"
#include "platform/platform_context.h"

namespace {
const RegionMessages kRawMessages = {
    "dataSize %d is ERR_DATA_OVER_FILE. file size %d  diff %d \n"};
}  // namespace

void CSerialFileBase::StampWriteTime() {
  if (st_.recordTime) st_.lastWriteTime = platform::TheClock().NowMs() / 1000 * 1000;
}

CSerialFileRaw::CSerialFileRaw() { st_.dataSize = 268435456; }

int CSerialFileRaw::Open(const char* name, uint32_t startLbaLow, uint32_t startLbaHigh,
                         uint32_t dataSize, int mode) {
  uint64_t lba = static_cast<uint64_t>(startLbaHigh) << 32 | startLbaLow;
  if (lba == 0) {
    platform::ConsolePrintf("Error access MBR.\n");
    return ERR_ACCESS_MODE;
  }
  CDisk_Dev* dev = name ? CDevFlyWeightFactory::getSingleton()->CreateScsiDev(name, false) : nullptr;
  if (!dev) {
    platform::ConsolePrintf("NO device.\n");
    return ERR_NO_DEVICE;
  }
  name_ = dev->get_device_name();
  int r = region_io::Open(dev, st_, lba, dataSize, mode);
  if (r != 0) return r;
  dev_ = dev;
  StampWriteTime();
  return 0;
}

int CSerialFileRaw::Close() { return region_io::Close(st_); }

int CSerialFileRaw::Seek(int64_t offset, int origin) { return region_io::Seek(st_, offset, origin); }

int CSerialFileRaw::Read(void* buffer, uint32_t size, bool lock) {
  return region_io::Read(dev_, st_, buffer, size, lock);
}

int CSerialFileRaw::Write(const void* buffer, uint32_t size, bool lock) {
  int r = region_io::Write(dev_, st_, buffer, size, lock);
  if (r >= 0 && r == static_cast<int>(size)) StampWriteTime();
  return r;
}

int CSerialFileRaw::ReadPos(uint32_t position, void* buffer, uint32_t size, bool lock) {
  return region_io::ReadPos(dev_, st_, position, buffer, size, lock, kRawMessages);
}

int CSerialFileRaw::WritePos(uint32_t position, const void* buffer, uint32_t size, bool lock) {
  return region_io::WritePos(dev_, st_, position, buffer, size, lock);
}

int CSerialFileRaw::WriteCachePos(uint32_t position, const void* buffer, uint32_t size,
                                  bool lock) {
  int r = region_io::WriteCachePos(dev_, st_, position, buffer, size, lock);
  if (r >= 0 && r == static_cast<int>(size)) StampWriteTime();
  return r;
}
