// A file held in memory (memfd) under a path that the library opens like any other
// ("/proc/self/fd/N"): the targets whose code takes a path use one of these for every input
// instead of creating a file each time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

class MemoryFile {
 public:
  // Aborts when the file cannot be made.
  explicit MemoryFile(const char* name);
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  const std::string& path() const { return path_; }
  // Makes the file `bytes` long, all zeros.
  void Reset(uint64_t bytes);
  void WriteAt(uint64_t offset, const void* data, size_t n);
  // Bytes read at offset (fewer past the end).
  size_t ReadAt(uint64_t offset, void* data, size_t n) const;
  uint64_t Size() const;

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace fuzz
