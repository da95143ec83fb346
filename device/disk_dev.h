// CDisk_Dev: one attached block device (a recorder's hard disk or memory card, or an image in its
// place), addressed by sectors through SCSI commands.
//
// It builds the command blocks, does the sense handling, chooses 10- or 16-byte read/write
// commands by capacity, splits large transfers into runs the adapter accepts, bounces a trailing
// partial sector, retries, and re-opens the device after a lost handle. It reaches the OS only
// through a platform transport.
//
// Thread safety: every command uses the one request block of the object, so commands on one
// device must not overlap. Read/Write with the lock flag, TestUnitReady, FlushCache,
// GetDeviceText, Open, Close and the re-open path take the device lock themselves; the low-level
// commands and Read_try/Write_try do not, and their callers hold the lock around them.
// The lock is re-entrant (the re-open path runs inside locked transfers).
#pragma once

#include <cstdint>
#include <atomic>
#include <memory>

#include "platform/critical_section.h"
#include "platform/scsi.h"

// Device and region-file result codes (negative: failure).
enum DeviceResult : int {
  DEV_READ_FAILED = -1002,   // a read failed after retries
  DEV_WRITE_FAILED = -1003,  // a write failed after retries
};

class CDisk_Dev {
 public:
  CDisk_Dev();
  ~CDisk_Dev();
  CDisk_Dev(const CDisk_Dev&) = delete;
  CDisk_Dev& operator=(const CDisk_Dev&) = delete;

  // Opens the device, reads its capacity and probes the largest transfer. Returns the handle, or
  // -1 when the device cannot be opened (the object stays closed). The memory-card flag has no
  // effect on this transport.
  int associate(const char* name, bool memoryCard);
  // Re-opens by the stored name when closed or after an invalid-handle error; returns the handle.
  int Open();
  void Close();
  // Closes and opens again by the stored name, under the device lock: no command of another
  // thread runs while the transport is replaced. The handle, or -1.
  int Reassociate();

  // The medium: a number that changes whenever what lies behind the name is another disk (the
  // image or node opened is another file, or the disk scan found other tables and index on it).
  // A region file remembers it when opened and refuses every transfer once it has changed, so
  // nothing opened on one disk ever reads or writes the disk that took its place.
  uint64_t medium() const { return medium_.load(); }
  void NewMedium() { ++medium_; }

  int init_devlock() { return 0; }
  void Lock() QVFS_ACQUIRE(lock_) { lock_.Lock(); }
  void Unlock() QVFS_RELEASE(lock_) { lock_.Unlock(); }
  CCriticalSection* get_lock() { return &lock_; }

  // Raw commands. Results: 0 success, 1..15 sense key, -1 failure without usable sense, and
  // (commands with data) a positive OS error number when the OS call itself failed.
  int test_unit_ready();
  int TestUnitReady();  // same, under the device lock
  int inquiry(void* buffer, int length);
  int request_sense(void* buffer, int length);
  int start_stop_unit(uint8_t startStop, bool immediate);
  int synchronize_cache(bool immediateOff);
  int read_10(uint32_t lba, uint32_t blocks, void* buffer, uint32_t bytes);
  int write_10(uint32_t lba, uint32_t blocks, const void* buffer, uint32_t bytes);
  int read_16(uint64_t lba, uint32_t blocks, void* buffer, uint32_t bytes);
  int write_16(uint64_t lba, uint32_t blocks, const void* buffer, uint32_t bytes);
  int read_capacity_10(void* buffer, int length);
  int read_capacity_16(void* buffer, int length);

  // One command, 16-byte form when the disk needed READ CAPACITY(16), else 10-byte.
  int ReadSecs(uint64_t lba, uint32_t blocks, void* buffer, uint32_t bytes);
  int WriteSecs(uint64_t lba, uint32_t blocks, const void* buffer, uint32_t bytes);
  // One command with one retry: 0, 3 (medium error), 4 (hardware error), -1002 / -1003.
  int Read_try(uint64_t lba, uint32_t blocks, void* buffer, uint32_t bytes);
  int Write_try(uint64_t lba, uint32_t blocks, const void* buffer, uint32_t bytes);
  // Any byte count from a start LBA: 0, -1002 (Read) or -1003 (Write). A trailing partial
  // sector is read into a bounce buffer; Write patches it by read-modify-write.
  int Read(uint64_t lba, void* buffer, uint64_t bytes, bool lock);
  int Write(uint64_t lba, const void* buffer, uint64_t bytes, bool lock);
  // Zeroes whole sectors: a hole in a sparse image where the transport can make one, else
  // zero writes of at most chunkBytes. 0 or -1003.
  int WriteZeros(uint64_t lba, uint64_t sectors, bool lock, uint32_t chunkBytes = 0x100000);

