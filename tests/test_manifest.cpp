#include "bundle/manifest.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/support/test_support.h"

namespace ka {
namespace {

using test::ScopedEnv;
using test::TempDir;
using test::manifestText;
using test::writeFile;

std::string loadError(const std::string& dir) {
  return test::refusal([&] { loadManifest(dir); });
}

TEST(Manifest, LoadsEveryField) {
  TempDir d;
  writeFile(d / "manifest.json", manifestText());
  writeFile(d / "lip_template.v1.json", R"({"lip": 1})");
  const Manifest m = loadManifest(d.path());
  EXPECT_EQ(m.dir, d.path());
  EXPECT_EQ(m.agent, "test");
  EXPECT_EQ(m.NT, 30);
  EXPECT_EQ(m.H, 480);
  EXPECT_EQ(m.W, 640);
  EXPECT_EQ(m.crop, 256);
  EXPECT_FLOAT_EQ(m.unsharp.amount, 1.5f);
  EXPECT_FLOAT_EQ(m.unsharp.sigma, 2.5f);
  EXPECT_EQ(m.unsharp.ksize, 11);
  EXPECT_EQ(m.frames, 12);
  EXPECT_EQ(m.MsrcW, 1280);
  EXPECT_EQ(m.MsrcH, 960);
  EXPECT_EQ(m.lipTemplate, R"({"lip": 1})");
  EXPECT_EQ(m.modelPath("b4_fp16"), d.path() + "/model_b4_fp16.onnx");
}

TEST(Manifest, AliasesAndTruncation) {
  TempDir d;
  std::string t = R"({"format": "ka-bundle-v0", "agent": "a", "frame_count": 30, "H": 479.9,
    "W": 640, "crop_size": 512, "amount": 0, "sigma": 1, "ksize": 5, "frames": 3,
    "paste_source_width": 1920, "paste_source_height": 1080, "inner": {"M_src_w": 5}})";
  writeFile(d / "manifest.json", t);
  const Manifest m = loadManifest(d.path());
  EXPECT_EQ(m.NT, 30);
  EXPECT_EQ(m.H, 479) << "integers are truncated toward zero";
  EXPECT_EQ(m.crop, 512);
  // "M_src_w" exists (nested, the only scalar occurrence), so its alias is not consulted.
  EXPECT_EQ(m.MsrcW, 5);
  EXPECT_EQ(m.MsrcH, 1080);
  EXPECT_TRUE(m.lipTemplate.empty());
}

TEST(Manifest, Refusals) {
  TempDir d;
  struct Case {
    std::string text;
    std::string error;
  } cases[] = {
      {R"({"format": "ka-bundle-v1"})", "not an ka-bundle-v0: " + d.path()},
      {R"({"agent": "x"})", "manifest: missing key format"},
      {R"({"format": 3, "agent": "x"})", "manifest: bad string format"},
      {R"({"format": "ka-bundle-v0", "agent": "a", "H": 1, "W": 1})", "manifest: missing key NT/frame_count"},
      {R"({"format": "ka-bundle-v0", "agent": "a", "NT": 1, "H": 1, "W": 1, "crop": 1,
           "amount": 1, "sigma": 1, "ksize": 1})", "manifest: missing key frames"},
      {R"({"format": "ka-bundle-v0", "agent": "a", "NT": 0, "H": 1, "W": 1, "crop": 1,
           "amount": 1, "sigma": 1, "ksize": 1, "frames": 1, "M_src_w": 1, "M_src_h": 1})",
       "manifest: bad dims"},
      {R"({"format": "ka-bundle-v0", "agent": "a", "NT": 2, "H": "480", "W": 1, "crop": 1,
           "amount": 1, "sigma": 1, "ksize": 1, "frames": 1, "M_src_w": 1, "M_src_h": 1})",
       "manifest: bad dims"},
      {R"({"format": "ka-bundle-v0", "agent": "a", "NT": 2, "H": 1, "W": 1, "crop": 1,
           "amount": 1, "sigma": 1, "ksize": 1, "frames": 1, "M_src_w": 0, "M_src_h": 1})",
       "manifest: bad paste-space stamp (M_src_w/M_src_h must be > 0)"},
  };
  for (const Case& c : cases) {
    writeFile(d / "manifest.json", c.text);
    EXPECT_EQ(loadError(d.path()), c.error) << c.text;
  }
  EXPECT_EQ(loadError(d / "missing"), "cannot open " + d.path() + "/missing/manifest.json");
}

TEST(Manifest, NestedCollisionIsAmbiguous) {
  TempDir d;
  writeFile(d / "manifest.json",
            manifestText(R"(, "tessera": {"frames": 3}, "other": {"frames": 4})")
                .replace(manifestText().find("\"frames\": 12"), 12, "\"note\": 0"));
  EXPECT_NE(loadError(d.path()).find("manifest: key \"frames\" is AMBIGUOUS — 2 scalar occurrences"),
            std::string::npos);
}

TEST(Manifest, HugeIntegerIsRefusedNotWrapped) {
  TempDir d;
  std::string t = manifestText();
  t.replace(t.find("\"W\": 640"), 8, "\"W\": 5e12");
  writeFile(d / "manifest.json", t);
  EXPECT_NE(loadError(d.path()).find("key W = 5e+12 does not fit a 32-bit integer"), std::string::npos);
}

TEST(Manifest, MissingStampIsRefusedUnlessExplicitlyAllowed) {
  TempDir d;
  writeFile(d / "manifest.json", manifestText("", /*stamp=*/false));
  {
    ScopedEnv env("ORVANE2_MSRC_MISSING_OK", std::nullopt);
    const std::string why = loadError(d.path());
    EXPECT_EQ(why.rfind(d.path() + "/manifest.json declares no paste-space stamp (M_src_w/M_src_h, "
                                   "aka paste_source_width/height) — the canvas is 640x480, so M",
                        0),
              0u)
        << why;
    EXPECT_NE(why.find("set ORVANE2_MSRC_MISSING_OK=1 to restore the legacy assumption."), std::string::npos);
  }
  for (const char* notOne : {"true", "11", "", "0"}) {
    ScopedEnv env("ORVANE2_MSRC_MISSING_OK", std::string(notOne));
    EXPECT_NE(loadError(d.path()).find("declares no paste-space stamp"), std::string::npos) << notOne;
  }
  ScopedEnv env("ORVANE2_MSRC_MISSING_OK", std::string("1"));
  test::StderrCapture err;
  const Manifest m = loadManifest(d.path());
  EXPECT_EQ(m.MsrcW, 640);
  EXPECT_EQ(m.MsrcH, 480);
  EXPECT_EQ(err.text(), "[ka] WARNING ORVANE2_MSRC_MISSING_OK=1: " + d.path() +
                            "/manifest.json carries no paste-space stamp; ASSUMING M was authored "
                            "on this 640x480 canvas. If it was not, the face pastes off-target "
                            "(tv#144) and nothing will say so.\n");

  // Half a stamp is as good as none.
  writeFile(d / "manifest.json", manifestText(R"(, "M_src_w": 10)", false));
  EXPECT_EQ(loadManifest(d.path()).MsrcW, 640);
}

TEST(Manifest, CoremlCacheDirNamesTheRuntimeVersion) {
  const std::string dir = coremlCacheDir("/b");
  EXPECT_EQ(dir.rfind("/b/.coreml_cache/ort1.", 0), 0u) << dir;
}

}  // namespace
}  // namespace ka
