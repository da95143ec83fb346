// What the record and replay benchmarks share: a synthetic "PTMF" video frame and dropping a
// file's pages from the page cache (so that a read meets the disk).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "disklayout/le.h"

namespace benchsupport {

// Frame i of a 25 frames/s stream from t0 with a key frame each second and `payload` bytes.
inline std::vector<uint8_t> VideoFrame(int i, int64_t t0, uint32_t payload) {
  std::vector<uint8_t> f(224 + payload, static_cast<uint8_t>(i));
  std::memset(f.data(), 0, 224);
  std::memcpy(f.data(), "PTMF", 4);
  f[4] = 224;
  f[5] = i % 25 == 0 ? 'I' : 'P';
  le::Put32(&f[8], static_cast<uint32_t>(i));
  le::Put32(&f[12], payload);
  const int64_t pts = t0 + i * 40;
  le::Put32(&f[16], static_cast<uint32_t>(pts));
  le::Put16(&f[20], static_cast<uint16_t>(pts >> 32));
  return f;
}

// Writes the file's dirty pages out and drops its pages from the page cache.
inline void DropCached(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) abort();
  fdatasync(fd);
  posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
  close(fd);
}

}  // namespace benchsupport
