#include "backup/aac_encoder.h"

#include <algorithm>
#include <cstring>
#include <deque>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
}

namespace {

constexpr int kAacFrameSamples = 1024;
constexpr int64_t kAacBitRate = 32000;

struct Encoder {
  AVCodecContext* decoder = nullptr;  // null for 16-bit PCM input
  AVCodecContext* encoder = nullptr;
  AVPacket* packet = nullptr;
  AVFrame* decoded = nullptr;
  AVFrame* frame = nullptr;
  int channels = 1;
  std::vector<std::vector<float>> waiting;  // per channel, samples not yet encoded
  std::deque<std::vector<uint8_t>> ready;   // AAC frames not yet handed out
  int64_t pts = 0;

  ~Encoder() {
    av_frame_free(&frame);
    av_frame_free(&decoded);
    av_packet_free(&packet);
    avcodec_free_context(&encoder);
    avcodec_free_context(&decoder);
  }
};

const char* DecoderName(const InitParam& p) {
  switch (p.codec) {
    case kAudioG726: return p.packing ? "g726le" : "g726";
    case kAudioALaw: return "pcm_alaw";
    case kAudioMuLaw: return "pcm_mulaw";
    default: return nullptr;
  }
}

bool OpenDecoder(Encoder& e, const InitParam& p, int rate) {
  const char* name = DecoderName(p);
  if (!name) return p.codec == kAudioPcm16;
  const AVCodec* codec = avcodec_find_decoder_by_name(name);
  if (!codec || !(e.decoder = avcodec_alloc_context3(codec))) return false;
  e.decoder->sample_rate = rate;
  av_channel_layout_default(&e.decoder->ch_layout, e.channels);
  if (p.codec == kAudioG726) e.decoder->bits_per_coded_sample = p.g726Bits ? p.g726Bits : 2;
  return avcodec_open2(e.decoder, codec, nullptr) >= 0;
}

bool OpenEncoder(Encoder& e, int rate) {
  const AVCodec* codec = avcodec_find_encoder_by_name("aac");
  if (!codec || !(e.encoder = avcodec_alloc_context3(codec))) return false;
  e.encoder->sample_rate = rate;
  e.encoder->sample_fmt = AV_SAMPLE_FMT_FLTP;
  av_channel_layout_default(&e.encoder->ch_layout, e.channels);
  e.encoder->bit_rate = kAacBitRate;
  e.encoder->time_base = AVRational{1, rate};
  e.encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;  // the AudioSpecificConfig in extradata
  if (avcodec_open2(e.encoder, codec, nullptr) < 0) return false;
  e.frame = av_frame_alloc();
  if (!e.frame) return false;
  e.frame->format = AV_SAMPLE_FMT_FLTP;
  e.frame->nb_samples = e.encoder->frame_size ? e.encoder->frame_size : kAacFrameSamples;
  e.frame->sample_rate = rate;
  if (av_channel_layout_copy(&e.frame->ch_layout, &e.encoder->ch_layout) < 0) return false;
  return av_frame_get_buffer(e.frame, 0) >= 0;
}

// Appends decoded samples (any sample format the decoders give: s16 interleaved or planar).
void TakeSamples(Encoder& e, const AVFrame* f) {
  const int n = f->nb_samples;
  for (int c = 0; c < e.channels; ++c) {
    std::vector<float>& out = e.waiting[static_cast<size_t>(c)];
    for (int i = 0; i < n; ++i) {
      int16_t v;
      if (f->format == AV_SAMPLE_FMT_S16P)
        v = reinterpret_cast<const int16_t*>(f->data[c])[i];
      else
        v = reinterpret_cast<const int16_t*>(f->data[0])[i * e.channels + c];
      out.push_back(v / 32768.0f);
    }
  }
}

bool Decode(Encoder& e, const uint8_t* in, unsigned int len) {
  if (!e.decoder) {  // 16-bit PCM, interleaved
    const unsigned int samples = len / 2 / static_cast<unsigned int>(e.channels);
    for (unsigned int i = 0; i < samples; ++i)
      for (int c = 0; c < e.channels; ++c) {
        const size_t at = (size_t{i} * static_cast<size_t>(e.channels) + static_cast<size_t>(c)) * 2;
        const int16_t v = static_cast<int16_t>(in[at] | in[at + 1] << 8);
        e.waiting[static_cast<size_t>(c)].push_back(v / 32768.0f);
      }
    return true;
  }
  if (av_new_packet(e.packet, static_cast<int>(len)) < 0) return false;
  std::memcpy(e.packet->data, in, len);
  const int r = avcodec_send_packet(e.decoder, e.packet);
  av_packet_unref(e.packet);
  if (r < 0) return false;
  while (avcodec_receive_frame(e.decoder, e.decoded) == 0) {
    if (e.decoded->format == AV_SAMPLE_FMT_S16 || e.decoded->format == AV_SAMPLE_FMT_S16P)
      TakeSamples(e, e.decoded);
    av_frame_unref(e.decoded);
  }
  return true;
}

// Encodes every whole frame of waiting samples.
bool EncodeWaiting(Encoder& e) {
  const int size = e.frame->nb_samples;
  while (e.waiting[0].size() >= static_cast<size_t>(size)) {
    if (av_frame_make_writable(e.frame) < 0) return false;
    for (int c = 0; c < e.channels; ++c) {
      std::vector<float>& w = e.waiting[static_cast<size_t>(c)];
      std::memcpy(e.frame->data[c], w.data(), static_cast<size_t>(size) * sizeof(float));
      w.erase(w.begin(), w.begin() + size);
    }
    e.frame->pts = e.pts;
    e.pts += size;
    if (avcodec_send_frame(e.encoder, e.frame) < 0) return false;
    while (avcodec_receive_packet(e.encoder, e.packet) == 0) {
      e.ready.emplace_back(e.packet->data, e.packet->data + e.packet->size);
      av_packet_unref(e.packet);
    }
  }
  return true;
}

}  // namespace

