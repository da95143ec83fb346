#include "fifo/mp_frame_buf.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "disklayout/le.h"
#include "platform/messages.h"

namespace {
constexpr size_t kWrapped = 0, kWrite = 4, kRead = 8, kCapacity = 12, kLastTime = 16,
                 kConsumed = 24, kNeeded = 28, kError = 32, kCleared = 33, kCreatorPid = 36;

bool ProcessAlive(uint32_t pid) {
  return pid != 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}
}  // namespace

void* const CMPFrameBuf::kCreate = reinterpret_cast<void*>(1);

CMPFrameBuf::~CMPFrameBuf() { Close(); }

std::string CMPFrameBuf::SectionName(int clientId, int channel) {
  char name[32];
  snprintf(name, sizeof name, "/User%02dCH%02d", clientId, channel);
  return name;
}

int CMPFrameBuf::CreateSection(uint32_t capacity) {
  const size_t bytes = size_t{kControlBytes} + capacity + kSlack;
  int fd = shm_open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0 && errno == EEXIST) {
    // A section of this name is left: replace it when the process that made it is gone.
    int old = shm_open(name_.c_str(), O_RDWR, 0600);
    uint32_t pid = 0;
    if (old >= 0) {
      struct stat st;
      if (fstat(old, &st) == 0 && static_cast<size_t>(st.st_size) >= kControlBytes)
        if (pread(old, &pid, 4, kCreatorPid) != 4) pid = 0;
      close(old);
    }
    if (ProcessAlive(pid)) {
      DebugLog("Shared frame buffer %s is in use by process %u.\n", name_.c_str(), pid);
      return PLAYBUF_ERR_SECTION;
    }
    shm_unlink(name_.c_str());
    fd = shm_open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  }
  if (fd < 0) return PLAYBUF_ERR_SECTION;
  void* p = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(bytes)) == 0)
    p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) {
    shm_unlink(name_.c_str());
    return PLAYBUF_ERR_SECTION;
  }
  control_ = static_cast<uint8_t*>(p);
  mappedBytes_ = bytes;
  std::memset(control_, 0, kControlBytes);
  le::Put32(control_ + kCapacity, capacity);
  cap_ = capacity;
  le::Put32(control_ + kCreatorPid, static_cast<uint32_t>(getpid()));
  creator_ = true;
  return 0;
}

int CMPFrameBuf::AttachSection() {
  int fd = shm_open(name_.c_str(), O_RDWR, 0600);
  if (fd < 0) return PLAYBUF_ERR_SECTION;
  struct stat st;
  void* p = MAP_FAILED;
  if (fstat(fd, &st) == 0 && static_cast<size_t>(st.st_size) >= kControlBytes + kSlack)
    p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  if (p == MAP_FAILED) return PLAYBUF_ERR_SECTION;
  uint8_t* c = static_cast<uint8_t*>(p);
  // The capacity found must fit the section: a damaged block would send copies past its end.
  if (size_t{kControlBytes} + le::Get32(c + kCapacity) + kSlack > static_cast<size_t>(st.st_size)) {
    munmap(p, static_cast<size_t>(st.st_size));
    return PLAYBUF_ERR_SECTION;
  }
  control_ = c;
  mappedBytes_ = static_cast<size_t>(st.st_size);
  cap_ = le::Get32(c + kCapacity);
  creator_ = false;
  return 0;
}

int CMPFrameBuf::Open(int channel, uint32_t capacity, void* attach, int clientId) {
  CAutoLock g(&lock_);
  if (open_) return PLAYBUF_ERR_OPEN;
  name_ = SectionName(clientId, channel);
  const bool attaching = attach != nullptr && attach != kCreate;
  int r = attaching ? AttachSection() : CreateSection(capacity);
  if (r != 0) return r;
  data_ = control_ + kControlBytes;
  attach_ = attach;
  clientId_ = clientId;
  channel_ = channel;
  headerSlack_ = kSlack;
  open_ = true;
  return 0;
}

void CMPFrameBuf::Close() {
  CAutoLock g(&lock_);
  if (!open_) return;
  munmap(control_, mappedBytes_);
  if (creator_) shm_unlink(name_.c_str());
  control_ = data_ = nullptr;
  open_ = false;
}

