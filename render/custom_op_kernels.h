#pragma once
// Operator descriptors behind the registration functions of custom_ops.h. Each is a
// process-wide static created on first call.
#include <onnxruntime_cxx_api.h>

namespace ka::ops {

const OrtCustomOp* gridSampleFastOp();
const OrtCustomOp* warpDirectorOp();
const OrtCustomOp* int8ConvVnniOp();

// The rank-4 shape of a kernel input; anything else is refused with the operator's name.
std::vector<int64_t> rank4Shape(const Ort::ConstValue& v, const char* op, const char* input);

}  // namespace ka::ops
