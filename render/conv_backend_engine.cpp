// The fused m4b director in half precision: the U-shaped motion network at 32..64, the
// basis image, the warp and composition at 512, the correction at 256 and the tiled
// refinement at 512. Convolutions keep channel-last halves with a one-pixel zero border
// around every 3 x 3 input; the glue between them works in floats and rounds to half
// where a convolution reads it.
#include "render/conv_backend_engine.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "compute/simd.h"
#include "compute/simd_conv_f16.h"
#include "compute/simd_winograd.h"
#include "base/log.h"
#include "render/conv_backend_pack.h"
#include "render/conv_backend_workers.h"

namespace ka {
namespace {

constexpr int kRows = 21;
constexpr int kCrop = 512;
constexpr size_t kPlane = static_cast<size_t>(kCrop) * kCrop;
constexpr size_t kCropFloats = 3 * kPlane;
constexpr size_t kBasisLen = 196608;
constexpr int kTileH = 256, kTileW = 208;
// Column starts of the three tile columns and the tile-local columns each one
// contributes to the picture: every column comes from the tile whose interior holds it.
constexpr int kTileX[3] = {0, 152, 304};
constexpr int kKeep[3][2] = {{0, 180}, {28, 180}, {28, 208}};

using H16 = std::vector<uint16_t>;
using F32 = std::vector<float>;

size_t bordered(int h, int w, int c) { return static_cast<size_t>(h + 2) * (w + 2) * c; }

// Per-frame working set, sized once.
struct Frame {
  H16 preIn, e0In, e0Out, e1In, e1Out, e2In, e2Out, d1In, d1Out, d0In, d0Out, refIn, mkIn;
  F32 mk, grid, occ64, w64, basisImg, warped, occ512, refined;
  H16 corr0In, corr1In, corr2In;
  F32 c2;
  H16 tileImg, t0In, tA, tB;
  F32 t3Out;
};

// Bilinear resampling by an integer factor with half-pixel centres, edges clamped.
struct Resample {
  std::vector<int> i0, i1;
  std::vector<float> frac;
  Resample(int in, int out) : i0(out), i1(out), frac(out) {
    const float scale = static_cast<float>(in) / static_cast<float>(out);
    for (int o = 0; o < out; ++o) {
      float s = (static_cast<float>(o) + 0.5f) * scale - 0.5f;
      if (s < 0.f) s = 0.f;
      const int a = std::min(static_cast<int>(s), in - 1);
      i0[o] = a;
      i1[o] = std::min(a + 1, in - 1);
      frac[o] = s - static_cast<float>(a);
    }
  }
};

class M4bEngine final : public ConvBackend {
 public:
  M4bEngine(const OnnxModel& m, const M4bTopology& topo, int threads);
  int batch() const override { return batch_; }
  void render(const uint16_t* const* pooled, const uint16_t* const* prior, const float* kpSource,
              const float* kpDriving, int n, float* out) override;

 private:
  using HBuf = H16 Frame::*;
  using FBuf = F32 Frame::*;
  // Runs a layer over n frames, one task per output row. The input of row y starts at
  // row y of `in` (bordered inputs start at the border); the output of pixel (y, x) is
  // at outOffset + y * outRow + x * outPix of outH (halves) or outF (floats).
  // Only output columns [x0, x1) are computed when x1 > 0.
  void conv(const ConvLayer& L, int n, HBuf in, size_t inRow, HBuf outH, FBuf outF, size_t outOffset, size_t outRow,
            size_t outPix, int x0 = 0, int x1 = 0);
  void phaseA(int f, const uint16_t* pooled, const float* ks, const float* kd);
  void motion(int f, const float* ks, const float* kd);
  void basisImages(int n);
  void warpRows(int f, const uint16_t* prior, int y0, int y1);
  void corrInputRows(int f, int y0, int y1);
  void refineRows(int f, int y0, int y1);
  void tileInput(int f, int ty, int tx, int y);
  void combine(int f, int ty, int col, int y, float* out);

  void dumpHalf(const char* name, HBuf buf, int n, int h, int w, int c, bool border) const;
  void dumpFloat(const char* name, FBuf buf, int n, size_t count) const;
  bool dumping() const { return !dumpDir_.empty(); }

 public:
  M4bStageTimes times;

 private:
  void lap(int stage, std::chrono::steady_clock::time_point& t) {
    const auto now = std::chrono::steady_clock::now();
    times.seconds[stage] += std::chrono::duration<double>(now - t).count();
    t = now;
  }

