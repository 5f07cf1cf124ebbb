// The convolution engine against ONNX Runtime on the fused m4b fixture director
// (tools/fixtures/make_m4b_director.py): the picture at batch 1 and 4, every dumped
// intermediate against the graph's own tensor, the refusals, and the renderer's choice
// between the engine and ONNX Runtime.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "render/conv_backend.h"
#include "render/renderer.h"
#include "tests/test_renderer_util.h"

namespace {

using ka::test::readRawFile;

constexpr size_t kPooled = 65536, kPrior = 3 * 512 * 512, kKp = 63;

// The picture is the graph's within these bounds: the engine rounds every convolution's
// input to half precision (relative error 2^-11 per value, growing through the ten
// layers before the warp), and the warp turns a small error of the sampling grid into an
// error proportional to the prior's local gradient, large only on the drawn face's
// edges. Measured on the fixture: worst pixel 2.0e-3, mean 8.2e-5 on [0, 1], the same
// with the 3 x 3 layers through Winograd F(4x4, 3x3) as with direct sums; the bounds
// leave a factor of four.
constexpr float kMaxDiff = 8e-3f, kMeanDiff = 3.5e-4f;

std::string bundleDir() { return ka::test::fixtureDir() + "/m4b"; }
std::string model(const std::string& key) { return bundleDir() + "/model_" + key + ".onnx"; }

// Frames of the fixture bundle: source index, its half members, and keypoint sets whose
// driving rows move the mouth beyond the bundle's own.
struct Inputs {
  std::vector<int> si;
  std::vector<uint16_t> pooled, prior;
  std::vector<float> xs, xd;
  std::vector<const uint16_t*> pooledPtr, priorPtr;

  explicit Inputs(const std::vector<int>& frames) : si(frames) {
    const auto allPooled = readRawFile<uint16_t>(bundleDir() + "/pooled64.f16");
    const auto allPrior = readRawFile<uint16_t>(bundleDir() + "/P.f16");
    const auto drive = ka::test::driveRows(bundleDir());
    for (size_t i = 0; i < frames.size(); ++i) {
      const size_t f = static_cast<size_t>(frames[i]);
      pooled.insert(pooled.end(), allPooled.begin() + f * kPooled, allPooled.begin() + (f + 1) * kPooled);
      prior.insert(prior.end(), allPrior.begin() + f * kPrior, allPrior.begin() + (f + 1) * kPrior);
      const size_t row = f % (drive.xs.size() / kKp);
      for (size_t k = 0; k < kKp; ++k) {
        xs.push_back(drive.xs[row * kKp + k]);
        // Lower lip (row 18) further down, corners apart, more each frame.
        const float push = (k == 18 * 3 + 1 ? 0.08f : k == 15 * 3 ? -0.05f : k == 16 * 3 ? 0.05f : 0.f) * (i + 1);
        xd.push_back(drive.xd[row * kKp + k] + push);
      }
    }
    for (size_t i = 0; i < frames.size(); ++i) {
      pooledPtr.push_back(pooled.data() + i * kPooled);
      priorPtr.push_back(prior.data() + i * kPrior);
    }
  }

  // ONNX Runtime on the file itself, every listed output.
  std::map<std::string, std::vector<float>> reference(const std::string& path,
                                                      const std::vector<std::string>& outputs) const {
    const int64_t b = static_cast<int64_t>(si.size());
    std::vector<float> p(pooled.size()), q(prior.size()), ks(xs), kd(xd);
    for (size_t i = 0; i < p.size(); ++i) p[i] = ka::test::halfRef(pooled[i]);
    for (size_t i = 0; i < q.size(); ++i) q[i] = ka::test::halfRef(prior[i]);
    Ort::SessionOptions so;
    so.SetIntraOpNumThreads(2);
    Ort::Session s(ka::test::refEnv(), path.c_str(), so);
    const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtDeviceAllocator, OrtMemTypeDefault);
    const std::vector<int64_t> sp{b, 64, 32, 32}, sq{b, 3, 512, 512}, sk{b, 21, 3};
    std::vector<Ort::Value> in;
    in.push_back(Ort::Value::CreateTensor<float>(mem, p.data(), p.size(), sp.data(), 4));
    in.push_back(Ort::Value::CreateTensor<float>(mem, q.data(), q.size(), sq.data(), 4));
    in.push_back(Ort::Value::CreateTensor<float>(mem, kd.data(), kd.size(), sk.data(), 3));
    in.push_back(Ort::Value::CreateTensor<float>(mem, ks.data(), ks.size(), sk.data(), 3));
    const char* names[] = {"pooled64", "P_rgb", "kp_driving", "kp_source"};
    std::vector<const char*> outNames;
    for (const std::string& o : outputs) outNames.push_back(o.c_str());
    auto out = s.Run(Ort::RunOptions(), names, in.data(), in.size(), outNames.data(), outNames.size());
    std::map<std::string, std::vector<float>> r;
    for (size_t i = 0; i < outputs.size(); ++i) {
      const float* d = out[i].GetTensorData<float>();
      r[outputs[i]].assign(d, d + out[i].GetTensorTypeAndShapeInfo().GetElementCount());
    }
    return r;
  }
};

