#pragma once
// Shared by the motion generator's tests: the fixture directory, raw arrays and a
// driver that streams audio through a handle and collects the frames.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "ka/ka.h"
#include "tests/support/test_support.h"

namespace ka::test {

inline std::string motionDir() { return fixtureDir() + "/motion"; }
inline std::string motionRef(const std::string& name) { return motionDir() + "/.reference/" + name; }

template <class T = float>
std::vector<T> readRaw(const std::string& path) {
  const std::string bytes = slurp(path);
  std::vector<T> v(bytes.size() / sizeof(T));
  if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * sizeof(T));
  return v;
}

struct MotionFrames {
  std::vector<int> si;
  std::vector<float> xs, xd;
  size_t count() const { return si.size(); }
  // Frames pulled before the stream was finished.
  size_t live = 0;
  // Samples pushed when the first frame became available (-1: only after finish).
  long long firstAt = -1;
};

struct MotionHandle {
  ka_motion* m = nullptr;
  explicit MotionHandle(const std::string& dir, int threads = 1, const char* ep = nullptr)
      : m(ka_motion_create(dir.c_str(), threads, ep)) {}
  ~MotionHandle() { ka_motion_destroy(m); }
  MotionHandle(const MotionHandle&) = delete;
  MotionHandle& operator=(const MotionHandle&) = delete;
};

// Pulls every frame available now into `out`.
inline void pullAvailable(ka_motion* m, MotionFrames& out) {
  const int n = ka_motion_avail(m);
  ASSERT_GE(n, 0) << ka_motion_last_error();
  if (n == 0) return;
  std::vector<int> si(n);
  std::vector<float> xs(size_t(n) * 63), xd(size_t(n) * 63);
  const int got = ka_motion_pull(m, si.data(), xs.data(), xd.data(), n);
  ASSERT_EQ(got, n) << ka_motion_last_error();
  out.si.insert(out.si.end(), si.begin(), si.end());
  out.xs.insert(out.xs.end(), xs.begin(), xs.end());
  out.xd.insert(out.xd.end(), xd.begin(), xd.end());
}

// What a stream does after each piece of audio.
enum class AfterPush { Nothing, Advance, Pull };

// Pushes `audio` in pieces cycling through `sizes`; after every piece asks for the
// frames available (Advance) or pulls them (Pull); then (when `finish`) finishes and
// pulls the rest.
inline MotionFrames streamAudio(ka_motion* m, const std::vector<float>& audio, const std::vector<size_t>& sizes,
                                AfterPush after, bool finish = true) {
  MotionFrames out;
  size_t pos = 0, k = 0;
  while (pos < audio.size()) {
    const size_t n = std::min(sizes[k++ % sizes.size()], audio.size() - pos);
    EXPECT_EQ(ka_motion_push(m, audio.data() + pos, static_cast<int>(n)), 1) << ka_motion_last_error();
    pos += n;
    if (after == AfterPush::Advance) {
      EXPECT_GE(ka_motion_avail(m), 0) << ka_motion_last_error();
    }
    if (after == AfterPush::Pull) {
      pullAvailable(m, out);
      if (out.firstAt < 0 && out.count() > 0) out.firstAt = static_cast<long long>(pos);
    }
  }
  out.live = out.count();
  if (finish) {
    EXPECT_EQ(ka_motion_finish(m), 1) << ka_motion_last_error();
  }
  pullAvailable(m, out);
  return out;
}

}  // namespace ka::test
