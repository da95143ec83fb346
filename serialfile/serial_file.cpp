#include "serialfile/serial_file.h"

#include <algorithm>
#include <vector>

#include "platform/messages.h"

int CSerial_file::Open(CDisk_Dev* dev, uint64_t startLba, uint32_t dataSize, int mode) {
  int r = region_io::Open(dev, st_, startLba, dataSize, mode);
  if (r == 0) dev_ = dev;
  return r;
}

int CSerial_file::Close() { return region_io::Close(st_); }

int CSerial_file::Seek(int64_t offset, int origin) { return region_io::Seek(st_, offset, origin); }

int CSerial_file::Read(void* buffer, uint32_t size, bool lock) {
  return region_io::Read(dev_, st_, buffer, size, lock);
}

int CSerial_file::Write(const void* buffer, uint32_t size, bool lock) {
  return region_io::Write(dev_, st_, buffer, size, lock);
}

int CSerial_file::ReadPos(uint32_t position, void* buffer, uint32_t size, bool lock) {
  return region_io::ReadPos(dev_, st_, position, buffer, size, lock, region_io::kPlainMessages);
}

int CSerial_file::WritePos(uint32_t position, const void* buffer, uint32_t size, bool lock) {
  return region_io::WritePos(dev_, st_, position, buffer, size, lock);
}

int CSerial_file::WriteCachePos(uint32_t position, const void* buffer, uint32_t size, bool lock) {
  return region_io::WriteCachePos(dev_, st_, position, buffer, size, lock);
}

void CSerial_file::Lock() {
  if (st_.lock && IsOpened()) st_.lock->Lock();
}

void CSerial_file::Unlock() {
  if (st_.lock && IsOpened()) st_.lock->Unlock();
}

int CSerial_file::CopyFile(CSerial_file* source, CSerial_file* destination, uint32_t chunk) {
  if (!source || !destination || chunk == 0) return ERR_NULL_BUFFER;
  std::vector<uint8_t> buffer(chunk);
  const uint32_t total = source->get_data_size();
  int result = 0;
  for (uint64_t pos = 0; pos < total; pos += chunk) {
    uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(chunk, total - pos));
    result = source->ReadPos(static_cast<uint32_t>(pos), buffer.data(), n, true);
    if (result < 0 || result != static_cast<int>(n)) {
      platform::ConsolePrintf("Read fail src file pos %d size %d .\n", static_cast<int>(pos),
                              static_cast<int>(n));
      break;
    }
    result = destination->WritePos(static_cast<uint32_t>(pos), buffer.data(), n, true);
    if (result < 0 || result != static_cast<int>(n)) {
      platform::ConsolePrintf("Write fail dest file pos %d size %d .\n", static_cast<int>(pos),
                              static_cast<int>(n));
      break;
    }
  }
  return result;
}
