// SHA-256 (FIPS 180-4) of files written by the backup commands, for their manifest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
 public:
  Sha256();
  void Update(const void* data, size_t length);
  // The digest as 64 lowercase hex digits; the object is spent afterwards.
  std::string HexDigest();

 private:
  void Block(const uint8_t* p);
  uint32_t h_[8];
  uint8_t buffer_[64];
  size_t used_ = 0;
  uint64_t bytes_ = 0;
};

// The SHA-256 of a file's contents; empty when it cannot be read.
std::string Sha256OfFile(const std::string& path);
