#include "device/disk_dev.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "device/sense_text.h"
#include "platform/last_error.h"
#include "platform/messages.h"
#include "platform/platform_context.h"

using platform::ConsoleErrPrintf;
using platform::ConsolePrintf;

namespace {
constexpr uint32_t kProbeBufferBytes = 512 * 1024;
constexpr uint64_t kProbeBaseLba = 2048;
// A unit that stays not ready longer than this is given up on rather than waited for forever.
constexpr int kMaxUnitPolls = 600;         // wait_for_unit: one poll a second
constexpr int kMaxStartStopPolls = 1800;   // pioneer_start/stop: one poll every 333 ms
constexpr int kInProgress = 0x20407;
// The 16-byte commands carry 40 LBA bits.
constexpr uint64_t kMaxLba16 = 1ull << 40;       // NOT READY, operation in progress

// The request block's sense data, in either format.
SenseFields SenseOf(const platform::ScsiRequest& req) {
  return DecodeSense(req.sense, sizeof req.sense);
}

// Key, ASC and ASCQ as one number: key * 65536 + ASC * 256 + ASCQ.
int SenseCode(const SenseFields& f) { return f.key * 65536 + f.asc * 256 + f.ascq; }

bool ProgressOf(const SenseFields& f, uint16_t* progress) {
  if (!f.hasProgress) return false;
  *progress = f.progress;
  return true;
}
}  // namespace

CDisk_Dev::CDisk_Dev() = default;

CDisk_Dev::~CDisk_Dev() = default;

uint8_t CDisk_Dev::get_sense_key() const {
  CAutoLock g(&lock_);  // another thread's command may be filling the request block
  return SenseOf(req_).key;
}

char CDisk_Dev::get_dev_no() const {
  size_t n = strnlen(name_, sizeof name_);
  return n ? name_[n - 1] : '\0';
}

// ---- opening and closing -------------------------------------------------------------------

bool CDisk_Dev::OpenTransport(const char* name, bool sameMediumOnly) {
  // Device names already carry the "\\.\" prefix; a bare "PhysicalDriveN" gets it once; a path
  // (an image or a /dev node) is used as it is.
  std::string path;
  if (std::strncmp(name, platform::kDevicePathPrefix, 4) == 0 || name[0] == '/')
    path = name;
  else
    path = std::string(platform::kDevicePathPrefix) + std::string(name, strnlen(name, 27));
  transport_ = platform::Drives().Open(path);
  handle_ = transport_ ? transport_->Handle() : -1;
  // Another file behind the same name (an image swapped for another) is another medium. The
  // re-opens after a lost handle only return to the same one: whatever was under way goes on
  // failing instead of reaching the other disk, until a scan associates the device anew.
  struct stat st {};
  if (handle_ >= 0 && fstat(handle_, &st) == 0) {
    const uint64_t dev = static_cast<uint64_t>(st.st_dev), ino = static_cast<uint64_t>(st.st_ino);
    if (backingKnown_ && (dev != backingDev_ || ino != backingIno_)) {
      NewMedium();
      if (sameMediumOnly) {
        transport_.reset();
        handle_ = -1;
        return false;
      }
    }
    backingDev_ = dev;
    backingIno_ = ino;
    backingKnown_ = true;
  }
  return transport_ != nullptr;
}

int CDisk_Dev::associate(const char* name, bool /*memoryCard*/) {
  if (!name) return -1;
  // The transport, the request block and the probes belong to whoever holds the device lock.
  CAutoLock g(&lock_);
  if (!OpenTransport(name, false)) return -1;
  if (name != name_) {
    std::strncpy(name_, name, sizeof name_ - 1);
    name_[sizeof name_ - 1] = '\0';
  }
  ReadCapacity(nullptr);
  ProbeMaxTransfer();
  return handle_;
}

void CDisk_Dev::ProbeMaxTransfer() {
  // Only written by the reads and never looked at: not zeroed first (zeroing half a MiB was
  // most of a re-associate's time, and every disk scan re-associates each drive).
  std::unique_ptr<uint8_t[]> probe(new uint8_t[kProbeBufferBytes]);
  std::minstd_rand rng(static_cast<uint32_t>(platform::TheClock().NowMs()));
  uint64_t lba = kProbeBaseLba + rng() % 100;
  uint32_t ss = get_sec_size();
  for (uint32_t n = 1024; n >= 8; n /= 2) {
    // Larger sectors: never ask for more than the probe buffer holds.
    if (static_cast<uint64_t>(n) * ss > kProbeBufferBytes) continue;
    if (ReadSecs(lba, n, probe.get(), n * ss) == 0) {
      maxTransfer_ = static_cast<int>(n);
      break;
    }
  }
}

