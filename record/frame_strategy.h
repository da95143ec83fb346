// Frame-header strategies. Every frame begins with a tag header told apart by its 4-byte magic:
// "PTMF" (the recorder's own), "KRVX" (the same layout) and "FSFM" (Foscam cameras). Code that
// handles frames hands the header to the selector CFrmStategy and asks the chosen strategy;
// it never reads header fields itself.
//
// A strategy reads fixed offsets of the header it is attached to: the caller must hold at least
// kMaxHeaderBytes (48) bytes there. Lengths a header claims are the caller's to check against
// the data it holds before copying a frame out.
//
// IsValid is the one test of "is this a frame": besides the magic and a time stamp that is not
// negative, the frame's length must be at least its own header (a "PTMF"/"KRVX" header length
// holds the 24 bytes of its fields) and must not wrap 32 bits. So a valid frame is never shorter
// than 24 bytes, and every walk that steps by GetFrameLength(1) moves forward.
//
// Field layout ("PTMF"/"KRVX"): 0 magic, 4 header length, 5 type, 7 aux byte, 8 frame number,
// 12 payload length, 16 pts (48-bit signed), 22 reserved. ("FSFM"): 0 magic, 6 type, 8 frame
// number, 12 payload length, 16 pts (i64), 24 frame time (i64), 36 width, 38 height, 40 aux.
#pragma once

#include <cstdint>

namespace frame {
constexpr uint32_t kMagicKorvex = 0x5856524B;  // "KRVX" as stored
constexpr uint32_t kMagicQV = 0x464D5450;      // "PTMF"
constexpr uint32_t kMagicFoscam = 0x4D465346;  // "FSFM"
constexpr uint32_t kMaxHeaderBytes = 48;       // the most any strategy reads
constexpr uint32_t kFoscamHeaderBytes = 48;
constexpr uint32_t kTagFieldBytes = 24;        // "PTMF"/"KRVX": magic .. reserved (0..23)
constexpr uint32_t kPtmfHeaderBytes = 224;     // the header the recorder's FIFOs use
constexpr uint8_t kTypeKey = 'I';
constexpr uint8_t kTypeAudio = 'A';
constexpr int kNoFrame = -101;
}  // namespace frame

class CFrmStrategy {
 public:
  virtual void Attach(void* header) = 0;                 // 1
  virtual int64_t GetPts() = 0;                          // 2
  virtual void SetPts(int64_t pts) = 0;                  // 3
  virtual int64_t GetTimestamp() = 0;                    // 4
  virtual uint32_t GetFrameLength(uint32_t n) = 0;       // 5: header length x n + payload
  virtual uint8_t GetFrameType() = 0;                    // 6
  virtual uint32_t GetHeaderLength() = 0;                // 7
  virtual uint32_t GetFrameNo() = 0;                     // 8
  virtual void SetFrameNo(uint32_t no) = 0;              // 9
  virtual uint32_t GetAuxValue() = 0;                    // 10
  virtual bool IsValid() = 0;                            // 11
  virtual bool IsKeyFrame() = 0;                         // 12
  virtual uint16_t GetWidth() = 0;                       // 13
  virtual uint16_t GetHeight() = 0;                      // 14
  virtual ~CFrmStrategy() = default;

 protected:
  uint8_t* header_ = nullptr;  // not owned
};

// "PTMF" and "KRVX": the same layout, each with its own magic.
class CTagFrmStrategy : public CFrmStrategy {
 public:
  explicit CTagFrmStrategy(uint32_t magic) : magic_(magic) {}
  void Attach(void* header) override { header_ = static_cast<uint8_t*>(header); }
  int64_t GetPts() override;
  void SetPts(int64_t pts) override;
  int64_t GetTimestamp() override { return GetPts(); }
  uint32_t GetFrameLength(uint32_t n) override;
  uint8_t GetFrameType() override { return header_[5]; }
  uint32_t GetHeaderLength() override { return header_[4]; }
  uint32_t GetFrameNo() override;
  void SetFrameNo(uint32_t no) override;
  uint32_t GetAuxValue() override { return header_[7]; }
  bool IsValid() override;
  bool IsKeyFrame() override { return header_[5] == frame::kTypeKey; }
  uint16_t GetWidth() override { return 0; }
  uint16_t GetHeight() override { return 0; }

