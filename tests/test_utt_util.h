#pragma once
// Shared by the utterance session tests: the fixture bundle and motion directory, a
// speech-like signal, and a host that pulls frames with their keypoints.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ka/ka.h"
#include "session/utterance.h"
#include "tests/support/test_support.h"

namespace ka::test {

// $KA_TEST_FIXTURES/utt/<name>: "bundle" (160x96, crop 64, 12 driver frames, directors
// b1 and b4) and "motion-a2x" (the a2x members for it); "" without fixtures.
inline std::string uttFixture(const std::string& name) {
  const std::string d = fixtureDir();
  return d.empty() ? std::string() : d + "/utt/" + name;
}

struct UttCtxDel {
  void operator()(ka_ctx* c) const { ka_destroy(c); }
};
struct UttDel {
  void operator()(ka_utt* s) const { ka_utt_destroy(s); }
};
using UttCtx = std::unique_ptr<ka_ctx, UttCtxDel>;
using UttPtr = std::unique_ptr<ka_utt, UttDel>;

inline UttCtx uttContext() {
  UttCtx c(ka_create(uttFixture("bundle").c_str(), "b1", 1, nullptr));
  EXPECT_NE(c, nullptr) << ka_last_error();
  return c;
}

// Options for a test session: no chunk renderer unless asked, ends only when told.
inline ka_utt_opts uttOpts(const std::string& motion) {
  ka_utt_opts o{};
  o.motion_dir = motion.c_str();
  o.threads = 1;
  o.steady_model = "-";
  o.auto_end_s = -1.0;
  return o;
}

// Wall-clock allowances are meant for a native machine; under an emulator
// (KA_TEST_TIME_SCALE, which the build sets there) everything takes that many times longer.
inline double timeScale() {
  const char* v = std::getenv("KA_TEST_TIME_SCALE");
  const double f = v ? std::atof(v) : 1.0;
  return f >= 1.0 ? f : 1.0;
}

// Waits for the session to be ready; false after `seconds` (times timeScale()).
inline bool waitReady(ka_utt* s, double seconds = 60.0) {
  const auto t0 = std::chrono::steady_clock::now();
  while (ka_utt_ready(s) == 0) {
    if (std::chrono::steady_clock::now() - t0 > std::chrono::duration<double>(seconds * timeScale())) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return ka_utt_ready(s) == 1;
}

// Frames of speech-like sound: a 220 Hz tone whose loudness swings three times a second.
inline std::vector<int16_t> speechFrames(int frames) {
  std::vector<int16_t> v(static_cast<size_t>(frames) * 640);
  for (size_t i = 0; i < v.size(); ++i) {
    const double t = static_cast<double>(i) / 16000.0;
    v[i] = static_cast<int16_t>(9000.0 * std::sin(2 * M_PI * 220 * t) * (0.55 + 0.45 * std::sin(2 * M_PI * 3 * t)));
  }
  return v;
}

struct Pulled {
  ka_utt_frame_info info{};
  std::array<float, kHostKpRows * 3> kp{};
  std::vector<uint8_t> rgb;
};

// Pulls until done(frames) holds; false after `seconds` (times timeScale()) without it.
inline bool pullUntil(ka_utt* s, std::vector<Pulled>& frames,
                      const std::function<bool(const std::vector<Pulled>&)>& done, bool keepRgb = false,
                      double seconds = 60.0) {
  std::vector<uint8_t> rgb(s->frameBytes());
  const auto t0 = std::chrono::steady_clock::now();
  while (!done(frames)) {
    if (std::chrono::steady_clock::now() - t0 > std::chrono::duration<double>(seconds * timeScale())) return false;
    Pulled p;
    if (s->pull(rgb.data(), rgb.size(), &p.info, p.kp.data()) != 1) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    if (keepRgb) p.rgb = rgb;
    frames.push_back(std::move(p));
  }
  return true;
}

inline int countKind(const std::vector<Pulled>& f, int kind) {
  int n = 0;
  for (const Pulled& p : f) n += p.info.kind == kind;
  return n;
}

}  // namespace ka::test
