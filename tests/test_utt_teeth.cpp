// The utterance session's teeth stage: ka_utt_tessera_attach and its refusals, borrowed
// mouths on a live session (inline and on the teeth thread) against the same frames
// rendered and pasted without teeth, a failing pass, and a second attach.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "tests/test_utt_util.h"

namespace ka::test {
namespace {

constexpr int kKp = kHostKpRows * 3;

#define KA_NEED_TEETH()                                                                  \
  do {                                                                                   \
    if (uttFixture("teeth").empty()) GTEST_SKIP() << "KA_TEST_FIXTURES is not set";      \
  } while (0)

std::vector<uint8_t> readBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The fixture's teeth members as a host holds them, with the bank in donor order.
struct Members {
  struct Close {
    void operator()(ka_tessera_members* m) const { ka_tessera_members_close(m); }
  };
  std::unique_ptr<ka_tessera_members, Close> m;
  std::vector<uint8_t> bank;
  std::vector<int32_t> stamp;
  std::vector<double> cent, aperture;
  std::vector<uint8_t> head;
  std::string headJson, manifest;
  int donors = 0;

  Members() {
    char err[512] = "";
    m.reset(ka_tessera_members_open(uttFixture("teeth").c_str(), err, sizeof err));
    if (!m) throw std::runtime_error(err);
    donors = ka_tessera_members_n_donors(m.get());
    bank = readBytes(uttFixture("teeth") + "/.reference/bank_donor.rgb");
    stamp.assign(ka_tessera_members_stamp(m.get()), ka_tessera_members_stamp(m.get()) + 12);
    cent.assign(ka_tessera_members_cent(m.get()), ka_tessera_members_cent(m.get()) + 2 * donors);
    aperture.assign(ka_tessera_members_aperture(m.get()), ka_tessera_members_aperture(m.get()) + donors);
    const uint8_t* h = ka_tessera_members_head_pt(m.get());
    head.assign(h, h + ka_tessera_members_head_pt_len(m.get()));
    headJson = ka_tessera_members_head_json(m.get());
    manifest = ka_tessera_members_manifest_json(m.get());
  }
  const double* canon() const { return ka_tessera_members_c_canon(m.get()); }

