#pragma once
// ka::tessera::LipContour: a bundle's lip template, a polygon deformed every frame onto
// the frame's lip keypoints (by scaling a canonical outline, or through a fitted
// anchor-linear map), filled and feathered outward by a chamfer distance transform.
// It bounds where borrowed teeth may land, and over the whole canvas it is the mask the
// renderer feeds its director in place of the director's own ellipse.
//
// The scratch buffers are members: one LipContour serves one thread at a time.
#include <cstdint>
#include <string>
#include <vector>

#include "tessera/box.h"

namespace ka::tessera {

class UnifiedPi;

class LipContour {
 public:
  static constexpr int kMaxAnchors = 8;

  LipContour(int canvas, float feather_px, const double* u_canon, int nv, const int* lip_idx,
             int n_idx);

  // Parses the text of "lip_template.v1.json" for an engine composing on `canvas`
  // pixels; refusals read "lip_template.v1.json: <reason>".
  static LipContour fromTemplateJson(const std::string& text, int canvas);

  // Replaces the scaled outline by out = b + W f (rows 2nv, width 2k over k anchors).
  void attachMap(const double* W, const double* b, int rows, int width, const int* anchor_rows,
                 int k);

  int canvas() const { return canvas_; }
  float featherPx() const { return feather_px_; }
  int nv() const { return nv_; }
  int mapWidth() const { return map_width_; }
  const std::vector<int32_t>& lipIdx() const { return lip_idx_; }

  // 2nv doubles: (x, y) per vertex, in canvas pixels.
  void polygon(const float* kp, double* out) const;
  // The polygon's bounds grown by the feather and two pixels, clamped to the canvas.
  Box box(const double* poly) const;
  // Fills the polygon into a raster of the box's size (255 inside and on the outline).
  void fillScanline(const double* poly, const Box& b, uint8_t* out) const;  // reuses scratch
  // Pixels the last fill's outline walked (its cost; bounded by the box, not the polygon).
  int64_t outlineSteps() const { return outline_steps_; }
  // Writes the feathered contour into the box's pixels of an N x N map.
  void contourF32(const double* poly, const Box& b, float* canvas_map);
  // The feathered contour of these keypoints over a zeroed N x N map.
  void contourF32Canvas(const float* kp, float* out);
  // pi clipped by the contour, N x N.
  void deliveredU8(const float* kp, const UnifiedPi& pi, uint8_t* out);
  // Clips the `b` region of an N x N mask by the contour; false when nothing survives.
  bool shrinkU8InPlace(const float* kp, const Box& b, uint8_t* mask);
  bool deliveredU8AndShift(const float* kp, const UnifiedPi& pi, const double* canon,
                           uint8_t* out, int* row_shift, int* col_shift);

 private:
  int32_t canvas_;
  float feather_px_;
  int32_t nv_;
  std::vector<double> u_canon_;
  std::vector<int32_t> lip_idx_;
  std::vector<double> W_, b_;
  int32_t map_width_ = 0;
  // Per-frame scratch, grown on first use and reused after.
  std::vector<uint8_t> raster_;
  std::vector<float> dist_;
  std::vector<float> map_;
  std::vector<double> poly_;
  struct Edge {
    int32_t y0, y1;   // rows [y0, y1)
    int64_t x, dxdy;  // 16.16 fixed point: x at row y0, and the slope
  };
  mutable std::vector<Edge> edges_;
  mutable std::vector<int64_t> xs_;
  mutable int64_t outline_steps_ = 0;
};

}  // namespace ka::tessera