// Kept out of line (as is ResultFromSense): the error paths stay out of the flattened transfers.
__attribute__((noinline)) void CDisk_Dev::ReopenLocked() {
  CAutoLock g(&lock_);
  transport_.reset();
  handle_ = -1;
  OpenTransport(name_, true);
}

int CDisk_Dev::Open() {
  CAutoLock g(&lock_);
  if (is_closed() || lastError_ == platform::kOsInvalidHandle) {
    transport_.reset();
    handle_ = -1;
    if (OpenTransport(name_, true)) lastError_ = 0;
  }
  return handle_;
}

void CDisk_Dev::Close() {
  CAutoLock g(&lock_);
  if (is_closed()) return;
  transport_.reset();
  handle_ = -1;
}

int CDisk_Dev::Reassociate() {
  CAutoLock g(&lock_);
  Close();
  return associate(name_, false);
}

// ---- executing a command -------------------------------------------------------------------

// Field by field rather than by assigning a fresh request: GCC builds such a temporary on the
// stack with mixed-width stores and reads it back whole, three store-forwarding stalls on every
// command (a sixth of the library's time on a 4 KiB read from the page cache).
uint8_t* CDisk_Dev::BuildCdb(uint8_t length) {
  std::memset(req_.cdb, 0, sizeof req_.cdb);
  req_.cdbLength = length;
  req_.direction = IO_NO_DATA;
  req_.data = nullptr;
  req_.dataLength = 0;
  req_.timeoutSec = platform::kCommandTimeoutSec;
  std::memset(req_.sense, 0, sizeof req_.sense);
  return cdb_;
}

__attribute__((noinline)) int CDisk_Dev::ResultFromSense() {
  platform::SetLastOsError(platform::kOsGeneralFailure);
  const SenseFields sense = SenseOf(req_);
  lastError_ = SenseCode(sense);
  if (lastError_ == 0) return -1;
  const uint8_t ascq = sense.ascq;
  switch (sense.asc) {
    case 0x04:
      platform::SetLastOsError(platform::kOsNotReady);
      break;
    case 0x20:
      platform::SetLastOsError(platform::kOsNoDevice);
      break;
    case 0x21:
      platform::SetLastOsError(ascq == 0 ? platform::kOsNoSpace : platform::kOsInvalidArgument);
      break;
    case 0x30:
      platform::SetLastOsError(platform::kOsMediumIncompatible);
      break;
    case 0x3A:
      platform::SetLastOsError(platform::kOsMediumOffline);
      break;
    default:
      break;
  }
  return sense.key;
}

int CDisk_Dev::transport(int direction, void* buffer, uint32_t bytes) {
  req_.direction = direction;
  req_.data = buffer;
  req_.dataLength = bytes;
  bool completed = false;
  if (transport_) {
    completed = transport_->Execute(req_);
  } else {
    platform::SetLastOsError(platform::kOsInvalidHandle);
  }
  if (!completed) {
    int err = platform::GetLastOsError();
    if (err <= 0) err = platform::kOsGeneralFailure;
    lastError_ = err;
    if (err == platform::kOsInvalidHandle) ReopenLocked();
    platform::SetLastOsError(err);
    return err;
  }
  if (!(req_.sense[0] & 0x70)) return 0;
  return ResultFromSense();
}

int CDisk_Dev::transport_nonedata() {
  req_.direction = IO_NO_DATA;
  req_.data = nullptr;
  req_.dataLength = 0;
  bool completed = false;
  if (transport_) {
    completed = transport_->Execute(req_);
  } else {
    platform::SetLastOsError(platform::kOsInvalidHandle);
  }
  if (!completed) {
    int err = platform::GetLastOsError();
    if (err == platform::kOsInvalidHandle &&
        (is_closed() || !transport_ || lastError_ == platform::kOsInvalidHandle)) {
      ReopenLocked();
      platform::SetLastOsError(err);
    }
    return -1;
  }
  if (!(req_.sense[0] & 0x70)) return 0;
  return ResultFromSense();
}

