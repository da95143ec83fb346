#include "test_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "backup/backup_engine.h"
#include "disklayout/le.h"
#include "index/record_search.h"
#include "platform/messages.h"
#include "qvfs/qvfs.h"

namespace testsupport {

namespace {
std::mutex g_msgMutex;
std::vector<std::string> g_messages;

void CaptureSink(const char* text) {
  std::lock_guard<std::mutex> g(g_msgMutex);
  g_messages.emplace_back(text ? text : "");
}
}  // namespace

void RunWithin(int seconds, const char* what, const std::function<void()>& work) {
  auto done = std::make_shared<std::atomic<bool>>(false);
  std::thread t([&work, done] {
    work();
    *done = true;
  });
  if (!WaitUntil([&] { return done->load(); }, seconds * 1000)) {
    // The thread cannot be stopped or joined: report and end the run here.
    ADD_FAILURE() << what << " did not finish within " << seconds << " s";
    std::fprintf(stderr, "%s did not finish within %d s: a hang\n", what, seconds);
    std::_Exit(1);
  }
  t.join();
}

TempDir::TempDir() {
  const char* base = getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/qvfs-test-XXXXXX";
  std::vector<char> buf(tmpl.begin(), tmpl.end());
  buf.push_back('\0');
  if (!mkdtemp(buf.data())) abort();
  path_ = buf.data();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

void MakeSparseFile(const std::string& path, uint64_t bytes) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(bytes)), 0);
  close(fd);
}

uint64_t SparseDigest(const std::string& path, uint64_t from, uint64_t to) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st {};
  if (fstat(fd, &st) == 0) to = std::min<uint64_t>(to, static_cast<uint64_t>(st.st_size));
  // FNV-1a over (offset, bytes) of each 4 KiB piece that is not all zeros: holes and written
  // zeros hash alike, so the digest follows what the file holds, not how the file system
  // happens to store it (a write next to a hole can turn the hole's block into data).
  uint64_t h = 1469598103934665603ull;
  const auto mix = [&h](const void* p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<const uint8_t*>(p)[i]) * 1099511628211ull;
  };
  constexpr size_t kPiece = 4096;
  std::vector<uint8_t> buf(1 << 20);
  off_t at = static_cast<off_t>(from);
  // Each pass starts at the next data extent past the last one read: it moves forward or ends.
  while (static_cast<uint64_t>(at) < to && (at = lseek(fd, at, SEEK_DATA)) >= 0 &&
         static_cast<uint64_t>(at) < to) {
    off_t hole = lseek(fd, at, SEEK_HOLE);
    if (hole <= at) break;
    hole = std::min<off_t>(hole, static_cast<off_t>(to));
    for (off_t p = at; p < hole;) {
      const ssize_t n = pread(fd, buf.data(), std::min<off_t>(hole - p, buf.size()), p);
      if (n <= 0) break;
      for (size_t k = 0; k < static_cast<size_t>(n); k += kPiece) {
        const size_t len = std::min(kPiece, static_cast<size_t>(n) - k);
        const uint8_t* piece = buf.data() + k;
        if (std::all_of(piece, piece + len, [](uint8_t b) { return b == 0; })) continue;
        const off_t offset = p + static_cast<off_t>(k);
        mix(&offset, sizeof offset);
        mix(piece, len);
      }
      p += n;
    }
    at = hole;
  }
  ::close(fd);
  return h;
}

std::vector<uint8_t> ReadFileBytes(const std::string& path, uint64_t offset, size_t n) {
  std::vector<uint8_t> out(n);
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return {};
  ssize_t got = pread(fd, out.data(), n, static_cast<off_t>(offset));
  close(fd);
  out.resize(got < 0 ? 0 : static_cast<size_t>(got));
  return out;
}

void WriteFileBytes(const std::string& path, uint64_t offset, const void* data, size_t n) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(pwrite(fd, data, n, static_cast<off_t>(offset)), static_cast<ssize_t>(n));
  close(fd);
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    v[i] = static_cast<uint8_t>(x >> 16);
  }
  return v;
}

std::vector<uint8_t> PtmfFrame(uint8_t type, int64_t ptsMs, uint32_t payload, uint32_t no) {
  std::vector<uint8_t> f(224 + payload, static_cast<uint8_t>(no));
  std::memset(f.data(), 0, 224);
  std::memcpy(f.data(), "PTMF", 4);
  f[4] = 224;
  f[5] = type;
  le::Put32(&f[8], no);
  le::Put32(&f[12], payload);
  le::Put32(&f[16], static_cast<uint32_t>(ptsMs));
  le::Put16(&f[20], static_cast<uint16_t>(static_cast<uint64_t>(ptsMs) >> 32));
  return f;
}

