// Heap allocations per render call, counted with a replaced global operator new.
//
// ONNX Runtime allocates a little inside every Session::Run of its own (execution frame
// bookkeeping), whoever calls it; what belongs to the renderer is the difference between
// a render call and a bare Run of the same session set-up through an I/O binding. That
// difference must be zero, and from the third call on neither count may change. (On
// ONNX Runtime 1.21 with this director: about 120 per Run, identical for both.)
#include <gtest/gtest.h>

#include "render/custom_ops.h"
#include "render/graph_rewrites.h"
#include "render/renderer.h"
#include "tests/support/count_new.h"
#include "tests/test_renderer_util.h"

namespace ka {
namespace {

using test::allocationsOf;

// The renderer's session set-up, reproduced with ONNX Runtime's API directly.
struct BareSession {
  Ort::SessionOptions so;
  Ort::Session session{nullptr};
  Ort::RunOptions ro;
  Ort::IoBinding binding{nullptr};
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  std::vector<float> pooled, prior, kd, ks, out;
  std::vector<Ort::Value> values;

  BareSession(const std::string& path, int batch, int crop) {
    so.SetIntraOpNumThreads(1);
    so.SetInterOpNumThreads(1);
    so.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
    so.AddConfigEntry("session.intra_op.allow_spinning", "0");
    so.AddConfigEntry("mlas.disable_kleidiai", "1");
    registerGridSampleFast(so);
    registerInt8ConvVNNI(so);
    ro.AddConfigEntry("memory.enable_memory_arena_shrinkage", "cpu:0");
    const std::vector<char> file = test::readRawFile<char>(path);
    GsBytes bytes(file.begin(), file.end());
    rewriteGridSampleToFast(bytes);
    normaliseStudentBlend(bytes);
    rewriteHeadCubicResize(bytes);
    session = Ort::Session(test::refEnv(), bytes.data(), bytes.size(), so);
    binding = Ort::IoBinding(session);
    const int64_t b = batch, c = crop;
    bind("pooled64", pooled, {b, 64, 32, 32}, false);
    bind("P_rgb", prior, {b, 3, c, c}, false);
    bind("kp_driving", kd, {b, 21, 3}, false);
    bind("kp_source", ks, {b, 21, 3}, false);
    bind("rgb", out, {b, 3, c, c}, true);
  }
  void bind(const char* name, std::vector<float>& v, std::vector<int64_t> shape, bool output) {
    size_t n = 1;
    for (int64_t d : shape) n *= static_cast<size_t>(d);
    v.assign(n, 0.1f);
    values.push_back(Ort::Value::CreateTensor<float>(mem, v.data(), n, shape.data(), shape.size()));
    if (output) binding.BindOutput(name, values.back());
    else binding.BindInput(name, values.back());
  }
  void run() { session.Run(ro, binding); }
};

TEST(RendererAllocations, RenderAddsNothingToOrtsOwnRun) {
  test::LoadedBundle b = test::loadBundle("raw");
  const std::string dir = test::directorBundle("raw");
  const test::DriveRows d = test::driveRows(dir);
  for (const char* key : {"b1", "b4"}) {
    Renderer r(b.m, *b.id, key, 1, "");
    const int n = r.batch();
    BareSession bare(b.m.modelPath(key), n, b.m.crop);
    r.render(d.si.data(), d.xs.data(), d.xd.data(), n);  // first calls may size arenas
    bare.run();
    std::vector<long> rendered, ran;
    for (int call = 0; call < 4; ++call) {
      // Short batches too: the padding path copies, it must not allocate either.
      const int count = call == 1 ? 1 : n;
      rendered.push_back(allocationsOf([&] { r.render(d.si.data() + call % 2, d.xs.data(), d.xd.data(), count); }));
      ran.push_back(allocationsOf([&] { bare.run(); }));
    }
    std::printf("%s: operator new calls per render %ld %ld %ld %ld, per bare Run %ld %ld %ld %ld\n", key,
                rendered[0], rendered[1], rendered[2], rendered[3], ran[0], ran[1], ran[2], ran[3]);
    for (int call = 0; call < 4; ++call) EXPECT_EQ(rendered[call], ran[call]) << key << " call " << call;
    // ONNX Runtime settles after its second Run; from then on the count is a constant.
    for (int call = 2; call < 4; ++call) EXPECT_EQ(rendered[call], rendered[1]) << key << " call " << call;
  }
}

}  // namespace
}  // namespace ka