struct Diff {
  float max = 0, mean = 0;
};

Diff diff(const float* a, const float* b, size_t n) {
  Diff d;
  double sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const float e = std::fabs(a[i] - b[i]);
    d.max = std::max(d.max, std::isnan(e) ? INFINITY : e);
    sum += e;
  }
  d.mean = static_cast<float>(sum / static_cast<double>(n));
  return d;
}

bool isDir(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TEST(ConvBackend, PictureEqualsOnnxRuntimeAtEachBatchAndCount) {
  struct Case {
    const char* key;
    std::vector<int> frames;  // frames the reference renders
    int n;                    // frames the engine renders
  };
  const Case cases[] = {{"m4b1", {0}, 1}, {"m4b4", {0, 1, 2, 1}, 4}, {"m4b4", {2, 0, 0, 0}, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + " n=" + std::to_string(c.n));
    const Inputs in(c.frames);
    const auto ref = in.reference(model(c.key), {"rgb"}).at("rgb");
    auto engine = ka::ConvBackend::create(model(c.key), 2);
    ASSERT_EQ(engine->batch(), static_cast<int>(c.frames.size()));
    std::vector<float> out(static_cast<size_t>(c.n) * kPrior, -1.f);
    engine->render(in.pooledPtr.data(), in.priorPtr.data(), in.xs.data(), in.xd.data(), c.n, out.data());
    for (int f = 0; f < c.n; ++f) {
      const Diff d = diff(out.data() + f * kPrior, ref.data() + f * kPrior, kPrior);
      EXPECT_LE(d.max, kMaxDiff) << "frame " << f;
      EXPECT_LE(d.mean, kMeanDiff) << "frame " << f;
    }
    // Frames differ from one another, so a frame mixed up with another would show.
    if (c.n > 1) {
      EXPECT_GT(diff(out.data(), out.data() + kPrior, kPrior).mean, 4 * kMeanDiff);
    }
  }
  std::vector<float> out(kPrior);
  const Inputs in({0});
  auto engine = ka::ConvBackend::create(model("m4b1"), 1);
  for (int n : {0, 2})
    EXPECT_EQ(ka::test::refusal([&] {
                engine->render(in.pooledPtr.data(), in.priorPtr.data(), in.xs.data(), in.xd.data(), n, out.data());
              }),
              "ka_conv: bad n");
}

// The engine's dump of each stage against the same tensor of the graph, exposed as an
// output of the taps copy. Layouts: convolution activations are channel-last with the
// stored channel count, the rest as the graph holds them; tiles come in grid order.
TEST(ConvBackend, DumpedStagesEqualTheGraphsTensors) {
  const std::string dir = ::testing::TempDir() + "/conv_dump";
  ::mkdir(dir.c_str(), 0755);
  ::setenv("KA_CONV_DUMP", dir.c_str(), 1);
  auto engine = ka::ConvBackend::create(model("m4b1"), 2);
  ::unsetenv("KA_CONV_DUMP");
  const Inputs in({1});
  std::vector<float> out(kPrior);
  engine->render(in.pooledPtr.data(), in.priorPtr.data(), in.xs.data(), in.xd.data(), 1, out.data());

  struct Stage {
    const char* name;
    int c, h, w, stored;  // graph channels (NCHW) and the dump's stored channels; 0 = same layout
    int tiles;
  };
  const Stage stages[] = {
      {"pre_relu", 96, 32, 32, 96, 1},      {"e0_relu", 96, 32, 32, 96, 1},     {"e1_relu", 144, 16, 16, 144, 1},
      {"e2_relu", 192, 8, 8, 192, 1},       {"d1_relu", 144, 16, 16, 144, 1},   {"d0_relu", 96, 32, 32, 96, 1},
      {"ref_relu", 48, 64, 64, 48, 1},      {"mask_conv", 23, 64, 64, 24, 1},   {"occ_sig", 1, 64, 64, 0, 1},
      {"grid_add", 2, 64, 64, 0, 1},        {"w64", 64, 1, 1, 0, 1},            {"basisimg", 3, 256, 256, 0, 1},
      {"occ512", 1, 512, 512, 0, 1},        {"warped", 3, 512, 512, 0, 1},      {"corr0_relu", 24, 256, 256, 24, 1},
      {"corr1_relu", 24, 256, 256, 24, 1},  {"corr2_conv", 12, 256, 256, 16, 1}, {"refined", 3, 512, 512, 0, 1},
      {"tile2_relu", 32, 256, 208, 32, 6},  {"tile3_conv", 3, 256, 208, 8, 6},  {"rgb", 3, 512, 512, 0, 1},
  };
  std::vector<std::string> names;
  for (const Stage& s : stages) names.push_back(s.name);
  const auto ref = in.reference(model("m4b1_taps"), names);
  for (const Stage& s : stages) {
    SCOPED_TRACE(s.name);
    const std::vector<float> dump = readRawFile<float>(dir + "/" + s.name + ".f32");
    const std::vector<float>& g = ref.at(s.name);
    const size_t plane = static_cast<size_t>(s.h) * s.w;
    const size_t stored = s.stored ? static_cast<size_t>(s.stored) : static_cast<size_t>(s.c);
    ASSERT_EQ(dump.size(), s.tiles * plane * stored);
    ASSERT_EQ(g.size(), s.tiles * plane * s.c);
    // The graph's tensor in the dump's layout; padded channels must be exact zeros.
    std::vector<float> want(dump.size(), 0.f);
    for (int t = 0; t < s.tiles; ++t)
      for (size_t c = 0; c < static_cast<size_t>(s.c); ++c)
        for (size_t p = 0; p < plane; ++p) {
          const float v = g[(t * s.c + c) * plane + p];
          if (s.stored) want[(t * plane + p) * stored + c] = v;
          else want[(t * s.c + c) * plane + p] = v;
        }
    float scale = 0;
    for (float v : want) scale = std::max(scale, std::fabs(v));
    const Diff d = diff(dump.data(), want.data(), want.size());
    // Half precision carries 11 significant bits; errors grow through the layers
    // before each stage, so each stage is held to a fraction of its own range.
    EXPECT_LE(d.max, 0.03f * std::max(scale, 1.f)) << "range " << scale;
    EXPECT_LE(d.mean, 2e-3f * std::max(scale, 1.f)) << "range " << scale;
  }
}

TEST(ConvBackend, DumpToAMissingDirectoryWritesNothingAndRenders) {
  const std::string dir = ::testing::TempDir() + "/conv_dump_missing/deeper";
  ::setenv("KA_CONV_DUMP", dir.c_str(), 1);
  auto engine = ka::ConvBackend::create(model("m4b1"), 1);
  ::unsetenv("KA_CONV_DUMP");
  const Inputs in({0});
  std::vector<float> out(kPrior, -1.f);
  engine->render(in.pooledPtr.data(), in.priorPtr.data(), in.xs.data(), in.xd.data(), 1, out.data());
  EXPECT_FALSE(isDir(dir));
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float v) { return v >= 0.f && v <= 1.f; }));
}

