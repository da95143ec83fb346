// SHA-256 of what stfsctl writes and reads whole (backups, exports, the drive a report
// examines): OpenSSL's implementation, which uses the processor's SHA instructions where it has
// them, so hashing a drive keeps up with reading it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

typedef struct evp_md_ctx_st EVP_MD_CTX;

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;
  void Update(const void* data, size_t length);
  // The digest as 64 lowercase hex digits; the object is spent afterwards.
  std::string HexDigest();

 private:
  EVP_MD_CTX* ctx_;
};

// The SHA-256 of a file's contents; empty when it cannot be read.
std::string Sha256OfFile(const std::string& path);
