// Identity and drive loading on bundles written by the fixture maker, and on copies
// of them damaged one way at a time.
#include "bundle/identity.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <stdexcept>

#include "bundle/drive.h"
#include "bundle/manifest.h"
#include "paste/paste.h"
#include "tests/support/test_support.h"

namespace ka {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::slurp;
using test::writeFile;

std::string bundle(const char* name) {
  const std::string dir = test::fixtureDir() + "/identity/" + name;
  if (!test::exists(dir + "/manifest.json")) throw std::runtime_error("fixture missing: " + dir);
  return dir;
}

// A private copy of a fixture bundle to damage.
std::string copyOf(const TempDir& t, const char* name) {
  const std::string dst = t / name;
  fs::copy(bundle(name), dst, fs::copy_options::recursive);
  return dst;
}


float halfToFloatRef(uint16_t h) {  // written out, independent of the library
  const int e = (h >> 10) & 31, m = h & 1023;
  const float s = (h & 0x8000) ? -1.f : 1.f;
  if (e == 0) return s * std::ldexp(float(m), -24);
  if (e == 31) return m ? NAN : s * INFINITY;
  return s * std::ldexp(float(m + 1024), e - 25);
}

TEST(Identity, MapsMembersAndRescalesM) {
  const Manifest m = loadManifest(bundle("full"));
  Identity id(m);
  EXPECT_TRUE(id.hasP());
  EXPECT_TRUE(id.hasFsRed());
  EXPECT_EQ(id.priorBackend(), "mmap P.f16");
  EXPECT_EQ(id.priorResidentBytes(), 0u);
  const std::string p = slurp(m.dir + "/P.f16");
  const size_t frame = size_t(3) * m.crop * m.crop * 2;
  EXPECT_EQ(std::memcmp(id.P(5), p.data() + 5 * frame, frame), 0);
  const std::string pooled = slurp(m.dir + "/pooled64.f16");
  EXPECT_EQ(std::memcmp(id.pooled64(m.NT - 1), pooled.data() + (m.NT - 1) * kPooled64Bytes, kPooled64Bytes), 0);
  // M was authored on a canvas twice the frame's size.
  const std::string raw = slurp(m.dir + "/M.f32");
  const float* src = reinterpret_cast<const float*>(raw.data());
  ASSERT_EQ(m.MsrcW, 2 * m.W);
  for (int i = 0; i < m.NT * 6; ++i) EXPECT_FLOAT_EQ(id.M(0)[i], float(double(src[i]) * 0.5)) << i;
}

TEST(Identity, PastingAFramesOwnCropReproducesTheFrame) {
  // The crop was cut from the driver frame through M, so putting it back through M
  // must land on the same pixels: a check of M, its rescaling and the paste together.
  const Manifest m = loadManifest(bundle("full"));
  Identity id(m);
  const std::string frames = slurp(m.dir + ".reference/frames.rgb");
  const size_t fb = size_t(3) * m.W * m.H;
  std::vector<uint8_t> mask(size_t(m.crop) * m.crop, 255);
  Paste paste(mask, m.crop, Unsharp{0.0f, 2.0f, 13});
  for (int i : {0, 7, m.NT - 1}) {
    std::vector<float> crop(size_t(3) * m.crop * m.crop);
    for (size_t k = 0; k < crop.size(); ++k) crop[k] = halfToFloatRef(id.P(i)[k]);
    std::vector<uint8_t> canvas(fb, 0);
    paste.composite(crop.data(), 255.f, id.M(i), canvas.data(), m.W, m.H);
    const uint8_t* want = reinterpret_cast<const uint8_t*>(frames.data()) + i * fb;
    double err = 0;
    size_t n = 0;
    for (size_t k = 0; k < fb; ++k)
      if (canvas[k]) {
        err += std::abs(int(canvas[k]) - int(want[k]));
        ++n;
      }
    ASSERT_GT(n, fb / 10) << "the face covers a good part of the frame";
    EXPECT_LT(err / n, 6.0) << "frame " << i;
  }
}

TEST(Identity, HevcPriorAndCanonicalNames) {
  const Manifest m = loadManifest(bundle("canonical"));
  Identity id(m);
  EXPECT_FALSE(id.hasP());
  EXPECT_NE(id.hevcPath(), "");
  EXPECT_NE(id.priorBackend(), "none");
  EXPECT_GT(id.priorResidentBytes(), 0u);
  Drive d = loadDrive(m);
  EXPECT_EQ(d.frames, 6);
  EXPECT_EQ(d.si.size(), 6u);
  EXPECT_EQ(d.xs.size(), 6u * 63);
  // Walking the prior in order, as rendering does, decodes ahead and never seeks.
  for (int i = 0; i < m.NT; ++i) id.walkP(i);
  EXPECT_EQ(id.priorSeeks(), 0u);
  // The decoded prior matches the crops it was encoded from (lossless 4:4:4 HEVC, up
  // to the colour conversion and half precision), in any order of access.
  const std::string ref = slurp(m.dir + ".reference/crops.f16");
  const size_t n = size_t(3) * m.crop * m.crop;
  for (int i : {2, 0, 4, 5}) {
    const uint16_t* h = id.P(i);
    const uint16_t* want = reinterpret_cast<const uint16_t*>(ref.data()) + i * n;
    double err = 0;
    for (size_t k = 0; k < n; ++k) err += std::fabs(halfToFloatRef(h[k]) - halfToFloatRef(want[k]));
    EXPECT_LT(err / n, 3.0 / 255) << "frame " << i;
  }
}

TEST(Identity, SizeChecks) {
  TempDir t;
  const std::string dir = copyOf(t, "small");
  const Manifest m = loadManifest(dir);
  auto grow = [](const std::string& path, int delta) {
    std::string b = slurp(path);
    if (delta > 0) b.append(size_t(delta), '\0');
    else b.resize(b.size() - size_t(-delta));
    writeFile(path, b);
  };
  for (const char* member : {"P.f16", "pooled64.f16", "M.f32"})
    for (int delta : {1, -1}) {
      const std::string path = dir + "/" + member;
      const std::string keep = slurp(path);
      grow(path, delta);
      EXPECT_EQ(test::refusal([&] { Identity id(m); }), "size mismatch " + path) << member << delta;
      writeFile(path, keep);
    }
  for (const char* member : {"drive/xs.f32", "drive/xd.f32", "drive/si.i32"}) {
    const std::string path = dir + "/" + member;
    const std::string keep = slurp(path);
    grow(path, 4);
    EXPECT_EQ(test::refusal([&] { loadDrive(m); }), "size mismatch " + path) << member;
    writeFile(path, keep);
  }
  // A hostile row count asks for ~540 GB; the file's size refuses it before anything is
  // allocated.
  Manifest hostile = m;
  hostile.frames = std::numeric_limits<int32_t>::max();
  EXPECT_EQ(test::refusal([&] { loadDrive(hostile); }), "size mismatch " + dir + "/drive/xs.f32");
  EXPECT_EQ(test::refusal([&] { Identity id(m); }), "");
}

TEST(Identity, DriveIndicesMustBeDriverFrames) {
  TempDir t;
  const std::string dir = copyOf(t, "small");
  const Manifest m = loadManifest(dir);
  for (int32_t bad : {m.NT, -1}) {
    std::string si = slurp(dir + "/drive/si.i32");
    std::memcpy(si.data() + 4 * 3, &bad, 4);
    writeFile(dir + "/drive/si.i32", si);
    EXPECT_EQ(test::refusal([&] { loadDrive(m); }), "drive: si out of range") << bad;
  }
}

TEST(Identity, PriorRefusals) {
  TempDir t;
  const std::string dir = copyOf(t, "small");
  fs::remove(dir + "/P.f16");
  auto withManifest = [&](const std::string& extra) {
    std::string text = slurp(bundle("small") + "/manifest.json");
    text.insert(text.rfind('}'), extra);
    writeFile(dir + "/manifest.json", text);
    return loadManifest(dir);
  };
  Manifest m = withManifest("");
  EXPECT_EQ(test::refusal([&] { Identity id(m); }).rfind("this bundle carries neither P.f16 nor fs_red.f16, and its manifest "
                                                   "names no P_hevc member",
                                                   0),
            0u);
  m = withManifest(", \"P_hevc\": \"prior.mov\"");
  EXPECT_EQ(test::refusal([&] { Identity id(m); }),
            "this bundle's manifest names P_hevc 'prior.mov' and the file is not there (" + dir +
                "/prior.mov) — the renderer has no warp prior. REFUSING to create a session.");
  writeFile(dir + "/rgb.f16", "x");
  m = withManifest(", \"P_rgb\": \"rgb.f16\"");
  EXPECT_EQ(test::refusal([&] { Identity id(m); }).rfind("this bundle's manifest names its raw warp prior 'rgb.f16' (P_rgb)", 0),
            0u);

  // fs_red alone is a complete prior for the renderer: no mapping, no cursor.
  writeFile(dir + "/fs_red.f16", std::string(size_t(m.NT) * kFsRedBytes, '\0'));
  m = withManifest("");
  Identity id(m);
  EXPECT_FALSE(id.hasP());
  EXPECT_EQ(id.priorBackend(), "none");
  EXPECT_EQ(id.priorSeeks(), 0u);
}

TEST(Identity, RescaleArithmetic) {
  TempDir t;
  const std::string dir = copyOf(t, "small");
  Manifest m = loadManifest(dir);
  Identity id(m);
  std::vector<float> before(id.M(0), id.M(0) + m.NT * 6);
  Manifest half = m;
  half.MsrcW = m.W / 2;
  half.MsrcH = m.H;
  id.rescaleM(half);
  for (int i = 0; i < m.NT; ++i)
    for (int k = 0; k < 6; ++k)
      EXPECT_FLOAT_EQ(id.M(i)[k], k < 3 ? float(double(before[i * 6 + k]) * 2.0) : before[i * 6 + k]);
  half.MsrcW = 0;
  EXPECT_NE(test::refusal([&] { id.rescaleM(half); }).find("refusing to paste M without knowing the space"), std::string::npos);
}

}  // namespace
}  // namespace ka
