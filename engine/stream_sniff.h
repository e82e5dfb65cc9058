// What the bytes of a stream's chunks say of the stream: the video codec
// and picture size from a frame's headers (JPEG, MPEG-4 Part 2, H.264, DV),
// the audio format from its frame headers (MPEG audio layers II and III,
// AC-3). Pure byte tests: they read only what they are given.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/avi_structs.h"

enum class TVideoKind { none, jpeg, mpeg4, h264, dv };

struct TVideoFrameInfo {
  TVideoKind kind = TVideoKind::none;
  // The picture size, when the frame holds the header that gives it (a JPEG
  // frame's SOF, an MPEG-4 VOL, an H.264 SPS, a DV frame); else 0.
  int width = 0;
  int height = 0;
  // H.264 without cropping: the size in whole macroblocks.
  int coded_width = 0;
  int coded_height = 0;
  // The frame rate the bitstream states (DV always; a fixed MPEG-4 VOP
  // rate; H.264 timing information): rate / scale frames per second; 0 when
  // it states none.
  std::uint32_t rate = 0;
  std::uint32_t scale = 0;
  // MPEG-4: the encoder its user data name (XVID, DX50), else FMP4.
  TFourCC fourcc{};
};

// What a video chunk's first `n` bytes show; `chunk_size` is the whole
// chunk's size (a DV frame is known by it).
[[nodiscard]] TVideoFrameInfo sniff_video_frame(const unsigned char* d, std::size_t n, std::uint32_t chunk_size);

enum class TAudioKind { none, mpeg, ac3 };

// One audio frame's header.
struct TAudioFrameInfo {
  TAudioKind kind = TAudioKind::none;
  int layer = 0;          // MPEG audio: 2 or 3
  bool mpeg1 = false;     // MPEG audio: MPEG-1 (else MPEG-2 or 2.5)
  std::uint32_t sample_rate = 0;
  std::uint32_t bit_rate = 0;  // bits per second
  std::uint32_t channels = 0;
  std::uint32_t samples = 0;   // per frame
  std::uint32_t length = 0;    // the frame's bytes
  // The fields that stay the same from frame to frame of one stream.
  [[nodiscard]] bool same_format(const TAudioFrameInfo& o) const {
    return kind == o.kind && layer == o.layer && mpeg1 == o.mpeg1 && sample_rate == o.sample_rate &&
           channels == o.channels;
  }
};

// The frame header at d[0] (MPEG audio layer II or III, or AC-3); empty when
// there is none or it is cut off.
[[nodiscard]] std::optional<TAudioFrameInfo> audio_frame_at(const unsigned char* d, std::size_t n);

// The first frame in an audio chunk's data whose header the next frame's
// confirms, or which ends where the data do.
[[nodiscard]] std::optional<TAudioFrameInfo> find_audio_format(const unsigned char* d, std::size_t n);

// Counts the frames of one audio stream of `format` in its chunks' data,
// fed in stream order; a frame may run on into the next chunk.
class TAudioFrameCounter final {
 public:
  explicit TAudioFrameCounter(const TAudioFrameInfo& format) : format_(format) {}
  void add(const unsigned char* d, std::size_t n);
  // Bytes of the stream that were not read: the frame chain starts again
  // at the next header found.
  void gap();
  [[nodiscard]] std::uint64_t samples() const { return samples_; }

 private:
  TAudioFrameInfo format_;
  std::vector<unsigned char> pending_;  // from the next frame's header on
  std::uint64_t skip_ = 0;              // the rest of a frame counted already
  std::uint64_t samples_ = 0;
};
