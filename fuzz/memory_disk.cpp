#include "fuzz/memory_disk.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "api/context.h"
#include "platform/messages.h"
#include "platform/platform_context.h"

namespace fuzz {

using platform::ScsiRequest;

namespace {

// The device layer always hands over a buffer that holds the whole transfer; a shorter one would
// be a bug in it that a real adapter would turn into memory corruption, so it stops the run.
[[noreturn]] void ContractBroken(const char* what, const ScsiRequest& req, uint64_t bytes) {
  std::fprintf(stderr,
               "memory disk: %s (opcode %02Xh, transfer %llu bytes, buffer %u bytes, data %p)\n",
               what, req.cdb[0], static_cast<unsigned long long>(bytes), req.dataLength, req.data);
  std::abort();
}

}  // namespace

const std::vector<uint8_t>* SparseImage::Find(uint64_t chunk) const {
  auto it = overlay_.find(chunk);
  if (it != overlay_.end()) return &it->second;
  it = base_.find(chunk);
  return it != base_.end() ? &it->second : nullptr;
}

void SparseImage::Read(uint64_t offset, uint8_t* out, uint64_t n) const {
  for (uint64_t piece = 0; n > 0; offset += piece, out += piece, n -= piece) {
    const uint64_t within = offset % kChunk;
    piece = std::min<uint64_t>(n, kChunk - within);
    const std::vector<uint8_t>* c = Find(offset / kChunk);
    if (c) std::memcpy(out, c->data() + within, piece);
    else std::memset(out, 0, piece);
  }
}

namespace {
// Compared a block at a time with memcmp: a byte loop here would be instrumented and dominate.
bool AllZero(const uint8_t* p, uint64_t n) {
  static const uint8_t kZeros[4096] = {};
  for (uint64_t at = 0; at < n; at += sizeof kZeros) {
    const size_t len = static_cast<size_t>(std::min<uint64_t>(sizeof kZeros, n - at));
    if (std::memcmp(p + at, kZeros, len) != 0) return false;
  }
  return true;
}
}  // namespace

void SparseImage::Write(uint64_t offset, const uint8_t* in, uint64_t n) {
  for (uint64_t piece = 0; n > 0; offset += piece, in += piece, n -= piece) {
    const uint64_t chunk = offset / kChunk, within = offset % kChunk;
    piece = std::min<uint64_t>(n, kChunk - within);
    auto it = overlay_.find(chunk);
    if (it == overlay_.end()) {
      const std::vector<uint8_t>* old = Find(chunk);
      // Zeros written where nothing was (formatting clears whole FATs) take no memory.
      if (!old && AllZero(in, piece)) continue;
      it = overlay_.emplace(chunk, old ? *old : std::vector<uint8_t>(kChunk, 0)).first;
    }
    std::memcpy(it->second.data() + within, in, piece);
  }
}

void SparseImage::Freeze() {
  for (auto& c : overlay_) base_[c.first] = std::move(c.second);
  overlay_.clear();
}

std::vector<uint64_t> SparseImage::FrozenChunks() const {
  std::vector<uint64_t> out;
  out.reserve(base_.size());
  for (const auto& c : base_) out.push_back(c.first * kChunk);
  std::sort(out.begin(), out.end());
  return out;
}

MemoryDiskTransport::MemoryDiskTransport(MemoryDisk* disk,
                                         std::unique_ptr<platform::ScsiTransport> inner)
    : disk_(disk), inner_(std::move(inner)) {}

int MemoryDiskTransport::Handle() const {
  // Any non-negative number tells the device it is open.
  return inner_ ? inner_->Handle() : 1000;
}

bool MemoryDiskTransport::Execute(ScsiRequest& req) {
  std::memset(req.sense, 0, sizeof req.sense);
  switch (req.cdb[0]) {
    case platform::kOpTestUnitReady:
    case platform::kOpStartStopUnit:
    case platform::kOpSynchronizeCache10:
      return true;
    case platform::kOpRequestSense:
      if (req.data && req.dataLength) {
        uint8_t sense[platform::kSenseAreaSize];
        platform::SetFixedSense(sense, platform::kSkNoSense, 0, 0);
        std::memcpy(req.data, sense, std::min<uint32_t>(req.dataLength, sizeof sense));
      }
      return true;
    case platform::kOpInquiry:
      return Inquiry(req);
    case platform::kOpReadCapacity10:
      return ReadCapacity(req, false);
    case platform::kOpServiceActionIn16:
      if ((req.cdb[1] & 0x1F) != 0x10) break;
      return ReadCapacity(req, true);
    case platform::kOpRead10:
    case platform::kOpRead16:
    case platform::kOpWrite10:
    case platform::kOpWrite16:
      return ReadWrite(req);
    default:
      break;
  }
  platform::SetFixedSense(req.sense, platform::kSkIllegalRequest, 0x20, 0x00);
  return true;
}

bool MemoryDiskTransport::Inquiry(ScsiRequest& req) {
  uint8_t data[36] = {};
  data[2] = 0x05;
  data[3] = 0x02;
  data[4] = 31;
  std::memcpy(data + 8, "FUZZ    ", 8);
  std::memcpy(data + 16, "MEMORY DISK     ", 16);
  std::memcpy(data + 32, "0001", 4);
  if (req.data) std::memcpy(req.data, data, std::min<uint32_t>(req.dataLength, sizeof data));
  return true;
}

bool MemoryDiskTransport::ReadCapacity(ScsiRequest& req, bool sixteen) {
  const uint64_t lastLba = disk_->blocks - 1;
  // Forcing the 16-byte commands: the 10-byte answer claims FFFFFFFFh whatever the size.
  platform::AnswerReadCapacity(req, !sixteen && disk_->force16 ? 0xFFFFFFFFull : lastLba,
                               disk_->sectorSize);
  return true;
}

bool MemoryDiskTransport::ReadWrite(ScsiRequest& req) {
  uint64_t lba = 0;
  uint32_t count = 0;
  bool isWrite = false;
  platform::DecodeReadWrite(req, &lba, &count, &isWrite);
  const uint64_t ss = disk_->sectorSize;
  const uint64_t bytes = uint64_t{count} * ss;
  if (!req.data && bytes) ContractBroken("transfer without a buffer", req, bytes);
  if (bytes > req.dataLength) ContractBroken("buffer shorter than the transfer", req, bytes);
  if (isWrite) {
    ++disk_->writes;
    if (!disk_->image) {
      platform::SetFixedSense(req.sense, platform::kSkDataProtect, 0x27, 0x00);
      return true;
    }
  }
  if (lba > disk_->blocks || count > disk_->blocks - lba) {
    platform::SetFixedSense(req.sense, platform::kSkIllegalRequest, 0x21, 0x00);  // LBA out of range
    return true;
  }
  auto* out = static_cast<uint8_t*>(req.data);
  // lba < blocks here, and blocks * sectorSize stays far below 2^64 for every disk the targets
  // build, so the byte offset cannot wrap.
  const uint64_t offset = lba * ss;
  if (disk_->image) {
    if (isWrite) disk_->image->Write(offset, out, bytes);
    else disk_->image->Read(offset, out, bytes);
    return true;
  }
  uint64_t fromData = 0;
  if (offset < disk_->size) fromData = std::min<uint64_t>(bytes, disk_->size - offset);
  if (fromData) std::memcpy(out, disk_->data + offset, fromData);
  if (bytes > fromData) std::memset(out + fromData, 0, bytes - fromData);
  return true;
}

std::string InstallMemoryDrive(MemoryDisk* disk, bool writable) {
  auto* ctx = new qvfs::ScopedContext;  // never torn down: the fuzz run ends with the process
  ctx->get().deviceServices().SetThreads(false);
  platform::SetConsoleOutput(false);
  platform::DriveTable& drives = platform::Drives();
  drives.UseSystemDisks(false);
  drives.UseMachineMounts(false);
  // The drive only needs a path that opens; its transport is replaced on every open. /dev/null
  // opens everywhere and leaves nothing to clean up.
  int n = drives.AttachImage("/dev/null", !writable, 512);
  if (n < 0) {
    std::fprintf(stderr, "memory disk: cannot attach the placeholder drive\n");
    std::abort();
  }
  drives.SetDecorator([disk](int, std::unique_ptr<platform::ScsiTransport> inner) {
    return std::unique_ptr<platform::ScsiTransport>(new MemoryDiskTransport(disk, std::move(inner)));
  });
  return platform::DriveName(n);
}

}  // namespace fuzz