  // READ CAPACITY(10), and (16) when the last LBA is 0xFFFFFFFF. Returns the last LBA (0 on
  // failure, leaving capacity and sector size as they were).
  uint64_t ReadCapacity(uint32_t* sectorSize = nullptr);
  int DetectMaxTransferBlk(void* probe, uint32_t size);
  int wait_for_unit(uint16_t* progress = nullptr);
  int pioneer_start();
  int pioneer_stop(uint16_t* progress = nullptr);
  bool FlushCache();
  // "VENDOR   PRODUCT" from INQUIRY into buffer (at least 32 bytes); 0 or the SCSI result.
  int GetDeviceText(char* buffer, int length);
  int ScsiReset() { return 0; }
  int ReScanPartTable() { return 0; }

  const char* get_device_name() const { return name_; }
  int get_handle() const { return handle_; }
  const uint8_t* get_sense() const { return req_.sense; }
  // The sense key of the last command's sense data, in either format (0 without sense).
  uint8_t get_sense_key() const;
  int get_last_err() const { return lastError_; }
  int GetMaxTransCnt() const { return maxTransfer_; }
  bool is_bigger_2TB() const { return bigger2TB_; }
  uint64_t get_capacity() const { return capacity_; }
  uint8_t& operator()(int index) { return req_.sense[index]; }
  uint32_t get_sec_size() const {
    const uint32_t s = sectorSize_.load();
    return s ? s : 512;
  }
  // log2 of a sector size: sector sizes are powers of two (a capacity read refuses any other),
  // and a shift costs a cycle where a 64-bit division costs dozens on every transfer.
  static unsigned SectorShift(uint32_t sectorSize) {
    return static_cast<unsigned>(__builtin_ctz(sectorSize ? sectorSize : 512u));
  }
  uint64_t get_capacity_MB() const { return (capacity_ * get_sec_size()) >> 20; }
  uint64_t get_capacity_gB() const { return capacity_ * get_sec_size() / 1000000000ull; }
  char get_dev_no() const;
  bool is_closed() const { return handle_.load() == -1; }
  void set_timeout(uint32_t seconds) { req_.timeoutSec = seconds; }

 protected:
  int transport(int direction, void* buffer, uint32_t bytes);
  int transport_nonedata();

 private:
  // Starts a new command: zeroes the request block and sets the common settings.
  uint8_t* BuildCdb(uint8_t length);
  // Handles a completed call's sense data: 0, -1 or the sense key.
  int ResultFromSense();
  // Re-opens by the stored name, under the device lock.
  void ReopenLocked();
  // Opens the transport by name; with sameMediumOnly, refuses (closed) when another file than
  // the last one lies behind the name.
  bool OpenTransport(const char* name, bool sameMediumOnly);
  void ReportFailure(const char* operation, int result);
  // The 10-byte commands carry a 32-bit LBA: refuse (as the OS would, error 534) a command
  // whose blocks do not all fit instead of truncating its address.
  int Fits10(uint64_t lba, uint32_t blocks);
  // The same for the 40 LBA bits of the 16-byte commands.
  int Fits16(uint64_t lba, uint32_t blocks);
  void ProbeMaxTransfer();

  std::unique_ptr<platform::ScsiTransport> transport_;
  std::atomic<int> handle_{-1};  // written under lock_, read without it (is_closed)
  std::atomic<uint64_t> medium_{0};
  uint64_t backingDev_ = 0, backingIno_ = 0;  // the file the last open reached (under lock_)
  bool backingKnown_ = false;
  platform::ScsiRequest req_;
  uint8_t* cdb_ = req_.cdb;
  mutable CCriticalSection lock_;  // const readers of the request block take it too
  char name_[128] = {};
  // The geometry is written under lock_ (associate, ReadCapacity) and read without it by region
  // files opening and walking: atomics, so that a scan re-reading it races no reader.
  std::atomic<uint32_t> sectorSize_{512};
  std::atomic<bool> bigger2TB_{false};
  std::atomic<int> lastError_{0};
  std::atomic<int> maxTransfer_{128};
  std::atomic<uint64_t> capacity_{0};
};
