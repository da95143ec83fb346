// The audio side of the MP4 backup: the recorder's audio payloads gathered and turned into AAC
// frames by the AAC encoder interface. One per backup engine; QVFS_BackupAudioParm sets its
// input format, and a backup without a setting uses the recorder's usual audio: G.726 at
// 16 kbit/s, 8000 Hz mono, packed as its ASF stream declares (first code word in the top bits).
//
// Lock rule: lock_ guards everything here; QVFS_BackupAudioParm may run while a backup encodes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "backup/aac_encoder.h"

class AacConversion {
 public:
  static constexpr size_t kInputBytes = 4096;   // gathered audio payloads
  static constexpr size_t kOutputBytes = 8192;  // one AAC frame
  static constexpr size_t kEncodeAt = 160;      // bytes gathered before an encode

  ~AacConversion();
  // (format, second, third, fourth) of QVFS_BackupAudioParm: format 0 G.726, 1 G.711 A-law,
  // others G.711 mu-law; second the sample rate; third the G.726 code word bits, with bit 8 the
  // bit packing (set: RFC 3551, bottom bits first); fourth the channels. The same setting as
  // before changes nothing. 0. A setting no encoder takes leaves none (Start then makes the
  // default one).
  int SetAudio(int format, int second, int third, int fourth);
  // Takes the setting of another conversion (a conversion of its own for a record file turned
  // into MP4 while a backup may be using the engine's).
  void CopySetting(AacConversion& from);
  // Readies the encoder for a backup (the default one when none is set) and empties the input:
  // false when no encoder can be made (the MP4 then has no audio).
  bool Start();
  // The AAC track's decoder configuration, rate and channels.
  bool Format(std::vector<uint8_t>* config, int* sampleRate, int* channels);
  // One audio payload in: the bytes of an AAC frame now in frame(), 0 for none yet, -1 when
  // the encoder refused the input (which is then dropped).
  int Take(const uint8_t* payload, size_t length);
  // The next AAC frame the same input made (a payload of more than one frame's samples makes
  // several): its bytes in frame(), 0 when none is left. Callers take until 0, so that frames do
  // not pile up in the encoder and come out late or never.
  int Next();
  const uint8_t* frame() const { return output_.data(); }

 private:
  std::mutex lock_;
  EasyAACEncoder_Handle encoder_ = nullptr;
  InitParam param_{};  // the setting the encoder was made with
  std::vector<uint8_t> input_;
  std::vector<uint8_t> output_ = std::vector<uint8_t>(kOutputBytes);
};
