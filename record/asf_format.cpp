#include "record/asf_format.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "record/record_format.h"

namespace asf {
namespace {

const Guid kHeaderObject = GuidFromText("75B22630-668E-11CF-A6D9-00AA0062CE6C");
const Guid kDataObject = GuidFromText("75B22636-668E-11CF-A6D9-00AA0062CE6C");
const Guid kSimpleIndex = GuidFromText("33000890-E5B1-11CF-89F4-00A0C90349CB");
const Guid kFileProperties = GuidFromText("8CABDCA1-A947-11CF-8EE4-00C00C205365");
const Guid kStreamProperties = GuidFromText("B7DC0791-A9B7-11CF-8EE6-00C00C205365");
const Guid kHeaderExtension = GuidFromText("5FBF03B5-A92E-11CF-8EE3-00C00C205365");
const Guid kHeaderExtensionReserved = GuidFromText("ABD3D211-A9BA-11CF-8EE6-00C00C205365");
const Guid kCodecList = GuidFromText("86D15240-311D-11D0-A3A4-00A0C90348F6");
const Guid kCodecListReserved = GuidFromText("86D15241-311D-11D0-A3A4-00A0C90348F6");
const Guid kContentDescription = GuidFromText("75B22633-668E-11CF-A6D9-00AA0062CE6C");
const Guid kPadding = GuidFromText("1806D474-CADF-4509-A4BA-9AABCB96AAE8");
const Guid kLanguageList = GuidFromText("7C4346A9-EFE0-4BFC-B229-393EDE415C85");
const Guid kAudioMedia = GuidFromText("F8699E40-5B4D-11CF-A8FD-00805F5C442B");
const Guid kVideoMedia = GuidFromText("BC19EFC0-5B4D-11CF-A8FD-00805F5C442B");
const Guid kNoErrorCorrection = GuidFromText("20FB5700-5B55-11CF-A8FD-00805F5C442B");
const Guid kAudioSpread = GuidFromText("BFC3CD50-618F-11CF-8BB2-00AA00B4E220");

constexpr uint32_t kHeaderEnd = recfile::kDataOffset - kDataObjectHeaderBytes;
constexpr uint16_t kG726FormatTag = 0x0045;
constexpr uint8_t kErrorCorrection = 0x82;
constexpr uint8_t kLengthTypeSingle = 0x10;  // padding length as a WORD
constexpr uint8_t kLengthTypeMulti = 0x11;   // the same, several payloads
constexpr uint8_t kPropertyFlags = 0x5D;     // BYTE stream, BYTE object no, DWORD offset,
                                             // BYTE replicated length
constexpr uint8_t kPayloadLengthWord = 0x80;
constexpr uint8_t kReplicatedBytes = 8;

// Little-endian writer over a buffer the caller sized.
class Out {
 public:
  explicit Out(uint8_t* p, size_t at = 0) : p_(p), at_(at) {}
  size_t at() const { return at_; }
  void U8(uint8_t v) { p_[at_++] = v; }
  void U16(uint16_t v) { Put(&v, 2); }
  void U32(uint32_t v) { Put(&v, 4); }
  void U64(uint64_t v) { Put(&v, 8); }
  void Bytes(const void* d, size_t n) { Put(d, n); }
  void Id(const Guid& g) { Put(g.data(), g.size()); }
  // ASCII text as UTF-16LE with its terminating zero.
  void Wide(const char* s) {
    for (size_t k = 0; k <= std::strlen(s); ++k) U16(static_cast<uint8_t>(s[k]));
  }
  void U64At(size_t at, uint64_t v) { std::memcpy(p_ + at, &v, 8); }
  void U32At(size_t at, uint32_t v) { std::memcpy(p_ + at, &v, 4); }

