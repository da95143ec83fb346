#include "fuzz/memory_file.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace fuzz {

namespace {
[[noreturn]] void Fail(const char* what) {
  std::perror(what);
  std::abort();
}
}  // namespace

MemoryFile::MemoryFile(const char* name) {
  fd_ = memfd_create(name, 0);
  if (fd_ < 0) Fail("memory file: memfd_create");
  path_ = "/proc/self/fd/" + std::to_string(fd_);
}

void MemoryFile::Reset(uint64_t bytes) {
  if (ftruncate(fd_, 0) != 0 || ftruncate(fd_, static_cast<off_t>(bytes)) != 0)
    Fail("memory file: ftruncate");
}

void MemoryFile::WriteAt(uint64_t offset, const void* data, size_t n) {
  if (n && pwrite(fd_, data, n, static_cast<off_t>(offset)) != static_cast<ssize_t>(n))
    Fail("memory file: pwrite");
}

size_t MemoryFile::ReadAt(uint64_t offset, void* data, size_t n) const {
  const ssize_t r = pread(fd_, data, n, static_cast<off_t>(offset));
  return r > 0 ? static_cast<size_t>(r) : 0;
}

uint64_t MemoryFile::Size() const {
  struct stat st {};
  return fstat(fd_, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace fuzz