// ---- command builders ----------------------------------------------------------------------

int CDisk_Dev::test_unit_ready() {
  BuildCdb(6)[0] = platform::kOpTestUnitReady;
  return transport_nonedata();
}

int CDisk_Dev::TestUnitReady() {
  CAutoLock g(&lock_);
  return test_unit_ready();
}

int CDisk_Dev::inquiry(void* buffer, int /*length*/) {
  uint8_t* cdb = BuildCdb(6);
  cdb[0] = platform::kOpInquiry;
  cdb[4] = 36;
  return transport(IO_DATA_IN, buffer, 36);
}

int CDisk_Dev::request_sense(void* buffer, int length) {
  uint8_t* cdb = BuildCdb(6);
  cdb[0] = platform::kOpRequestSense;
  cdb[4] = static_cast<uint8_t>(length);
  return transport(IO_DATA_IN, buffer, static_cast<uint32_t>(length));
}

int CDisk_Dev::start_stop_unit(uint8_t startStop, bool immediate) {
  uint8_t* cdb = BuildCdb(6);
  cdb[0] = platform::kOpStartStopUnit;
  cdb[1] = immediate ? 0x01 : 0x00;
  cdb[4] = startStop;
  return transport_nonedata();
}

int CDisk_Dev::synchronize_cache(bool immediateOff) {
  uint8_t* cdb = BuildCdb(10);
  cdb[0] = platform::kOpSynchronizeCache10;
  if (!immediateOff) cdb[1] = 0x02;
  return transport_nonedata();
}

int CDisk_Dev::read_capacity_10(void* buffer, int /*length*/) {
  BuildCdb(10)[0] = platform::kOpReadCapacity10;
  return transport(IO_DATA_IN, buffer, 8);
}

int CDisk_Dev::read_capacity_16(void* buffer, int length) {
  uint8_t* cdb = BuildCdb(16);
  cdb[0] = platform::kOpServiceActionIn16;
  cdb[1] = 0x10;
  platform::PutBe(cdb + 12, 2, static_cast<uint32_t>(length));
  return transport(IO_DATA_IN, buffer, static_cast<uint32_t>(length));
}

int CDisk_Dev::read_10(uint32_t lba, uint32_t blocks, void* buffer, uint32_t bytes) {
  uint8_t* cdb = BuildCdb(10);
  cdb[0] = platform::kOpRead10;
  platform::PutBe(cdb + 2, 4, lba);
  platform::PutBe(cdb + 7, 2, blocks);
  return transport(IO_DATA_IN, buffer, bytes);
}

int CDisk_Dev::write_10(uint32_t lba, uint32_t blocks, const void* buffer, uint32_t bytes) {
  uint8_t* cdb = BuildCdb(10);
  cdb[0] = platform::kOpWrite10;
  platform::PutBe(cdb + 2, 4, lba);
  platform::PutBe(cdb + 7, 2, blocks);
  return transport(IO_DATA_OUT, const_cast<void*>(buffer), bytes);
}

int CDisk_Dev::Fits16(uint64_t lba, uint32_t blocks) {
  if (lba < kMaxLba16 && blocks <= kMaxLba16 - lba) return 0;
  lastError_ = platform::kOsArithmeticOverflow;
  platform::SetLastOsError(platform::kOsArithmeticOverflow);
  return platform::kOsArithmeticOverflow;
}

int CDisk_Dev::read_16(uint64_t lba, uint32_t blocks, void* buffer, uint32_t bytes) {
  if (int r = Fits16(lba, blocks)) return r;
  uint8_t* cdb = BuildCdb(16);
  cdb[0] = platform::kOpRead16;
  platform::PutBe(cdb + 5, 5, lba & 0xFFFFFFFFFFull);  // LBA bits 39..0
  platform::PutBe(cdb + 12, 2, blocks);
  return transport(IO_DATA_IN, buffer, bytes);
}

int CDisk_Dev::write_16(uint64_t lba, uint32_t blocks, const void* buffer, uint32_t bytes) {
  if (int r = Fits16(lba, blocks)) return r;
  uint8_t* cdb = BuildCdb(16);
  cdb[0] = platform::kOpWrite16;
  platform::PutBe(cdb + 5, 5, lba & 0xFFFFFFFFFFull);
  platform::PutBe(cdb + 12, 2, blocks);
  return transport(IO_DATA_OUT, const_cast<void*>(buffer), bytes);
}

