#include "png.h"

#include <zlib.h>

#include <cstdio>
#include <memory>

namespace {

void Put32Be(std::vector<uint8_t>& out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// A chunk: length, type, data, CRC over type and data.
void Chunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data) {
  Put32Be(out, static_cast<uint32_t>(data.size()));
  const size_t typeAt = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  const uLong crc = crc32(0L, out.data() + typeAt, static_cast<uInt>(4 + data.size()));
  Put32Be(out, static_cast<uint32_t>(crc));
}

}  // namespace

bool WritePngFromBgra(const std::string& path, const std::vector<uint8_t>& bgra, int width,
                      int height) {
  if (width <= 0 || height <= 0 ||
      bgra.size() < static_cast<size_t>(width) * static_cast<size_t>(height) * 4)
    return false;
  // Each row: filter byte 0, then RGBA pixels.
  const size_t rowBytes = static_cast<size_t>(width) * 4;
  std::vector<uint8_t> raw;
  raw.reserve((rowBytes + 1) * static_cast<size_t>(height));
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);
    const uint8_t* row = bgra.data() + static_cast<size_t>(y) * rowBytes;
    for (int x = 0; x < width; ++x) {
      const uint8_t* p = row + static_cast<size_t>(x) * 4;
      raw.insert(raw.end(), {p[2], p[1], p[0], p[3]});
    }
  }
  uLongf packedSize = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> packed(packedSize);
  if (compress2(packed.data(), &packedSize, raw.data(), static_cast<uLong>(raw.size()), 6) != Z_OK)
    return false;
  packed.resize(packedSize);

  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> ihdr;
  Put32Be(ihdr, static_cast<uint32_t>(width));
  Put32Be(ihdr, static_cast<uint32_t>(height));
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});  // 8 bits, RGBA, deflate, no filter set, no interlace
  Chunk(png, "IHDR", ihdr);
  Chunk(png, "IDAT", packed);
  Chunk(png, "IEND", {});

  std::unique_ptr<FILE, int (*)(FILE*)> f(fopen(path.c_str(), "wb"), fclose);
  if (!f) return false;
  return fwrite(png.data(), 1, png.size(), f.get()) == png.size();
}