EasyAACEncoder_Handle Easy_AACEncoder_Init(InitParam param) {
  // FFmpeg's own notes (encoder statistics) are not the application's business; its errors are.
  if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
  auto* e = new Encoder;
  const int rate = param.sampleRate ? static_cast<int>(param.sampleRate) : 8000;
  e->channels = param.channels ? static_cast<int>(std::min<uint32_t>(param.channels, 2)) : 1;
  e->waiting.assign(static_cast<size_t>(e->channels), {});
  e->packet = av_packet_alloc();
  e->decoded = av_frame_alloc();
  if (!e->packet || !e->decoded || !OpenDecoder(*e, param, rate) || !OpenEncoder(*e, rate)) {
    delete e;
    return nullptr;
  }
  return e;
}

int Easy_AACEncoder_Encode(EasyAACEncoder_Handle handle, unsigned char* in, unsigned int inLen,
                           unsigned char* out, unsigned int* outLen) {
  auto* e = static_cast<Encoder*>(handle);
  if (!e || !out || !outLen) return -1;
  const unsigned int room = *outLen;
  *outLen = 0;
  if (in && inLen > 0 && !Decode(*e, in, inLen)) return -1;
  if (!EncodeWaiting(*e)) return -1;
  if (e->ready.empty()) return 0;
  const std::vector<uint8_t>& f = e->ready.front();
  if (f.size() > room) return -1;
  std::memcpy(out, f.data(), f.size());
  *outLen = static_cast<unsigned int>(f.size());
  e->ready.pop_front();
  return 0;
}

void Easy_AACEncoder_Release(EasyAACEncoder_Handle handle) { delete static_cast<Encoder*>(handle); }

bool AacEncoderFormat(EasyAACEncoder_Handle handle, std::vector<uint8_t>* config, int* sampleRate,
                      int* channels) {
  auto* e = static_cast<Encoder*>(handle);
  if (!e) return false;
  config->assign(e->encoder->extradata, e->encoder->extradata + e->encoder->extradata_size);
  *sampleRate = e->encoder->sample_rate;
  *channels = e->channels;
  return true;
}