// The engine's workers split every stage; the picture must not depend on how they were
// scheduled. This is also the case the race detector runs (the comparisons with ONNX
// Runtime take minutes under it).
TEST(ConvBackend, WorkersGiveTheSamePictureEveryRun) {
  auto engine = ka::ConvBackend::create(model("m4b1"), 2);
  const Inputs in({0});
  std::vector<float> first(kPrior, -1.f), again(kPrior, -2.f);
  engine->render(in.pooledPtr.data(), in.priorPtr.data(), in.xs.data(), in.xd.data(), 1, first.data());
  engine->render(in.pooledPtr.data(), in.priorPtr.data(), in.xs.data(), in.xd.data(), 1, again.data());
  EXPECT_EQ(first, again);
}

// Each broken graph: the engine's reason, graphSupported false, and the renderer asked
// for the engine renders ONNX Runtime's picture instead (where ONNX Runtime can run it).
TEST(ConvBackend, RefusedGraphsFallBackToOnnxRuntime) {
  struct Case {
    const char* key;
    const char* text;
    bool ortRuns;
  };
  const std::string prefix = "ka_conv: this graph is not the fused m4b topology this kernel implements (";
  const Case cases[] = {
      {"m4b_twopre", "pre weight (96,85,1,1) absent or ambiguous", true},
      {"m4b_nossa", "pre weight name carries no SSA counter", true},
      {"m4b_badbias", "pre bias onnx::Conv_1208 absent or not (96)", true},
      {"m4b_short", "onnx: raw size mismatch s.tile.3.weight", false},
  };
  ka::Manifest m = ka::loadManifest(bundleDir());
  ka::Identity id(m);
  const std::vector<float> xs(kKp, 0.1f), xd(kKp, 0.12f);
  const int si = 1;
  ka::Renderer plain(m, id, "m4b1", 1, "");
  ASSERT_STREQ(plain.backend(), "ort");
  const float* plainOut = plain.render(&si, xs.data(), xd.data(), 1);
  const std::vector<float> want(plainOut, plainOut + kPrior);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_FALSE(ka::ConvBackend::graphSupported(model(c.key)));
    const std::string err = ka::test::refusal([&] { ka::ConvBackend::create(model(c.key), 1); });
    EXPECT_EQ(err, c.ortRuns ? prefix + c.text + ") — use ORT for it" : std::string(c.text));
    if (!c.ortRuns) {
      EXPECT_THROW(ka::Renderer(m, id, c.key, 1, "neon"), std::exception);
      continue;
    }
    ka::Renderer r(m, id, c.key, 1, "neon");
    EXPECT_STREQ(r.backend(), "ort");
    EXPECT_EQ(r.ep(), "cpu");
    const float* got = r.render(&si, xs.data(), xd.data(), 1);
    EXPECT_LE(diff(got, want.data(), kPrior).max, 1e-5f);
  }
  EXPECT_EQ(ka::test::refusal([] { ka::ConvBackend::create(bundleDir() + "/absent.onnx", 1); }),
            "ka_conv: cannot open " + bundleDir() + "/absent.onnx");
}