 private:
  void Put(const void* d, size_t n) {
    std::memcpy(p_ + at_, d, n);
    at_ += n;
  }
  uint8_t* p_;
  size_t at_;
};

uint16_t WideBytes(const char* s) { return static_cast<uint16_t>((std::strlen(s) + 1) * 2); }

uint32_t Read32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
uint16_t Read16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

void FileProperties(Out& o, const HeaderSettings& s) {
  o.Id(kFileProperties);
  o.U64(104);
  o.Id(s.fileId);
  o.U64(s.fileSize);
  o.U64(s.creationFiletime);
  o.U64(s.dataPackets);
  o.U64(s.playDurationHns);
  o.U64(s.sendDurationHns);
  o.U64(kPrerollMs);
  o.U32(2);  // seekable
  o.U32(kPacketBytes);
  o.U32(kPacketBytes);
  o.U32(s.maxBitrate);
}

void ContentDescription(Out& o) {
  static const char* kTitle = "qm5800_record_video";
  static const char* kAuthor = "pw_china";
  static const char* kCopyright = "parlow co.,ltd";
  const uint16_t t = WideBytes(kTitle), a = WideBytes(kAuthor), c = WideBytes(kCopyright);
  o.Id(kContentDescription);
  o.U64(24 + 10 + t + a + c);
  o.U16(t);
  o.U16(a);
  o.U16(c);
  o.U16(0);  // description
  o.U16(0);  // rating
  o.Wide(kTitle);
  o.Wide(kAuthor);
  o.Wide(kCopyright);
}

void StreamPropertiesHead(Out& o, const Guid& type, const Guid& correction, uint32_t specific,
                          uint32_t correctionBytes, uint16_t stream) {
  o.Id(kStreamProperties);
  o.U64(78 + specific + correctionBytes);
  o.Id(type);
  o.Id(correction);
  o.U64(0);  // time offset
  o.U32(specific);
  o.U32(correctionBytes);
  o.U16(stream);
  o.U32(0);
}

void VideoStream(Out& o, const HeaderSettings& s) {
  const uint32_t cd = static_cast<uint32_t>(std::min<size_t>(s.codecData.size(), kMaxCodecData));
  const uint32_t bitmapInfo = 40 + cd;
  StreamPropertiesHead(o, kVideoMedia, kNoErrorCorrection, 11 + bitmapInfo, 0, kVideoStream);
  o.U32(s.width);
  o.U32(s.height);
  o.U8(2);  // reserved flags
  o.U16(static_cast<uint16_t>(bitmapInfo));
  o.U32(bitmapInfo);
  o.U32(s.width);
  o.U32(s.height);
  o.U16(1);   // planes
  o.U16(24);  // bit count
  o.Bytes("H264", 4);
  o.U32(s.width * s.height * 3);
  o.U32(0);
  o.U32(0);
  o.U32(0);
  o.U32(0);
  if (cd) o.Bytes(s.codecData.data(), cd);
}

void AudioStream(Out& o) {
  StreamPropertiesHead(o, kAudioMedia, kAudioSpread, 18, 8, kAudioStream);
  o.U16(kG726FormatTag);
  o.U16(1);     // channels
  o.U32(8000);  // samples per second
  o.U32(2000);  // bytes per second
  o.U16(1);     // block align
  o.U16(2);     // bits per sample
  o.U16(0);     // no extra format bytes
  // Audio spread: span 1 (no descrambling), virtual packet and chunk length 1, one byte of
  // silence.
  o.U8(1);
  o.U16(1);
  o.U16(1);
  o.U16(1);
  o.U8(0);
}

void CodecList(Out& o) {
  const size_t start = o.at();
  o.Id(kCodecList);
  o.U64(0);
  o.Id(kCodecListReserved);
  o.U32(2);
  o.U16(1);
  o.U16(WideBytes("ptm_x264") / 2);
  o.Wide("ptm_x264");
  o.U16(0);
  o.U16(4);
  o.Bytes("H264", 4);
  o.U16(2);
  o.U16(WideBytes("ptm_audio") / 2);
  o.Wide("ptm_audio");
  o.U16(0);
  o.U16(2);
  o.U16(kG726FormatTag);
  o.U64At(start + 16, o.at() - start);
}

// The header extension up to the padding's data; returns where that data begins.
uint32_t HeaderExtension(Out& o) {
  const size_t start = o.at();
  o.Id(kHeaderExtension);
  o.U64(kHeaderEnd - start);
  o.Id(kHeaderExtensionReserved);
  o.U16(6);
  o.U32(static_cast<uint32_t>(kHeaderEnd - (start + 46)));
  o.Id(kLanguageList);
  o.U64(24 + 2 + 1 + WideBytes("zh-cn"));
  o.U16(1);
  o.U8(static_cast<uint8_t>(WideBytes("zh-cn")));
  o.Wide("zh-cn");
  const size_t padding = o.at();
  o.Id(kPadding);
  o.U64(kHeaderEnd - padding);
  return static_cast<uint32_t>(o.at());
}

}  // namespace

Guid GuidFromText(const char* text) {
  unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
  std::sscanf(text, "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x", &d1, &d2, &d3, &b[0], &b[1], &b[2],
              &b[3], &b[4], &b[5], &b[6], &b[7]);
  Guid g{};
  for (int k = 0; k < 4; ++k) g[k] = static_cast<uint8_t>(d1 >> (8 * k));
  for (int k = 0; k < 2; ++k) g[4 + k] = static_cast<uint8_t>(d2 >> (8 * k));
  for (int k = 0; k < 2; ++k) g[6 + k] = static_cast<uint8_t>(d3 >> (8 * k));
  for (int k = 0; k < 8; ++k) g[8 + k] = static_cast<uint8_t>(b[k]);
  return g;
}

uint64_t FiletimeFromUnixMs(int64_t ms) {
  constexpr int64_t kEpochDeltaMs = 11644473600000;  // 1601-01-01 to 1970-01-01
  return ms < -kEpochDeltaMs ? 0 : static_cast<uint64_t>(ms + kEpochDeltaMs) * 10000;
}

uint32_t WriteHeaderObjects(const HeaderSettings& settings, uint8_t* out) {
  Out o(out);
  o.Id(kHeaderObject);
  o.U64(kHeaderEnd);
  o.U32(6);
  o.U8(1);
  o.U8(2);
  FileProperties(o, settings);
  ContentDescription(o);
  VideoStream(o, settings);
  AudioStream(o);
  CodecList(o);
  return HeaderExtension(o);
}

std::vector<uint8_t> DataObjectHeader(const Guid& fileId, uint64_t packets) {
  std::vector<uint8_t> b(kDataObjectHeaderBytes);
  Out o(b.data());
  o.Id(kDataObject);
  o.U64(kDataObjectHeaderBytes + packets * kPacketBytes);
  o.Id(fileId);
  o.U64(packets);
  o.U16(0x0101);
  return b;
}

std::vector<uint8_t> SimpleIndexObject(const Guid& fileId, const std::vector<KeyFrameMark>& keys,
                                       uint32_t lastPresMs, uint32_t maxEntries) {
  const uint64_t intervalMs = kIndexIntervalHns / 10000;
  const uint32_t count =
      keys.empty() ? 0 : static_cast<uint32_t>(std::min<uint64_t>(lastPresMs / intervalMs + 1,
                                                                   maxEntries));
  std::vector<uint8_t> b(kSimpleIndexHeaderBytes + size_t{count} * kSimpleIndexEntryBytes);
  uint32_t maxPackets = 0;
  for (const KeyFrameMark& k : keys) maxPackets = std::max<uint32_t>(maxPackets, k.packets);
  Out o(b.data());
  o.Id(kSimpleIndex);
  o.U64(b.size());
  o.Id(fileId);
  o.U64(kIndexIntervalHns);
  o.U32(keys.empty() ? 0 : maxPackets + 1);
  o.U32(count);
  size_t k = 0;  // the last key frame at or before the interval (keys are in time order)
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t t = i * intervalMs;
    while (k + 1 < keys.size() && keys[k + 1].presMs <= t) ++k;
    o.U32(keys[k].packet);
    o.U16(keys[k].packets);
  }
  return b;
}

