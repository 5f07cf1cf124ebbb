// The ka_ family's single-frame functions: render a crop, paste it into its driver
// frame, fetch a raw driver frame. Every argument check runs before any work, so a
// refused call changes nothing.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "ka/context.h"
#include "ka/ka.h"
#include "ka/ka_error.h"

using ka::capi::kaClearErr;
using ka::capi::kaSetErr;

namespace {

bool validSi(const ka_ctx* ctx, int si) { return si >= 0 && si < ctx->NT(); }

// A NaN or infinite keypoint renders a face-less picture that would pass for a result,
// so the first such row is named instead. "" when every row is finite.
std::string nonFiniteRow(const float* kp, const char* set) {
  for (int r = 0; r < ka::kHostKpRows; ++r) {
    const float* p = kp + 3 * r;
    if (std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2])) continue;
    char text[200];
    std::snprintf(text, sizeof text,
                  "%s keypoint row %d of %d is not finite (x=%g, y=%g, z=%g) — refusing to render from it", set,
                  r, ka::kHostKpRows, p[0], p[1], p[2]);
    return text;
  }
  return "";
}

// Shared tail of the two RGBA functions, run after a successful render.
int pasteLastRgba(ka_ctx* ctx, int si, uint8_t* out, size_t cap) {
  const size_t pixels = static_cast<size_t>(ctx->W()) * static_cast<size_t>(ctx->H());
  if (!out || cap < pixels * 4) {
    kaSetErr("ka_render_*_rgba", "out buffer too small");
    return 0;
  }
  const uint8_t* rgb = ka_paste_last(ctx, si);
  if (!rgb) return 0;
  for (size_t i = 0; i < pixels; ++i) {
    out[4 * i + 0] = rgb[3 * i + 0];
    out[4 * i + 1] = rgb[3 * i + 1];
    out[4 * i + 2] = rgb[3 * i + 2];
    out[4 * i + 3] = 255;
  }
  return 1;
}

}  // namespace

extern "C" {

const float* ka_render_kp_crop(ka_ctx* ctx, int si, const float* kp_source,
                               const float* kp_driving) {
  kaClearErr();
  if (!ctx || !kp_source || !kp_driving || !validSi(ctx, si)) {
    kaSetErr("ka_render_kp_crop", "bad args");
    return nullptr;
  }
  try {
    for (const auto& [kp, set] : {std::pair{kp_source, "source"}, std::pair{kp_driving, "driving"}}) {
      const std::string bad = nonFiniteRow(kp, set);
      if (!bad.empty()) throw std::runtime_error(bad);
    }
    return ctx->render(si, kp_source, kp_driving);
  } catch (const std::exception& e) {
    kaSetErr("ka_render_kp_crop", e);
    return nullptr;
  }
}

const float* ka_render_drive_crop(ka_ctx* ctx, int row) {
  kaClearErr();
  if (!ctx || row < 0 || row >= ctx->frames()) {
    kaSetErr("ka_render_drive_crop", "bad frame index");
    return nullptr;
  }
  const ka::Drive& d = ctx->drive();
  const size_t off = static_cast<size_t>(row) * ka::kHostKpRows * 3;
  return ka_render_kp_crop(ctx, d.si[row], d.xs.data() + off, d.xd.data() + off);
}

int ka_paste_crop(ka_ctx* ctx, int si, const float* crop, uint8_t* out, size_t cap) {
  kaClearErr();
  if (!ctx || !crop || !out || !validSi(ctx, si) || cap < ctx->frameBytes()) {
    kaSetErr("ka_paste_crop", "bad args / out too small");
    return 0;
  }
  try {
    ctx->paste(si, crop, out);
    return 1;
  } catch (const std::exception& e) {
    kaSetErr("ka_paste_crop", e);
    return 0;
  }
}

const uint8_t* ka_paste_last(ka_ctx* ctx, int si) {
  kaClearErr();
  if (!ctx || !ctx->lastCrop() || !validSi(ctx, si)) {
    kaSetErr("ka_paste_last", "bad args / no prior render");
    return nullptr;
  }
  try {
    return ctx->pasteLast(si);
  } catch (const std::exception& e) {
    kaSetErr("ka_paste_last", e);
    return nullptr;
  }
}

int ka_render_kp_rgba(ka_ctx* ctx, int si, const float* kp_source, const float* kp_driving,
                      uint8_t* out, size_t cap) {
  if (!ka_render_kp_crop(ctx, si, kp_source, kp_driving)) return 0;
  return pasteLastRgba(ctx, si, out, cap);
}

int ka_render_drive_rgba(ka_ctx* ctx, int row, uint8_t* out, size_t cap) {
  if (!ka_render_drive_crop(ctx, row)) return 0;
  return pasteLastRgba(ctx, ctx->drive().si[row], out, cap);
}

const uint8_t* ka_target_frame(ka_ctx* ctx, int si) {
  kaClearErr();
  if (!ctx || !validSi(ctx, si)) {
    kaSetErr("ka_target_frame", "bad args");
    return nullptr;
  }
  try {
    return ctx->targetFrame(si);
  } catch (const std::exception& e) {
    kaSetErr("ka_target_frame", e);
    return nullptr;
  }
}

}  // extern "C"
