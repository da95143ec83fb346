// Device service: one object and one thread per disk in use (a device, or the folder of a
// volume disk). Record writers register to have their write caches flushed every 50 ms, record
// readers to have their play buffers refilled every 50 ms, so that no frame producer or
// consumer waits for the disk. With nothing registered the thread tests the device once a
// second and ends when it no longer answers; the next registration starts a new one.
//
// Lock rules: the writer lock guards the writer map, the reader lock the reader map; the thread
// holds one of them for a whole pass and never both. A flush or fill takes the writer's or
// reader's own lock inside, so producers and consumers run alongside a pass. The list lock of
// DeviceServices guards the list of objects only.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/critical_section.h"

class CDisk_Dev;

// What the thread needs of a record writer.
class ServiceWriter {
 public:
  virtual ~ServiceWriter() = default;
  // Moves the write cache to the disk; negative on failure (the writer is then dropped).
  virtual int FlushForService() = 0;
  // The last region-file error, for the failure message.
  virtual int ServiceLastError() const = 0;
};

// What the thread needs of a record reader.
class ServiceReader {
 public:
  virtual ~ServiceReader() = default;
  virtual bool ServiceFileOpen() const = 0;
  // The key as the reader computes it now: its file's start sector plus its client id.
  virtual uint64_t ServiceKey() const = 0;
  // Refills the play buffer while the consumer's level is below percent; negative on failure.
  virtual int Fill(int percent) = 0;
  virtual int ServiceChannel() const = 0;
  virtual uint64_t ServiceFileLba() const = 0;
  // The time range read, for the closing log line; fastBackward moves its end back.
  virtual void ServiceTimeRange(int64_t* startMs, int64_t* endMs, bool* fastBackward) const = 0;
};

class DeviceService {
 public:
  DeviceService(CDisk_Dev* device, const std::string& name);
  ~DeviceService();  // stops the thread
  DeviceService(const DeviceService&) = delete;
  DeviceService& operator=(const DeviceService&) = delete;

  const std::string& name() const { return name_; }
  bool running() const { return running_.load(); }
  bool busy() const { return busy_.load(); }
  int readerCount() const { return readerCount_.load(); }
  // The read buffer shared by this disk's readers for thinned and key-frame reads.
  std::vector<uint8_t>& readBuffer() { return readBuffer_; }

  void AddWriter(uint64_t key, ServiceWriter* writer);
  void AddReader(uint64_t key, ServiceReader* reader, uint32_t readBufferBytes);
  // 0, or -1 when this key and reader are not registered.
  int RemoveReader(uint64_t key, ServiceReader* reader);
  // Removes a writer (a writer that closes its file); false when it was not registered.
  bool RemoveWriter(uint64_t key, ServiceWriter* writer);
  size_t WriterCount();
  size_t ReaderCount();

  // Pass intervals: 50 ms between passes, 1000 ms idle (tests shorten them).
  void SetIntervals(uint32_t passMs, uint32_t idleMs);
  // Starts the thread unless one runs; true when it was (re)started.
  bool EnsureThread();
  // Stops the thread and waits for it.
  void Stop();

 private:
  void ThreadLoop();
  void FlushPass();
  void FillPass();
  // One idle round; false when the device stopped answering and the thread must end.
  bool IdleRound();

  CDisk_Dev* device_;
  const std::string name_;
  std::vector<uint8_t> readBuffer_;  // guarded by readerLock_
  std::thread thread_;
  std::atomic<bool> running_{false};
  std::atomic<bool> busy_{false};
  std::atomic<bool> stop_{false};
  std::atomic<int> readerCount_{0};
  std::atomic<uint32_t> passMs_{50};
  std::atomic<uint32_t> idleMs_{1000};
  CCriticalSection threadLock_;  // starting and stopping the thread
  CCriticalSection writerLock_;
  CCriticalSection readerLock_;
  // Writers of different files may come with equal keys (ordinary files have no sector
  // address): a multimap keeps every one. Guarded by writerLock_.
  std::multimap<uint64_t, ServiceWriter*> writers_;
  // Several readers may share a key (the player and a backup of the same file for the same
  // client): a multimap keeps them all. Guarded by readerLock_.
  std::multimap<uint64_t, ServiceReader*> readers_;
};

// The process-wide list of device service objects, searched in order; objects are created on
// the first registration for their disk and stay until the context ends.
class DeviceServices {
 public:
  DeviceServices() = default;
  ~DeviceServices();

  // 1 when a new object was created for the path, else 0.
  int RegisterWriter(const std::string& path, uint64_t key, ServiceWriter* writer,
                     CDisk_Dev* device);
  // readBufferBytes: the size of the object's read buffer when this creates it (the readers
  // pass StorageParams.frameBufferSize).
  int RegisterReader(const std::string& path, uint64_t key, ServiceReader* reader,
                     CDisk_Dev* device, uint32_t readBufferBytes);
  // 0, or -1 when no object serves the path.
  int UnregisterReader(const std::string& path, uint64_t key, ServiceReader* reader);
  bool UnregisterWriter(const std::string& path, uint64_t key, ServiceWriter* writer);

  // The object serving a path (see Serves), or null.
  DeviceService* Find(const std::string& path);
  // Intervals for every object, present and future (tests).
  void SetIntervals(uint32_t passMs, uint32_t idleMs);
  // Off: registrations start no thread. Readers are then refilled by their consumers (GetFrame
  // fills by itself), writers flush when their cache fills and at close. The fuzz targets turn
  // it off to run on one thread.
  void SetThreads(bool on) { threads_ = on; }
  // Stops every thread (context tear-down).
  void StopAll();

  // The object name of a path: a device path as it is; any other path up to its last '/'.
  static std::string ServiceName(const std::string& path);
  // Whether the object named `service` serves `path`: a device path only by its exact name, a
  // folder every path beneath it.
  static bool Serves(const std::string& service, const std::string& path);

 private:
  DeviceService* FindOrCreate(const std::string& path, CDisk_Dev* device, bool* created);

  CCriticalSection lock_;
  std::list<std::unique_ptr<DeviceService>> services_;  // guarded by lock_
  uint32_t passMs_ = 50, idleMs_ = 1000;                // guarded by lock_
  std::atomic<bool> threads_{true};
};