  int attach(ka_utt* s, char* err, int cap) const {
    return ka_utt_tessera_attach(s, bank.data(), donors, cent.data(), canon(), aperture.data(), stamp.data(),
                                 head.data(), static_cast<int>(head.size()), headJson.c_str(),
                                 manifest.c_str(), err, cap);
  }
};

struct Session {
  UttCtx ctx;
  UttPtr s;
  Session(const std::string& motion, const std::string& bundle = uttFixture("teeth")) {
    ctx.reset(ka_create(bundle.c_str(), "b1", 1, nullptr));
    EXPECT_NE(ctx, nullptr) << ka_last_error();
    if (!ctx) return;
    const ka_utt_opts o = uttOpts(motion);
    s.reset(ka_utt_create(ctx.get(), &o));
    EXPECT_NE(s, nullptr) << ka_utt_last_error();
  }
};

// A motion directory like the fixture's, without its target keypoints.
std::string motionWithoutXsTarget() {
  const std::string dir = testing::TempDir() + "/motion-no-xs";
  std::filesystem::remove_all(dir);
  std::filesystem::copy(uttFixture("motion-teeth"), dir, std::filesystem::copy_options::recursive);
  std::filesystem::remove(dir + "/xs_target.bin");
  return dir;
}

int teethState(ka_utt* s, int64_t* borrowed = nullptr, int64_t* refused = nullptr, std::string* text = nullptr) {
  int64_t b = -1, r = -1;
  char t[512] = "junk";
  const int state = ka_utt_tessera_stats(s, &b, &r, t, sizeof t);
  if (borrowed) *borrowed = b;
  if (refused) *refused = r;
  if (text) *text = t;
  return state;
}

TEST(TeethAttach, RefusalsLeaveTheSessionAsItWas) {
  KA_NEED_TEETH();
  Session live(uttFixture("motion-teeth"));
  Session noXs(motionWithoutXsTarget());
  ASSERT_TRUE(live.s && noXs.s);

  struct Case {
    const char* what;
    ka_utt* s;
    std::function<void(Members&, int* donors, int* headLen)> edit;
    std::string text;
    bool prefixOnly;
  };
  const std::string p = "ka_utt_tessera_attach: ";
  auto stampEdit = [](int field, int value) {
    return [=](Members& m, int*, int*) { m.stamp[static_cast<size_t>(field)] = value; };
  };
  const Case cases[] = {
      {"null session", nullptr, nullptr, p + "null session", false},
      {"null bank", live.s.get(), [](Members& m, int*, int*) { m.bank.clear(); },
       p + "a required member is null — this ABI has no partial-attach state", false},
      {"null manifest", live.s.get(), [](Members& m, int*, int*) { m.manifest = "\x01"; },
       p + "a required member is null — this ABI has no partial-attach state", false},
      {"no donors", live.s.get(), [](Members&, int* n, int*) { *n = 0; }, p + "n_donors <= 0", false},
      {"negative head length", live.s.get(), [](Members&, int*, int* len) { *len = -1; }, p + "head_pt_len < 0", false},
      {"incoherent stamp", live.s.get(), stampEdit(4, 0), p + "teeth: GeometryStamp incoherent", true},
      {"canvas 512", live.s.get(), [](Members& m, int*, int*) { m.stamp[0] = m.stamp[1] = 512; },
       p + "bank canvas 512x512 != this bundle's render crop 128", false},
      {"bad head config", live.s.get(), [](Members& m, int*, int*) { m.headJson = "{}"; }, p, true},
      {"bad head weights", live.s.get(), [](Members& m, int*, int*) { m.head.assign(64, 7); }, p, true},
      {"no xs_target", noXs.s.get(), nullptr,
       p + "xs_target.bin is absent or the wrong length, so this bundle's corpus pi frame cannot be identified — "
           "refusing to arm the borrow against the manifest's compose-field geometry",
       false},
  };
  for (const Case& c : cases) {
    Members m;
    int donors = m.donors, headLen = static_cast<int>(m.head.size());
    if (c.edit) c.edit(m, &donors, &headLen);
    const uint8_t* bank = m.bank.empty() ? nullptr : m.bank.data();
    const char* manifest = m.manifest == "\x01" ? nullptr : m.manifest.c_str();
    for (int cap : {0, 1, 1024}) {
      std::vector<char> err(1024, '#');
      const int r = ka_utt_tessera_attach(c.s, bank, donors, m.cent.data(), m.canon(), m.aperture.data(),
                                          m.stamp.data(), m.head.data(), headLen, m.headJson.c_str(), manifest,
                                          err.data(), cap);
      EXPECT_EQ(r, 1) << c.what;
      if (cap == 0) {
        EXPECT_EQ(err[0], '#') << c.what << ": err_cap 0 must leave the buffer alone";
      } else if (cap == 1) {
        EXPECT_EQ(err[0], '\0') << c.what;
        EXPECT_EQ(err[1], '#') << c.what;
      } else {
        const std::string got(err.data());
        if (c.prefixOnly) {
          EXPECT_EQ(got.rfind(c.text, 0), 0u) << c.what << ": " << got;
          EXPECT_GT(got.size(), c.text.size()) << c.what;
        } else {
          EXPECT_EQ(got, c.text) << c.what;
        }
      }
    }
  }
  // The one-call attach from a bundle directory refuses the same way, under its own name.
  const std::string b = "ka_utt_tessera_attach_bundle: ", teeth = uttFixture("teeth"), bare = uttFixture("bundle");
  const std::tuple<ka_utt*, const char*, std::string> bundleCases[] = {
      {nullptr, teeth.c_str(), b + "null session"},
      {live.s.get(), nullptr, b + "null bundle_dir"},
      {live.s.get(), bare.c_str(), b + "missing teeth member(s): bank_track (tessera_bank.v1.mp4), "},
      {noXs.s.get(), teeth.c_str(), b + "xs_target.bin is absent or the wrong length"},
  };
  for (const auto& [s, dir, want] : bundleCases) {
    char err[1024] = "";
    EXPECT_EQ(ka_utt_tessera_attach_bundle(s, dir, err, sizeof err), 1) << want;
    EXPECT_EQ(std::string(err).rfind(want, 0), 0u) << err;
  }
  // Nothing was armed on either session.
  for (ka_utt* s : {live.s.get(), noXs.s.get()}) {
    int64_t b = 0, r = 0;
    std::string text;
    EXPECT_EQ(teethState(s, &b, &r, &text), 0);
    EXPECT_EQ(b + r, 0);
    EXPECT_EQ(text, "");
    char g[8] = "junk";
    EXPECT_EQ(ka_utt_tessera_geometry(s, g, sizeof g), 0);
    EXPECT_STREQ(g, "");
  }
}

// Pulls from a session until `idleAfter` idle frames followed the last speech or ramp
// frame of an utterance.
std::vector<Pulled> speak(ka_utt* s, int frames, int idleAfter = 4) {
  const std::vector<int16_t> pcm = speechFrames(frames);
  EXPECT_EQ(ka_utt_push_audio(s, pcm.data(), static_cast<int>(pcm.size())), 1);
  ka_utt_end_utterance(s);
  std::vector<Pulled> out;
  const bool done = pullUntil(
      s, out,
      [&](const std::vector<Pulled>& v) {
        int idle = 0;
        bool face = false;
        for (const Pulled& p : v) {
          face = face || p.info.kind != KA_UTT_IDLE;
          idle = p.info.kind == KA_UTT_IDLE && face ? idle + 1 : 0;
        }
        return face && idle >= idleAfter;
      },
      true, 120.0);
  EXPECT_TRUE(done) << "the utterance did not come back to idle";
  return out;
}

// Pixels of driver frame `si` that a change to the crop's mouth window can reach after
// pasting: the union of what two opposite fillings of the window change.
std::vector<bool> windowFootprint(ka_ctx* ctx, int si, const float* crop, const std::vector<int32_t>& stamp) {
  const int side = ka_crop(ctx);
  const size_t bytes = static_cast<size_t>(ka_width(ctx)) * ka_height(ctx) * 3;
  std::vector<uint8_t> base(bytes), other(bytes);
  std::vector<bool> reach(bytes / 3, false);
  EXPECT_EQ(ka_paste_crop(ctx, si, crop, base.data(), bytes), 1);
  for (float fill : {0.0f, 1.0f}) {
    std::vector<float> c(crop, crop + static_cast<size_t>(3) * side * side);
    for (int ch = 0; ch < 3; ++ch)
      for (int i = 0; i < stamp[5]; ++i)
        for (int j = 0; j < stamp[4]; ++j)
          c[(static_cast<size_t>(ch) * side + stamp[3] + i) * side + stamp[2] + j] = fill;
    EXPECT_EQ(ka_paste_crop(ctx, si, c.data(), other.data(), bytes), 1);
    for (size_t px = 0; px < reach.size(); ++px)
      for (int ch = 0; ch < 3; ++ch) reach[px] = reach[px] || base[px * 3 + ch] != other[px * 3 + ch];
  }
  return reach;
}

class TeethSession : public testing::TestWithParam<const char*> {};

TEST_P(TeethSession, BorrowsInsideTheMouthWindowOnly) {
  KA_NEED_TEETH();
  ScopedEnv pipe("KA_UTT_PIPELINE_PASTE", std::string(GetParam()));
  const Members mem;
  Session live(uttFixture("motion-teeth"));
  ASSERT_TRUE(live.s);
  ka_utt* s = live.s.get();
  ASSERT_TRUE(waitReady(s)) << ka_utt_last_error();
  std::vector<char> err(1024, 0);
  ASSERT_EQ(mem.attach(s, err.data(), 1024), 0) << err.data();
  char geometry[64] = "";
  EXPECT_EQ(ka_utt_tessera_geometry(s, geometry, sizeof geometry), 1);
  EXPECT_STREQ(geometry, "v1");
  EXPECT_EQ(teethState(s), 1);

  const std::vector<Pulled> got = speak(s, 12);
  int64_t borrowed = 0, refused = 0;
  std::string text;
  EXPECT_EQ(teethState(s, &borrowed, &refused, &text), 1) << text;
  EXPECT_EQ(refused, 0);
  const int faces = countKind(got, KA_UTT_SPEECH) + countKind(got, KA_UTT_RAMP);
  EXPECT_EQ(countKind(got, KA_UTT_SPEECH), 12);
  EXPECT_GT(borrowed, 0);
  EXPECT_LE(borrowed, faces);
  double mean = -1, maxW = -1;
  int64_t counted = 0;
  EXPECT_EQ(ka_utt_tessera_synth_w(s, &mean, &maxW, &counted), 1);
  EXPECT_GE(counted, borrowed);
  EXPECT_GE(mean, 0.0);
  EXPECT_LE(mean, maxW + 1e-12);

  // The same faces rendered and pasted without teeth on a second context: every pixel
  // outside what the mouth window reaches is identical, and the window did change.
  UttCtx ref(ka_create(uttFixture("teeth").c_str(), "b1", 1, nullptr));
  ASSERT_NE(ref, nullptr) << ka_last_error();
  std::ifstream xsIn(uttFixture("motion-teeth") + "/xs_target.bin", std::ios::binary);
  std::vector<float> xs(static_cast<size_t>(ka_nt(ref.get())) * kKp);
  xsIn.read(reinterpret_cast<char*>(xs.data()), static_cast<std::streamsize>(xs.size() * 4));
  std::vector<uint8_t> plain(got[0].rgb.size());
  int changed = 0;
  for (const Pulled& p : got) {
    if (p.info.kind == KA_UTT_IDLE) continue;
    const int si = p.info.driver_index;
    const float* crop = ka_render_kp_crop(ref.get(), si, xs.data() + static_cast<size_t>(si) * kKp, p.kp.data());
    ASSERT_NE(crop, nullptr) << ka_last_error();
    const std::vector<float> kept(crop, crop + static_cast<size_t>(3) * ka_crop(ref.get()) * ka_crop(ref.get()));
    ASSERT_EQ(ka_paste_crop(ref.get(), si, kept.data(), plain.data(), plain.size()), 1);
    const std::vector<bool> reach = windowFootprint(ref.get(), si, kept.data(), mem.stamp);
    int outside = 0, inside = 0;
    for (size_t px = 0; px < reach.size(); ++px) {
      const bool differs = std::memcmp(&p.rgb[px * 3], &plain[px * 3], 3) != 0;
      (reach[px] ? inside : outside) += differs;
    }
    EXPECT_EQ(outside, 0) << "frame " << p.info.seq << " changed outside the mouth window";
    changed += inside > 0;
  }
  EXPECT_GT(changed, 0) << "no frame shows a borrowed mouth";

  // A second attach replaces the first: counters restart, the next utterance borrows
  // through the new pass; a refused attach changes nothing.
  ASSERT_EQ(mem.attach(s, err.data(), 1024), 0) << err.data();
  EXPECT_EQ(teethState(s, &borrowed, &refused), 1);
  EXPECT_EQ(borrowed + refused, 0);
  EXPECT_EQ(ka_utt_tessera_synth_w(s, &mean, &maxW, &counted), 0);
  const std::vector<Pulled> again = speak(s, 6);
  EXPECT_EQ(countKind(again, KA_UTT_SPEECH), 6);
  EXPECT_EQ(teethState(s, &borrowed, &refused), 1);
  EXPECT_GT(borrowed, 0);
  EXPECT_EQ(ka_utt_tessera_attach(s, mem.bank.data(), 0, mem.cent.data(), mem.canon(), mem.aperture.data(),
                                  mem.stamp.data(), mem.head.data(), static_cast<int>(mem.head.size()),
                                  mem.headJson.c_str(), mem.manifest.c_str(), err.data(), 1024),
            1);
  int64_t borrowedAfter = 0;
  EXPECT_EQ(teethState(s, &borrowedAfter), 1);
  EXPECT_EQ(borrowedAfter, borrowed);

  // An interruption drops the held face and what the pass kept for it: the ramp that
  // follows goes through the same pass without a refusal.
  const std::vector<int16_t> pcm = speechFrames(16);
  ASSERT_EQ(ka_utt_push_audio(s, pcm.data(), static_cast<int>(pcm.size())), 1);
  ka_utt_end_utterance(s);
  std::vector<Pulled> cut;
  ASSERT_TRUE(pullUntil(s, cut, [](const std::vector<Pulled>& v) { return countKind(v, KA_UTT_SPEECH) >= 3; }));
  ka_utt_interrupt(s);
  std::vector<Pulled> after;
  ASSERT_TRUE(pullUntil(s, after, [](const std::vector<Pulled>& v) {
    return v.size() >= 6 && v.back().info.kind == KA_UTT_IDLE && countKind(v, KA_UTT_RAMP) > 0;
  }));
  EXPECT_EQ(countKind(after, KA_UTT_SPEECH), 0);
  EXPECT_EQ(countKind(after, KA_UTT_RAMP), 4);
  std::string text2;
  EXPECT_EQ(teethState(s, &borrowedAfter, &refused, &text2), 1) << text2;
  EXPECT_EQ(refused, 0);
  EXPECT_GT(borrowedAfter, borrowed);
}

INSTANTIATE_TEST_SUITE_P(InlineAndPipelined, TeethSession, testing::Values("0", "1"),
                         [](const testing::TestParamInfo<const char*>& i) {
                           return std::string(i.param) == "1" ? "TeethThread" : "Conductor";
                         });

// A stage that passes frames through one frame late, as the pass does, and fails on
// the crop numbered `failAt` (0: never).
class FakeStage final : public TeethStage {
 public:
  FakeStage(size_t cropFloats, int failAt, std::string name)
      : held_(cropFloats), failAt_(failAt), name_(std::move(name)) {}
  bool push(const TeethFrame& f, Deliver deliver, void* self) override {
    if (++crops_ == failAt_) throw std::runtime_error("fake pass: frame " + std::to_string(crops_) + " refused");
    bool ok = true;
    if (holding_) ok = release(deliver, self);
    std::copy_n(f.crop, held_.size(), held_.data());
    frame_ = f;
    frame_.crop = held_.data();
    if (f.kp) std::copy_n(f.kp, kKp, kp_);
    frame_.kp = f.kp ? kp_ : nullptr;
    holding_ = true;
    return ok;
  }
  bool drain(Deliver deliver, void* self) override { return holding_ ? release(deliver, self) : true; }
  void drop() noexcept override { holding_ = false; }
  std::string geometry() const override { return name_; }
  TeethSynthStats synthStats() const override { return {crops_, 0.0, 0.0}; }