  int batch_;
  ConvLayer pre_, e0_, e1_, e2_, d1_, d0_, ref_, maskOcc_, corr0_, corr1_, corr2_, tile0_, tile1_, tile2_, tile3_;
  F32 basis_, grid64_, grid32_, feather_, w0_, b0_, w2_, b2_;
  int hidden_;
  F32 halfTable_;
  Resample up64_{64, kCrop}, up256_{256, kCrop};
  std::vector<Frame> frames_;
  F32 mlpScratch_;
  ConvWorkers workers_;
  std::string dumpDir_;
};

std::vector<float> take(const OnnxModel& m, const std::string& name, size_t count) {
  const OnnxTensor& t = m.get(name);
  if (t.values.size() < count)
    throw std::runtime_error("ka_conv: " + name + " needs " + std::to_string(count) + " values but the graph supplies " +
                             std::to_string(t.values.size()) + " — refusing (graph is not the m4b this kernel implements)");
  return std::vector<float>(t.values.begin(), t.values.begin() + static_cast<ptrdiff_t>(count));
}

ConvLayer packNamed(const OnnxModel& m, const std::string& layer, const std::string& weight, const std::string& bias,
                    int h, int w, int cin, int cout, int k, bool relu) {
  const OnnxTensor& wt = m.get(weight);
  const OnnxTensor& bt = m.get(bias);
  return packConv(layer, h, w, cin, cout, k, relu, wt.values.data(), wt.values.size(), bt.values.data(),
                  bt.values.size());
}

M4bEngine::M4bEngine(const OnnxModel& m, const M4bTopology& topo, int threads)
    : batch_(static_cast<int>(m.pooledDims[0])), hidden_(topo.hidden), workers_(threads) {
  pre_ = packNamed(m, "pre", topo.preWeight, topo.preBias, 32, 32, 85, 96, 1, true);
  e0_ = packNamed(m, "e0", "s.e0.conv.weight", "s.e0.conv.bias", 32, 32, 96, 96, 3, true);
  e1_ = packNamed(m, "e1", "s.e1.conv.weight", "s.e1.conv.bias", 16, 16, 96, 144, 3, true);
  e2_ = packNamed(m, "e2", "s.e2.conv.weight", "s.e2.conv.bias", 8, 8, 144, 192, 3, true);
  d1_ = packNamed(m, "d1", "s.d1.conv.weight", "s.d1.conv.bias", 16, 16, 336, 144, 3, true);
  d0_ = packNamed(m, "d0", "s.d0.conv.weight", "s.d0.conv.bias", 32, 32, 240, 96, 3, true);
  ref_ = packNamed(m, "ref", "s.ref.conv.weight", "s.ref.conv.bias", 64, 64, 96, 48, 3, true);
  {
    // Mask and occlusion read the same input: one layer of 22 + 1 output channels.
    const F32 mw = take(m, "s.mask.weight", 22 * 48 * 9), mb = take(m, "s.mask.bias", 22);
    const F32 ow = take(m, "s.occ.weight", 48 * 9), ob = take(m, "s.occ.bias", 1);
    F32 w(mw), b(mb);
    w.insert(w.end(), ow.begin(), ow.end());
    b.insert(b.end(), ob.begin(), ob.end());
    maskOcc_ = packConv("maskocc", 64, 64, 48, 23, 3, false, w.data(), w.size(), b.data(), b.size());
  }
  corr0_ = packNamed(m, "corr0", "s.corr.0.conv.weight", "s.corr.0.conv.bias", 256, 256, 7, 24, 3, true);
  corr1_ = packNamed(m, "corr1", "s.corr.1.conv.weight", "s.corr.1.conv.bias", 256, 256, 24, 24, 3, true);
  corr2_ = packNamed(m, "corr2", "s.corr.2.weight", "s.corr.2.bias", 256, 256, 24, 12, 3, false);
  tile0_ = packNamed(m, "tile0", "s.tile.0.conv.weight", "s.tile.0.conv.bias", kTileH, kTileW, 7, 32, 3, true);
  tile1_ = packNamed(m, "tile1", "s.tile.1.conv.weight", "s.tile.1.conv.bias", kTileH, kTileW, 32, 32, 3, true);
  tile2_ = packNamed(m, "tile2", "s.tile.2.conv.weight", "s.tile.2.conv.bias", kTileH, kTileW, 32, 32, 3, true);
  tile3_ = packNamed(m, "tile3", "s.tile.3.weight", "s.tile.3.bias", kTileH, kTileW, 32, 3, 3, false);

  basis_ = take(m, topo.basis, 64 * kBasisLen);
  grid64_ = take(m, "s.grid64", 64 * 64 * 2);
  grid32_ = take(m, topo.grid32, 32 * 32 * 2);
  feather_ = take(m, "s.feather", kPlane);
  const size_t hid = static_cast<size_t>(hidden_);
  w0_ = take(m, "s.wmlp.0.weight", hid * 255);
  b0_ = take(m, "s.wmlp.0.bias", hid);
  w2_ = take(m, "s.wmlp.2.weight", 64 * hid);
  b2_ = take(m, "s.wmlp.2.bias", 64);
  mlpScratch_.assign(static_cast<size_t>(batch_) * (255 + hid), 0.f);

  halfTable_.resize(65536);
  std::vector<uint16_t> all(65536);
  for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint16_t>(i);
  halfToFloat(all.data(), halfTable_.data(), all.size());

  frames_.resize(static_cast<size_t>(batch_));
  for (Frame& f : frames_) {
    f.preIn.assign(32 * 32 * 88, 0);
    f.e0In.assign(bordered(32, 32, 96), 0);
    f.e0Out.assign(32 * 32 * 96, 0);
    f.e1In.assign(bordered(16, 16, 96), 0);
    f.e1Out.assign(16 * 16 * 144, 0);
    f.e2In.assign(bordered(8, 8, 144), 0);
    f.e2Out.assign(8 * 8 * 192, 0);
    f.d1In.assign(bordered(16, 16, 336), 0);
    f.d1Out.assign(16 * 16 * 144, 0);
    f.d0In.assign(bordered(32, 32, 240), 0);
    f.d0Out.assign(32 * 32 * 96, 0);
    f.refIn.assign(bordered(64, 64, 96), 0);
    f.mkIn.assign(bordered(64, 64, 48), 0);
    f.mk.assign(64 * 64 * 24, 0.f);
    f.grid.assign(64 * 64 * 2, 0.f);
    f.occ64.assign(64 * 64, 0.f);
    f.w64.assign(64, 0.f);
    f.basisImg.assign(kBasisLen, 0.f);
    f.warped.assign(kCropFloats, 0.f);
    f.occ512.assign(kPlane, 0.f);
    f.refined.assign(kCropFloats, 0.f);
    f.corr0In.assign(bordered(256, 256, 8), 0);
    f.corr1In.assign(bordered(256, 256, 24), 0);
    f.corr2In.assign(bordered(256, 256, 24), 0);
    f.c2.assign(256 * 256 * 16, 0.f);
    f.tileImg.assign(kPlane * 8, 0);
    f.t0In.assign(bordered(kTileH, kTileW, 8), 0);
    f.tA.assign(bordered(kTileH, kTileW, 32), 0);
    f.tB.assign(bordered(kTileH, kTileW, 32), 0);
    f.t3Out.assign(static_cast<size_t>(kTileH) * kTileW * 8, 0.f);
  }
  // Every thread's kernel scratch at its largest now, whichever rows it gets later.
  workers_.onEachThread([this](int) {
    for (const ConvLayer* L : {&pre_, &e0_, &e1_, &e2_, &d1_, &d0_, &ref_, &maskOcc_, &corr0_, &corr1_, &corr2_, &tile0_,
                               &tile1_, &tile2_, &tile3_})
      if (L->winograd.empty()) simd::convF16Reserve(L->w, L->cinStored, L->k);
      else simd::winogradReserve(L->w, L->cinStored);
  });
  if (const char* dir = std::getenv("KA_CONV_DUMP")) dumpDir_ = dir;
  KA_LOG_INFO("[ka] conv engine: fused m4b, batch %d, %d thread(s), kernels %s, 3x3 layers by Winograd F(4x4,3x3) in "
              "single precision, 1x1 in %s-precision arithmetic\n",
              batch_,
              workers_.threads(), simd::target(),
              simd::convF16Arithmetic() == simd::ConvF16Arithmetic::kHalf ? "half" : "single");
}

void M4bEngine::conv(const ConvLayer& L, int n, HBuf in, size_t inRow, HBuf outH, FBuf outF, size_t outOffset,
                     size_t outRow, size_t outPix, int x0, int x1) {
  const int w = x1 > 0 ? x1 - x0 : L.w;
  const size_t skipIn = static_cast<size_t>(x0) * L.cinStored, skipOut = static_cast<size_t>(x0) * outPix;
  if (!L.winograd.empty()) {
    // Bands of four rows, one task each.
    const int bands = (L.h + simd::kWinogradTile - 1) / simd::kWinogradTile;
    workers_.run(n * bands, [&](int t) {
      Frame& fr = frames_[static_cast<size_t>(t / bands)];
      const int y = (t % bands) * simd::kWinogradTile;
      simd::WinogradBandArgs a;
      a.in = (fr.*in).data() + static_cast<size_t>(y) * inRow + skipIn;
      a.inRowStride = inRow;
      a.cs = L.cinStored;
      a.w = w;
      a.rows = std::min(simd::kWinogradTile, L.h - y);
      a.weight = L.winograd.data();
      a.bias = L.bias.data();
      a.coutPadded = L.coutPadded;
      a.relu = L.relu;
      a.outRowStride = outRow;
      a.outPixelStride = outPix;
      const size_t o = outOffset + static_cast<size_t>(y) * outRow + skipOut;
      if (outH) a.outF16 = (fr.*outH).data() + o;
      else a.outF32 = (fr.*outF).data() + o;
      simd::winogradBand(a);
    });
    return;
  }
  workers_.run(n * L.h, [&](int t) {
    Frame& fr = frames_[static_cast<size_t>(t / L.h)];
    const size_t y = static_cast<size_t>(t % L.h);
    simd::ConvF16RowArgs a;
    a.in = (fr.*in).data() + y * inRow + skipIn;
    a.inRowStride = inRow;
    a.cs = L.cinStored;
    a.k = L.k;
    a.w = w;
    a.weight = L.weight.data();
    a.bias = L.bias.data();
    a.coutPadded = L.coutPadded;
    a.relu = L.relu;
    a.outPixelStride = outPix;
    if (outH) a.outF16 = (fr.*outH).data() + outOffset + y * outRow + skipOut;
    else a.outF32 = (fr.*outF).data() + outOffset + y * outRow + skipOut;
    simd::convF16Row(a);
  });
}

// Interior pixel (y, x) of a bordered buffer of width w and c channels.
size_t at(int y, int x, int w, int c) { return (static_cast<size_t>(y + 1) * (w + 2) + x + 1) * c; }

// 2 x 2 average of an h x w x c half image into the interior of a bordered one at half
// the size.
void poolInto(const float* table, const H16& src, int h, int w, int c, H16& dst) {
  for (int y = 0; y < h / 2; ++y)
    for (int x = 0; x < w / 2; ++x) {
      const uint16_t* a = src.data() + (static_cast<size_t>(2 * y) * w + 2 * x) * c;
      const uint16_t* b = a + static_cast<size_t>(w) * c;
      uint16_t* o = dst.data() + at(y, x, w / 2, c);
      for (int i = 0; i < c; ++i)
        o[i] = f32ToF16((table[a[i]] + table[a[c + i]] + table[b[i]] + table[b[c + i]]) * 0.25f);
    }
}

// Nearest-neighbour x2 of an h x w x c half image into channels [c0, c0 + c) of the
// interior of a bordered image of dc channels.
void upInto(const H16& src, int h, int w, int c, H16& dst, int dc, int c0) {
  for (int y = 0; y < 2 * h; ++y)
    for (int x = 0; x < 2 * w; ++x)
      std::memcpy(dst.data() + at(y, x, 2 * w, dc) + c0, src.data() + (static_cast<size_t>(y / 2) * w + x / 2) * c,
                  static_cast<size_t>(c) * sizeof(uint16_t));
}

void copyInto(const H16& src, int h, int w, int c, H16& dst, int dc, int c0) {
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      std::memcpy(dst.data() + at(y, x, w, dc) + c0, src.data() + (static_cast<size_t>(y) * w + x) * c,
                  static_cast<size_t>(c) * sizeof(uint16_t));
}

void M4bEngine::phaseA(int fi, const uint16_t* pooled, const float* ks, const float* kd) {
  Frame& f = frames_[static_cast<size_t>(fi)];
  for (int p = 0; p < 1024; ++p) {
    uint16_t* o = f.preIn.data() + static_cast<size_t>(p) * 88;
    for (int c = 0; c < 64; ++c) o[c] = pooled[static_cast<size_t>(c) * 1024 + p];
    const float gx = grid32_[2 * p], gy = grid32_[2 * p + 1];
    for (int k = 0; k < kRows; ++k) {
      const float dx = gx - kd[3 * k], dy = gy - kd[3 * k + 1];
      const float sx = gx - ks[3 * k], sy = gy - ks[3 * k + 1];
      o[64 + k] = f32ToF16(std::exp(-50.f * (dx * dx + dy * dy)) - std::exp(-50.f * (sx * sx + sy * sy)));
    }
  }
}

void M4bEngine::motion(int fi, const float* ks, const float* kd) {
  Frame& f = frames_[static_cast<size_t>(fi)];
  for (int p = 0; p < 64 * 64; ++p) {
    const float* v = f.mk.data() + static_cast<size_t>(p) * 24;
    float mx = v[0];
    for (int k = 1; k < 22; ++k) mx = std::max(mx, v[k]);
    float e[22], sum = 0.f;
    for (int k = 0; k < 22; ++k) sum += (e[k] = std::exp(v[k] - mx));
    float gx = 0.f, gy = 0.f;
    for (int k = 0; k < kRows; ++k) {
      const float s = e[k + 1] / sum;
      gx += s * (ks[3 * k] - kd[3 * k]);
      gy += s * (ks[3 * k + 1] - kd[3 * k + 1]);
    }
    f.grid[2 * p] = grid64_[2 * p] + gx;
    f.grid[2 * p + 1] = grid64_[2 * p + 1] + gy;
    f.occ64[p] = 1.f / (1.f + std::exp(-v[22]));
  }
  // The warp MLP on the pooled bottleneck and the keypoint motion.
  float* in = mlpScratch_.data() + static_cast<size_t>(fi) * (255 + hidden_);
  float* hid = in + 255;
  for (int c = 0; c < 192; ++c) {
    float s = 0.f;
    for (int p = 0; p < 64; ++p) s += halfTable_[f.e2Out[static_cast<size_t>(p) * 192 + c]];
    in[c] = s * 0.015625f;
  }
  for (int i = 0; i < 63; ++i) in[192 + i] = kd[i] - ks[i];
  for (int j = 0; j < hidden_; ++j) {
    const float* w = w0_.data() + static_cast<size_t>(j) * 255;
    float s = b0_[j];
    for (int i = 0; i < 255; ++i) s += w[i] * in[i];
    hid[j] = std::max(s, 0.f);
  }
  for (int o = 0; o < 64; ++o) {
    const float* w = w2_.data() + static_cast<size_t>(o) * hidden_;
    float s = b2_[o];
    for (int j = 0; j < hidden_; ++j) s += w[j] * hid[j];
    f.w64[o] = s;
  }
}

void M4bEngine::basisImages(int n) {
  constexpr int kChunk = 4096;
  workers_.run(static_cast<int>(kBasisLen / kChunk), [&](int t) {
    const size_t i0 = static_cast<size_t>(t) * kChunk;
    for (int fi = 0; fi < n; ++fi) {
      Frame& f = frames_[static_cast<size_t>(fi)];
      float* o = f.basisImg.data() + i0;
      std::fill(o, o + kChunk, 0.f);
      for (int j = 0; j < 64; ++j) {
        const float w = f.w64[j];
        const float* b = basis_.data() + static_cast<size_t>(j) * kBasisLen + i0;
        for (int i = 0; i < kChunk; ++i) o[i] += w * b[i];
      }
    }
  });
}

void M4bEngine::warpRows(int fi, const uint16_t* prior, int y0, int y1) {
  Frame& f = frames_[static_cast<size_t>(fi)];
  const float* T = halfTable_.data();
  for (int Y = y0; Y < y1; ++Y) {
    const int a = up64_.i0[Y], b = up64_.i1[Y];
    const float ly = up64_.frac[Y];
    const int ba = up256_.i0[Y], bb = up256_.i1[Y];
    const float bly = up256_.frac[Y];
    for (int X = 0; X < kCrop; ++X) {
      const int c = up64_.i0[X], d = up64_.i1[X];
      const float lx = up64_.frac[X];
      auto bil = [&](const float* src, int stride, int ch) {
        const float top = src[(a * 64 + c) * stride + ch] * (1.f - lx) + src[(a * 64 + d) * stride + ch] * lx;
        const float bot = src[(b * 64 + c) * stride + ch] * (1.f - lx) + src[(b * 64 + d) * stride + ch] * lx;
        return top * (1.f - ly) + bot * ly;
      };
      const float occ = bil(f.occ64.data(), 1, 0);
      int ix, iy;
      float fx, fy;
      m4bPriorTap(bil(f.grid.data(), 2, 0) * 256.f + 255.5f, &ix, &fx);
      m4bPriorTap(bil(f.grid.data(), 2, 1) * 256.f + 255.5f, &iy, &fy);
      const size_t pix = static_cast<size_t>(Y) * kCrop + X;
      f.occ512[pix] = occ;
      const int bc = up256_.i0[X], bd = up256_.i1[X];
      const float blx = up256_.frac[X];
      for (int ch = 0; ch < 3; ++ch) {
        const uint16_t* P = prior + static_cast<size_t>(ch) * kPlane + static_cast<size_t>(iy) * kCrop + ix;
        const float top = T[P[0]] * (1.f - fx) + T[P[1]] * fx;
        const float bot = T[P[kCrop]] * (1.f - fx) + T[P[kCrop + 1]] * fx;
        const float w = top * (1.f - fy) + bot * fy;
        f.warped[ch * kPlane + pix] = w;
        const float* B = f.basisImg.data() + static_cast<size_t>(ch) * 65536;
        const float bt = B[ba * 256 + bc] * (1.f - blx) + B[ba * 256 + bd] * blx;
        const float bo = B[bb * 256 + bc] * (1.f - blx) + B[bb * 256 + bd] * blx;
        f.refined[ch * kPlane + pix] = bt * (1.f - bly) + bo * bly + w * occ;
      }
    }
  }
}

// Floats to halves as the scalar ka::f32ToF16 rounds them, a NaN becoming the infinity
// of its sign, but through the vector conversion: the glue converts millions of values
// per frame.
void toHalves(const float* src, uint16_t* dst, size_t n) {
  simd::f32ToF16(src, dst, n);
  for (size_t i = 0; i < n; ++i)
    if ((dst[i] & 0x7FFFu) > 0x7C00u) dst[i] = static_cast<uint16_t>((dst[i] & 0x8000u) | 0x7C00u);
}

// Pixels of eight channels converted per step by the glue below.
constexpr int kGluePixels = 64;

void M4bEngine::corrInputRows(int fi, int y0, int y1) {
  Frame& f = frames_[static_cast<size_t>(fi)];
  float buf[kGluePixels * 8];
  for (int y = y0; y < y1; ++y)
    for (int x0 = 0; x0 < 256; x0 += kGluePixels) {
      for (int i = 0; i < kGluePixels; ++i) {
        const int x = x0 + i;
        float* o = buf + i * 8;
        const size_t p = static_cast<size_t>(2 * y) * kCrop + 2 * x;
        auto avg = [&](const float* s) { return (s[p] + s[p + 1] + s[p + kCrop] + s[p + kCrop + 1]) * 0.25f; };
        for (int c = 0; c < 3; ++c) o[c] = avg(f.warped.data() + c * kPlane);
        o[3] = avg(f.occ512.data());
        for (int c = 0; c < 3; ++c) o[4 + c] = f.basisImg[static_cast<size_t>(c) * 65536 + y * 256 + x];
        o[7] = 0.f;
      }
      toHalves(buf, f.corr0In.data() + at(y, x0, 256, 8), kGluePixels * 8);
    }
}

void M4bEngine::refineRows(int fi, int y0, int y1) {
  Frame& f = frames_[static_cast<size_t>(fi)];
  float buf[kGluePixels * 8];
  for (int Y = y0; Y < y1; ++Y)
    for (int X0 = 0; X0 < kCrop; X0 += kGluePixels) {
      for (int i = 0; i < kGluePixels; ++i) {
        const int X = X0 + i;
        const size_t pix = static_cast<size_t>(Y) * kCrop + X;
        const float* c = f.c2.data() + (static_cast<size_t>(Y / 2) * 256 + X / 2) * 16;
        const int sub = (Y % 2) * 2 + X % 2;
        float* t = buf + i * 8;
        for (int ch = 0; ch < 3; ++ch) {
          float& r = f.refined[ch * kPlane + pix];
          r += c[ch * 4 + sub];
          t[ch] = r;
          t[3 + ch] = f.warped[ch * kPlane + pix];
        }
        t[6] = f.occ512[pix];
        t[7] = 0.f;
      }
      toHalves(buf, f.tileImg.data() + (static_cast<size_t>(Y) * kCrop + X0) * 8, kGluePixels * 8);
    }
}

void M4bEngine::tileInput(int fi, int ty, int tx, int y) {
  Frame& f = frames_[static_cast<size_t>(fi)];
  std::memcpy(f.t0In.data() + at(y, 0, kTileW, 8), f.tileImg.data() + (static_cast<size_t>(ty + y) * kCrop + tx) * 8,
              static_cast<size_t>(kTileW) * 8 * sizeof(uint16_t));
}

void M4bEngine::combine(int fi, int ty, int col, int y, float* out) {
  Frame& f = frames_[static_cast<size_t>(fi)];
  const int tx = kTileX[col];
  for (int x = kKeep[col][0]; x < kKeep[col][1]; ++x) {
    const size_t pix = static_cast<size_t>(ty + y) * kCrop + tx + x;
    const float* t = f.t3Out.data() + (static_cast<size_t>(y) * kTileW + x) * 8;
    for (int ch = 0; ch < 3; ++ch)
      out[ch * kPlane + pix] = std::clamp(f.refined[ch * kPlane + pix] + feather_[pix] * t[ch], 0.f, 1.f);
  }
}

void M4bEngine::render(const uint16_t* const* pooled, const uint16_t* const* prior, const float* kpSource,
                       const float* kpDriving, int n, float* out) {
  if (n < 1 || n > batch_) throw std::runtime_error("ka_conv: bad n");
  constexpr size_t K = 3 * kRows;
  const HBuf none = nullptr;
  const FBuf noneF = nullptr;
  auto t0 = std::chrono::steady_clock::now();
  ++times.renders;

  workers_.run(n, [&](int f) { phaseA(f, pooled[f], kpSource + K * f, kpDriving + K * f); });
  conv(pre_, n, &Frame::preIn, 32 * 88, &Frame::e0In, noneF, at(0, 0, 32, 96), 34 * 96, 96);
  conv(e0_, n, &Frame::e0In, 34 * 96, &Frame::e0Out, noneF, 0, 32 * 96, 96);
  workers_.run(n, [&](int f) { poolInto(halfTable_.data(), frames_[f].e0Out, 32, 32, 96, frames_[f].e1In); });
  conv(e1_, n, &Frame::e1In, 18 * 96, &Frame::e1Out, noneF, 0, 16 * 144, 144);
  workers_.run(n, [&](int f) { poolInto(halfTable_.data(), frames_[f].e1Out, 16, 16, 144, frames_[f].e2In); });
  conv(e2_, n, &Frame::e2In, 10 * 144, &Frame::e2Out, noneF, 0, 8 * 192, 192);
  workers_.run(n, [&](int f) {
    upInto(frames_[f].e2Out, 8, 8, 192, frames_[f].d1In, 336, 0);
    copyInto(frames_[f].e1Out, 16, 16, 144, frames_[f].d1In, 336, 192);
  });
  conv(d1_, n, &Frame::d1In, 18 * 336, &Frame::d1Out, noneF, 0, 16 * 144, 144);
  workers_.run(n, [&](int f) {
    upInto(frames_[f].d1Out, 16, 16, 144, frames_[f].d0In, 240, 0);
    copyInto(frames_[f].e0Out, 32, 32, 96, frames_[f].d0In, 240, 144);
  });
  conv(d0_, n, &Frame::d0In, 34 * 240, &Frame::d0Out, noneF, 0, 32 * 96, 96);
  workers_.run(n, [&](int f) { upInto(frames_[f].d0Out, 32, 32, 96, frames_[f].refIn, 96, 0); });
  conv(ref_, n, &Frame::refIn, 66 * 96, &Frame::mkIn, noneF, at(0, 0, 64, 48), 66 * 48, 48);
  conv(maskOcc_, n, &Frame::mkIn, 66 * 48, none, &Frame::mk, 0, 64 * 24, 24);
  workers_.run(n, [&](int f) { motion(f, kpSource + K * f, kpDriving + K * f); });
  if (dumping()) {
    dumpHalf("pre_relu", &Frame::e0In, n, 32, 32, 96, true);
    dumpHalf("e0_relu", &Frame::e0Out, n, 32, 32, 96, false);
    dumpHalf("e1_relu", &Frame::e1Out, n, 16, 16, 144, false);
    dumpHalf("e2_relu", &Frame::e2Out, n, 8, 8, 192, false);
    dumpHalf("d1_relu", &Frame::d1Out, n, 16, 16, 144, false);
    dumpHalf("d0_relu", &Frame::d0Out, n, 32, 32, 96, false);
    dumpHalf("ref_relu", &Frame::mkIn, n, 64, 64, 48, true);
    dumpFloat("mask_conv", &Frame::mk, n, 64 * 64 * 24);
    dumpFloat("occ_sig", &Frame::occ64, n, 64 * 64);
    dumpFloat("grid_add", &Frame::grid, n, 64 * 64 * 2);
    dumpFloat("w64", &Frame::w64, n, 64);
  }
  lap(0, t0);

  basisImages(n);
  lap(1, t0);
  constexpr int kBand = 16;
  workers_.run(n * (kCrop / kBand), [&](int t) {
    const int f = t / (kCrop / kBand), y = (t % (kCrop / kBand)) * kBand;
    warpRows(f, prior[f], y, y + kBand);
  });
  workers_.run(n * (256 / kBand), [&](int t) {
    const int f = t / (256 / kBand), y = (t % (256 / kBand)) * kBand;
    corrInputRows(f, y, y + kBand);
  });
  if (dumping()) {
    dumpFloat("basisimg", &Frame::basisImg, n, kBasisLen);
    dumpFloat("occ512", &Frame::occ512, n, kPlane);
    dumpFloat("warped", &Frame::warped, n, kCropFloats);
  }
  lap(2, t0);
  conv(corr0_, n, &Frame::corr0In, 258 * 8, &Frame::corr1In, noneF, at(0, 0, 256, 24), 258 * 24, 24);
  conv(corr1_, n, &Frame::corr1In, 258 * 24, &Frame::corr2In, noneF, at(0, 0, 256, 24), 258 * 24, 24);
  conv(corr2_, n, &Frame::corr2In, 258 * 24, none, &Frame::c2, 0, 256 * 16, 16);
  workers_.run(n * (kCrop / kBand), [&](int t) {
    const int f = t / (kCrop / kBand), y = (t % (kCrop / kBand)) * kBand;
    refineRows(f, y, y + kBand);
  });
  if (dumping()) {
    dumpHalf("corr0_relu", &Frame::corr1In, n, 256, 256, 24, true);
    dumpHalf("corr1_relu", &Frame::corr2In, n, 256, 256, 24, true);
    dumpFloat("corr2_conv", &Frame::c2, n, 256 * 256 * 16);
    dumpFloat("refined", &Frame::refined, n, kCropFloats);
  }
  lap(3, t0);

  const size_t tRow = (kTileW + 2) * 32;
  for (int ty = 0; ty < kCrop; ty += kTileH)
    for (int col = 0; col < 3; ++col) {
      const int tx = kTileX[col];
      workers_.run(n * kTileH, [&](int t) { tileInput(t / kTileH, ty, tx, t % kTileH); });
      // Each layer computes the columns the kept ones depend on: one more each side per
      // layer still to come. The columns it skips are read by no column it computes.
      const int k0 = kKeep[col][0], k1 = kKeep[col][1];
      auto lo = [&](int more) { return dumping() ? 0 : std::max(0, k0 - more); };
      auto hi = [&](int more) { return dumping() ? kTileW : std::min(kTileW, k1 + more); };
      conv(tile0_, n, &Frame::t0In, (kTileW + 2) * 8, &Frame::tA, noneF, at(0, 0, kTileW, 32), tRow, 32, lo(3), hi(3));
      conv(tile1_, n, &Frame::tA, tRow, &Frame::tB, noneF, at(0, 0, kTileW, 32), tRow, 32, lo(2), hi(2));
      conv(tile2_, n, &Frame::tB, tRow, &Frame::tA, noneF, at(0, 0, kTileW, 32), tRow, 32, lo(1), hi(1));
      conv(tile3_, n, &Frame::tA, tRow, none, &Frame::t3Out, 0, static_cast<size_t>(kTileW) * 8, 8, lo(0), hi(0));
      workers_.run(n * kTileH, [&](int t) {
        const int f = t / kTileH;
        combine(f, ty, col, t % kTileH, out + static_cast<size_t>(f) * kCropFloats);
      });
      if (dumping()) {
        // Tiles in order (row-major over the 2 x 3 grid), each with its n frames.
        const bool first = ty == 0 && col == 0;
        dumpHalf(first ? "tile2_relu" : "+tile2_relu", &Frame::tA, n, kTileH, kTileW, 32, true);
        dumpFloat(first ? "tile3_conv" : "+tile3_conv", &Frame::t3Out, n, static_cast<size_t>(kTileH) * kTileW * 8);
      }
    }
  lap(4, t0);
  if (dumping()) {
    const std::string path = dumpDir_ + "/rgb.f32";
    if (std::FILE* fp = std::fopen(path.c_str(), "wb")) {
      std::fwrite(out, sizeof(float), kCropFloats * static_cast<size_t>(n), fp);
      std::fclose(fp);
    }
  }
}

// A name starting with '+' appends to the stage's file.
std::FILE* openDump(const std::string& dir, const char* name) {
  const bool append = name[0] == '+';
  const std::string path = dir + "/" + (append ? name + 1 : name) + ".f32";
  return std::fopen(path.c_str(), append ? "ab" : "wb");
}

void M4bEngine::dumpHalf(const char* name, HBuf buf, int n, int h, int w, int c, bool border) const {
  std::FILE* fp = openDump(dumpDir_, name);
  if (!fp) return;
  std::vector<float> row(static_cast<size_t>(w) * c);
  for (int fi = 0; fi < n; ++fi) {
    const H16& src = frames_[static_cast<size_t>(fi)].*buf;
    for (int y = 0; y < h; ++y) {
      const uint16_t* s = src.data() + (border ? at(y, 0, w, c) : static_cast<size_t>(y) * w * c);
      halfToFloat(s, row.data(), row.size());
      std::fwrite(row.data(), sizeof(float), row.size(), fp);
    }
  }
  std::fclose(fp);
}

void M4bEngine::dumpFloat(const char* name, FBuf buf, int n, size_t count) const {
  std::FILE* fp = openDump(dumpDir_, name);
  if (!fp) return;
  for (int fi = 0; fi < n; ++fi) std::fwrite((frames_[static_cast<size_t>(fi)].*buf).data(), sizeof(float), count, fp);
  std::fclose(fp);
}

}  // namespace

const M4bStageTimes* m4bStageTimes(const ConvBackend* backend) {
  const auto* engine = dynamic_cast<const M4bEngine*>(backend);
  return engine ? &engine->times : nullptr;
}

std::unique_ptr<ConvBackend> makeM4bEngine(const OnnxModel& model, const M4bTopology& topo, int threads) {
  return std::make_unique<M4bEngine>(model, topo, threads);
}

}  // namespace ka