// ---- packets -------------------------------------------------------------------------------

uint32_t Packetizer::Room() const {
  uint32_t used = kPacketHeaderMulti;
  for (const Payload& p : payloads_) used += kPayloadHeaderMulti + p.length;
  return kPacketBytes - used;
}

uint32_t Packetizer::NextPayloadPacket() const {
  const bool full = payloads_.size() >= kMaxPayloadsPerPacket || Room() <= kPayloadHeaderMulti;
  return packetsDone_ + (!payloads_.empty() && full ? 1 : 0);
}

uint32_t Packetizer::PacketsAtMost(uint32_t size) {
  const uint32_t perPacket = kPacketBytes - kPacketHeaderMulti - kPayloadHeaderMulti -
                             kClosePacketRoom;
  return size / perPacket + 2;
}

bool Packetizer::Add(uint8_t stream, bool key, uint8_t objectNo, uint32_t presMs,
                     const uint8_t* data, uint32_t size) {
  uint32_t done = 0;
  do {
    if (payloads_.size() >= kMaxPayloadsPerPacket || Room() <= kPayloadHeaderMulti)
      if (!Close()) return false;
    const uint32_t take = std::min(size - done, Room() - kPayloadHeaderMulti);
    Payload p;
    p.stream = stream;
    p.key = key;
    p.objectNo = objectNo;
    p.objectOffset = done;
    p.objectSize = size;
    p.presMs = presMs;
    p.length = take;
    stageAt_.push_back(static_cast<uint32_t>(stage_.size()));
    stage_.insert(stage_.end(), data + done, data + done + take);
    payloads_.push_back(p);
    done += take;
    if (Room() <= kClosePacketRoom || payloads_.size() >= kMaxPayloadsPerPacket)
      if (!Close()) return false;
  } while (done < size);
  return true;
}

bool Packetizer::Finish() { return Close(); }

