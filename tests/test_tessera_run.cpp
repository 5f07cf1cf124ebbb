// ka_tessera_run and ka_tessera_run_shift: every refusal through the caller's buffer,
// results in frame order with the last one from the flush, given shifts against the
// "derive it" marker, and frames that cannot be borrowed.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bundle/file_io.h"
#include "ka/ka.h"
#include "tessera/geometry_stamp.h"
#include "tessera/unified_pi.h"
#include "tests/support/test_support.h"

namespace ka::test {
namespace {

constexpr int kKp = kHostKpRows * 3;

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The tessera fixture bundle's members, canvases of a grey face with a bright mouth,
// and each frame's compose mask from the bundle's keypoints.
struct Batch {
  std::vector<uint8_t> bank, head;
  std::vector<double> cent, aperture;
  double canon[2] = {0, 0};
  std::vector<int32_t> stamp;
  std::string headJson;
  int donors = 0;
  tessera::GeometryStamp st;
  std::vector<uint8_t> frames, masks;
  int n = 0;

  explicit Batch(int frameCount) : n(frameCount) {
    const std::string dir = fixtureDir() + "/tessera/bundle";
    char err[512] = "";
    ka_tessera_members* m = ka_tessera_members_open(dir.c_str(), err, sizeof err);
    if (!m) throw std::runtime_error(err);
    donors = ka_tessera_members_n_donors(m);
    bank = readBytes(dir + "/.reference/bank_donor.rgb");
    cent.assign(ka_tessera_members_cent(m), ka_tessera_members_cent(m) + 2 * donors);
    aperture.assign(ka_tessera_members_aperture(m), ka_tessera_members_aperture(m) + donors);
    canon[0] = ka_tessera_members_c_canon(m)[0];
    canon[1] = ka_tessera_members_c_canon(m)[1];
    stamp.assign(ka_tessera_members_stamp(m), ka_tessera_members_stamp(m) + 12);
    head.assign(ka_tessera_members_head_pt(m), ka_tessera_members_head_pt(m) + ka_tessera_members_head_pt_len(m));
    headJson = ka_tessera_members_head_json(m);
    const std::string manifest = ka_tessera_members_manifest_json(m);
    ka_tessera_members_close(m);

    st = tessera::GeometryStamp::fromArray(stamp.data());
    const std::vector<uint8_t> xsRaw = readBytes(fixtureDir() + "/tessera/motion/xs_target.bin");
    const float* xs = reinterpret_cast<const float*>(xsRaw.data());
    const int rows = static_cast<int>(xsRaw.size() / (4 * kKp));
    // The geometry the bank was cut with, as a session attach identifies it.
    const tessera::UnifiedPi pi =
        tessera::UnifiedPi::corpusFromManifestJson(manifest, st.canvas_w, xs, rows, canon, nullptr);
    const size_t px = static_cast<size_t>(st.canvas_w) * st.canvas_h;
    frames.resize(px * 3 * n);
    masks.resize(px * n);
    for (int f = 0; f < n; ++f) {
      uint8_t* mask = masks.data() + px * f;
      pi.piU8(xs + static_cast<size_t>(f % rows) * kKp, mask);
      for (size_t p = 0; p < px; ++p) {
        const uint8_t v = mask[p] >= 128 ? static_cast<uint8_t>(200 + (p * 7 + f) % 40) : static_cast<uint8_t>(90 + p % 23);
        for (int c = 0; c < 3; ++c) frames[(px * f + p) * 3 + c] = static_cast<uint8_t>(v - 6 * c);
      }
    }
  }
  size_t window() const { return static_cast<size_t>(st.window_w) * st.window_h * 3; }

