// Proves the dependency chain: the ONNX Runtime headers and library the bootstrap put
// in place agree, and a model made by the onnx package runs through the C++ API.
#include <gtest/gtest.h>

#include <onnxruntime_cxx_api.h>

#include <array>
#include <string>

#include "tests/support/test_support.h"

namespace {

TEST(OrtSmoke, RuntimeIsNotOlderThanHeaders) {
  const std::string v = Ort::GetVersionString();
  int major = 0, minor = 0;
  ASSERT_EQ(std::sscanf(v.c_str(), "%d.%d", &major, &minor), 2) << v;
  EXPECT_GE(major * 1000 + minor, 1 * 1000 + ORT_API_VERSION) << "runtime " << v << " headers API " << ORT_API_VERSION;
}

TEST(OrtSmoke, RunsAModelMadeByOnnx) {
  const std::string model = ka::test::fixtureDir() + "/smoke/add_mul.onnx";
  if (!ka::test::exists(model)) GTEST_SKIP() << "fixture missing: " << model;
  Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "ka-smoke");
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  Ort::Session session(env, model.c_str(), so);
  ASSERT_EQ(session.GetInputCount(), 2u);

  std::array<float, 6> a{1, 2, 3, 4, 5, 6}, b{0.5f, -1, 2, 0, 10, -3};
  std::array<int64_t, 2> shape{2, 3};
  auto mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::Value in[2] = {Ort::Value::CreateTensor<float>(mem, a.data(), a.size(), shape.data(), 2),
                      Ort::Value::CreateTensor<float>(mem, b.data(), b.size(), shape.data(), 2)};
  const char* inNames[] = {"a", "b"};
  const char* outNames[] = {"y"};
  auto out = session.Run(Ort::RunOptions{nullptr}, inNames, in, 2, outNames, 1);
  const float* y = out[0].GetTensorData<float>();
  for (size_t i = 0; i < a.size(); ++i) EXPECT_FLOAT_EQ(y[i], (a[i] + b[i]) * a[i]) << i;
}

}  // namespace