 private:
  uint32_t magic_;
};

class CQVFrmStrategy : public CTagFrmStrategy {
 public:
  CQVFrmStrategy() : CTagFrmStrategy(frame::kMagicQV) {}
};

class CKorvexFrmStrategy : public CTagFrmStrategy {
 public:
  CKorvexFrmStrategy() : CTagFrmStrategy(frame::kMagicKorvex) {}
};

class CFoscamFrmStrategy : public CFrmStrategy {
 public:
  void Attach(void* header) override { header_ = static_cast<uint8_t*>(header); }
  int64_t GetPts() override;
  void SetPts(int64_t pts) override;
  int64_t GetTimestamp() override { return GetPts(); }
  uint32_t GetFrameLength(uint32_t n) override;
  uint8_t GetFrameType() override { return header_[6]; }
  uint32_t GetHeaderLength() override { return frame::kFoscamHeaderBytes; }
  uint32_t GetFrameNo() override;
  void SetFrameNo(uint32_t no) override;
  uint32_t GetAuxValue() override;
  bool IsValid() override;  // looks only at the frame time
  bool IsKeyFrame() override { return header_[6] == frame::kTypeKey; }
  uint16_t GetWidth() override;
  uint16_t GetHeight() override;
  int64_t GetFrameTime();   // the second time stamp (ms)
};

// The selector: picks the strategy for a frame's magic.
class CFrmStategy {
 public:
  enum Type { kNone = 0, kKorvex = 1, kQV = 2, kFoscam = 3 };

  // 0 with the strategy attached and current, or -101 (no strategy) for any other magic.
  int Select(void* frame);
  // The current strategy; null when the last Select found none.
  CFrmStrategy* Current() const { return current_; }
  int GetType() const { return type_; }
  // Select and IsValid together: true when the frame's header is usable.
  bool SelectValid(void* frame) { return Select(frame) == 0 && current_->IsValid(); }
  // The same for a frame of `length` bytes: no strategy (-101, false) when the bytes cannot
  // hold its header's fields (24 for "PTMF"/"KRVX", 48 for "FSFM"), so a short frame or a short
  // buffer is never read past its end.
  int SelectWithin(void* frame, uint64_t length);
  bool SelectValidWithin(void* frame, uint64_t length) {
    return SelectWithin(frame, length) == 0 && current_->IsValid();
  }
  // The time that places the current frame on the time line, which ranges end by: the frame
  // time of an "FSFM" header (its pts may be the camera's own clock), the pts of the others.
  int64_t RangeTime();

 private:
  CKorvexFrmStrategy korvex_;
  CQVFrmStrategy qv_;
  CFoscamFrmStrategy foscam_;
  int type_ = kNone;
  CFrmStrategy* current_ = nullptr;
  void* frames_[3] = {};  // the frame last given, as each consumer keeps it
};

// Fills a "PTMF" header of kPtmfHeaderBytes bytes: type, frame number, payload length, pts.
void WritePtmfHeader(uint8_t* header, uint8_t type, int64_t ptsMs, uint32_t frameNo,
                     uint32_t payloadLength);

// Whether a byte can be the first of a tag ("PTMF", "KRVX", "FSFM"): byte-by-byte scans over
// damaged data ask this before the selector.
inline bool MayStartTag(uint8_t b) { return b == 'P' || b == 'K' || b == 'F'; }

// The raw-data frame scan: the offset of the first valid header at or after `from` whose
// kMaxHeaderBytes lie inside the data, or -1.
int64_t FindNextFrame(CFrmStategy& selector, uint8_t* data, uint64_t length, uint64_t from);