void CMPFrameBuf::CheckPositions() {
  const uint32_t w = le::Get32(control_ + kWrite), r = le::Get32(control_ + kRead);
  if ((w < cap_ && r < cap_) || (cap_ == 0 && w == 0 && r == 0)) return;
  DebugLog("Shared frame buffer %s positions out of range (read %u write %u); emptied.\n",
           name_.c_str(), r, w);
  control_[kWrapped] = 0;
  le::Put32(control_ + kWrite, 0);
  le::Put32(control_ + kRead, 0);
  control_[kError] = 1;
}

uint32_t CMPFrameBuf::DataSizeLocked() {
  CheckPositions();
  const uint32_t w = le::Get32(control_ + kWrite), r = le::Get32(control_ + kRead);
  if (control_[kWrapped]) return w > r ? w - r : Cap() - r + w;
  return w >= r ? w - r : 0;
}

uint32_t CMPFrameBuf::DataSize() {
  CAutoLock g(&lock_);
  return open_ ? DataSizeLocked() : 0;
}

uint32_t CMPFrameBuf::FreeSpace() {
  CAutoLock g(&lock_);
  return open_ ? Cap() - DataSizeLocked() : 0;
}

int CMPFrameBuf::FillPercent() {
  CAutoLock g(&lock_);
  return open_ && Cap() ? static_cast<int>(uint64_t{DataSizeLocked()} * 100 / Cap()) : 0;
}

int32_t CMPFrameBuf::NeededSize() {
  CAutoLock g(&lock_);
  return open_ ? static_cast<int32_t>(le::Get32(control_ + kNeeded)) : 0;
}

int64_t CMPFrameBuf::LastFrameTime() {
  CAutoLock g(&lock_);
  return open_ ? static_cast<int64_t>(le::Get64(control_ + kLastTime)) : 0;
}

// The position is taken modulo the capacity: the other process may move it between a check
// and its use.
void CMPFrameBuf::CopyIn(uint32_t pos, const void* data, uint32_t len) {
  if (Cap() == 0) return;
  pos %= Cap();
  const uint8_t* p = static_cast<const uint8_t*>(data);
  const uint32_t first = len < Cap() - pos ? len : Cap() - pos;
  std::memcpy(data_ + pos, p, first);
  if (len > first) std::memcpy(data_, p + first, len - first);
}

void CMPFrameBuf::CopyOut(uint32_t pos, void* dst, uint32_t len) const {
  if (Cap() == 0) return;
  pos %= Cap();
  uint8_t* p = static_cast<uint8_t*>(dst);
  const uint32_t first = len < Cap() - pos ? len : Cap() - pos;
  std::memcpy(p, data_ + pos, first);
  if (len > first) std::memcpy(p + first, data_, len - first);
}

void CMPFrameBuf::Advance(uint32_t offset, uint32_t n, bool write) {
  const uint32_t cap = Cap();
  if (cap == 0) return;
  uint64_t pos = uint64_t{le::Get32(control_ + offset)} + n;
  if (pos >= cap) {
    control_[kWrapped] = write ? 1 : 0;
    pos %= cap;
  }
  le::Put32(control_ + offset, static_cast<uint32_t>(pos));
  if (!write) le::Put32(control_ + kConsumed, le::Get32(control_ + kConsumed) + n);
}

int CMPFrameBuf::PutData(const void* data, uint32_t len) {
  CAutoLock g(&lock_);
  if (!open_ || !data || len == 0) return PLAYBUF_ERR_BAD;
  if (Cap() - DataSizeLocked() < len) return PLAYBUF_ERR_NOTENOUGH;
  CopyIn(le::Get32(control_ + kWrite), data, len);
  Advance(kWrite, len, true);
  return static_cast<int>(len);
}

int CMPFrameBuf::PutFrame(const void* data, uint32_t len) {
  CAutoLock g(&lock_);
  if (!open_) return PLAYBUF_ERR_BAD;
  const uint32_t free = Cap() - DataSizeLocked();
  if (free == 0 || free < len) return PLAYBUF_ERR_NOTENOUGH;
  return PutData(data, len);
}

int CMPFrameBuf::Read(void* dst, uint32_t len, bool peek) {
  CAutoLock g(&lock_);
  if (!open_ || !dst || len == 0) return PLAYBUF_ERR_BAD;
  if (DataSizeLocked() < len) return PLAYBUF_ERR_NOTENOUGH;
  CopyOut(le::Get32(control_ + kRead), dst, len);
  if (!peek) Advance(kRead, len, false);
  return static_cast<int>(len);
}

