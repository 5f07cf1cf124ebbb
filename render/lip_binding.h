#pragma once
// Binding a lip contour into the director's compose alpha. The director composes its
// rendered mouth over the warped source as  warped * (1 - a) + rendered * a  with an
// alpha a = Clip(...) it generates itself (an over-covering ellipse). The rewrite adds a
// graph input "lip_delivery" [batch, 1, canvas, canvas], a mask the host rasterises from
// the driving keypoints every frame, and feeds both readers of a with Min(a, lip_delivery)
// instead, so the composed region can never reach beyond the contour. A mask of ones
// leaves the output exactly as it was.
#include <string>

#include "render/onnx_codec.h"

namespace ka {

// On success replaces the model, stores the compose canvas (pixels per side) in *canvas
// and the batch declared for "lip_delivery" in *batch (-1 when written dynamic); either
// pointer may be null. On refusal the model is unchanged and `reason` says why.
bool rewriteBindLipContour(GsBytes& model, std::string& reason, int* canvas, int* batch);

// The checks a rebuilt model must pass before it is accepted, for the alpha tensor `alpha`:
// the input and the Min node are present, the Min is the alpha's only reader, and every
// node reads only tensors made earlier in file order. False with the reason otherwise.
bool checkLipBinding(const GsBytes& rebuilt, const std::string& alpha, std::string& reason);

}  // namespace ka
