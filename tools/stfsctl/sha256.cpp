#include "sha256.h"

#include <openssl/evp.h>

#include <cstdio>
#include <memory>
#include <vector>

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_) EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr);
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }

void Sha256::Update(const void* data, size_t length) {
  if (ctx_) EVP_DigestUpdate(ctx_, data, length);
}

std::string Sha256::HexDigest() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  if (!ctx_ || EVP_DigestFinal_ex(ctx_, digest, &n) != 1) return std::string();
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < n; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

std::string Sha256OfFile(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) return std::string();
  Sha256 sha;
  std::vector<uint8_t> buf(1 << 20);
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), f.get())) > 0) sha.Update(buf.data(), n);
  if (std::ferror(f.get())) return std::string();
  return sha.HexDigest();
}