bool Packetizer::Close() {
  if (payloads_.empty()) return true;
  packet_.assign(kPacketBytes, 0);
  const bool multi = payloads_.size() > 1;
  const uint32_t firstPres = payloads_.front().presMs;
  Out o(packet_.data());
  o.U8(kErrorCorrection);
  o.U8(0);
  o.U8(0);
  o.U8(multi ? kLengthTypeMulti : kLengthTypeSingle);
  o.U8(kPropertyFlags);
  const size_t paddingAt = o.at();
  o.U16(0);
  o.U32(firstPres > kPrerollMs ? firstPres - kPrerollMs : 0);  // send time
  o.U16(0);                                                     // duration
  if (multi) o.U8(static_cast<uint8_t>(kPayloadLengthWord | payloads_.size()));
  for (size_t k = 0; k < payloads_.size(); ++k) {
    const Payload& p = payloads_[k];
    o.U8(static_cast<uint8_t>(p.stream | (p.key ? kKeyFrameBit : 0)));
    o.U8(p.objectNo);
    o.U32(p.objectOffset);
    o.U8(kReplicatedBytes);
    o.U32(p.objectSize);
    o.U32(p.presMs);
    if (multi) o.U16(static_cast<uint16_t>(p.length));
    o.Bytes(stage_.data() + stageAt_[k], p.length);
  }
  const uint16_t padding = static_cast<uint16_t>(kPacketBytes - o.at());
  std::memcpy(packet_.data() + paddingAt, &padding, 2);
  payloads_.clear();
  stageAt_.clear();
  stage_.clear();
  if (!sink_(packet_.data())) return false;
  ++packetsDone_;
  return true;
}

bool ParsePacket(const uint8_t* packet, uint32_t size, std::vector<Payload>* payloads,
                 uint32_t* sendMs) {
  payloads->clear();
  if (!packet || size < kPacketHeaderMulti) return false;
  if (packet[0] != kErrorCorrection || packet[1] != 0 || packet[2] != 0) return false;
  const uint8_t lengthType = packet[3];
  if ((lengthType != kLengthTypeSingle && lengthType != kLengthTypeMulti) ||
      packet[4] != kPropertyFlags)
    return false;
  const uint32_t padding = Read16(packet + 5);
  if (sendMs) *sendMs = Read32(packet + 7);
  const bool multi = lengthType == kLengthTypeMulti;
  uint32_t at = kPacketHeaderSingle;
  uint32_t count = 1;
  if (multi) {
    const uint8_t flags = packet[at++];
    if ((flags & 0xC0) != kPayloadLengthWord) return false;
    count = flags & 0x3F;
    if (count == 0) return false;
  }
  if (padding > size - at) return false;
  const uint32_t end = size - padding;
  const uint32_t headerBytes = multi ? kPayloadHeaderMulti : kPayloadHeaderSingle;
  for (uint32_t k = 0; k < count; ++k) {
    if (at + headerBytes > end) return false;
    const uint8_t* h = packet + at;
    if (h[6] != kReplicatedBytes) return false;
    Payload p;
    p.stream = h[0] & 0x7F;
    p.key = (h[0] & kKeyFrameBit) != 0;
    p.objectNo = h[1];
    p.objectOffset = Read32(h + 2);
    p.objectSize = Read32(h + 7);
    p.presMs = Read32(h + 11);
    at += headerBytes;
    p.length = multi ? Read16(h + 15) : end - at;
    if (p.length > end - at) return false;
    if (p.objectOffset > p.objectSize || p.length > p.objectSize - p.objectOffset) return false;
    p.data = packet + at;
    at += p.length;
    payloads->push_back(p);
  }
  return true;
}

}  // namespace asf

namespace asf {
namespace {
constexpr uint32_t kFilePropertiesAt = 30;
constexpr uint32_t kVideoStreamAt = kFilePropertiesAt + 104 + 122;  // after Content Description
constexpr uint32_t kVideoSpecificAt = kVideoStreamAt + 78;
}  // namespace

bool ReadHeaderSettings(const uint8_t* image, size_t length, HeaderSettings* s) {
  if (!image || length < kVideoSpecificAt + 11 + 40) return false;
  if (std::memcmp(image, kHeaderObject.data(), 16) != 0 ||
      std::memcmp(image + kFilePropertiesAt, kFileProperties.data(), 16) != 0 ||
      std::memcmp(image + kVideoStreamAt, kStreamProperties.data(), 16) != 0 ||
      std::memcmp(image + kVideoStreamAt + 24, kVideoMedia.data(), 16) != 0)
    return false;
  HeaderSettings out;
  std::memcpy(out.fileId.data(), image + kFilePropertiesAt + 24, 16);
  std::memcpy(&out.creationFiletime, image + kFilePropertiesAt + 48, 8);
  out.width = Read32(image + kVideoSpecificAt);
  out.height = Read32(image + kVideoSpecificAt + 4);
  const uint16_t format = Read16(image + kVideoSpecificAt + 9);
  if (format < 40 || format - 40u > kMaxCodecData) return false;
  const uint8_t* codec = image + kVideoSpecificAt + 11 + 40;
  out.codecData.assign(codec, codec + (format - 40));
  *s = out;
  return true;
}

}  // namespace asf
