#include "record/h264.h"

#include <cstring>
#include <vector>

namespace {

uint32_t ReadBit(const uint8_t* data, size_t lengthBytes, uint64_t& bitPos) {
  if (bitPos >= uint64_t{lengthBytes} * 8) {
    ++bitPos;
    return 0;
  }
  uint32_t bit = (data[bitPos >> 3] >> (7 - (bitPos & 7))) & 1;
  ++bitPos;
  return bit;
}

uint32_t ReadBits(const uint8_t* data, size_t lengthBytes, uint64_t& bitPos, int n) {
  uint32_t v = 0;
  for (int i = 0; i < n; ++i) v = v << 1 | ReadBit(data, lengthBytes, bitPos);
  return v;
}

// The SPS's bits without emulation-prevention bytes (00 00 03 -> 00 00), as the bit syntax
// is defined over them.
std::vector<uint8_t> Unescape(const uint8_t* p, size_t n) {
  std::vector<uint8_t> out;
  out.reserve(n);
  int zeros = 0;
  for (size_t i = 0; i < n; ++i) {
    if (zeros >= 2 && p[i] == 3) {
      zeros = 0;
      continue;
    }
    zeros = p[i] == 0 ? zeros + 1 : 0;
    out.push_back(p[i]);
  }
  return out;
}

// Skips a scaling_list() of `size` entries (its delta_scale values).
void SkipScalingList(const uint8_t* d, size_t n, uint64_t& bit, int size);

}  // namespace

int64_t FindStartCode(const uint8_t* data, size_t length, size_t from) {
  if (!data || length < 4) return -1;
  for (size_t i = from; i + 4 <= length; ++i)
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0 && data[i + 3] == 1)
      return static_cast<int64_t>(i);
  return -1;
}

uint32_t ReadUe(const uint8_t* data, size_t lengthBytes, uint64_t& bitPos) {
  const uint64_t end = uint64_t{lengthBytes} * 8;
  // At or past the end a value still moves the position, so loops over values always end.
  if (bitPos >= end) {
    ++bitPos;
    return 0;
  }
  int zeros = 0;
  while (bitPos < end && ReadBit(data, lengthBytes, bitPos) == 0) {
    if (++zeros > 31) return 0xFFFFFFFFu;
  }
  if (zeros == 0) return 0;
  const uint32_t bits = ReadBits(data, lengthBytes, bitPos, zeros);
  return static_cast<uint32_t>((uint64_t{1} << zeros) - 1 + bits);
}

int32_t ReadSe(const uint8_t* data, size_t lengthBytes, uint64_t& bitPos) {
  const uint32_t k = ReadUe(data, lengthBytes, bitPos);
  const int64_t magnitude = (static_cast<int64_t>(k) + 1) / 2;
  return static_cast<int32_t>(k % 2 == 0 ? -magnitude : magnitude);
}

bool FindParamSets(const uint8_t* buffer, size_t length, ParamSets& sets) {
  if (!buffer || length < 4) return false;
  bool sps = false, pps = false;
  int64_t at = FindStartCode(buffer, length, 0);
  while (at >= 0) {
    const size_t start = static_cast<size_t>(at);
    const int64_t next = FindStartCode(buffer, length, start + 5);
    const size_t end = next < 0 ? length : static_cast<size_t>(next);
    const size_t n = end - start;
    if (start + 4 < length) {
      const uint8_t type = buffer[start + 4] & 0x1F;
      if (type == 7 && n <= kParamSetSlot) {
        std::memcpy(sets.sps, buffer + start, n);
        sets.spsLength = static_cast<uint32_t>(n);
        sps = true;
      } else if (type == 8 && n <= kParamSetSlot) {
        std::memcpy(sets.pps, buffer + start, n);
        sets.ppsLength = static_cast<uint32_t>(n);
        pps = true;
      }
    }
    at = next;
  }
  return sps && pps;
}

