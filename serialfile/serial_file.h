// CSerial_file: a contiguous run of sectors of a CDisk_Dev seen as a file of a fixed byte size,
// with sequential and positioned transfers, an append that keeps the last partial sector in
// memory (WriteCachePos), and a copy between two such files.
//
// Thread safety: the object is not locked. With the lock flag a transfer holds the device lock,
// which serialises it against every other user of the device; without it the caller must hold
// the lock (Lock/Unlock). The device must outlive the object.
#pragma once

#include <cstdint>

#include "serialfile/region_io.h"

class CDisk_Dev;

class CSerial_file {
 public:
  CSerial_file() = default;
  virtual ~CSerial_file() = default;
  CSerial_file(const CSerial_file&) = delete;
  CSerial_file& operator=(const CSerial_file&) = delete;

  // 0, -2006 (start LBA 0: the region may never include the MBR), -2009 (past the device's
  // last LBA) or -2010 (no device).
  int Open(CDisk_Dev* dev, uint64_t startLba, uint32_t dataSize, int mode);
  int Close();
  // Origins 0 (from the start), 1 (from the current offset), 2 (to data size - 1).
  virtual int Seek(int64_t offset, int origin);

  // Results: the byte count, or a negative region code, or 3 / 4 from the device.
  int Read(void* buffer, uint32_t size, bool lock);
  int Write(const void* buffer, uint32_t size, bool lock);
  int ReadPos(uint32_t position, void* buffer, uint32_t size, bool lock);
  int WritePos(uint32_t position, const void* buffer, uint32_t size, bool lock);
  // Append at position (= the current offset); the current offset becomes position + size.
  int WriteCachePos(uint32_t position, const void* buffer, uint32_t size, bool lock);

  // Copies the source's data size in chunks; the result of the last transfer.
  static int CopyFile(CSerial_file* source, CSerial_file* destination, uint32_t chunk);

  CDisk_Dev* GetScsiDev() const { return dev_; }
  bool IsOpened() const { return st_.mode != MODE_CLOSED; }
  bool is_closed() const { return st_.mode == MODE_CLOSED; }
  uint32_t get_sec_size() const { return st_.sectorSize; }
  uint64_t get_lba_start() const { return st_.startLba; }
  uint64_t get_lba_end() const { return st_.startLba + st_.dataSize / st_.sectorSize; }
  uint32_t get_data_size() const { return st_.dataSize; }
  void set_file_area(uint32_t dataSize) { st_.dataSize = dataSize; }
  uint32_t get_cur_offset() const { return st_.curOffset; }
  int GetStatus() const { return st_.status; }
  void set_resualt(int status) { st_.status = status; }
  int GetLastErr() const { return st_.lastError; }
  int64_t GetLastWtTime() const { return st_.lastWriteTime; }
  void SwitchRecordTime(bool on) { st_.recordTime = on; }
  uint32_t getLeafSize(uint32_t position) const {
    return position > st_.dataSize ? 0 : st_.dataSize - position;
  }
  bool IsOverFileArea(uint32_t n) const { return region_io::OverFile(st_, st_.curOffset, n); }
  bool IsOverFileArea(uint32_t position, uint32_t n) const {
    return region_io::OverFile(st_, position, n);
  }
  void Lock();
  void Unlock();

 private:
  CDisk_Dev* dev_ = nullptr;
  RegionState st_;
};
