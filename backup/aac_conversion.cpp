#include "backup/aac_conversion.h"

#include <algorithm>
#include <cstring>

#include "platform/messages.h"

namespace {
constexpr int kFormatG726 = 0, kFormatALaw = 1;
constexpr uint32_t kDefaultRate = 8000, kDefaultChannels = 1;
constexpr uint8_t kDefaultG726Bits = 2;  // 16 kbit/s
}  // namespace

AacConversion::~AacConversion() { Easy_AACEncoder_Release(encoder_); }

int AacConversion::SetAudio(int format, int second, int third, int fourth) {
  InitParam p{};
  p.codec = format == kFormatALaw ? kAudioALaw : format == kFormatG726 ? kAudioG726 : kAudioMuLaw;
  p.g726Bits = static_cast<uint8_t>(third & 0xFF);
  p.packing = static_cast<uint8_t>((third >> 8) & 1);
  p.sampleRate = static_cast<uint32_t>(second);
  p.channels = static_cast<uint32_t>(fourth);
  std::lock_guard<std::mutex> g(lock_);
  // The same setting changes nothing; any other value (the bit packing too) makes a new one.
  if (encoder_ && std::memcmp(&p, &param_, sizeof p) == 0) return 0;
  Easy_AACEncoder_Release(encoder_);
  encoder_ = Easy_AACEncoder_Init(p);
  if (!encoder_) DebugLog("AAC encoder init fail. format %d.\n", format);
  param_ = p;
  input_.clear();
  return 0;
}

void AacConversion::CopySetting(AacConversion& from) {
  InitParam p{};
  bool set = false;
  {
    std::lock_guard<std::mutex> g(from.lock_);
    p = from.param_;
    set = from.encoder_ != nullptr;
  }
  if (!set) return;  // no setting there: Start makes the default one
  std::lock_guard<std::mutex> g(lock_);
  Easy_AACEncoder_Release(encoder_);
  encoder_ = Easy_AACEncoder_Init(p);
  param_ = p;
  input_.clear();
}

bool AacConversion::Start() {
  {
    std::lock_guard<std::mutex> g(lock_);
    input_.clear();
    if (encoder_) {
      // A fresh encoder: samples the last record left in the old one are not this record's.
      Easy_AACEncoder_Release(encoder_);
      encoder_ = Easy_AACEncoder_Init(param_);
      if (encoder_) return true;
    }
  }
  SetAudio(kFormatG726, kDefaultRate, kDefaultG726Bits, kDefaultChannels);
  std::lock_guard<std::mutex> g(lock_);
  return encoder_ != nullptr;
}

int AacConversion::Next() {
  std::lock_guard<std::mutex> g(lock_);
  if (!encoder_) return 0;
  unsigned int produced = static_cast<unsigned int>(output_.size());
  const int r = Easy_AACEncoder_Encode(encoder_, nullptr, 0, output_.data(), &produced);
  return r == 0 ? static_cast<int>(produced) : -1;
}

bool AacConversion::Format(std::vector<uint8_t>* config, int* sampleRate, int* channels) {
  std::lock_guard<std::mutex> g(lock_);
  return AacEncoderFormat(encoder_, config, sampleRate, channels);
}

int AacConversion::Take(const uint8_t* payload, size_t length) {
  std::lock_guard<std::mutex> g(lock_);
  if (!encoder_ || !payload || length == 0) return 0;
  if (input_.size() + length > kInputBytes) {
    DebugLog("AAC input full: %d bytes dropped.\n", static_cast<int>(input_.size()));
    input_.clear();  // never past the buffer
  }
  input_.insert(input_.end(), payload, payload + std::min(length, kInputBytes));
  if (input_.size() < kEncodeAt) return 0;
  unsigned int produced = static_cast<unsigned int>(output_.size());
  const int r = Easy_AACEncoder_Encode(encoder_, input_.data(),
                                       static_cast<unsigned int>(input_.size()), output_.data(),
                                       &produced);
  input_.clear();  // taken by the encoder, or refused: either way not offered again
  return r == 0 ? static_cast<int>(produced) : -1;
}