bool ParseSpsSize(int& width, int& height, const uint8_t* buffer, size_t length) {
  if (!buffer) return false;
  int64_t at = -1;
  for (int64_t s = FindStartCode(buffer, length, 0); s >= 0;
       s = FindStartCode(buffer, length, static_cast<size_t>(s) + 1)) {
    // The NAL type is the header's low 5 bits, whatever its nal_ref_idc (0x67, 0x27, 0x47...).
    if (static_cast<size_t>(s) + 4 < length && (buffer[s + 4] & 0x1F) == 7) {
      at = s;
      break;
    }
  }
  if (at < 0) return false;
  const size_t nalStart = static_cast<size_t>(at) + 4;
  const int64_t next = FindStartCode(buffer, length, nalStart);
  const size_t nalEnd = next < 0 ? length : static_cast<size_t>(next);
  const std::vector<uint8_t> nal = Unescape(buffer + nalStart, nalEnd - nalStart);
  if (nal.size() < 4 || (nal[0] & 0x1F) != 7) return false;
  const uint8_t* d = nal.data();
  const size_t n = nal.size();
  const uint64_t endBits = uint64_t{n} * 8;
  const uint32_t profile = d[1];
  uint64_t bit = 32;  // after the NAL header, profile_idc, constraint flags and level_idc

  // Each field is checked against the range the standard allows: a damaged SPS (or one whose
  // profile byte does not match its body) is refused rather than read as a wrong picture size.
  if (ReadUe(d, n, bit) > 31) return false;  // seq_parameter_set_id
  uint32_t chroma = 1;  // chroma_format_idc: 4:2:0 unless a high profile says otherwise
  bool separatePlanes = false;
  if (profile == 100 || profile == 110 || profile == 122 || profile == 244 || profile == 44 ||
      profile == 83 || profile == 86 || profile == 118 || profile == 128 || profile == 138 ||
      profile == 139 || profile == 134 || profile == 135 || profile == 144) {
    chroma = ReadUe(d, n, bit);
    if (chroma > 3) return false;
    if (chroma == 3) separatePlanes = ReadBit(d, n, bit) != 0;
    if (ReadUe(d, n, bit) > 6 || ReadUe(d, n, bit) > 6) return false;  // bit depths minus 8
    ++bit;                            // qpprime_y_zero_transform_bypass_flag
    if (ReadBit(d, n, bit)) {         // seq_scaling_matrix_present_flag: the lists are skipped
      const int lists = chroma == 3 ? 12 : 8;
      for (int i = 0; i < lists && bit < endBits; ++i)
        if (ReadBit(d, n, bit)) SkipScalingList(d, n, bit, i < 6 ? 16 : 64);
    }
  }
  if (ReadUe(d, n, bit) > 12) return false;  // log2_max_frame_num_minus4
  const uint32_t pocType = ReadUe(d, n, bit);
  if (pocType > 2) return false;
  if (pocType == 0) {
    if (ReadUe(d, n, bit) > 12) return false;  // log2_max_pic_order_cnt_lsb_minus4
  } else if (pocType == 1) {
    ++bit;
    ReadSe(d, n, bit);
    ReadSe(d, n, bit);
    const uint32_t cycle = ReadUe(d, n, bit);
    if (cycle > 255) return false;
    for (uint32_t i = 0; i < cycle && bit < endBits; ++i) ReadSe(d, n, bit);
  }
  if (ReadUe(d, n, bit) > 16) return false;  // max_num_ref_frames
  ++bit;              // gaps_in_frame_num_value_allowed_flag
  const uint32_t wMbs = ReadUe(d, n, bit);
  const uint32_t hMaps = ReadUe(d, n, bit);
  if (bit > endBits || wMbs >= 4096 || hMaps >= 4096) return false;  // cut short or absurd
  int w = static_cast<int>((wMbs + 1) * 16);
  int h = static_cast<int>((hMaps + 1) * 16);
  // Field coding doubles the height; the cropping window trims the coded size to the picture
  // (1088 coded lines show 1080). An SPS that ends before these fields is taken as a frame
  // without cropping.
  uint64_t more = bit;
  const bool frameMbsOnly = ReadBit(d, n, more) != 0;
  if (!frameMbsOnly) ++more;  // mb_adaptive_frame_field_flag
  ++more;                     // direct_8x8_inference_flag
  const bool cropping = ReadBit(d, n, more) != 0;
  uint32_t crop[4] = {0, 0, 0, 0};  // left, right, top, bottom
  if (cropping)
    for (uint32_t& c : crop) c = ReadUe(d, n, more);
  if (more <= endBits) {
    if (!frameMbsOnly) h *= 2;
    const uint32_t unitX = (chroma == 1 || chroma == 2) && !separatePlanes ? 2 : 1;
    const uint32_t unitY = (chroma == 1 && !separatePlanes ? 2 : 1) * (frameMbsOnly ? 1 : 2);
    const uint64_t cropW = (uint64_t{crop[0]} + crop[1]) * unitX;
    const uint64_t cropH = (uint64_t{crop[2]} + crop[3]) * unitY;
    if (cropW < static_cast<uint64_t>(w) && cropH < static_cast<uint64_t>(h)) {
      w -= static_cast<int>(cropW);
      h -= static_cast<int>(cropH);
    }
  }
  width = w;
  height = h;
  return true;
}

