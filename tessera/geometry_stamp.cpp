#include "tessera/geometry_stamp.h"

#include <stdexcept>

namespace ka::tessera {

const std::array<const char*, GeometryStamp::kFields>& GeometryStamp::keys() {
  static const std::array<const char*, kFields> k = {
      "canvas_w", "canvas_h", "window_x0", "window_y0", "window_w", "window_h",
      "pad",      "band_r0",  "band_r1",   "band_c0",   "band_c1",  "shift_margin"};
  return k;
}

std::array<int32_t, GeometryStamp::kFields> GeometryStamp::toArray() const {
  return {canvas_w, canvas_h, window_x0, window_y0, window_w, window_h,
          pad,      band_r0,  band_r1,   band_c0,   band_c1,  shift_margin};
}

GeometryStamp GeometryStamp::fromArray(const int32_t* v) {
  GeometryStamp s;
  int32_t* f[kFields] = {&s.canvas_w, &s.canvas_h, &s.window_x0, &s.window_y0,
                         &s.window_w, &s.window_h, &s.pad,       &s.band_r0,
                         &s.band_r1,  &s.band_c0,  &s.band_c1,   &s.shift_margin};
  for (int i = 0; i < kFields; ++i) *f[i] = v[i];
  return s;
}

GeometryStamp GeometryStamp::fromJson(const json::JVal& obj, const std::string& context) {
  int32_t v[kFields];
  for (int i = 0; i < kFields; ++i)
    v[i] = json::truncInt32(json::reqNum(obj, keys()[i], context));
  return fromArray(v);
}

void GeometryStamp::validate() const {
  // 64-bit sums: a stamp of huge values must be reported, not wrapped into a pass.
  const int64_t wx0 = window_x0, wy0 = window_y0, ww = window_w, wh = window_h, p = pad;
  std::string list;
  auto add = [&](bool bad, const std::string& phrase) {
    if (!bad) return;
    list += ' ';
    list += phrase;
    list += ';';
  };
  auto over = [&](const char* field, int64_t v, int64_t max, const char* bound) {
    add(v > max, std::string(field) + "=" + std::to_string(v) + " over " + bound + " " + std::to_string(max));
  };
  add(ww < 1 || wh < 1, "window dims must be positive");
  add(wx0 < 0 || wx0 + ww > canvas_w, "window x-range escapes canvas");
  add(wy0 < 0 || wy0 + wh > canvas_h, "window y-range escapes canvas");
  add(band_r0 < 0 || band_r0 >= band_r1 || band_r1 > window_h, "band rows escape window");
  add(band_c0 < 0 || band_c0 >= band_c1 || band_c1 > window_w, "band cols escape window");
  add(shift_margin < 0 || pad < 1, "pad/shift_margin must be positive");
  add(p + band_r0 < shift_margin || p + band_r1 + shift_margin > wh + 2 * p,
      "stored band rows escape patch");
  add(p + band_c0 < shift_margin || p + band_c1 + shift_margin > ww + 2 * p,
      "stored band cols escape patch");
  over("canvas_w", canvas_w, kMaxCanvas, "the maximum");
  over("canvas_h", canvas_h, kMaxCanvas, "the maximum");
  // A patch shifted by more than the canvas could never land on it; the bound keeps the
  // bank a stamp asks for finite (pad and shift_margin are otherwise unbounded).
  over("stored patch band_w", bandW(), canvas_w, "the canvas width");
  over("stored patch band_h", bandH(), canvas_h, "the canvas height");
  if (!list.empty()) throw std::runtime_error("teeth: GeometryStamp incoherent:" + list);
}

std::string GeometryStamp::describe() const {
  const auto v = toArray();
  std::string s = "{";
  for (int i = 0; i < kFields; ++i) {
    if (i) s += ", ";
    s += keys()[i];
    s += '=';
    s += std::to_string(v[i]);
  }
  return s + "}";
}

}  // namespace ka::tessera
