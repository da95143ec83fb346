// The ASF packaging of a record file, defined once. An ASF-packaged record file is a real ASF
// file whose header is padded so that the record head (at 1024), the segment table (at 1536)
// and the index area (at 8192) of a native record file lie inside the ASF padding, and the data
// packets begin at the record file's data offset 0x2F000:
//
//   0                  Header Object: File Properties, Content Description, video and audio
//                      Stream Properties, Codec List, Header Extension (Language List "zh-cn",
//                      Padding up to 0x2F000 - 50)
//   0x2F000 - 50       Data Object header (50 bytes)
//   0x2F000            data packets of 32768 bytes
//   after the packets  Simple Index Object
//
// All integers little-endian. A media object is one frame's payload (the tag header stays out,
// so players get plain H.264 and G.726). docs/formats/asf-packaging.md has the details.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace asf {

constexpr uint32_t kPacketBytes = 32768;
constexpr uint32_t kDataObjectHeaderBytes = 50;
constexpr uint32_t kPrerollMs = 3100;
constexpr uint64_t kIndexIntervalHns = 20000000;  // 2 s in 100-ns units
constexpr uint32_t kMaxPayloadsPerPacket = 63;     // the payload count has 6 bits
constexpr uint32_t kClosePacketRoom = 80;          // room left at which a packet is closed
constexpr uint32_t kMaxMediaObject = 0x100000;     // the repair's limit on one frame
constexpr uint8_t kVideoStream = 1;
constexpr uint8_t kAudioStream = 2;
constexpr uint8_t kKeyFrameBit = 0x80;
// Packet header bytes (with several payloads: one more, the payload flags) and per payload.
constexpr uint32_t kPacketHeaderSingle = 13;
constexpr uint32_t kPacketHeaderMulti = 14;
constexpr uint32_t kPayloadHeaderSingle = 15;
constexpr uint32_t kPayloadHeaderMulti = 17;
constexpr uint32_t kSimpleIndexHeaderBytes = 56;
constexpr uint32_t kSimpleIndexEntryBytes = 6;
constexpr uint32_t kMaxCodecData = 100;  // SPS and PPS with their start codes

using Guid = std::array<uint8_t, 16>;
// A GUID in its registry form ("75B22630-668E-11CF-A6D9-00AA0062CE6C") as ASF stores it: the
// first three groups little-endian, the last eight bytes in order.
Guid GuidFromText(const char* text);

// What the header objects say; the writer fills it at open and again at close.
struct HeaderSettings {
  Guid fileId{};
  uint64_t creationFiletime = 0;  // 100-ns units since 1601-01-01
  uint64_t fileSize = 0;
  uint64_t dataPackets = 0;
  uint64_t playDurationHns = 0;   // including the preroll
  uint64_t sendDurationHns = 0;
  uint32_t maxBitrate = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> codecData;  // SPS and PPS with start codes, at most kMaxCodecData
};

// Writes the Header Object with its six objects into out[0 .. kDataOffset - 50); the padding's
// own bytes (where the record head and the index lie) are left as they are. The objects before
// the padding end below 1024. Returns the offset where the padding's data begins.
uint32_t WriteHeaderObjects(const HeaderSettings& settings, uint8_t* out);

// The 50-byte Data Object header for this many packets.
std::vector<uint8_t> DataObjectHeader(const Guid& fileId, uint64_t packets);

// A video key frame as the Simple Index needs it.
struct KeyFrameMark {
  uint32_t presMs;    // presentation time (preroll included)
  uint32_t packet;    // packet in which the frame begins
  uint16_t packets;   // packets it spans
};

// The Simple Index Object: one entry per 2-s interval of presentation time, each naming the
// packet of the last key frame at or before the interval's start (the first key frame before
// there is one), up to the last presentation time, and at most maxEntries entries (a damaged
// presentation time can claim days: the index then covers the time the packets can hold, and
// nothing of the data is lost).
std::vector<uint8_t> SimpleIndexObject(const Guid& fileId, const std::vector<KeyFrameMark>& keys,
                                       uint32_t lastPresMs, uint32_t maxEntries = UINT32_MAX);
// The most Simple Index entries a file of this many packets needs: even at 8 kbit/s a 32 KiB
// packet holds 32 s, that is 16 intervals; the bound leaves four times that.
constexpr uint32_t MaxIndexEntriesFor(uint32_t packets) {
  return packets >= UINT32_MAX / 64 - 1 ? UINT32_MAX : (packets + 1) * 64;
}

// One payload of a packet, as written and as parsed.
struct Payload {
  uint8_t stream = 0;    // 1 video, 2 audio
  bool key = false;
  uint8_t objectNo = 0;  // counts media objects of the file, modulo 256
  uint32_t objectOffset = 0;
  uint32_t objectSize = 0;
  uint32_t presMs = 0;
  const uint8_t* data = nullptr;
  uint32_t length = 0;
};

// Splits media objects into 32768-byte packets: payloads are gathered until a packet has 80
// bytes of room or less (or 63 payloads), then the packet is closed with padding and handed to
// the sink. Room is planned with the several-payload layout; a packet that ends with a single
// payload is written in the single-payload layout with 3 more bytes of padding.
class Packetizer {
 public:
  // Receives each finished packet (kPacketBytes bytes); false stops the packetizer with an error.
  using Sink = std::function<bool(const uint8_t* packet)>;

  explicit Packetizer(Sink sink) : sink_(std::move(sink)) {}
  // Adds one media object. False when the sink refused a packet.
  bool Add(uint8_t stream, bool key, uint8_t objectNo, uint32_t presMs, const uint8_t* data,
           uint32_t size);
  // Closes the open packet, if any.
  bool Finish();
  // Packets handed to the sink so far, and the number of the packet now being filled.
  uint32_t packetsDone() const { return packetsDone_; }
  bool HasOpenPacket() const { return !payloads_.empty(); }
  // The packet the next object will begin in.
  uint32_t NextPayloadPacket() const;
  // The most packets an object of this size can add (it may start in the open packet).
  static uint32_t PacketsAtMost(uint32_t size);
  void Reset(uint32_t packetsDone) {
    packetsDone_ = packetsDone;
    payloads_.clear();
    stage_.clear();
  }

 private:
  uint32_t Room() const;
  bool Close();

  Sink sink_;
  uint32_t packetsDone_ = 0;
  std::vector<Payload> payloads_;   // their data lies in stage_, from stageAt_[k]
  std::vector<uint32_t> stageAt_;
  std::vector<uint8_t> stage_;
  std::vector<uint8_t> packet_;
};

// Parses one data packet written in this packaging (error correction 0x82 00 00, property
// flags 0x5D, one payload or several with 16-bit lengths). False for anything else or when a
// length points outside the packet; payload data pointers point into the packet.
bool ParsePacket(const uint8_t* packet, uint32_t size, std::vector<Payload>* payloads,
                 uint32_t* sendMs = nullptr);

// FILETIME of a Unix time in ms.
uint64_t FiletimeFromUnixMs(int64_t ms);

}  // namespace asf

namespace asf {
// Reads back what WriteHeaderObjects wrote (file id, creation date, picture size, codec data);
// false when the objects at the places this packaging puts them are not there.
bool ReadHeaderSettings(const uint8_t* image, size_t length, HeaderSettings* settings);
}  // namespace asf
