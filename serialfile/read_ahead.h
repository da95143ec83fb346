// Reading a long stretch of a region file in pieces while the caller works on the piece before:
// a second thread reads piece p+1 into one buffer while the caller takes piece p from the
// other. Opening a full record index reads 128 MiB this way, and sorting the entries then costs
// no more than the reads themselves.
#pragma once

#include <cstdint>
#include <functional>

class CSerialFileBase;

// Takes one piece: its bytes, their count and their offset in the file. False stops the
// reading (ReadAhead then returns 0).
using PieceFn = std::function<bool(const uint8_t* bytes, uint32_t count, uint32_t offset)>;

// Reads bytes [offset, offset + total) of the file in pieces of `piece` bytes (the last may be
// shorter) and hands each to take, in order. 0 when every piece was read (or take stopped),
// else the code of the read that failed: its negative result, or ERR_READ_FAILED for a short
// read. Nothing is read past the first failure. Only the read-ahead thread uses the file while
// this runs.
int ReadAhead(CSerialFileBase& file, uint32_t offset, uint32_t total, uint32_t piece,
              const PieceFn& take);
