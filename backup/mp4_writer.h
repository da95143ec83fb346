// CMp4Writer: one MP4 file with up to one H.264 track, one JPEG track and one AAC track, written
// through libavformat's mp4 muxer. Frame times (ms) become sample durations in a 90 kHz time
// scale by the duration rule: the gap to the previous sample of the same kind, 33 ms when time
// went backwards, at most 1000 ms.
//
// H.264 frames arrive as Annex-B with 4-byte start codes; the first SPS makes the track (its
// size and profile from the SPS, the avcC decoder configuration from the SPS and the first
// PPS) and each frame becomes one sample of length-prefixed NAL units (parameter sets and SEI
// left out), a sync sample when it holds an IDR slice. A sample's duration is known when the
// next one of its kind arrives (the last one keeps the previous gap).
//
// The muxer needs every track before the first sample: samples wait in memory until the video
// track and, when audio comes, the audio track are known (audio first seen more than two
// seconds after the video is not written). At most kMaxWaitingBytes wait: past that the file
// starts with the tracks known (without audio when none came), or, when no video track can be
// made (no SPS and PPS, no JPEG), the writer gives up: what waited is dropped and every later
// write, like the one that passed the limit, answers kErrNoVideoTrack.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

class CMp4Writer {
 public:
  static constexpr int kTimeScale = 90000;
  static constexpr size_t kMaxWaitingBytes = size_t{8} << 20;
  static constexpr int kErrNoVideoTrack = -2;

  CMp4Writer();
  ~CMp4Writer();
  CMp4Writer(const CMp4Writer&) = delete;
  CMp4Writer& operator=(const CMp4Writer&) = delete;

  // Resets the writer: size 960 x 576, no file, all times cleared.
  void Init();
  // Opens the output: true, or false with "ERROR:..." logged. frameRate 0 or below counts as 25.
  bool Create(const char* path, int width, int height, int unused, int frameRate);
  // One frame's Annex-B data: the bytes parsed; 0 without a track yet (or under 32 bytes);
  // -1 for no buffer or a failed write; kErrNoVideoTrack (see above).
  int WriteH264(const uint8_t* buffer, int length, int64_t t);
  // One JPEG picture: its length, 0 when the track could not be made, -1 on a failed write.
  int WriteJpeg(const uint8_t* frame, int length, int64_t t);
  // One AAC frame (raw, no ADTS header): 0, -1 on a failed write, or kErrNoVideoTrack.
  int WriteAudio(const uint8_t* frame, int length, int64_t t);
  // The AAC track's decoder configuration (AudioSpecificConfig) and format.
  void SetAudioFormat(const uint8_t* config, int length, int sampleRate, int channels);
  // Writes what waits and the index, closes the file: 0, or -1 when the file is not complete.
  int Close();
  bool IsOpen() const;
  uint64_t videoSamples() const { return videoSamples_; }
  // Bytes of the samples waiting for the tracks.
  size_t waitingBytes() const { return waitingBytes_; }
  // True after kErrNoVideoTrack (until the next Create or Init).
  bool gaveUpWithoutVideo() const { return noVideo_; }

  // The duration rule, in 90 kHz units.
  static int64_t DurationUnits(int64_t t, int64_t last);
  // Width and height of a baseline JPEG (its SOF0 segment); false when not found.
  static bool JpegSize(const uint8_t* data, size_t length, int* width, int* height);
  // The picture size by decoding a sync sample (length-prefixed NAL units) with libavcodec's
  // H.264 decoder and the avcC configuration: the track's size when its SPS cannot be read.
  // False when the decoder gives no picture.
  static bool DecodedSize(const std::vector<uint8_t>& avcc, const std::vector<uint8_t>& sample,
                          int* width, int* height);

 private:
  enum Kind { kVideo = 0, kJpeg = 1, kAudio = 2 };
  struct Sample {
    Kind kind;
    std::vector<uint8_t> data;
    int64_t t;
    bool sync;
  };
  struct Track;

  bool AddH264Track(const std::vector<uint8_t>& sps, const std::vector<uint8_t>& pps);
  int Queue(Kind kind, std::vector<uint8_t> data, int64_t t, bool sync);
  // A sample before the header: held, and the file started once the tracks are known.
  int Hold(Kind kind, std::vector<uint8_t> data, int64_t t, bool sync);
  void NoteWaiting(Kind kind, int64_t t, size_t bytes);
  void DropWaiting();
  bool VideoKnown() const;
  bool ReadyForHeader() const;
  bool WriteHeader();
  bool WriteQueued();
  // Writes the sample that waited for its duration (the gap to t).
  bool Emit(Track& track, int64_t nextT, bool last);

  struct Impl;
  std::unique_ptr<Impl> impl_;
  int width_ = 960, height_ = 576, frameRate_ = 25;
  std::vector<uint8_t> sps_, pps_;
  std::deque<Sample> waiting_;  // before the header
  size_t waitingBytes_ = 0;
  bool waitingAudio_ = false, waitingJpeg_ = false;
  int64_t firstWaiting_ = INT64_MAX, lastWaiting_ = INT64_MIN;  // of the pictures waiting
  bool headerWritten_ = false;
  bool failed_ = false;
  bool noVideo_ = false;  // gave up: no video track within kMaxWaitingBytes
  int64_t firstTime_ = -1;
  uint64_t videoSamples_ = 0;
};
