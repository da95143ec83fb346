// A minimal PNG writer for snapshots: 8-bit RGBA, no interlace, one zlib stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Writes a BGRA picture (rows of width x 4 bytes) as an RGBA PNG file; false when it cannot.
bool WritePngFromBgra(const std::string& path, const std::vector<uint8_t>& bgra, int width,
                      int height);