  int run(const int32_t* shifts, std::vector<uint8_t>* out, std::vector<int32_t>* skipped, char* err, int cap,
          const std::vector<uint8_t>* maskOverride = nullptr) const {
    out->assign(window() * n, 0xA5);
    skipped->assign(n, -1);
    const uint8_t* mk = maskOverride ? maskOverride->data() : masks.data();
    if (!shifts)
      return ka_tessera_run(bank.data(), donors, cent.data(), canon, aperture.data(), stamp.data(), head.data(),
                            static_cast<int>(head.size()), headJson.c_str(), frames.data(), mk, n, out->data(),
                            skipped->data(), err, cap);
    return ka_tessera_run_shift(bank.data(), donors, cent.data(), canon, aperture.data(), stamp.data(), head.data(),
                                static_cast<int>(head.size()), headJson.c_str(), frames.data(), mk, shifts, n,
                                out->data(), skipped->data(), err, cap);
  }
};

#define KA_NEED_TESSERA()                                                          \
  do {                                                                             \
    if (fixtureDir().empty()) GTEST_SKIP() << "KA_TEST_FIXTURES is not set";       \
  } while (0)

TEST(TesseraRun, EveryRefusalThroughTheCallersBuffer) {
  KA_NEED_TESSERA();
  const Batch b(2);
  std::vector<uint8_t> out(b.window() * 2);
  std::vector<int32_t> skipped(2);
  struct Case {
    const char* what;
    std::function<int(char*, int)> call;
    std::string text;  // empty: any text
    bool prefixOnly;
  };
  auto call = [&](const uint8_t* bank, int donors, const int32_t* stamp, int headLen, const char* headJson,
                  const uint8_t* head, int frames) {
    return [=, &b, &out, &skipped](char* err, int cap) {
      return ka_tessera_run_shift(bank, donors, b.cent.data(), b.canon, b.aperture.data(), stamp, head, headLen,
                                  headJson, b.frames.data(), b.masks.data(), nullptr, frames, out.data(),
                                  skipped.data(), err, cap);
    };
  };
  std::vector<int32_t> badStamp = b.stamp;
  badStamp[4] = 0;
  const std::vector<uint8_t> junk(64, 7);
  const int hl = static_cast<int>(b.head.size());
  const char* hj = b.headJson.c_str();
  const Case cases[] = {
      {"null bank", call(nullptr, b.donors, b.stamp.data(), hl, hj, b.head.data(), 2),
       "teeth: a required argument is null — refusing to run", false},
      {"no donors", call(b.bank.data(), 0, b.stamp.data(), hl, hj, b.head.data(), 2), "teeth: n_donors <= 0", false},
      {"negative head length", call(b.bank.data(), b.donors, b.stamp.data(), -1, hj, b.head.data(), 2),
       "teeth: head_pt_len < 0", false},
      {"negative frame count", call(b.bank.data(), b.donors, b.stamp.data(), hl, hj, b.head.data(), -1),
       "teeth: n_frames < 0", false},
      {"incoherent stamp", call(b.bank.data(), b.donors, badStamp.data(), hl, hj, b.head.data(), 2),
       "teeth: GeometryStamp incoherent", true},
      {"null head config", call(b.bank.data(), b.donors, b.stamp.data(), hl, nullptr, b.head.data(), 2),
       "teeth: head_json is null — refusing to run without the serving configuration", false},
      {"bad head config", call(b.bank.data(), b.donors, b.stamp.data(), hl, "{}", b.head.data(), 2), "", true},
      {"bad head weights", call(b.bank.data(), b.donors, b.stamp.data(), 64, hj, junk.data(), 2), "", true},
  };
  for (const Case& c : cases) {
    for (int cap : {0, 1, 1024}) {
      std::vector<char> err(1024, '#');
      EXPECT_EQ(c.call(err.data(), cap), 1) << c.what;
      if (cap == 0) {
        EXPECT_EQ(err[0], '#') << c.what;
      } else if (cap == 1) {
        EXPECT_EQ(err[0], '\0') << c.what;
        EXPECT_EQ(err[1], '#') << c.what;
      } else {
        const std::string got(err.data());
        EXPECT_FALSE(got.empty()) << c.what;
        if (c.prefixOnly) {
          EXPECT_EQ(got.rfind(c.text, 0), 0u) << c.what << ": " << got;
        } else {
          EXPECT_EQ(got, c.text) << c.what;
        }
      }
    }
  }
  // No frames at all is a run with nothing to emit.
  std::vector<char> err(64, '#');
  EXPECT_EQ(call(b.bank.data(), b.donors, b.stamp.data(), hl, hj, b.head.data(), 0)(err.data(), 64), 0);
  EXPECT_EQ(err[0], '#');
}

TEST(TesseraRun, ResultsInFrameOrderFromPushesAndTheFlush) {
  KA_NEED_TESSERA();
  const int n = 4;
  const Batch b(n);
  const int pad = b.st.pad;
  const int32_t derive = -10000;
  const std::vector<int32_t> allDerived(2 * n, derive);
  // Frame 2 is given a shift one past the pad: it alone cannot be borrowed.
  std::vector<int32_t> oneOut = allDerived;
  oneOut[4] = pad + 1;
  oneOut[5] = 0;
  const std::vector<uint8_t> empty(b.masks.size(), 0);
  struct Case {
    const char* what;
    const int32_t* shifts;
    const std::vector<uint8_t>* masks;
    std::vector<int32_t> skipped;
  };
  const Case cases[] = {
      {"derived", nullptr, nullptr, {0, 0, 0, 0}},
      {"all marked derive", allDerived.data(), nullptr, {0, 0, 0, 0}},
      {"one shift out of range", oneOut.data(), nullptr, {0, 0, 1, 0}},
      {"empty masks", nullptr, &empty, {1, 1, 1, 1}},
  };
  std::vector<uint8_t> base;
  std::vector<int32_t> baseSkipped;
  char err[512] = "";
  ASSERT_EQ(b.run(nullptr, &base, &baseSkipped, err, sizeof err), 0) << err;
  for (const Case& c : cases) {
    std::vector<uint8_t> out;
    std::vector<int32_t> skipped;
    ASSERT_EQ(b.run(c.shifts, &out, &skipped, err, sizeof err, c.masks), 0) << c.what << ": " << err;
    EXPECT_EQ(skipped, c.skipped) << c.what;
    for (int k = 0; k < n; ++k) {
      const uint8_t* w = out.data() + b.window() * k;
      const bool untouched = std::all_of(w, w + b.window(), [](uint8_t v) { return v == 0xA5; });
      EXPECT_EQ(untouched, c.skipped[static_cast<size_t>(k)] == 1) << c.what << " slot " << k;
    }
    if (c.shifts == allDerived.data()) {
      EXPECT_EQ(out, base) << "the derive marker must behave as no shifts";
    }
  }
  // One frame: its result can only come from the flush.
  const Batch one(1);
  std::vector<uint8_t> out;
  std::vector<int32_t> skipped;
  ASSERT_EQ(one.run(nullptr, &out, &skipped, err, sizeof err), 0) << err;
  EXPECT_EQ(skipped, std::vector<int32_t>{0});
  EXPECT_FALSE(std::all_of(out.begin(), out.end(), [](uint8_t v) { return v == 0xA5; }));
}

}  // namespace
}  // namespace ka::test
