#pragma once
// One network of the motion generator: an ONNX Runtime session with the names it
// declares, run over tensors the caller made once over its own buffers.
#include <onnxruntime_cxx_api.h>

#include <string>
#include <vector>

namespace ka::audio {

class Net {
 public:
  // Opens `path` with `threads` intra-op threads, optimisation "all", spinning off
  // unless KA_ORT_SPIN is "1", on the execution provider named by `ep` ("" the CPU,
  // "coreml", "coreml-cpu", "coreml-gpu", "coreml-ane").
  static Net open(Ort::Env& env, const std::string& path, int threads, const std::string& ep,
                  const std::string& cacheDir);

  // Refuses a network whose input or output counts differ, or whose declared shapes
  // differ from the expected ones in a fixed dimension. A value that declares no shape
  // at all (valid ONNX) is taken on trust until the first run.
  void expect(const std::vector<std::vector<int64_t>>& inputs, const std::vector<std::vector<int64_t>>& outputs);

  // Runs with the inputs in declared order, filling the first outputs (whose tensors
  // have the expected shapes). When expect() took a shape on trust, the first run that
  // fails says which values declared none and what they were given.
  void run(const Ort::Value* inputs, Ort::Value* outputs, size_t outputCount);

  const std::string& path() const { return path_; }

 private:
  std::string path_;
  Ort::Session session_{nullptr};
  Ort::RunOptions runOptions_{nullptr};
  std::vector<std::string> inNames_, outNames_;
  std::vector<const char*> inPtrs_, outPtrs_;
  // "input 0 'mel' (expected [1,80,21])" for every value expect() found without a shape; cleared
  // by the first successful run.
  std::string untrusted_;
};

// The ONNX Runtime name of the CoreML compute units a "coreml-<units>" ep asks for.
const char* coremlComputeUnits(const std::string& ep);

}  // namespace ka::audio