std::vector<H264Picture> SplitPictures(const uint8_t* s, size_t length) {
  // Where each NAL unit begins (after its start code).
  std::vector<size_t> starts;
  for (size_t k = 0; s && k + 3 <= length; ++k)
    if (s[k] == 0 && s[k + 1] == 0 && s[k + 2] == 1) {
      starts.push_back(k + 3);
      k += 2;
    }
  std::vector<H264Picture> pictures;
  H264Picture cur;
  bool curHasSlice = false;
  static const uint8_t kStart[4] = {0, 0, 0, 1};
  for (size_t i = 0; i < starts.size(); ++i) {
    size_t end = i + 1 < starts.size() ? starts[i + 1] - 3 : length;
    while (end > starts[i] && s[end - 1] == 0) --end;  // a 4-byte start code's leading zero
    if (end <= starts[i]) continue;
    const uint8_t type = s[starts[i]] & 0x1F;
    const bool slice = type == 1 || type == 5;
    // first_mb_in_slice is ue(v) right after the header byte: 0 reads as a leading 1 bit.
    const bool firstSlice = slice && starts[i] + 1 < end && (s[starts[i] + 1] & 0x80);
    // After a slice, a new access unit begins with its first slice or with any of the NAL
    // units that may only come before one: SEI, SPS, PPS, access-unit delimiter, 14 to 18.
    const bool beforeAu = type == 6 || type == 7 || type == 8 || type == 9 ||
                          (type >= 14 && type <= 18);
    if (curHasSlice && (firstSlice || beforeAu)) {
      pictures.push_back(std::move(cur));
      cur = H264Picture{};
      curHasSlice = false;
    }
    cur.bytes.insert(cur.bytes.end(), kStart, kStart + 4);
    cur.bytes.insert(cur.bytes.end(), s + starts[i], s + end);
    curHasSlice |= slice;
    cur.key |= type == 5;
  }
  if (curHasSlice) pictures.push_back(std::move(cur));
  return pictures;
}

namespace {

void SkipScalingList(const uint8_t* d, size_t n, uint64_t& bit, int size) {
  int64_t last = 8, next = 8;  // 64 bit: a hostile delta cannot overflow the sum
  for (int j = 0; j < size; ++j) {
    if (next != 0) next = (last + ReadSe(d, n, bit) + 256) % 256;
    last = next == 0 ? last : next;
  }
}

}  // namespace