// The renderer with "neon" (or KA_CONV_BACKEND=neon and no provider) runs the engine,
// returns batch crops with the padded ones repeating frame n-1, and matches ONNX
// Runtime's renderer.
TEST(ConvBackend, RendererSelectsTheEngine) {
  ka::Manifest m = ka::loadManifest(bundleDir());
  ka::Identity id(m);
  const Inputs in({2, 0});
  ka::Renderer ort(m, id, "m4b4", 2, "");
  const float* ortOut = ort.render(in.si.data(), in.xs.data(), in.xd.data(), 2);
  const std::vector<float> want(ortOut, ortOut + 4 * kPrior);
  for (const char* how : {"ep", "env"}) {
    SCOPED_TRACE(how);
    if (std::string(how) == "env") ::setenv("KA_CONV_BACKEND", "neon", 1);
    ka::Renderer r(m, id, "m4b4", 2, std::string(how) == "ep" ? "neon" : "");
    ::unsetenv("KA_CONV_BACKEND");
    EXPECT_STREQ(r.backend(), "neon");
    EXPECT_EQ(r.ep(), "neon");
    EXPECT_EQ(r.batch(), 4);
    const float* got = r.render(in.si.data(), in.xs.data(), in.xd.data(), 2);
    for (int f = 0; f < 4; ++f) {
      const Diff d = diff(got + f * kPrior, want.data() + f * kPrior, kPrior);
      EXPECT_LE(d.max, kMaxDiff) << f;
      EXPECT_LE(d.mean, kMeanDiff) << f;
    }
    EXPECT_EQ(diff(got + 1 * kPrior, got + 3 * kPrior, kPrior).max, 0.f);
    EXPECT_EQ(ka::test::refusal([&] { r.render(in.si.data(), in.xs.data(), in.xd.data(), 5); }), "render: bad n");
  }
}

// The engine renders crop 512 only: the m4b director linked into a crop-64 bundle is
// refused when the engine is asked for, and runs on ONNX Runtime's refusal path
// otherwise.
TEST(ConvBackend, OtherCropsAreRefused) {
  const std::string raw = ka::test::directorBundle("raw");
  const std::string dir = ::testing::TempDir() + "/conv_crop64";
  ::mkdir(dir.c_str(), 0755);
  if (DIR* d = ::opendir(raw.c_str())) {
    while (dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") ::symlink((raw + "/" + name).c_str(), (dir + "/" + name).c_str());
    }
    ::closedir(d);
  }
  ::symlink(model("m4b1").c_str(), (dir + "/model_m4b1.onnx").c_str());
  ka::Manifest m = ka::loadManifest(dir);
  ka::Identity id(m);
  ASSERT_EQ(m.crop, 64);
  EXPECT_EQ(ka::test::refusal([&] { ka::Renderer(m, id, "m4b1", 1, "neon"); }), "ka_conv: only crop=512 m4b bundles");
}

}  // namespace
