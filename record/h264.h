// The H.264 helpers the writers and backup need: the 4-byte start-code scan, the SPS/PPS
// extraction, and the picture size from an SPS. Every reader here stays inside the buffer it
// is given, whatever the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr uint32_t kParamSetSlot = 64;  // bytes of each slot, start code included

struct ParamSets {
  uint32_t spsLength = 0;
  uint8_t sps[kParamSetSlot] = {};  // the SPS NAL unit with its 4-byte start code
  uint32_t ppsLength = 0;
  uint8_t pps[kParamSetSlot] = {};  // the PPS NAL unit with its 4-byte start code
};

// The offset of the next 00 00 00 01 at or after from, or -1.
int64_t FindStartCode(const uint8_t* data, size_t length, size_t from);

// Fills sets with the SPS and PPS found in the buffer; true when both were found. A parameter
// set longer than its slot is not taken (it would not fit; it is left as not found).
bool FindParamSets(const uint8_t* buffer, size_t length, ParamSets& sets);

// The picture size from the first SPS (NAL type 7, whatever its nal_ref_idc) in the buffer:
// macroblocks x 16, without cropping. False when there is none, it is cut short, or it holds
// impossible values.
bool ParseSpsSize(int& width, int& height, const uint8_t* buffer, size_t length);

// One unsigned Exp-Golomb value from bitPos (advanced); the data is lengthBytes long. Bits past
// the end read as 0, and a value with more than 31 leading zeros reads as 0xFFFFFFFF.
uint32_t ReadUe(const uint8_t* data, size_t lengthBytes, uint64_t& bitPos);
// The signed form: k = ue, magnitude ceil(k / 2), negative when k is even.
int32_t ReadSe(const uint8_t* data, size_t lengthBytes, uint64_t& bitPos);

// One picture of an Annex-B stream: its NAL units (the SPS and PPS before an IDR picture
// included), each behind a 4-byte start code as recorders write them.
struct H264Picture {
  std::vector<uint8_t> bytes;
  bool key = false;  // holds an IDR slice
};

// Cuts an Annex-B stream (3- or 4-byte start codes) into pictures (access units): a new one
// begins at a slice whose first_mb_in_slice is 0, or after a slice at an SEI, SPS, PPS,
// access-unit delimiter or NAL type 14 to 18 (those only come before an access unit's slices).
std::vector<H264Picture> SplitPictures(const uint8_t* stream, size_t length);
