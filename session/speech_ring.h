#pragma once
// ka::SpeechRing: keypoint frames the audio-to-motion model has finalised and the
// conductor has not rendered yet: per frame the driver index, xs and xd (63 floats
// each). Frames are appended at the end and rendered from the cursor; when the room
// left at the end is too small for a batch, the unrendered frames move to the front.
//
// Owned by the conductor thread alone; no lock.
#include <array>

#include "ka/ka.h"

namespace ka {

class SpeechRing {
 public:
  static constexpr int kFrames = 32;
  static constexpr int kKp = kHostKpRows * 3;

  int pending() const { return end_ - cursor_; }
  int room() const { return kFrames - pending(); }
  // Appends n <= room() frames.
  void append(int n, const int* si, const float* xs, const float* xd);
  void clear() { cursor_ = end_ = 0; }
  // Frame i after the cursor (0 <= i < pending()).
  int si(int i) const { return si_[cursor_ + i]; }
  const int* siAt(int i) const { return &si_[cursor_ + i]; }
  const float* xs(int i) const { return &xs_[(cursor_ + i) * kKp]; }
  const float* xd(int i) const { return &xd_[(cursor_ + i) * kKp]; }
  void advance(int n) { cursor_ += n; }

 private:
  std::array<int, kFrames> si_{};
  std::array<float, kFrames * kKp> xs_{};
  std::array<float, kFrames * kKp> xd_{};
  int cursor_ = 0;
  int end_ = 0;
};

}  // namespace ka
