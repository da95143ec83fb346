// CSerialFileRaw: a region file on a device from the device registry; the transfer logic is
// that of CSerial_file. Locks like CSerial_file: the device lock, when the lock flag is set.
#pragma once

#include "serialfile/serial_file_base.h"

class CSerialFileRaw : public CSerialFileBase {
 public:
  CSerialFileRaw();

  int Open(const char* name, uint32_t startLbaLow, uint32_t startLbaHigh, uint32_t dataSize,
           int mode) override;
  int Close() override;
  int Reopen() override { return 0; }
  int Seek(int64_t offset, int origin) override;
  int Read(void* buffer, uint32_t size, bool lock) override;
  int Write(const void* buffer, uint32_t size, bool lock) override;
  int ReadPos(uint32_t position, void* buffer, uint32_t size, bool lock) override;
  int WritePos(uint32_t position, const void* buffer, uint32_t size, bool lock) override;
  int Flush() override { return 0; }
  int WriteCachePos(uint32_t position, const void* buffer, uint32_t size, bool lock) override;
  CDisk_Dev* GetScsiDev() override { return dev_; }
  uint32_t GetCurOffset(bool) override { return st_.curOffset; }
  int ExtendToFullSize() override { return 0; }

 private:
  CDisk_Dev* dev_ = nullptr;
};
