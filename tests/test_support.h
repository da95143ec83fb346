// Shared test fixtures: a fresh library context per test (its own drive table, clock and
// registry), temporary folders and sparse images, and capture of the library's console lines.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "api/context.h"
#include "platform/fault_transport.h"
#include "qvfs/qvfs.h"

namespace testsupport {

// Polls `done` every 5 ms until it holds or `ms` have passed; its last answer. Threads of the
// library act on their own schedule, and a loaded machine may be slow to run them.
template <class Pred>
bool WaitUntil(Pred done, int ms = 10000) {
  for (int waited = 0; waited < ms; waited += 5) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return done();
}

// Runs `work` on a thread of its own and fails the test, then ends the process, when it has not
// finished within `seconds`: a walk that stands still on damaged data would otherwise hang the
// whole suite instead of failing one test.
void RunWithin(int seconds, const char* what, const std::function<void()>& work);

// A folder under $TMPDIR (or /tmp), removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Creates a sparse file of the given size (existing content is dropped).
void MakeSparseFile(const std::string& path, uint64_t bytes);
// (WriteFileBytes creates a missing file.)
std::vector<uint8_t> ReadFileBytes(const std::string& path, uint64_t offset, size_t n);
// A digest of what a sparse file holds in [from, to) (offsets and bytes of every 4 KiB piece
// that is not all zeros; holes and written zeros alike), read without walking the holes: equal
// digests mean the bytes there are the same.
uint64_t SparseDigest(const std::string& path, uint64_t from = 0, uint64_t to = UINT64_MAX);
void WriteFileBytes(const std::string& path, uint64_t offset, const void* data, size_t n);
// A buffer of n bytes, each a function of its position and a seed.
std::vector<uint8_t> Pattern(size_t n, uint32_t seed);

// A frame record as the FIFOs hand it on: a 224-byte "PTMF" header (type, number, payload
// length, 48-bit time stamp) and `payload` bytes of value `no`.
std::vector<uint8_t> PtmfFrame(uint8_t type, int64_t ptsMs, uint32_t payload, uint32_t no);
// An "FSFM" frame: the 48-byte header of those cameras (type, number, payload length, time
// stamp and frame time) around `payload`.
std::vector<uint8_t> FsfmFrame(uint8_t type, int64_t ptsMs, const std::vector<uint8_t>& payload,
                               uint32_t no);

// Every test gets a fresh context without the machine's own disks, console output captured
// (not printed), and a fault plan that every newly opened device is wrapped with.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Attaches a sparse image of the given size; returns the drive name.
  std::string AttachImage(uint64_t bytes, uint32_t sectorSize = 512, bool readOnly = false,
                          const std::string& file = "disk.img");
  // A 1 GiB record disk image (64 MiB record files) for playing and backing up: formatted,
  // QVFS_Init run for `channels` channels without recording, the device service quick. The
  // drive name, or "" after a failed check.
  std::string MakeRecordDisk(int channels, const std::string& file);
  // The configuration MakeRecordDisk starts the library with.
  static StorageConfig RecordDiskConfig(int channels);
  // The next start of the library on the last image attached (a context of its own, as a new
  // process has): QVFS_Init's scan reads the disk afresh and repairs what was left open.
  void Restart(int channels);
  // A fresh library context with the test's drive settings and fault plan.
  void NewContext();
  // Stops a backup, the replay and recording threads and the device services: before the
  // context goes, nothing of the library may run any more.
  void StopLibraryThreads();
  // The recordings of a channel the play-list search finds, one record per run of a file's
  // segment records.
  std::vector<_rec_file_info_> Recordings(int channel);
  // Lines the library printed or logged since the last call.
  std::vector<std::string> TakeMessages();
  // True when a line printed since the last TakeMessages contains text (does not clear them).
  bool Printed(const std::string& text);

  TempDir tmp_;
  std::unique_ptr<qvfs::ScopedContext> ctx_;
  std::shared_ptr<platform::FaultPlan> faults_;
  std::string imagePath_;
};

}  // namespace testsupport
