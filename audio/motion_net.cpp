#include "audio/motion_net.h"

#include <cstdlib>
#include <stdexcept>
#include <unordered_map>

namespace ka::audio {

namespace {

std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) t += (i ? "," : "") + std::to_string(s[i]);
  return t + "]";
}

bool spinRequested() {
  const char* v = std::getenv("KA_ORT_SPIN");
  return v && std::string(v) == "1";
}

}  // namespace

const char* coremlComputeUnits(const std::string& ep) {
  const std::string units = ep.size() > 7 && ep[6] == '-' ? ep.substr(7) : "";
  if (units == "cpu") return "CPUOnly";
  if (units == "gpu") return "CPUAndGPU";
  if (units == "ane") return "CPUAndNeuralEngine";
  return "ALL";
}

Net Net::open(Ort::Env& env, const std::string& path, int threads, const std::string& ep,
              const std::string& cacheDir) {
  Ort::SessionOptions options;
  options.SetIntraOpNumThreads(threads);
  options.SetInterOpNumThreads(1);
  options.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  options.AddConfigEntry("session.intra_op.allow_spinning", spinRequested() ? "1" : "0");
  if (!ep.empty()) {
    if (ep.rfind("coreml", 0) != 0) throw std::runtime_error("ka_motion: unknown ep '" + ep + "'");
    const std::unordered_map<std::string, std::string> providerOptions = {
        {"ModelFormat", "MLProgram"},
        {"MLComputeUnits", coremlComputeUnits(ep)},
        {"ModelCacheDirectory", cacheDir},
    };
    try {
      options.AppendExecutionProvider("CoreML", providerOptions);
    } catch (const std::exception& e) {
      // The host asked for this provider by name; serving the CPU instead would hide
      // that its setting has no effect, so the request is refused with the reason.
      throw std::runtime_error("ka_motion: ep '" + ep +
                               "' needs ONNX Runtime's CoreML execution provider, which the loaded ONNX Runtime "
                               "does not carry (" + e.what() + "); pass an empty ep for the CPU");
    }
  }
  Net net;
  net.path_ = path;
  try {
    net.session_ = Ort::Session(env, path.c_str(), options);
  } catch (const Ort::Exception& e) {
    throw std::runtime_error("ka_motion: cannot open " + path + ": " + e.what());
  }
  net.runOptions_ = Ort::RunOptions();
  Ort::AllocatorWithDefaultOptions alloc;
  for (size_t i = 0; i < net.session_.GetInputCount(); ++i)
    net.inNames_.emplace_back(net.session_.GetInputNameAllocated(i, alloc).get());
  for (size_t i = 0; i < net.session_.GetOutputCount(); ++i)
    net.outNames_.emplace_back(net.session_.GetOutputNameAllocated(i, alloc).get());
  for (const auto& n : net.inNames_) net.inPtrs_.push_back(n.c_str());
  for (const auto& n : net.outNames_) net.outPtrs_.push_back(n.c_str());
  return net;
}

void Net::expect(const std::vector<std::vector<int64_t>>& inputs,
                 const std::vector<std::vector<int64_t>>& outputs) {
  if (inNames_.size() != inputs.size() || outNames_.size() < outputs.size())
    throw std::runtime_error("ka_motion: " + path_ + " declares " + std::to_string(inNames_.size()) + " inputs and " +
                             std::to_string(outNames_.size()) + " outputs, expected " + std::to_string(inputs.size()) +
                             " inputs and " + std::to_string(outputs.size()) + " output(s)");
  auto check = [&](const char* kind, size_t i, const std::string& name, std::vector<int64_t> declared,
                   const std::vector<int64_t>& want) {
    // The runtime reports a value without a shape as rank 0; none of these networks
    // takes or gives a scalar, so rank 0 can only mean the shape was left open.
    if (declared.empty()) {
      untrusted_ += (untrusted_.empty() ? "" : ", ") + std::string(kind) + " " + std::to_string(i) + " '" + name +
                    "' (expected " + shapeText(want) + ")";
      return;
    }
    bool ok = declared.size() == want.size();
    for (size_t d = 0; ok && d < want.size(); ++d) ok = declared[d] < 0 || declared[d] == want[d];
    if (!ok)
      throw std::runtime_error("ka_motion: " + path_ + " " + kind + " " + std::to_string(i) + " '" + name +
                               "' is declared " + shapeText(declared) + ", expected " + shapeText(want));
  };
  for (size_t i = 0; i < inputs.size(); ++i)
    check("input", i, inNames_[i], session_.GetInputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape(), inputs[i]);
  for (size_t i = 0; i < outputs.size(); ++i)
    check("output", i, outNames_[i], session_.GetOutputTypeInfo(i).GetTensorTypeAndShapeInfo().GetShape(),
          outputs[i]);
}

void Net::run(const Ort::Value* inputs, Ort::Value* outputs, size_t outputCount) {
  if (untrusted_.empty()) {
    session_.Run(runOptions_, inPtrs_.data(), inputs, inPtrs_.size(), outPtrs_.data(), outputs, outputCount);
    return;
  }
  // The outputs are bound with the expected shapes, so the runtime itself refuses a
  // result of another shape; the refusal only needs to say what was taken on trust.
  try {
    session_.Run(runOptions_, inPtrs_.data(), inputs, inPtrs_.size(), outPtrs_.data(), outputs, outputCount);
  } catch (const Ort::Exception& e) {
    throw std::runtime_error("ka_motion: " + path_ + " declares no shape for " + untrusted_ +
                             ", and its first run on those shapes failed: " + e.what());
  }
  untrusted_.clear();
}

}  // namespace ka::audio
