// The teeth members: the carriage (which of the four files a bundle has), the checks on
// the bank sidecar and the manifest, the donor reordering and the C functions over them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ka/ka.h"
#include "tessera/attach_inputs.h"
#include "tessera/carriage.h"
#include "tessera/json.h"
#include "tests/support/test_support.h"

namespace ka::tessera {
namespace {

using test::refusal;
using test::TempDir;
using test::writeFile;

const char* kGeometry =
    "{\"canvas_w\": 64, \"canvas_h\": 64, \"window_x0\": 20, \"window_y0\": 36, \"window_w\": 24, "
    "\"window_h\": 16, \"pad\": 3, \"band_r0\": 4, \"band_r1\": 12, \"band_c0\": 4, \"band_c1\": 20, "
    "\"shift_margin\": 2}";

std::string seq(int n, const std::string& item) {
  std::string s = "[";
  for (int i = 0; i < n; ++i) s += (i ? "," : "") + (item.empty() ? std::to_string(i) : item);
  return s + "]";
}

// A sidecar with n donors in identity track order; `edit` replaces one key's value.
std::string sidecar(int n = 3, const std::string& key = "", const std::string& value = "") {
  std::vector<std::pair<std::string, std::string>> kv = {
      {"format", "\"tessera_bank.v1\""}, {"geometry", kGeometry},
      {"n_donors", std::to_string(n)},   {"track_order", seq(n, "")},
      {"cent", seq(n, "[1.5, 2.5]")},    {"aperture", seq(n, "0.04")},
      {"c_canon", "[31.5, 40.25]"},      {"codec", "{\"codec\": \"h264\", \"pix_fmt\": \"yuv444p\"}"}};
  std::string s = "{";
  for (auto& [k, v] : kv) {
    if (k == key) {
      if (value.empty()) continue;  // dropped
      v = value;
    }
    s += (s.size() > 1 ? ", \"" : "\"") + k + "\": " + v;
  }
  return s + "}";
}

// A bundle directory holding the members whose bit is set in `slots` (bit i = slot i).
void stage(const TempDir& d, int slots = 15, const std::string& manifest = "{\"NT\": 4}",
           const std::string& side = sidecar()) {
  if (!manifest.empty()) writeFile(d / "manifest.json", manifest);
  const std::string bodies[4] = {"track", side, "pt", "{}"};
  for (int i = 0; i < 4; ++i)
    if (slots & (1 << i)) writeFile(d / TesseraSlots().names[size_t(i)], bodies[i]);
}

TEST(TesseraCarriage, EveryCombinationOfMissingSlotsIsListedInSlotOrder) {
  for (int slots = 0; slots < 16; ++slots) {
    TempDir d;
    stage(d, slots);
    ka_tessera_carriage* c = ka_tessera_carriage_open(d.path().c_str());
    ASSERT_NE(c, nullptr);
    std::vector<std::string> want;
    for (int i = 0; i < 4; ++i)
      if (!(slots & (1 << i))) want.push_back(ka_tessera_slot_key(i));
    std::vector<std::string> got;
    for (int i = 0; i < ka_tessera_carriage_missing_count(c); ++i) got.push_back(ka_tessera_carriage_missing(c, i));
    EXPECT_EQ(got, want) << slots;
    EXPECT_EQ(ka_tessera_carriage_missing(c, static_cast<int>(want.size())), nullptr);
    EXPECT_EQ(ka_tessera_carriage_complete(c), slots == 15 ? 1 : 0);
    EXPECT_EQ(ka_tessera_carriage_declared(c), 0);
    EXPECT_EQ(std::string(ka_tessera_carriage_path(c, "head_config")), d / "tessera_head.v1.json");
    EXPECT_STREQ(ka_tessera_carriage_path(c, "nope"), "");
    ka_tessera_carriage_close(c);
  }
  TempDir d;
  stage(d, 7);
  char err[2048];
  EXPECT_EQ(ka_tessera_members_open(d.path().c_str(), err, sizeof err), nullptr);
  EXPECT_EQ(std::string(err).rfind("missing teeth member(s): head_config (tessera_head.v1.json) — carries 3 of 4. "
                                   "ONE predicate",
                                   0),
            0u)
      << err;
  try {
    requireTesseraMembers(tesseraCarriage(d.path()));
    FAIL();
  } catch (const MissingTesseraMember& e) {
    EXPECT_EQ(e.missing(), std::vector<std::string>{"head_config"});
  }
  EXPECT_EQ(refusal([&] { tesseraCarriage(d.path()).path("bank"); }), "teeth: no such member slot 'bank'");
}

TEST(TesseraCarriage, ManifestBlockRenamesMembersAndDeclares) {
  TempDir d;
  stage(d, 15,
        "{\"tessera\": {\"members\": {\"bank_track\": \"bank/other.mp4\", \"bank_sidecar\": \"\", "
        "\"head_weights\": 5}, \"planes\": [\"session\", 3, \"offline\"]}}");
  TesseraCarriage c = tesseraCarriage(d.path());
  EXPECT_TRUE(c.declared);
  EXPECT_EQ(c.planes, (std::vector<std::string>{"session", "offline"}));
  EXPECT_EQ(c.path("bank_track"), d / "bank/other.mp4");
  EXPECT_EQ(c.path("bank_sidecar"), d / "tessera_bank.v1.json");  // empty string: default kept
  EXPECT_EQ(c.path("head_weights"), d / "tessera_head.v1.pt");     // not a string: default kept
  EXPECT_EQ(c.missing, std::vector<std::string>{"bank_track"});
  EXPECT_NE(refusal([&] { requireTesseraMembers(c); })
                .find("missing teeth member(s): bank_track (bank/other.mp4) — carries 3 of 4 and declares a "
                      "manifest.tessera block the members do not keep. ONE"),
            std::string::npos);
  writeFile(d / "bank/other.mp4", "t");
  EXPECT_TRUE(tesseraCarriage(d.path()).complete);

  // meta.json stands in for a missing manifest.json; an unreadable manifest declares nothing.
  TempDir m;
  stage(m, 15, "");
  writeFile(m / "meta.json", "{\"tessera\": {}}");
  EXPECT_TRUE(tesseraCarriage(m.path()).declared);
  writeFile(m / "manifest.json", "{\"tessera\": {");
  EXPECT_FALSE(tesseraCarriage(m.path()).declared);
  EXPECT_TRUE(tesseraCarriage(m.path()).complete);
}

TEST(TesseraMembers, SidecarAndManifestRefusals) {
  const std::string big = sidecar(1025);
  const std::string s = "tessera_bank.v1.json";
  struct Case {
    std::string manifest, side, want;  // want: prefix of the refusal
  };
  const std::string plain = "{\"NT\": 4}";
  auto geo = [](const std::string& from, const std::string& to) {
    std::string g = kGeometry;
    g.replace(g.find(from), from.size(), to);
    return g;
  };
  const Case cases[] = {
      {plain, sidecar(3, "format", "\"tessera_bank.v2\""),
       s + " declares format 'tessera_bank.v2', not 'tessera_bank.v1' — this reader does not know that generation"},
      {plain, sidecar(3, "format"), s + " declares format '', not 'tessera_bank.v1'"},
      {plain, sidecar(3, "geometry"), s + " carries no `geometry` stamp"},
      {plain, sidecar(3, "geometry", geo("\"pad\": 3, ", "")), "teeth: " + s + ".geometry lacks numeric 'pad'"},
      {"{\"tessera\": {\"geometry\": " + geo("\"shift_margin\": 2", "\"shift_margin\": 1") + "}}", sidecar(),
       "teeth geometry DISAGREES between the manifest and the bank sidecar — manifest {canvas_w=64, canvas_h=64, "
       "window_x0=20, window_y0=36, window_w=24, window_h=16, pad=3, band_r0=4, band_r1=12, band_c0=4, "
       "band_c1=20, shift_margin=1} vs " + s + " {canvas_w=64"},
      {plain, sidecar(3, "geometry", geo("\"band_c1\": 20", "\"band_c1\": -20")),
       "teeth stamp yields a non-positive stored patch (-20x12)"},
      // Every size derived from the stamp is bounded at load, naming the field.
      {plain, sidecar(3, "geometry", geo("\"window_x0\": 20", "\"window_x0\": 50")),
       "teeth: GeometryStamp incoherent: window x-range escapes canvas;"},
      {plain,
       sidecar(3, "geometry",
               "{\"canvas_w\": 2147483647, \"canvas_h\": 2147483647, \"window_x0\": 0, \"window_y0\": 0, "
               "\"window_w\": 2147483647, \"window_h\": 2147483647, \"pad\": 1, \"band_r0\": 0, "
               "\"band_r1\": 2147483647, \"band_c0\": 0, \"band_c1\": 2147483647, \"shift_margin\": 0}"),
       "teeth: GeometryStamp incoherent: canvas_w=2147483647 over the maximum 1024; canvas_h=2147483647 over the "
       "maximum 1024;"},
      {plain,
       sidecar(3, "geometry",
               "{\"canvas_w\": 64, \"canvas_h\": 64, \"window_x0\": 20, \"window_y0\": 36, \"window_w\": 24, "
               "\"window_h\": 16, \"pad\": 1000000, \"band_r0\": 4, \"band_r1\": 12, \"band_c0\": 4, "
               "\"band_c1\": 20, \"shift_margin\": 999990}"),
       "teeth: GeometryStamp incoherent: stored patch band_w=1999996 over the canvas width 64; stored patch "
       "band_h=1999988 over the canvas height 64;"},
      {plain, sidecar(0), s + " says n_donors=0"},
      {plain, big, s + " carries n_donors=1025, over the owner's cap of 1024 (ruling 2026-08-28). This reader REFUSES"},
      {plain, sidecar(3, "cent", "{}"), s + " lacks one of track_order/cent/aperture/c_canon as an array"},
      {plain, sidecar(3, "aperture"), s + " lacks one of track_order/cent/aperture/c_canon as an array"},
      {plain, sidecar(3, "aperture", "[1, 2]"),
       s + " says n_donors=3 but carries track_order=3, cent=3, aperture=2 — a count mismatch silently mis-orders"},
      {plain, sidecar(3, "c_canon", "[1, 2, 3]"), s + " c_canon is not a pair"},
      {plain, sidecar(3, "track_order", "[0, 3, 1]"), s + " track_order[1]=3 is outside [0,3)"},
      {plain, sidecar(3, "track_order", "[0, 0, 2]"),
       s + " track_order is not a permutation (reference 0 appears twice) — the inverse permutation"},
      {plain, sidecar(3, "cent", "[[1, 2], [3], [4, 5]]"), s + " cent[1] is not an (x,y) pair"},
      {plain, sidecar(3, "codec", "{\"codec\": \"h264\"}"), "<dir>: neither manifest.tessera.bank_pix_fmt nor " + s +
       ".codec.pix_fmt states the reference track's pixel format."},
      {plain, sidecar(3, "codec"), "<dir>: neither manifest.tessera.bank_pix_fmt"},
      {"{\"a\": [", sidecar(), "teeth: <dir>/manifest.json is not readable JSON: teeth: "},
      {plain, "{\"format\": ", "teeth: " + s + " is not readable JSON: teeth: JSON truncated"},
      {"", sidecar(), "<dir> carries no manifest.json or meta.json — the compose descriptor (unified.pi)"},
      // Size bound first, before the file is read, naming the file and its size.
      {plain, sidecar(3, "aperture", "[" + std::string(size_t(5) << 20, ' ') + "0, 0, 0]"),
       "teeth: <dir>/" + s + " is 5243290 bytes, over the 4194304-byte bound of a teeth JSON document"},
  };
  for (const Case& c : cases) {
    TempDir d;
    stage(d, 15, c.manifest, c.side);
    std::string want = c.want;
    for (size_t p; (p = want.find("<dir>")) != std::string::npos;) want.replace(p, 5, d.path());
    const std::string got = refusal([&] { loadTesseraMembers(d.path()); });
    EXPECT_EQ(got.substr(0, want.size()), want) << c.side.substr(0, 200);
  }
}

TEST(TesseraMembers, LoadsValuesAndDefaultsAndTheManifestWins) {
  TempDir d;
  stage(d, 15, "{\"NT\": 4, \"tessera\": {\"geometry\": " + std::string(kGeometry) +
                   ", \"bank_pix_fmt\": \"gbrp\", \"bank_codec\": 7}}",
        sidecar(1024));
  const TesseraAttachInputs in = loadTesseraMembers(d.path());
  EXPECT_EQ(in.n_donors, 1024);
  EXPECT_EQ(in.band_w, 20);
  EXPECT_EQ(in.band_h, 12);
  EXPECT_EQ(in.bankBytes(), 1024LL * 20 * 12 * 3);
  EXPECT_EQ(in.bank_pix_fmt, "gbrp");   // manifest over sidecar
  EXPECT_EQ(in.bank_codec, "h264");     // a non-string manifest value falls back
  EXPECT_EQ(in.bank_container, "mp4");
  EXPECT_EQ(in.bank_packing, "rgb24_frames");
  EXPECT_EQ(in.c_canon[1], 40.25);
  EXPECT_EQ(in.cent[1], 2.5);
  EXPECT_EQ(in.stamp[11], 2);
  EXPECT_EQ(in.head_json, "{}");
  EXPECT_EQ(in.head_pt, (std::vector<uint8_t>{'p', 't'}));
  EXPECT_EQ(in.bank_track_path, d / "tessera_bank.v1.mp4");

  // One parse each of the sidecar and the manifest, the carriage's included.
  const uint64_t before = json::documentsParsed();
  (void)loadTesseraMembers(d.path());
  EXPECT_EQ(json::documentsParsed() - before, 2u);
}

TEST(TesseraMembers, ReorderPutsEachTrackFrameInItsDonorSlot) {
  TesseraAttachInputs in;
  in.n_donors = 3;
  in.band_w = 1;
  in.band_h = 1;
  in.track_order = {2, 0, 1};
  const uint8_t track[9] = {10, 11, 12, 20, 21, 22, 30, 31, 32};
  uint8_t out[9] = {};
  reorderTrackToDonor(in, track, out);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 9), (std::vector<uint8_t>{20, 21, 22, 30, 31, 32, 10, 11, 12}));
  EXPECT_EQ(refusal([&] { reorderTrackToDonor(in, nullptr, out); }), "teeth: null band buffer");
  in.track_order.pop_back();
  EXPECT_EQ(refusal([&] { reorderTrackToDonor(in, track, out); }), "teeth: track_order does not match n_donors");
  in.track_order = {2, 0, 7};
  EXPECT_EQ(refusal([&] { reorderTrackToDonor(in, track, out); }), "teeth: track_order[2]=7 is outside [0,3)");
  in.band_w = 0;
  EXPECT_EQ(refusal([&] { reorderTrackToDonor(in, track, out); }), "teeth: zero reference stride");
  // A hand-assembled record whose sizes overflow is refused, never multiplied into a stride.
  in.track_order = {2, 0, 1};
  in.band_w = in.band_h = INT32_MAX;
  EXPECT_EQ(in.patchBytes(), -1);
  EXPECT_EQ(in.bankBytes(), -1);
  EXPECT_EQ(refusal([&] { reorderTrackToDonor(in, track, out); }),
            "teeth: stored patch 2147483647x2147483647 of 3 donors is no addressable bank");
  in.band_w = in.band_h = 1 << 20;
  in.n_donors = 3;
  EXPECT_EQ(in.bankBytes(), 3LL * 3 << 40);
}