std::vector<uint8_t> FsfmFrame(uint8_t type, int64_t ptsMs, const std::vector<uint8_t>& payload,
                               uint32_t no) {
  std::vector<uint8_t> f(48 + payload.size(), 0);
  std::memcpy(f.data(), "FSFM", 4);
  f[6] = type;
  le::Put32(&f[8], no);
  le::Put32(&f[12], static_cast<uint32_t>(payload.size()));
  le::Put64(&f[16], static_cast<uint64_t>(ptsMs));
  le::Put64(&f[24], static_cast<uint64_t>(ptsMs));
  if (!payload.empty()) std::memcpy(f.data() + 48, payload.data(), payload.size());
  return f;
}

void LibraryTest::SetUp() {
  NewContext();
  {
    std::lock_guard<std::mutex> g(g_msgMutex);
    g_messages.clear();
  }
  QVFS_SetConsoleOutput(0);
  QVFS_SetLogSink(&CaptureSink);
}

void LibraryTest::NewContext() {
  ctx_.reset();
  ctx_ = std::make_unique<qvfs::ScopedContext>();
  ctx_->get().platform().drives.UseSystemDisks(false);
  ctx_->get().platform().drives.UseMachineMounts(false);
  if (!faults_) faults_ = std::make_shared<platform::FaultPlan>();
  auto plan = faults_;
  ctx_->get().platform().drives.SetDecorator(
      [plan](int, std::unique_ptr<platform::ScsiTransport> t) -> std::unique_ptr<platform::ScsiTransport> {
        return std::make_unique<platform::FaultTransport>(std::move(t), plan);
      });
}

void LibraryTest::TearDown() {
  ctx_.reset();
  QVFS_SetLogSink(nullptr);
  QVFS_SetConsoleOutput(1);
}

std::string LibraryTest::AttachImage(uint64_t bytes, uint32_t sectorSize, bool readOnly,
                                     const std::string& file) {
  imagePath_ = tmp_.File(file);
  MakeSparseFile(imagePath_, bytes);
  int n = QVFS_AttachImage(imagePath_.c_str(), readOnly ? 1 : 0, static_cast<int>(sectorSize));
  EXPECT_GE(n, 0);
  return "\\\\.\\PhysicalDrive" + std::to_string(n);
}

std::string LibraryTest::MakeRecordDisk(int channels, const std::string& file) {
  ctx_->get().deviceServices().SetIntervals(2, 50);
  const std::string drive = AttachImage(1ull << 30, 512, false, file);
  EXPECT_GT(QVFS_FormatToRecdisk(drive.c_str(), 64, 0), 0);
  EXPECT_EQ(QVFS_Init(RecordDiskConfig(channels)), 0);
  return ::testing::Test::HasFailure() ? std::string() : drive;
}

StorageConfig LibraryTest::RecordDiskConfig(int channels) {
  StorageConfig c{};
  c.channelCount = channels;
  c.fifoUsers = 2;
  c.mainFifoSize = 0x10000;
  c.playBufferSize = 0x40000;
  c.frameBufferSize = 0x80000;
  c.writeCacheSize = 0x180000;
  return c;
}

void LibraryTest::StopLibraryThreads() {
  ctx_->get().backup().Stop();
  ctx_->get().backup().Wait();
  ctx_->get().storage().Shutdown();
  ctx_->get().deviceServices().StopAll();
}

void LibraryTest::Restart(int channels) {
  ctx_->get().storage().Shutdown();
  NewContext();
  EXPECT_GE(QVFS_AttachImage(imagePath_.c_str(), 0, 512), 0);
  ctx_->get().deviceServices().SetIntervals(2, 50);
  EXPECT_EQ(QVFS_Init(RecordDiskConfig(channels)), 0);
}

std::vector<_rec_file_info_> LibraryTest::Recordings(int channel) {
  std::vector<_rec_file_info_> out(4096);
  const int n = QVFS_SearchPlayList(out.data(), static_cast<int>(out.size() * sizeof out[0]), 0,
                                    UINT32_MAX, 1 << channel, 0, 0, 0, 1);
  EXPECT_GT(n, 0);
  out.resize(static_cast<size_t>(std::max(n, 0)));
  return MergeSegmentRuns(out);
}

std::vector<std::string> LibraryTest::TakeMessages() {
  std::lock_guard<std::mutex> g(g_msgMutex);
  std::vector<std::string> out;
  out.swap(g_messages);
  return out;
}

bool LibraryTest::Printed(const std::string& text) {
  std::lock_guard<std::mutex> g(g_msgMutex);
  for (const std::string& m : g_messages)
    if (m.find(text) != std::string::npos) return true;
  return false;
}

}  // namespace testsupport
