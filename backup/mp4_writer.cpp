#include "backup/mp4_writer.h"

#include <algorithm>
#include <cerrno>

#include "platform/messages.h"
#include "record/h264.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mem.h>
}

namespace {

constexpr int kMinH264Bytes = 32;
constexpr int64_t kBackwardsMs = 33;
constexpr int64_t kLongestGapMs = 1000;
constexpr int64_t kWaitForAudioMs = 2000;  // video held back this long for an audio track
constexpr int64_t kLatestStartMs = int64_t{1} << 40;  // a track's start after the first sample
constexpr uint8_t kNalSps = 7, kNalPps = 8, kNalSei = 6, kNalIdr = 5;
constexpr uint8_t kNalAud = 9, kNalEndOfSequence = 10, kNalEndOfStream = 11, kNalFiller = 12;

// NAL units that are no part of a sample: SEI, access-unit delimiters (a sample is one access
// unit by itself, so the delimiter tells a player nothing), end of sequence or stream, filler.
bool LeftOutOfSamples(uint8_t type) {
  return type == kNalSei || type == kNalAud || type == kNalEndOfSequence ||
         type == kNalEndOfStream || type == kNalFiller;
}
constexpr AVRational kTrackBase{1, CMp4Writer::kTimeScale};

// Milliseconds from `from` to t, 0 when t is not later, at most `most`: computed without
// overflow, whatever times a damaged record gives.
int64_t MsAfter(int64_t t, int64_t from, int64_t most) {
  if (t <= from) return 0;
  const uint64_t gap = static_cast<uint64_t>(t) - static_cast<uint64_t>(from);
  return static_cast<int64_t>(std::min<uint64_t>(gap, static_cast<uint64_t>(most)));
}

void PutBe16(std::vector<uint8_t>& out, size_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void PutBe32(std::vector<uint8_t>& out, size_t v) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

// The avcC decoder configuration: version 1, profile, compatibility and level from the SPS,
// 4-byte NAL lengths, one SPS and one PPS.
std::vector<uint8_t> AvcConfig(const std::vector<uint8_t>& sps, const std::vector<uint8_t>& pps) {
  std::vector<uint8_t> c = {1, sps[1], sps[2], sps[3], 0xFF, 0xE1};
  PutBe16(c, sps.size());
  c.insert(c.end(), sps.begin(), sps.end());
  c.push_back(1);
  PutBe16(c, pps.size());
  c.insert(c.end(), pps.begin(), pps.end());
  return c;
}

// Sets a stream's extradata (the muxer frees it).
bool SetExtradata(AVCodecParameters* par, const std::vector<uint8_t>& data) {
  par->extradata = static_cast<uint8_t*>(av_mallocz(data.size() + AV_INPUT_BUFFER_PADDING_SIZE));
  if (!par->extradata) return false;
  std::copy(data.begin(), data.end(), par->extradata);
  par->extradata_size = static_cast<int>(data.size());
  return true;
}

}  // namespace

bool CMp4Writer::DecodedSize(const std::vector<uint8_t>& avcc, const std::vector<uint8_t>& sample,
                             int* width, int* height) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  AVCodecContext* c = codec ? avcodec_alloc_context3(codec) : nullptr;
  AVPacket* pkt = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  bool found = false;
  if (c && pkt && frame) {
    c->extradata = static_cast<uint8_t*>(av_mallocz(avcc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (c->extradata) {
      std::copy(avcc.begin(), avcc.end(), c->extradata);
      c->extradata_size = static_cast<int>(avcc.size());
    }
    c->thread_count = 1;              // one picture: no decoding threads
    c->max_pixels = 4096 * 4096;      // a damaged SPS never makes a giant picture
    if (c->extradata && avcodec_open2(c, codec, nullptr) >= 0 &&
        av_new_packet(pkt, static_cast<int>(sample.size())) >= 0) {
      std::copy(sample.begin(), sample.end(), pkt->data);
      pkt->flags |= AV_PKT_FLAG_KEY;
      avcodec_send_packet(c, pkt);
      avcodec_send_packet(c, nullptr);  // the end: the decoder gives what it holds
      while (!found && avcodec_receive_frame(c, frame) == 0) {
        found = frame->width > 0 && frame->height > 0;
        if (found) {
          *width = frame->width;
          *height = frame->height;
        }
        av_frame_unref(frame);
      }
    }
  }
  av_frame_free(&frame);
  av_packet_free(&pkt);
  avcodec_free_context(&c);
  return found;
}

struct CMp4Writer::Track {
  AVStream* stream = nullptr;
  bool hasPending = false;
  Sample pending{kVideo, {}, 0, false};
  int64_t dts = 0;  // in 90 kHz units
  int64_t lastDuration = 3600;
  bool started = false;
};

struct CMp4Writer::Impl {
  AVFormatContext* oc = nullptr;
  Track tracks[3];
  std::vector<uint8_t> audioConfig;
  int sampleRate = 8000;
  int channels = 1;
  bool audioDropped = false;

  ~Impl() { Release(); }
  void Release() {
    if (!oc) return;
    if (oc->pb) avio_closep(&oc->pb);
    avformat_free_context(oc);
    oc = nullptr;
  }
};

CMp4Writer::CMp4Writer() : impl_(std::make_unique<Impl>()) {}
CMp4Writer::~CMp4Writer() { Close(); }

void CMp4Writer::Init() {
  Close();
  impl_ = std::make_unique<Impl>();
  width_ = 960;
  height_ = 576;
  frameRate_ = 25;
  sps_.clear();
  pps_.clear();
  DropWaiting();
  headerWritten_ = failed_ = noVideo_ = false;
  firstTime_ = -1;
  videoSamples_ = 0;
}

bool CMp4Writer::IsOpen() const { return impl_ && impl_->oc; }

int64_t CMp4Writer::DurationUnits(int64_t t, int64_t last) {
  const int64_t ms = t < last ? kBackwardsMs : MsAfter(t, last, kLongestGapMs);
  return ms * (kTimeScale / 1000);
}

bool CMp4Writer::Create(const char* path, int width, int height, int, int frameRate) {
  if (!path) {
    DebugLog("ERROR:No File name.\n");
    return false;
  }
  Init();
  if (avformat_alloc_output_context2(&impl_->oc, nullptr, "mp4", path) < 0 || !impl_->oc ||
      avio_open(&impl_->oc->pb, path, AVIO_FLAG_WRITE) < 0) {
    DebugLog("ERROR:Open file failed. err %d .\n", errno);
    impl_->Release();
    return false;
  }
  width_ = width;
  height_ = height;
  frameRate_ = frameRate > 0 ? frameRate : 25;  // a rate of 0 would divide by zero
  return true;
}

void CMp4Writer::SetAudioFormat(const uint8_t* config, int length, int sampleRate, int channels) {
  impl_->audioConfig.assign(config, config + std::max(length, 0));
  impl_->sampleRate = sampleRate > 0 ? sampleRate : 8000;
  impl_->channels = channels > 0 ? channels : 1;
}

// ---- samples in --------------------------------------------------------------------------

int CMp4Writer::WriteH264(const uint8_t* buffer, int length, int64_t t) {
  if (!buffer) return -1;
  if (length < kMinH264Bytes || !IsOpen()) return 0;
  std::vector<uint8_t> sample;
  bool sync = false;
  const size_t n = static_cast<size_t>(length);
  for (int64_t at = FindStartCode(buffer, n, 0); at >= 0;) {
    const size_t begin = static_cast<size_t>(at) + 4;
    const int64_t next = FindStartCode(buffer, n, begin);
    const size_t end = next < 0 ? n : static_cast<size_t>(next);
    at = next;
    if (begin >= end) continue;
    // Types by the header's low 5 bits, whatever the nal_ref_idc.
    const uint8_t type = buffer[begin] & 0x1F;
    const std::vector<uint8_t> nal(buffer + begin, buffer + end);
    if (type == kNalSps) {
      if (sps_.empty() && nal.size() >= 4) sps_ = nal;  // later ones are not written
      continue;
    }
    if (type == kNalPps) {
      if (pps_.empty()) pps_ = nal;
      continue;
    }
    if (LeftOutOfSamples(type)) continue;
    if (sps_.empty()) continue;  // a picture before the first SPS cannot be decoded
    PutBe32(sample, nal.size());
    sample.insert(sample.end(), nal.begin(), nal.end());
    sync = sync || type == kNalIdr;
  }
  if (sample.empty()) return sps_.empty() ? 0 : length;
  const int r = Queue(kVideo, std::move(sample), t, sync);
  return r < 0 ? r : length;
}

int CMp4Writer::WriteJpeg(const uint8_t* frame, int length, int64_t t) {
  if (!frame || length <= 0 || !IsOpen()) return -1;
  if (headerWritten_ && !impl_->tracks[kJpeg].stream) return 0;
  const int r = Queue(kJpeg, std::vector<uint8_t>(frame, frame + length), t, true);
  return r < 0 ? r : length;
}

int CMp4Writer::WriteAudio(const uint8_t* frame, int length, int64_t t) {
  if (!frame || length <= 0 || !IsOpen()) return -1;
  const int r = Queue(kAudio, std::vector<uint8_t>(frame, frame + length), t, true);
  return r < 0 ? r : 0;
}

int CMp4Writer::Queue(Kind kind, std::vector<uint8_t> data, int64_t t, bool sync) {
  if (failed_) return noVideo_ ? kErrNoVideoTrack : -1;
  if (!headerWritten_) return Hold(kind, std::move(data), t, sync);
  Track& track = impl_->tracks[kind];
  if (!track.stream) {
    if (kind == kAudio && !impl_->audioDropped) {
      DebugLog("MP4: audio came too late for its track; left out.\n");
      impl_->audioDropped = true;
    }
    return 0;
  }
  if (track.hasPending && !Emit(track, t, false)) {
    failed_ = true;
    return -1;
  }
  if (!track.started) {
    track.started = true;
    track.dts = MsAfter(t, firstTime_, kLatestStartMs) * (kTimeScale / 1000);
  }
  track.pending = {kind, std::move(data), t, sync};
  track.hasPending = true;
  return 0;
}

int CMp4Writer::Hold(Kind kind, std::vector<uint8_t> data, int64_t t, bool sync) {
  if (firstTime_ < 0 || t < firstTime_) firstTime_ = t;
  NoteWaiting(kind, t, data.size());
  waiting_.push_back({kind, std::move(data), t, sync});
  const bool full = waitingBytes_ > kMaxWaitingBytes;
  if (!ReadyForHeader() && !full) return 0;
  if (!VideoKnown()) {  // full, and still nothing to make the video track from
    DebugLog("MP4: %zu bytes waited without the SPS and PPS; no video track.\n", waitingBytes_);
    DropWaiting();
    failed_ = noVideo_ = true;
    return kErrNoVideoTrack;
  }
  if (!ReadyForHeader()) DebugLog("MP4: no audio within %zu bytes; none written.\n", waitingBytes_);
  if (!(WriteHeader() && WriteQueued())) failed_ = true;
  return failed_ ? -1 : 0;
}

void CMp4Writer::NoteWaiting(Kind kind, int64_t t, size_t bytes) {
  waitingBytes_ += bytes;
  if (kind == kAudio) {
    waitingAudio_ = true;
    return;
  }
  waitingJpeg_ = waitingJpeg_ || kind == kJpeg;
  firstWaiting_ = std::min(firstWaiting_, t);
  lastWaiting_ = std::max(lastWaiting_, t);
}

void CMp4Writer::DropWaiting() {
  waiting_.clear();
  waiting_.shrink_to_fit();
  waitingBytes_ = 0;
  waitingAudio_ = waitingJpeg_ = false;
  firstWaiting_ = INT64_MAX;
  lastWaiting_ = INT64_MIN;
}

// ---- the header ------------------------------------------------------------------------------

bool CMp4Writer::VideoKnown() const { return (!sps_.empty() && !pps_.empty()) || waitingJpeg_; }

bool CMp4Writer::ReadyForHeader() const {
  if (!VideoKnown()) return false;
  const bool pictures = firstWaiting_ != INT64_MAX;
  return waitingAudio_ ||
         (pictures && MsAfter(lastWaiting_, firstWaiting_, kWaitForAudioMs) >= kWaitForAudioMs);
}

bool CMp4Writer::WriteHeader() {
  AVFormatContext* oc = impl_->oc;
  const auto has = [this](Kind k) {
    return std::any_of(waiting_.begin(), waiting_.end(), [k](const Sample& s) { return s.kind == k; });
  };
  if (!sps_.empty() && !pps_.empty() && has(kVideo)) {
    AVStream* st = avformat_new_stream(oc, nullptr);
    if (!st) return false;
    // The size from the SPS; when it cannot be read, from decoding the first key frame; when
    // neither gives one, the size the writer was created with. Never a 0 x 0 track.
    int w = width_, h = height_;
    std::vector<uint8_t> spsWithCode = {0, 0, 0, 1};
    spsWithCode.insert(spsWithCode.end(), sps_.begin(), sps_.end());
    if (!ParseSpsSize(w, h, spsWithCode.data(), spsWithCode.size())) {
      const auto key = std::find_if(waiting_.begin(), waiting_.end(),
                                    [](const Sample& s) { return s.kind == kVideo && s.sync; });
      if (key != waiting_.end() && DecodedSize(AvcConfig(sps_, pps_), key->data, &w, &h)) {
        DebugLog("MP4: picture size %dx%d from the decoder (the SPS could not be read).\n", w, h);
      } else {
        w = width_;
        h = height_;
      }
    }
    if (w <= 0 || h <= 0) {
      DebugLog("MP4: no picture size from the SPS or the decoder; no video track.\n");
      return false;
    }
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_id = AV_CODEC_ID_H264;
    st->codecpar->width = w;
    st->codecpar->height = h;
    st->time_base = kTrackBase;
    st->avg_frame_rate = AVRational{frameRate_, 1};
    if (!SetExtradata(st->codecpar, AvcConfig(sps_, pps_))) return false;
    impl_->tracks[kVideo].stream = st;
  }
  if (has(kJpeg)) {
    AVStream* st = avformat_new_stream(oc, nullptr);
    if (!st) return false;
    int w = width_, h = height_;
    for (const Sample& s : waiting_)
      if (s.kind == kJpeg && JpegSize(s.data.data(), s.data.size(), &w, &h)) break;
    st->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
    st->codecpar->codec_id = AV_CODEC_ID_MJPEG;
    st->codecpar->width = w;
    st->codecpar->height = h;
    st->time_base = kTrackBase;
    impl_->tracks[kJpeg].stream = st;
  }
  if (has(kAudio)) {
    AVStream* st = avformat_new_stream(oc, nullptr);
    if (!st) return false;
    st->codecpar->codec_type = AVMEDIA_TYPE_AUDIO;
    st->codecpar->codec_id = AV_CODEC_ID_AAC;
    st->codecpar->sample_rate = impl_->sampleRate;
    av_channel_layout_default(&st->codecpar->ch_layout, impl_->channels);
    st->codecpar->frame_size = 1024;
    st->time_base = kTrackBase;
    if (!impl_->audioConfig.empty() && !SetExtradata(st->codecpar, impl_->audioConfig))
      return false;
    impl_->tracks[kAudio].stream = st;
  }
  if (oc->nb_streams == 0) return false;
  if (avformat_write_header(oc, nullptr) < 0) {
    DebugLog("MP4: the header could not be written.\n");
    return false;
  }
  headerWritten_ = true;
  return true;
}

bool CMp4Writer::WriteQueued() {
  std::deque<Sample> samples;
  samples.swap(waiting_);
  DropWaiting();
  for (Sample& s : samples)
    if (Queue(s.kind, std::move(s.data), s.t, s.sync) < 0) return false;
  return true;
}

bool CMp4Writer::Emit(Track& track, int64_t nextT, bool last) {
  Sample& s = track.pending;
  const int64_t duration =
      std::max<int64_t>(last ? track.lastDuration : DurationUnits(nextT, s.t), 1);
  AVPacket* pkt = av_packet_alloc();
  if (!pkt || av_new_packet(pkt, static_cast<int>(s.data.size())) < 0) {
    av_packet_free(&pkt);
    return false;
  }
  std::copy(s.data.begin(), s.data.end(), pkt->data);
  pkt->stream_index = track.stream->index;
  pkt->pts = pkt->dts = track.dts;
  pkt->duration = duration;
  if (s.sync) pkt->flags |= AV_PKT_FLAG_KEY;
  av_packet_rescale_ts(pkt, kTrackBase, track.stream->time_base);
  const int r = av_interleaved_write_frame(impl_->oc, pkt);
  av_packet_free(&pkt);
  track.dts += duration;
  track.lastDuration = duration;
  track.hasPending = false;
  if (s.kind == kVideo) ++videoSamples_;
  return r >= 0;
}

int CMp4Writer::Close() {
  if (!IsOpen()) return 0;
  bool ok = !failed_;
  if (!headerWritten_ && !waiting_.empty()) {
    // The recording ended before two seconds: the tracks are what came.
    ok = ok && VideoKnown() && WriteHeader() && WriteQueued();
  }
  if (headerWritten_) {
    for (Track& t : impl_->tracks)
      if (t.stream && t.hasPending) ok = Emit(t, 0, true) && ok;
    ok = av_write_trailer(impl_->oc) >= 0 && ok;
  } else {
    ok = false;  // no track: not an MP4 file
  }
  impl_->Release();
  DropWaiting();
  return ok ? 0 : -1;
}

bool CMp4Writer::JpegSize(const uint8_t* data, size_t length, int* width, int* height) {
  *width = *height = 0;
  if (!data || length < 4 || data[0] != 0xFF || data[1] != 0xD8) return false;
  size_t i = 2;
  while (i + 4 <= length) {
    if (data[i] != 0xFF) return false;
    const uint8_t marker = data[i + 1];
    if (marker == 0xD9) return false;
    const size_t segment = size_t{data[i + 2]} << 8 | data[i + 3];
    if (marker == 0xC0) {
      if (i + 9 > length) return false;
      *height = data[i + 5] << 8 | data[i + 6];
      *width = data[i + 7] << 8 | data[i + 8];
      return true;
    }
    i += 2 + segment;
  }
  return false;
}
