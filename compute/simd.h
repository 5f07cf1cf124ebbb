#pragma once
// ka::simd: the library's hand-vectorised inner loops. Each kernel is written once
// against Highway, compiled for every target Highway offers on the build's architecture,
// and dispatched at run time to the best target the processor supports. Kernels are
// pure functions over caller-owned buffers: no allocation (conv3x3Range keeps one
// scratch per calling thread), no locks, no errors, safe to call from many threads.
//
// Half floats are IEEE 754 binary16 carried as uint16_t. Conversions to half round to
// nearest even, produce subnormals, flush below the smallest subnormal to signed zero,
// overflow to signed infinity and keep NaN a quiet NaN with its top payload bits.
#include <cstddef>
#include <cstdint>

namespace ka::simd {

// dst[i] = float(src[i])
void f16ToF32(const uint16_t* src, float* dst, size_t n);
// dst[i] = half(src[i])
void f32ToF16(const float* src, uint16_t* dst, size_t n);
// out[i] = float(half(a[i])) * b[i], the product in single precision.
void roundF16Mul(const float* a, const float* b, float* out, size_t n);
// dst[c*planeStride + i] = half(rgb[3*i + c] / 255.0f) for c in 0..2.
void rgb8ToPlanarF16(const uint8_t* rgb, uint16_t* dst, size_t planeStride, size_t n);
// One RGB24 row from limited-range BT.601 4:2:0 (chromaStep 1 for planar chroma rows,
// 2 for interleaved NV12 rows with v = u + 1).
void yuv420RowToRgb24(const uint8_t* y, const uint8_t* u, const uint8_t* v, int width,
                      int chromaStep, uint8_t* rgb);
// One frame row of the paste compositor: mask-weighted Lanczos-8 resample of the
// crop src4 (side x side pixels of R, G, B, unused; 0..255 scale) blended into
// outRow[3*x] for x in [x0, x1].
void pasteLanczos8Row(const float* src4, int side, const uint8_t* mask, const float* lanczos,
                      const float* bilinear, const int* fx, const int* fy, int dx, int dy,
                      int x0, int x1, uint8_t* outRow);
// The Lanczos table of pasteLanczos8Row (32 phases x 8 taps) with each weight repeated
// for the four floats of a texel: kPasteSpreadFloats floats. Built once per table for
// pasteLanczos8RowSpread, which is pasteLanczos8Row without rebuilding it for every row.
inline constexpr size_t kPasteSpreadFloats = 32 * 32;
void pasteLanczosSpread(const float* lanczos, float* spread);
void pasteLanczos8RowSpread(const float* src4, int side, const uint8_t* mask, const float* lanczos,
                            const float* spread, const float* bilinear, const int* fx, const int* fy,
                            int dx, int dy, int x0, int x1, uint8_t* outRow);
// pasteLanczos8RowSpread's bytes from the crop also as three planes (side x side floats
// each, the same values as src4's channels). Where the target's vectors hold eight floats
// it resamples and blends eight pixels at a time from the planes; elsewhere it is
// pasteLanczos8RowSpread on src4.
void pasteLanczos8RowPlanar(const float* const* planes, const float* src4, int side, const uint8_t* mask,
                            const float* lanczos, const float* spread, const float* bilinear, const int* fx,
                            const int* fy, int dx, int dy, int x0, int x1, uint8_t* outRow);
// Whether pasteLanczos8RowPlanar on the dispatched target reads the planes (and not src4).
bool pasteRowReadsPlanes();
// The paste compositor's unsharp mask by rows. unsharpRowH: out[x] = Σ_j g[j] pad[x + j]
// for x < n. unsharpRowV: with a = Σ_j g[j] rows[j * stride + x] and
// v = (amount + 1)(in[x] scale) - amount a, out[x] = v clamped to [0, 255] (0 for NaN).
// Sums run over j in order from zero, every product and sum rounded to single.
void unsharpRowH(const float* pad, const float* g, int k, int n, float* out);
void unsharpRowV(const float* rows, size_t stride, const float* g, int k, int n, const float* in,
                 float scale, float amount, float* out);
// 3x3 convolution, stride 1, zero padding 1, with bias: output planes [begin, end) of
// batch x cout planes of h x w.
void conv3x3Range(const float* in, int batch, int cin, int h, int w, const float* weight,
                  const float* bias, int cout, float* out, int begin, int end);
// conv3x3Range over planes that carry their zero border, with the bias, an added plane
// set and a ReLU fused into the store: output planes [begin, end) of batch x cout.
// Input channel c of item n, pixel (y, x), is at in[n * in_item + c * in_plane +
// (y + 1) * in_stride + x + 1] with zeros in padded row 0 and h + 1 and padded column 0
// and w + 1; the buffer must be readable for 32 floats past the last plane read. Output
// channel o of item n, pixel (y, x), goes to out[n * out_item + o * out_plane +
// y * out_stride + x], and nothing else is written. `add`, when given, holds cout planes
// of h x w added to every item's output before the ReLU. The same bits as conv3x3Range
// followed by the addition and the ReLU.
struct PaddedConvArgs {
  const float* in;
  size_t in_stride, in_plane, in_item;
  int batch, cin, h, w;
  const float* weight;  // cout x cin x 3 x 3
  const float* bias;    // cout
  int cout;
  const float* add;
  bool relu;
  float* out;
  size_t out_stride, out_plane, out_item;
};
void paddedConv3x3Range(const PaddedConvArgs& args, int begin, int end);
// One output row of an integer convolution. Activations are 16-bit codes laid out
// pixel-major (`xstep` codes from one output pixel's window to the next, `tapOffset[t]`
// from a window's origin to tap t's first channel); weights are packed
// [tap][channel pair][mgp output channels][2]. acc[ox * mgp + m], ox < wo, m < mgp, is
// the sum over taps t and pairs p of w[t][p][m][i] * act[ox * xstep + tapOffset[t] + 2p + i]
// (i = 0, 1) in 32-bit integers; mgp must be a multiple of int8ConvChannelBlock(), which
// is the dispatched target's channel block.
struct Int8ConvRowArgs {
  const int16_t* act;
  const ptrdiff_t* tapOffset;
  int taps, pairs;
  ptrdiff_t xstep;
  const int16_t* w;
  int mgp, wo;
};
void int8ConvRow(const Int8ConvRowArgs& args, int32_t* acc);
size_t int8ConvChannelBlock();
// out[i] = clamp(rint(x[i] / sx) + zp, 0, 255) - zp (a NaN gives the code 0, i.e. -zp).
void quantiseCentred(const float* x, size_t n, float sx, int zp, int16_t* out);
// Lowers *lo to the smallest and raises *hi to the largest of x[0..n); NaNs are ignored.
void widenRange(const float* x, size_t n, float* lo, float* hi);
// Retrieval distance terms reproducing a half-precision reference step by step.
float retrieveTermExactRange(const uint16_t* a, const uint16_t* b, const float* weight, size_t n,
                             size_t lo, size_t hi);
float retrieveTermExact(const uint16_t* a, const uint16_t* b, const float* weight, size_t n);
float retrieveTermPooled(const uint16_t* a, const uint16_t* b, const uint16_t* weight, size_t n);
// A run of n pixels of a donor's RGB bytes scored against the frame from pixel `at` of
// its planes on.
struct RgbRun {
  const uint8_t* rgb;
  uint32_t at, n;
};
// The exact retrieval term over runs of donor bytes, summed in double: per pixel j (the
// run's k-th, at + k), float(half(e)) * s[j] with e = (t_0 + t_1 + t_2) / 3,
// t_c = |float(half(h(rgb[3k + c]) - f_c[j]))|, h(v) = float(half(v / 255)); f_c are the
// frame's planes already rounded that way. Pixels with s[j] = 0 add nothing. The same
// per-pixel values as the 256 x 256 difference table gives, without a lookup per
// channel.
double retrieveExactRuns(const RgbRun* runs, size_t count, const float* f0, const float* f1,
                         const float* f2, const float* s);

// Name of the best target the processor supports ("AVX2", "NEON", ...), for diagnostics.
const char* target();

}  // namespace ka::simd

namespace ka {
// Scalar half -> float over n values (same results as simd::f16ToF32).
void halfToFloat(const uint16_t* src, float* dst, size_t n);
// Scalar float -> half of one value; unlike simd::f32ToF16, infinity and NaN both become
// a signed infinity (0x7C00 / 0xFC00).
uint16_t f32ToF16(float v);
}  // namespace ka
