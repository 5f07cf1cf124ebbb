#pragma once
// What the a2x tests share: fixture paths, clips and their reference deltas, and a host
// loop that streams audio through a handle the way the utterance pipeline does.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "audio/audio_file.h"
#include "ka/ka_a2x.h"
#include "tests/support/test_support.h"

namespace ka::test {

inline std::string a2xDir(const std::string& rel = "") {
  const std::string d = fixtureDir();
  return d.empty() ? "" : d + "/a2x" + (rel.empty() ? "" : "/" + rel);
}

#define KA_A2X_FIXTURES()                                            \
  do {                                                               \
    if (::ka::test::a2xDir().empty()) GTEST_SKIP() << "no fixtures"; \
  } while (0)

inline std::vector<float> clip(const std::string& name) { return readAudio16k(a2xDir("clips/" + name + ".wav")); }

inline std::vector<float> floatsOf(const std::string& path) {
  const std::string bytes = slurp(path);
  std::vector<float> v(bytes.size() / sizeof(float));
  std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
  return v;
}

inline float maxAbsDiff(const float* a, const float* b, size_t n) {
  float m = 0.0f;
  for (size_t i = 0; i < n; ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

struct Handle {
  explicit Handle(const std::string& dir, int threads = 0) : a(ka_a2x_create(dir.c_str(), threads)) {}
  ~Handle() { ka_a2x_destroy(a); }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ka_a2x* a;
};

struct Frames {
  std::vector<int> si;
  std::vector<float> xs, xd, wn;
  size_t live = 0;  // frames pulled before finishing
  size_t count() const { return si.size(); }
};

// Pulls everything the handle has final now, 8 frames at a time.
inline void drain(ka_a2x* a, Frames& out) {
  int si[8];
  float xs[8 * 63], xd[8 * 63], wn[8];
  for (;;) {
    int n = ka_a2x_pull_wn(a, si, xs, xd, wn, 8);
    if (n <= 0 && ka_a2x_avail(a) > 0) n = ka_a2x_pull_wn(a, si, xs, xd, wn, 8);
    if (n <= 0) return;
    out.si.insert(out.si.end(), si, si + n);
    out.xs.insert(out.xs.end(), xs, xs + n * 63);
    out.xd.insert(out.xd.end(), xd, xd + n * 63);
    out.wn.insert(out.wn.end(), wn, wn + n);
  }
}

// Streams `audio` in pushes of the sizes `nextSize` gives (0: everything at once),
// pulling after every push unless pullLive is false, then finishes and pulls the tail.
inline Frames stream(ka_a2x* a, const std::vector<float>& audio, const std::function<size_t()>& nextSize,
                     bool pullLive = true) {
  Frames out;
  for (size_t at = 0; at < audio.size();) {
    size_t n = nextSize ? nextSize() : audio.size();
    n = std::min(n, audio.size() - at);
    ka_a2x_push(a, audio.data() + at, static_cast<int>(n));
    at += n;
    if (pullLive) drain(a, out);
  }
  out.live = out.count();
  ka_a2x_finish(a);
  drain(a, out);
  return out;
}

}  // namespace ka::test