int CDisk_Dev::Fits10(uint64_t lba, uint32_t blocks) {
  if (lba < 0x100000000ull && blocks <= 0x100000000ull - lba) return 0;
  lastError_ = platform::kOsArithmeticOverflow;
  platform::SetLastOsError(platform::kOsArithmeticOverflow);
  return platform::kOsArithmeticOverflow;
}

int CDisk_Dev::ReadSecs(uint64_t lba, uint32_t blocks, void* buffer, uint32_t bytes) {
  if (bigger2TB_) return read_16(lba, blocks, buffer, bytes);
  if (int r = Fits10(lba, blocks)) return r;
  return read_10(static_cast<uint32_t>(lba), blocks, buffer, bytes);
}

int CDisk_Dev::WriteSecs(uint64_t lba, uint32_t blocks, const void* buffer, uint32_t bytes) {
  if (bigger2TB_) return write_16(lba, blocks, buffer, bytes);
  if (int r = Fits10(lba, blocks)) return r;
  return write_10(static_cast<uint32_t>(lba), blocks, buffer, bytes);
}

// ---- retries and transfers -----------------------------------------------------------------

// A transfer is one function down to the transport, the command builders inlined. Returns after
// a system call are dear on the machines we measured (profiles put the time of a 4 KiB read from
// the page cache on the instructions right after each return, likely mispredicted because the
// kernel's mitigations leave the return stack empty), so each frame between the read and its
// caller counts: flattening took 27 ns off a 4 KiB region read of about 600.
__attribute__((flatten)) int CDisk_Dev::Read_try(uint64_t lba, uint32_t blocks, void* buffer,
                                                 uint32_t bytes) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    int r = ReadSecs(lba, blocks, buffer, bytes);
    if (r == 0 || r == platform::kSkMediumError || r == platform::kSkHardwareError) return r;
  }
  lastError_ = platform::GetLastOsError();
  return DEV_READ_FAILED;
}

__attribute__((flatten)) int CDisk_Dev::Write_try(uint64_t lba, uint32_t blocks,
                                                  const void* buffer, uint32_t bytes) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    int r;
    if (bigger2TB_) {
      r = write_16(lba, blocks, buffer, bytes);
    } else {
      r = WriteSecs(lba, blocks, buffer, bytes);
      // The LBA does not fit the 10-byte command: the same attempt goes as WRITE(16).
      if (r != 0 && platform::GetLastOsError() == platform::kOsArithmeticOverflow)
        r = write_16(lba, blocks, buffer, bytes);
    }
    if (r == 0 || r == platform::kSkMediumError || r == platform::kSkHardwareError) return r;
  }
  return DEV_WRITE_FAILED;
}

int CDisk_Dev::Read(uint64_t lba, void* buffer, uint64_t bytes, bool lock) {
  CAutoLock g(lock ? &lock_ : nullptr);
  if (bytes == 0) return 0;
  if (!buffer) return DEV_READ_FAILED;
  const uint32_t ss = get_sec_size();
  const uint64_t run = static_cast<uint64_t>(maxTransfer_) * ss;
  auto* p = static_cast<uint8_t*>(buffer);
  while (bytes >= run) {
    if (Read_try(lba, maxTransfer_, p, static_cast<uint32_t>(run)) != 0) return DEV_READ_FAILED;
    lba += maxTransfer_;
    p += run;
    bytes -= run;
  }
  if (uint32_t whole = static_cast<uint32_t>(bytes >> SectorShift(ss))) {
    if (Read_try(lba, whole, p, whole * ss) != 0) return DEV_READ_FAILED;
    lba += whole;
    p += static_cast<uint64_t>(whole) * ss;
    bytes -= static_cast<uint64_t>(whole) * ss;
  }
  if (bytes) {
    std::vector<uint8_t> bounce(ss);
    if (Read_try(lba, 1, bounce.data(), ss) != 0) return DEV_READ_FAILED;
    std::memcpy(p, bounce.data(), bytes);
  }
  return 0;
}