 private:
  bool release(Deliver deliver, void* self) {
    holding_ = false;
    frame_.borrowed = true;
    return deliver(self, frame_);
  }
  std::vector<float> held_;
  float kp_[kKp] = {};
  TeethFrame frame_;
  bool holding_ = false;
  int64_t crops_ = 0;
  int failAt_;
  std::string name_;
};

TEST_P(TeethSession, AFailedPassRefusesFacesAndTheVideoGoesOn) {
  KA_NEED_TEETH();
  ScopedEnv pipe("KA_UTT_PIPELINE_PASTE", std::string(GetParam()));
  Session live(uttFixture("motion-a2x"), uttFixture("bundle"));
  ASSERT_TRUE(live.s);
  ka_utt* s = live.s.get();
  ASSERT_TRUE(waitReady(s)) << ka_utt_last_error();
  const size_t cropFloats = static_cast<size_t>(3) * s->cropSide() * s->cropSide();
  s->attachTeeth(std::make_shared<FakeStage>(cropFloats, 3, "failing"));

  // Crop 1 is released by crop 2; crop 3 fails, taking the held crop 2 with it.
  std::vector<Pulled> got = speak(s, 8, 10);
  int64_t borrowed = 0, refused = 0;
  std::string text;
  EXPECT_EQ(teethState(s, &borrowed, &refused, &text), -1);
  EXPECT_EQ(text, "fake pass: frame 3 refused");
  EXPECT_EQ(countKind(got, KA_UTT_SPEECH), 1);
  EXPECT_EQ(countKind(got, KA_UTT_RAMP), 0);
  EXPECT_EQ(borrowed, 1);
  EXPECT_GE(refused, 8 - 2);  // the failing crop and every face after it
  EXPECT_GE(countKind(got, KA_UTT_IDLE), 10);

  // A new attach heals the session: counters restart and every face of the next
  // utterance passes through the new stage, none lost at the swap.
  s->attachTeeth(std::make_shared<FakeStage>(cropFloats, 0, "healthy"));
  EXPECT_EQ(teethState(s, &borrowed, &refused, &text), 1);
  EXPECT_EQ(borrowed + refused, 0);
  EXPECT_EQ(text, "");
  got = speak(s, 8, 3);
  const int faces = countKind(got, KA_UTT_SPEECH) + countKind(got, KA_UTT_RAMP);
  EXPECT_EQ(countKind(got, KA_UTT_SPEECH), 8);
  EXPECT_EQ(teethState(s, &borrowed, &refused), 1);
  EXPECT_EQ(borrowed, faces);
  EXPECT_EQ(refused, 0);
  char g[16] = "";
  EXPECT_EQ(ka_utt_tessera_geometry(s, g, sizeof g), 1);
  EXPECT_STREQ(g, "healthy");
}

}  // namespace
}  // namespace ka::test
