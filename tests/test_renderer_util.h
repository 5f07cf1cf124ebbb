#pragma once
// Shared by the renderer tests: the fixture bundles with their directors, the bundles'
// raw members read back independently of the library, and ONNX Runtime run plainly on a
// director file as the reference a renderer must reproduce.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <onnxruntime_cxx_api.h>

#include "bundle/identity.h"
#include "bundle/manifest.h"
#include "tests/support/test_support.h"

namespace ka::test {

inline std::string directorBundle(const std::string& name) {
  const std::string dir = fixtureDir() + "/directors/" + name;
  if (!exists(dir + "/manifest.json")) throw std::runtime_error("fixture missing: " + dir);
  return dir;
}

struct LoadedBundle {
  Manifest m;
  std::unique_ptr<Identity> id;
};

inline LoadedBundle loadBundle(const std::string& name) {
  LoadedBundle b;
  b.m = loadManifest(directorBundle(name));
  b.id = std::make_unique<Identity>(b.m);
  return b;
}

template <typename T>
std::vector<T> readRawFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) throw std::runtime_error("cannot read " + path);
  const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  std::vector<T> out(bytes.size() / sizeof(T));
  std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
  return out;
}

// Half -> float written out from the format, independent of the library.
inline float halfRef(uint16_t h) {
  const int e = (h >> 10) & 31, m = h & 1023;
  const double s = (h & 0x8000) ? -1.0 : 1.0;
  if (e == 0) return static_cast<float>(s * std::ldexp(double(m), -24));
  if (e == 31) return m ? NAN : static_cast<float>(s * INFINITY);
  return static_cast<float>(s * std::ldexp(double(m + 1024), e - 25));
}

// Frames [first, first + n) of a headerless .f16 member of `per` halves a frame.
inline std::vector<float> halfFrames(const std::string& path, size_t per, const std::vector<int>& frames) {
  const std::vector<uint16_t> all = readRawFile<uint16_t>(path);
  std::vector<float> out;
  for (int f : frames)
    for (size_t i = 0; i < per; ++i) out.push_back(halfRef(all.at(static_cast<size_t>(f) * per + i)));
  return out;
}

// The idle-loop keypoint rows of a bundle: 63 floats a row.
struct DriveRows {
  std::vector<float> xs, xd;
  std::vector<int32_t> si;
};

inline DriveRows driveRows(const std::string& bundleDir) {
  DriveRows r;
  r.xs = readRawFile<float>(bundleDir + "/drive/xs.f32");
  r.xd = readRawFile<float>(bundleDir + "/drive/xd.f32");
  r.si = readRawFile<int32_t>(bundleDir + "/drive/si.i32");
  return r;
}

inline Ort::Env& refEnv() {
  static Ort::Env e(ORT_LOGGING_LEVEL_WARNING, "ka-test");
  return e;
}

// The director file as it is, run by ONNX Runtime with no rewrite and no custom domain.
struct RefInput {
  const char* name;
  std::vector<float>* data;
  std::vector<int64_t> shape;
};

inline std::vector<float> runReference(const std::string& modelPath, const std::vector<RefInput>& inputs) {
  Ort::SessionOptions so;
  so.SetIntraOpNumThreads(1);
  so.SetGraphOptimizationLevel(ORT_DISABLE_ALL);
  Ort::Session s(refEnv(), modelPath.c_str(), so);
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtDeviceAllocator, OrtMemTypeDefault);
  std::vector<Ort::Value> values;
  std::vector<const char*> names;
  for (const RefInput& in : inputs) {
    values.push_back(Ort::Value::CreateTensor<float>(mem, in.data->data(), in.data->size(), in.shape.data(),
                                                     in.shape.size()));
    names.push_back(in.name);
  }
  const char* outName = "rgb";
  std::vector<Ort::Value> out = s.Run(Ort::RunOptions(), names.data(), values.data(), values.size(), &outName, 1);
  const float* p = out[0].GetTensorData<float>();
  return std::vector<float>(p, p + out[0].GetTensorTypeAndShapeInfo().GetElementCount());
}

}  // namespace ka::test