int CDisk_Dev::Write(uint64_t lba, const void* buffer, uint64_t bytes, bool lock) {
  CAutoLock g(lock ? &lock_ : nullptr);
  if (sectorSize_ == 0) sectorSize_ = 512;
  if (bytes == 0) return 0;
  if (!buffer) return DEV_WRITE_FAILED;
  const uint32_t ss = sectorSize_;
  const uint64_t run = static_cast<uint64_t>(maxTransfer_) * ss;
  auto* p = static_cast<const uint8_t*>(buffer);
  while (bytes >= run) {
    if (Write_try(lba, maxTransfer_, p, static_cast<uint32_t>(run)) != 0) return DEV_WRITE_FAILED;
    lba += maxTransfer_;
    p += run;
    bytes -= run;
  }
  if (uint32_t whole = static_cast<uint32_t>(bytes >> SectorShift(ss))) {
    if (Write_try(lba, whole, p, whole * ss) != 0) return DEV_WRITE_FAILED;
    lba += whole;
    p += static_cast<uint64_t>(whole) * ss;
    bytes -= static_cast<uint64_t>(whole) * ss;
  }
  if (bytes) {
    std::vector<uint8_t> bounce(ss);
    if (Read_try(lba, 1, bounce.data(), ss) != 0) return DEV_WRITE_FAILED;
    std::memcpy(bounce.data(), p, bytes);
    if (Write_try(lba, 1, bounce.data(), ss) != 0) return DEV_WRITE_FAILED;
  }
  return 0;
}

int CDisk_Dev::WriteZeros(uint64_t lba, uint64_t sectors, bool lock, uint32_t chunkBytes) {
  CAutoLock g(lock ? &lock_ : nullptr);
  if (sectors == 0) return 0;
  if (transport_ && capacity_ != 0 && lba <= capacity_ && sectors - 1 <= capacity_ - lba &&
      transport_->DiscardToZero(lba, sectors))
    return 0;
  const uint32_t ss = get_sec_size();
  const uint64_t chunkSectors = std::max<uint64_t>(1, chunkBytes / ss);
  std::vector<uint8_t> zeros(std::min(chunkSectors, sectors) * ss, 0);
  while (sectors > 0) {
    uint64_t n = std::min(chunkSectors, sectors);
    if (Write(lba, zeros.data(), n * ss, false) != 0) return DEV_WRITE_FAILED;
    lba += n;
    sectors -= n;
  }
  return 0;
}

// ---- capacity and transfer size ------------------------------------------------------------

uint64_t CDisk_Dev::ReadCapacity(uint32_t* sectorSize) {
  // The command block and request are the device's own: another thread (the service thread's
  // readiness test) must not build one meanwhile.
  CAutoLock g(&lock_);
  uint8_t data[32] = {};
  int r = read_capacity_10(data, 8);
  if (r != 0) {
    ReportFailure("Read Capacity 10", r);
    return 0;
  }
  uint64_t last = platform::GetBe(data, 4);
  uint32_t ss = static_cast<uint32_t>(platform::GetBe(data + 4, 4));
  if (last == 0xFFFFFFFFull) {
    std::memset(data, 0, sizeof data);
    r = read_capacity_16(data, 32);
    if (r != 0) {
      ReportFailure("Read Capacity 16", r);
      r = read_capacity_16(data, 32);
      if (r != 0) return 0;
    }
    last = platform::GetBe(data, 8);
    ss = static_cast<uint32_t>(platform::GetBe(data + 8, 4));
    bigger2TB_ = true;
  } else {
    bigger2TB_ = false;
  }
  // A sector size no disk has (zero, not a power of two, past 64 KiB) would size every buffer
  // after it: treat the answer as a failed capacity read.
  if (ss < 512 || ss > 65536 || (ss & (ss - 1))) {
    ConsoleErrPrintf(":-( unable to Read Capacity: sector size %u\n", ss);
    return 0;
  }
  capacity_ = last;
  sectorSize_ = ss;
  if (sectorSize) *sectorSize = ss;
  return capacity_;
}

int CDisk_Dev::DetectMaxTransferBlk(void* probe, uint32_t size) {
  CAutoLock g(&lock_);
  if (sectorSize_ == 0) {
    sectorSize_ = 512;
    return -1;
  }
  if (capacity_ == 0 || !probe) return -1;
  uint32_t back = static_cast<uint32_t>(size * 10u / sectorSize_);
  uint64_t lba = capacity_ - back;
  for (uint32_t n = 512; n >= 8; n /= 2) {
    if (static_cast<uint64_t>(n) * sectorSize_ > size) continue;  // never past the buffer
    int r = ReadSecs(lba, n, probe, n * sectorSize_);
    // The device failed the medium or itself: settle for a small, safe run.
    if (r == platform::kSkMediumError || r == platform::kSkHardwareError) {
      maxTransfer_ = sectorSize_ == 512 ? 64 : 8;
      break;
    }
    if (r == 0) {
      maxTransfer_ = static_cast<int>(n);
      break;
    }
  }
  return 0;
}