TEST(TesseraMembers, CInterfaceOverTheFixtureBank) {
  const std::string fx = test::fixtureDir();
  if (fx.empty()) GTEST_SKIP() << "no fixtures";
  const std::string bundle = fx + "/tessera/bundle";
  char err[512] = "unchanged";
  ka_tessera_members* m = ka_tessera_members_open(bundle.c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  const int n = ka_tessera_members_n_donors(m);
  EXPECT_EQ(n, 24);
  const int64_t bytes = ka_tessera_members_band_bytes(m);
  EXPECT_EQ(bytes, int64_t(n) * ka_tessera_members_band_w(m) * ka_tessera_members_band_h(m) * 3);
  EXPECT_STREQ(ka_tessera_members_bank_pix_fmt(m), "yuv444p");
  EXPECT_STREQ(ka_tessera_members_bank_codec(m), "h264");
  EXPECT_EQ(std::string(ka_tessera_members_bank_track_path(m)), bundle + "/tessera_bank.v1.mp4");
  EXPECT_EQ(ka_tessera_members_head_pt_len(m), static_cast<int>(test::slurp(bundle + "/tessera_head.v1.pt").size()));
  EXPECT_EQ(std::memcmp(ka_tessera_members_head_pt(m), test::slurp(bundle + "/tessera_head.v1.pt").data(),
                        size_t(ka_tessera_members_head_pt_len(m))),
            0);
  EXPECT_EQ(std::string(ka_tessera_members_manifest_json(m)), test::slurp(bundle + "/manifest.json"));
  EXPECT_EQ(ka_tessera_members_stamp(m)[0], 256);
  EXPECT_NE(ka_tessera_members_cent(m), nullptr);
  EXPECT_GT(ka_tessera_members_aperture(m)[n - 1], ka_tessera_members_aperture(m)[0]);

  // The shuffled track, reordered, is the bank in donor order.
  const std::string track = test::slurp(bundle + "/.reference/bank_track.rgb");
  const std::string donor = test::slurp(bundle + "/.reference/bank_donor.rgb");
  ASSERT_EQ(int64_t(track.size()), bytes);
  ASSERT_NE(track, donor);
  std::vector<uint8_t> out(static_cast<size_t>(bytes));
  ASSERT_EQ(ka_tessera_members_reorder(m, reinterpret_cast<const uint8_t*>(track.data()), out.data(), err, sizeof err), 0);
  EXPECT_EQ(std::string(out.begin(), out.end()), donor);
  EXPECT_EQ(ka_tessera_members_reorder(m, nullptr, out.data(), err, 12), 1);
  EXPECT_STREQ(err, "ka_tessera_");  // cut to the buffer, NUL-terminated
  ka_tessera_members_close(m);

  EXPECT_EQ(ka_tessera_members_open(nullptr, err, sizeof err), nullptr);
  EXPECT_STREQ(err, "ka_tessera_members_open: null bundle_dir");
}

TEST(TesseraMembers, NullHandlesAndSlotKeys) {
  EXPECT_EQ(ka_tessera_slot_count(), 4);
  EXPECT_STREQ(ka_tessera_slot_key(0), "bank_track");
  EXPECT_STREQ(ka_tessera_slot_key(3), "head_config");
  EXPECT_EQ(ka_tessera_slot_key(4), nullptr);
  EXPECT_EQ(ka_tessera_slot_key(-1), nullptr);
  EXPECT_EQ(ka_tessera_carriage_open(nullptr), nullptr);
  EXPECT_EQ(ka_tessera_carriage_complete(nullptr), 0);
  EXPECT_EQ(ka_tessera_carriage_missing_count(nullptr), 0);
  EXPECT_STREQ(ka_tessera_carriage_path(nullptr, "bank_track"), "");
  EXPECT_EQ(ka_tessera_members_n_donors(nullptr), 0);
  EXPECT_EQ(ka_tessera_members_band_bytes(nullptr), 0);
  EXPECT_EQ(ka_tessera_members_cent(nullptr), nullptr);
  EXPECT_EQ(ka_tessera_members_head_pt(nullptr), nullptr);
  EXPECT_STREQ(ka_tessera_members_bank_codec(nullptr), "");
  ka_tessera_carriage_close(nullptr);
  ka_tessera_members_close(nullptr);
}

}  // namespace
}  // namespace ka::tessera