int CMPFrameBuf::Consume(uint32_t bytes, bool lock) {
  CAutoLock g(lock ? &lock_ : nullptr);
  if (!open_) return PLAYBUF_ERR_BAD;
  if (bytes > DataSizeLocked()) return PLAYBUF_ERR_NOTENOUGH;
  Advance(kRead, bytes, false);
  return 0;
}

int CMPFrameBuf::CommitWrite(uint32_t bytes, bool lock) {
  CAutoLock g(lock ? &lock_ : nullptr);
  if (!open_) return PLAYBUF_ERR_BAD;
  if (bytes > Cap() - DataSizeLocked()) return PLAYBUF_ERR_NOTENOUGH;
  Advance(kWrite, bytes, true);
  return 0;
}

uint8_t* CMPFrameBuf::GetReadSpan(uint32_t len, uint32_t* firstLen, uint8_t** firstPtr) {
  CAutoLock g(&lock_);
  *firstLen = 0;
  *firstPtr = nullptr;
  if (!open_ || len == 0) return nullptr;
  CheckPositions();
  const uint32_t r = le::Get32(control_ + kRead);
  if (uint64_t{r} + len <= Cap()) return data_ + r;
  *firstPtr = data_ + r;
  *firstLen = Cap() - r;
  return data_;
}

void CMPFrameBuf::GetWriteSpan(uint8_t** write, uint32_t* toEnd, uint8_t** start) {
  CAutoLock g(&lock_);
  if (!open_) {
    *write = *start = nullptr;
    *toEnd = 0;
    return;
  }
  CheckPositions();
  const uint32_t w = le::Get32(control_ + kWrite);
  *write = data_ + w;
  *toEnd = control_[kWrapped] ? 0 : Cap() - w;
  *start = data_;
}

void CMPFrameBuf::Clear() {
  CAutoLock g(&lock_);
  if (!open_) return;
  control_[kWrapped] = 0;
  le::Put32(control_ + kWrite, 0);
  le::Put32(control_ + kRead, 0);
  control_[kCleared] = 0;
}

// As CPlayBufGeneral::GetFrame: every answer consumes at least one byte or waits for more data.
int CMPFrameBuf::GetFrame(void* dst, uint32_t maxLen) {
  CAutoLock g(&lock_);
  if (!open_) return PLAYBUF_ERR_BAD;
  const uint32_t held = DataSizeLocked();
  if (held < frame::kMaxHeaderBytes) return PLAYBUF_ERR_NOTENOUGH;
  const uint32_t cap = Cap();
  const uint32_t pos = le::Get32(control_ + kRead);
  // The header is looked at in a local copy assembled from the ring's tail and head.
  uint8_t local[2 * kSlack];
  uint32_t i = 0;
  bool found = false;
  // A header is told by its first kMaxHeaderBytes: frames shorter than the slack are found too.
  for (; i + frame::kMaxHeaderBytes <= held; ++i) {
    CopyOut(static_cast<uint32_t>((uint64_t{pos} + i) % cap), local, kSlack);
    if (selector_.SelectValid(local)) {
      found = true;
      break;
    }
  }
  if (!found || i > 0) {
    Advance(kRead, i ? i : 1, false);
    if (!found) {
      control_[kError] = 1;
      return PLAYBUF_ERR_BAD;
    }
    CopyOut(le::Get32(control_ + kRead), local, kSlack);
    selector_.SelectValid(local);
  }
  CFrmStrategy* s = selector_.Current();
  const uint64_t length = s->GetFrameLength(1);
  const uint32_t nowHeld = DataSizeLocked();
  if (length > nowHeld) {
    le::Put32(control_ + kNeeded, static_cast<uint32_t>(length > UINT32_MAX ? UINT32_MAX : length));
    // A length no frame of this ring can have never completes: drop the false header.
    if (length > cap) {
      Advance(kRead, 1, false);
      control_[kError] = 1;
      return PLAYBUF_ERR_BAD;
    }
    return PLAYBUF_ERR_NOTENOUGH;
  }
  if (!dst || length > maxLen) {
    Advance(kRead, static_cast<uint32_t>(length), false);
    control_[kError] = 1;
    return PLAYBUF_ERR_BAD;
  }
  le::Put64(control_ + kLastTime, static_cast<uint64_t>(s->GetTimestamp()));
  CopyOut(le::Get32(control_ + kRead), dst, static_cast<uint32_t>(length));
  Advance(kRead, static_cast<uint32_t>(length), false);
  return static_cast<int>(length);
}