// ---- unit state ----------------------------------------------------------------------------

int CDisk_Dev::wait_for_unit(uint16_t* progress) {
  uint64_t periodStart = platform::TheClock().TickMs();
  uint32_t sleepMs = 1000;
  int r = 0;
  for (int poll = 0; poll < kMaxUnitPolls; ++poll) {
    platform::SleepMs(sleepMs);
    periodStart = platform::TheClock().TickMs();
    r = test_unit_ready();
    if (r == 0) return 0;
    if (r == -1 && !(req_.sense[0] & 0x70)) {
      ConsolePrintf("unable to TEST UNIT READY\n");
      return -1;
    }
    const SenseFields sense = SenseOf(req_);
    if (sense.asc == 0x3A) return r;  // no medium: nothing to wait for
    if (progress && !ProgressOf(sense, progress)) {
      uint8_t data[18] = {};
      int rs = request_sense(data, sizeof data);
      if (rs != 0) return rs;
      ProgressOf(DecodeSense(data, sizeof data), progress);
    }
    uint64_t spent = platform::TheClock().TickMs() - periodStart;
    sleepMs = spent >= 1000 ? 0 : static_cast<uint32_t>(1000 - spent);
  }
  return r;
}

int CDisk_Dev::pioneer_start() {
  int r = start_stop_unit(1, true);
  for (int poll = 0; poll < kMaxStartStopPolls && r != 0 && SenseCode(SenseOf(req_)) == kInProgress;
       ++poll) {
    platform::SleepMs(333);
    r = start_stop_unit(1, true);
  }
  return r;
}

int CDisk_Dev::pioneer_stop(uint16_t* progress) {
  int r = start_stop_unit(0, true);
  for (int poll = 0; poll < kMaxStartStopPolls && r != 0 && SenseCode(SenseOf(req_)) == kInProgress;
       ++poll) {
    if (progress) ProgressOf(SenseOf(req_), progress);
    platform::SleepMs(333);
    r = start_stop_unit(0, true);
  }
  return r;
}

bool CDisk_Dev::FlushCache() {
  CAutoLock g(&lock_);
  int r = synchronize_cache(true);
  if (r == 0) return true;
  if (r == platform::kSkIllegalRequest) return false;
  ConsolePrintf("Flusu error.err %d ret %d \n", lastError_.load(), r);
  return false;
}

int CDisk_Dev::GetDeviceText(char* buffer, int length) {
  if (!buffer || length <= 0) return -1;
  CAutoLock g(&lock_);
  uint8_t data[36] = {};
  int r = inquiry(data, sizeof data);
  if (r != 0) return r;
  char text[32] = {};
  std::memcpy(text, data + 8, 8);
  text[8] = ' ';
  std::memcpy(text + 9, data + 16, 16);
  text[25] = '\0';
  for (int i = 24; i >= 0 && text[i] == ' '; --i) text[i] = '\0';
  int n = std::min(length - 1, 25);
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
  return 0;
}

// ---- reporting -----------------------------------------------------------------------------

void CDisk_Dev::ReportFailure(const char* operation, int result) {
  int saved = platform::GetLastOsError();
  if (result == -1) {
    ConsoleErrPrintf(":-( unable to %s: ", operation);
  } else {
    int key = (lastError_ >> 16) & 0x0F;
    const char* text = FindSenseText(static_cast<uint16_t>(lastError_ & 0xFFFF));
    if (text)
      ConsoleErrPrintf(":-[ %s failed with SK=%Xh/%s]: ", operation, key, text);
    else
      ConsoleErrPrintf(":-[ %s failed with SK=%Xh/ASC=%02Xh/ACQ=%02Xh]: ", operation, key,
                       (lastError_ >> 8) & 0xFF, lastError_ & 0xFF);
  }
  platform::SetLastOsError(saved);
  ConsoleErrPrintf("%s\n", platform::OsErrorText(saved).c_str());
}
