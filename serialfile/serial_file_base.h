// CSerialFileBase: the one interface through which the index and record code opens its region
// files, so the same code works on a record disk attached as a device (CSerialFileRaw) and on a
// copy of the record files kept in an ordinary folder (CSerialFileCom).
//
// The virtual operations keep a fixed slot order (0..12); the destructor comes after them.
#pragma once

#include <cstdint>
#include <string>

#include "serialfile/region_io.h"

class CDisk_Dev;

class CSerialFileBase {
 public:
  // Slot 0: opens the region (device variant: name is the device, start LBA in two halves;
  // file variant: name is the file's path).
  virtual int Open(const char* name, uint32_t startLbaLow, uint32_t startLbaHigh,
                   uint32_t dataSize, int mode) = 0;
  virtual int Close() = 0;                                                   // slot 1
  virtual int Reopen() = 0;                                                  // slot 2
  virtual int Seek(int64_t offset, int origin) = 0;                          // slot 3
  virtual int Read(void* buffer, uint32_t size, bool lock) = 0;              // slot 4
  virtual int Write(const void* buffer, uint32_t size, bool lock) = 0;       // slot 5
  virtual int ReadPos(uint32_t position, void* buffer, uint32_t size, bool lock) = 0;  // 6
  virtual int WritePos(uint32_t position, const void* buffer, uint32_t size,
                       bool lock) = 0;                                       // slot 7
  virtual int Flush() = 0;                                                   // slot 8
  virtual int WriteCachePos(uint32_t position, const void* buffer, uint32_t size,
                            bool lock) = 0;                                  // slot 9
  virtual CDisk_Dev* GetScsiDev() = 0;                                       // slot 10
  // Slot 11: the current offset; the file variant asks the stream when askOs is set.
  virtual uint32_t GetCurOffset(bool askOs) = 0;
  // Slot 12: grows an ordinary file to its full data size (file variant only).
  virtual int ExtendToFullSize() = 0;
  virtual ~CSerialFileBase() = default;

  // The whole path or device name, however long (paths of backups and folder disks often are).
  const std::string& get_name() const { return name_; }
  uint32_t get_sec_size() const { return st_.sectorSize; }
  uint64_t get_lba_start() const { return st_.startLba; }
  uint32_t get_data_size() const { return st_.dataSize; }
  int get_mode() const { return st_.mode; }
  bool IsOpened() const { return st_.mode != MODE_CLOSED; }
  bool is_closed() const { return st_.mode == MODE_CLOSED; }
  int GetStatus() const { return st_.status; }
  int GetLastErr() const { return st_.lastError; }
  // The device's medium when the region was opened (0 for an ordinary file).
  uint64_t medium() const { return st_.medium; }
  int64_t GetLastWtTime() const { return st_.lastWriteTime; }
  void SwitchRecordTime(bool on) { st_.recordTime = on; }
  // Sets the size limit of the region (a file opened with a nominal size, then its real one).
  void SetDataSize(uint32_t bytes) { st_.dataSize = bytes; }
  bool IsOverFileArea(uint32_t position, uint32_t n) const {
    return region_io::OverFile(st_, position, n);
  }

 protected:
  CSerialFileBase() = default;
  CSerialFileBase(const CSerialFileBase&) = delete;
  CSerialFileBase& operator=(const CSerialFileBase&) = delete;

  // Sets the last write time to now, in whole seconds, when the record-time switch is on.
  void StampWriteTime();

  std::string name_;
  RegionState st_;
};
