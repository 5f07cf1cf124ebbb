#pragma once
// Frames to H.264 for a live page: libx264 tuned for latency (no look-ahead, no
// B-frames, constrained baseline, one access unit out per frame in), Annex B with the
// parameter sets in front of every IDR so a page can start at any key frame.
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace ka::serve {

class FrameEncoder {
 public:
  // Encodes the even part of a width x height RGB24 picture (an odd last column or row
  // is left out: 4:2:0 needs even sides). Throws std::runtime_error when the encoder
  // cannot be opened.
  FrameEncoder(int width, int height, int fps);
  ~FrameEncoder();
  FrameEncoder(const FrameEncoder&) = delete;
  FrameEncoder& operator=(const FrameEncoder&) = delete;

  int width() const;   // encoded picture size
  int height() const;
  // The WebCodecs codec string of the stream ("avc1.PPCCLL" from its parameter set).
  const std::string& codec() const;

  // Encodes one picture (width() x height() from an RGB24 buffer whose rows are
  // `stride` bytes); forceKey makes it an IDR. The returned bytes are one access unit
  // and stay valid until the next call. Throws std::runtime_error on an encoder failure.
  std::span<const uint8_t> encode(const uint8_t* rgb, int stride, bool forceKey, bool& isKey);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka::serve
