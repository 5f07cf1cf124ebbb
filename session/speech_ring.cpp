#include "session/speech_ring.h"

#include <algorithm>

namespace ka {

void SpeechRing::append(int n, const int* si, const float* xs, const float* xd) {
  if (kFrames - end_ < n) {
    const int p = pending();
    std::copy_n(&si_[cursor_], p, si_.begin());
    std::copy_n(&xs_[cursor_ * kKp], p * kKp, xs_.begin());
    std::copy_n(&xd_[cursor_ * kKp], p * kKp, xd_.begin());
    cursor_ = 0;
    end_ = p;
  }
  std::copy_n(si, n, &si_[end_]);
  std::copy_n(xs, n * kKp, &xs_[end_ * kKp]);
  std::copy_n(xd, n * kKp, &xd_[end_ * kKp]);
  end_ += n;
}

}  // namespace ka
