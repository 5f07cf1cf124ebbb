// Process-wide frontend sessions and the two per-stream fills.
#include "audio/speech_frontend.h"

#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <stdexcept>

#include "bundle/file_io.h"
#include "compute/pool.h"
#include "compute/simd.h"
#include "base/log.h"

namespace ka::a2x {
namespace {

// Owner: whoever loads or looks up the shared encoder or the short-window pair (stream
// creation, preload). Held only while loading; running the sessions needs no lock.
std::mutex g_w2v_mtx;
// The process-wide objects are deliberately never freed: streams on other threads may
// still run them while the process exits.
Ort::Env* g_w2v_env = nullptr;
Ort::Session* g_w2v_session = nullptr;
std::string g_w2v_path;
std::string g_w2v_preloaded;
// Owner: the first stream that needs the silence features; the others wait for it.
std::mutex g_zeroemb_mtx;
std::vector<float> g_zeroemb;
Ort::Session* g_w2vwin_trunk = nullptr;
Ort::Session* g_w2vwin_head = nullptr;
bool g_w2vwin_tried = false;
std::string g_w2vwin_trunk_out;
// Set by the first trunk run when the graph leaves the time length open; read by every
// stream's fill without the lock.
std::atomic<int64_t> g_w2vwin_LT{0};

constexpr char kTrunkFile[] = "audio_encoder_fp16_window_trunk.onnx";
constexpr char kHeadFile[] = "audio_encoder_fp16_window_head.onnx";
constexpr char kLegacyTrunkFile[] = "w2v_trunk32.onnx";
constexpr char kLegacyHeadFile[] = "w2v_head32.onnx";

Ort::Env& envLocked() {
  if (!g_w2v_env) g_w2v_env = new Ort::Env(ORT_LOGGING_LEVEL_WARNING, "ka_a2x_w2v", log::ortLoggingFunction, nullptr);
  return *g_w2v_env;
}

long long fileSize(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

std::string envText(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

thread_local double g_network_seconds = 0.0;
thread_local double g_network_cpu_seconds = 0.0;

double threadCpuNow() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

// Adds the scope's wall and thread processor time to the calling thread's totals.
class RunClock {
 public:
  RunClock() : t0_(std::chrono::steady_clock::now()), cpu0_(threadCpuNow()) {}
  ~RunClock() {
    g_network_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
    g_network_cpu_seconds += threadCpuNow() - cpu0_;
  }

 private:
  std::chrono::steady_clock::time_point t0_;
  double cpu0_;
};

// Runs a one-input, one-output session over caller memory.
Ort::Value runOne(Ort::Session& s, const char* inName, Ort::Value& in, const char* outName) {
  const char* ins[] = {inName};
  const char* outs[] = {outName};
  auto out = timedRun(s, ins, &in, 1, outs, 1);
  return std::move(out.front());
}

}  // namespace

double networkSeconds() noexcept { return g_network_seconds; }
double networkCpuSeconds() noexcept { return g_network_cpu_seconds; }

void timedRun(Ort::Session& s, const char* const* inNames, const Ort::Value* in, size_t nIn,
              const char* const* outNames, Ort::Value* out, size_t nOut) {
  RunClock clock;
  s.Run(Ort::RunOptions{nullptr}, inNames, in, nIn, outNames, out, nOut);
}

std::vector<Ort::Value> timedRun(Ort::Session& s, const char* const* inNames, const Ort::Value* in, size_t nIn,
                                 const char* const* outNames, size_t nOut) {
  RunClock clock;
  return s.Run(Ort::RunOptions{nullptr}, inNames, in, nIn, outNames, nOut);
}

void roundToHalf(float* x, size_t n, uint16_t* scratch) {
  simd::f32ToF16(x, scratch, n);
  simd::f16ToF32(scratch, x, n);
}

void normaliseWindow(float* x, size_t n) {
  if (n == 0) return;
  double sum = 0.0;
  for (size_t i = 0; i < n; ++i) sum += x[i];
  const double mean = sum / static_cast<double>(n);
  double sq = 0.0;
  for (size_t i = 0; i < n; ++i) {
    const double d = x[i] - mean;
    sq += d * d;
  }
  const double inv = 1.0 / std::sqrt(sq / static_cast<double>(n) + 1e-7);
  for (size_t i = 0; i < n; ++i) x[i] = static_cast<float>((x[i] - mean) * inv);
}

Ort::Session openSession(Ort::Env& env, const std::string& path, Ort::SessionOptions& options) {
  try {
    return Ort::Session(env, path.c_str(), options);
  } catch (const Ort::Exception& e) {
    const std::string why = e.what();
    if (why.find("Gelu") == std::string::npos || why.find("float16") == std::string::npos) throw;
    KA_LOG_WARN(
        "[ka_a2x] %s: ORT's level-2 Gelu fusion produced a float16 com.microsoft.Gelu this runtime "
        "has no CPU kernel for; reopening at ORT_ENABLE_BASIC\n",
        path.c_str());
    options.SetGraphOptimizationLevel(ORT_ENABLE_BASIC);
    return Ort::Session(env, path.c_str(), options);
  }
}

void cudaStep(Ort::SessionOptions& options, const char* tag) {
  if (envText("KA_A2X_CUDA") != "1" || std::strcmp(tag, "w2v") != 0) return;
  size_t mib = 3072;
  const std::string memText = envText("KA_A2X_CUDA_MEM_MIB");
  if (!memText.empty()) {
    char* end = nullptr;
    const long long v = std::strtoll(memText.c_str(), &end, 10);
    // A count whose bytes do not fit the byte type keeps the default as well.
    if (*end == '\0' && v >= 1 && static_cast<unsigned long long>(v) <= (SIZE_MAX >> 20))
      mib = static_cast<size_t>(v);
  }
  const std::string bytes = std::to_string(mib << 20);
  const OrtApi& api = Ort::GetApi();
  OrtCUDAProviderOptionsV2* cuda = nullptr;
  try {
    Ort::ThrowOnError(api.CreateCUDAProviderOptions(&cuda));
    const char* keys[] = {"device_id", "arena_extend_strategy", "gpu_mem_limit",
                          "cudnn_conv_use_max_workspace", "use_tf32"};
    const char* values[] = {"0", "kSameAsRequested", bytes.c_str(), "0", "0"};
    Ort::ThrowOnError(api.UpdateCUDAProviderOptions(cuda, keys, values, 5));
    options.AppendExecutionProvider_CUDA_V2(*cuda);
    api.ReleaseCUDAProviderOptions(cuda);
    KA_LOG_INFO("[ka_a2x] CUDA EP appended (%s, V2: no-max-workspace, mem<=%zuMiB)\n", tag, mib);
  } catch (const std::exception& e) {
    if (cuda) api.ReleaseCUDAProviderOptions(cuda);
    KA_LOG_WARN("[ka_a2x] CUDA EP append failed (%s): %s -- falling back to CPU\n", tag, e.what());
  }
}

Ort::SessionOptions frontendOptions(int threads) {
  Ort::SessionOptions o;
  o.SetIntraOpNumThreads(threads >= 1 ? threads : pool::threads());
  o.SetInterOpNumThreads(1);
  o.AddConfigEntry("session.intra_op.allow_spinning", "0");
  o.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  cudaStep(o, "w2v");
  return o;
}

Ort::Session& loadSharedEncoder(const std::string& path, int threads) {
  std::lock_guard<std::mutex> lock(g_w2v_mtx);
  if (!g_w2v_session) {
    if (path.empty()) throw std::runtime_error("no speech encoder path");
    Ort::Env& env = envLocked();
    Ort::SessionOptions options = frontendOptions(threads);
    g_w2v_session = new Ort::Session(openSession(env, path, options));
    g_w2v_path = path;
  }
  return *g_w2v_session;
}

void setPreloadedEncoderPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_w2v_mtx);
  g_w2v_preloaded = path;
}

std::string preloadedEncoderPath() {
  std::lock_guard<std::mutex> lock(g_w2v_mtx);
  return g_w2v_preloaded;
}

Ort::Session* sharedEncoder(const std::string& path, int threads) noexcept {
  try {
    return &loadSharedEncoder(path, threads);
  } catch (const std::exception& e) {
    KA_LOG_WARN("[ka_a2x] shared w2v encoder %s did not load: %s\n", path.c_str(), e.what());
    return nullptr;
  }
}

bool tryShortWindow(int threads, const std::string& encoderPath) {
  std::lock_guard<std::mutex> lock(g_w2v_mtx);
  if (g_w2vwin_tried) return g_w2vwin_trunk != nullptr;
  g_w2vwin_tried = true;

  std::string trunkPath, headPath;
  const std::string envTrunk = envText("KA_A2X_W2V_WIN_ONNX");
  const std::string envHead = envText("KA_A2X_W2V_HEAD_ONNX");
  if (!envTrunk.empty() && !envHead.empty()) {
    trunkPath = envTrunk;
    headPath = envHead;
  } else if (!encoderPath.empty()) {
    const size_t slash = encoderPath.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : encoderPath.substr(0, slash);
    const char* pairs[2][2] = {{kTrunkFile, kHeadFile}, {kLegacyTrunkFile, kLegacyHeadFile}};
    for (const auto& p : pairs) {
      const std::string t = dir + "/" + p[0], h = dir + "/" + p[1];
      if (canOpenForRead(t) && canOpenForRead(h)) {
        trunkPath = t;
        headPath = h;
        break;
      }
    }
  }
  if (trunkPath.empty()) {
    KA_LOG_WARN(
        "[ka_a2x] short-window audio frontend NOT DEPLOYED on this plane: neither "
        "KA_A2X_W2V_WIN_ONNX/KA_A2X_W2V_HEAD_ONNX are set nor is the pair beside $W2V_ONNX (%s) as "
        "audio_encoder_fp16_window_{trunk,head}.onnx (legacy w2v_trunk32.onnx/w2v_head32.onnx). Serving "
        "the LEGACY 8s window — same reference quality, 2.8-3.9x the audio hop cost. Ship the pair beside "
        "the encoder (tools/export_w2v_window.py).\n",
        encoderPath.c_str());
    return false;
  }
  try {
    Ort::Env& env = envLocked();
    Ort::SessionOptions trunkOptions = frontendOptions(threads);
    auto trunk = std::make_unique<Ort::Session>(openSession(env, trunkPath, trunkOptions));
    Ort::SessionOptions headOptions = frontendOptions(threads);
    auto head = std::make_unique<Ort::Session>(openSession(env, headPath, headOptions));
    Ort::AllocatorWithDefaultOptions alloc;
    std::string outName = trunk->GetOutputNameAllocated(0, alloc).get();
    int64_t lt = 0;
    const auto shape = trunk->GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
    if (shape.size() >= 3 && shape[2] > 0) lt = shape[2];
    g_w2vwin_trunk_out = std::move(outName);
    g_w2vwin_LT.store(lt);
    g_w2vwin_trunk = trunk.release();
    g_w2vwin_head = head.release();
    const std::string ltText = lt > 0 ? std::to_string(lt) : std::string("from-first-run");
    KA_LOG_INFO("[ka_a2x] short-window w2v frontend loaded (LT=%s) trunk=%s (%lld B) head=%s (%lld B)\n",
                ltText.c_str(), trunkPath.c_str(), fileSize(trunkPath), headPath.c_str(),
                fileSize(headPath));
    return true;
  } catch (const std::exception& e) {
    KA_LOG_WARN("[ka_a2x] short-window w2v load FAILED (%s) — legacy 8s path\n", e.what());
    return false;
  }
}

ShortWindowPair shortWindowPair() noexcept {
  std::lock_guard<std::mutex> lock(g_w2v_mtx);
  ShortWindowPair p;
  if (g_w2vwin_trunk && g_w2vwin_head) {
    p.trunk = g_w2vwin_trunk;
    p.head = g_w2vwin_head;
    p.trunkOut = g_w2vwin_trunk_out.c_str();
  }
  return p;
}

const std::vector<float>& silenceFeatures(Ort::Session& encoder) {
  std::lock_guard<std::mutex> lock(g_zeroemb_mtx);
  if (!g_zeroemb.empty()) return g_zeroemb;
  std::vector<float> zeros(kLegacySamples, 0.0f);
  const int64_t inShape[] = {1, kLegacySamples};
  Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  Ort::Value in = Ort::Value::CreateTensor<float>(mem, zeros.data(), zeros.size(), inShape, 2);
  Ort::Value out = runOne(encoder, "input_values", in, "audio_emb");
  const size_t want = static_cast<size_t>(kLegacyFrames) * kRowFloats;
  if (out.GetTensorTypeAndShapeInfo().GetElementCount() != want)
    throw std::runtime_error("audio_emb of the speech encoder is not 12 x 200 x 768");
  const float* emb = out.GetTensorData<float>();
  // audio_emb is layer-major [12][200][768]; rows are frame-major.
  std::vector<float> rows(want);
  for (int f = 0; f < kLegacyFrames; ++f)
    for (int l = 0; l < kLayers; ++l)
      std::memcpy(rows.data() + (static_cast<size_t>(f) * kLayers + l) * kFeatDim,
                  emb + (static_cast<size_t>(l) * kLegacyFrames + f) * kFeatDim, kFeatDim * sizeof(float));
  g_zeroemb = std::move(rows);
  return g_zeroemb;
}

// ---------------------------------------------------------------- legacy window

LegacyWindow::LegacyWindow()
    : window_(kLegacySamples),
      halves_(kRowFloats),
      mem_(Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault)) {}

void LegacyWindow::fill(Ort::Session& encoder, const AudioView& audio, int right, int target,
                        FeatureRows& rows) {
  while (rows.ready < target) {
    const int s = origin_;
    int lim = audio.finished ? s + kLegacyFrames : std::min(s + kLegacyFrames, audio.frames - right);
    lim = std::max(lim, 0);
    // Live, a window that would store nothing new waits for more audio instead of
    // running the encoder again.
    if (!audio.finished && lim <= rows.ready) break;

    std::fill(window_.begin(), window_.end(), 0.0f);
    const size_t from = static_cast<size_t>(s) * kHop;
    if (from < audio.count) {
      const size_t n = std::min<size_t>(kLegacySamples, audio.count - from);
      std::memcpy(window_.data(), audio.samples + from, n * sizeof(float));
    }
    Ort::Value out{nullptr};
    const float* emb = encodeWindow(encoder, out);

    const int j0 = s == 0 ? 0 : kLegacyFrames / 4;
    rows.reserveRows(lim);
    for (int f = std::max(rows.ready, s + j0); f < lim; ++f) {
      float* row = rows.row(f);
      for (int l = 0; l < kLayers; ++l)
        std::memcpy(row + static_cast<size_t>(l) * kFeatDim,
                    emb + (static_cast<size_t>(l) * kLegacyFrames + (f - s)) * kFeatDim,
                    kFeatDim * sizeof(float));
      roundToHalf(row, kRowFloats, halves_.data());
    }
    rows.ready = std::max(rows.ready, std::min(s + kLegacyFrames, lim));
    if (!audio.finished && lim <= s + kLegacyFrames - 1) break;
    origin_ = s + kLegacyStride;
  }
}

namespace {
// The window of the walk that serves frame f, and the end of the frames window s serves.
int windowOf(int f) { return f < kLegacyFrames ? 0 : kLegacyStride * (f / kLegacyStride - 1); }
int servedEnd(int s) { return s == 0 ? kLegacyFrames : s + kLegacyFrames; }
}  // namespace

const float* LegacyWindow::encodeWindow(Ort::Session& encoder, Ort::Value& out) {
  normaliseWindow(window_.data(), window_.size());
  const int64_t inShape[] = {1, kLegacySamples};
  Ort::Value in = Ort::Value::CreateTensor<float>(mem_, window_.data(), window_.size(), inShape, 2);
  out = runOne(encoder, "input_values", in, "audio_emb");
  if (out.GetTensorTypeAndShapeInfo().GetElementCount() != static_cast<size_t>(kLegacyFrames) * kRowFloats)
    throw std::runtime_error("audio_emb of the speech encoder is not 12 x 200 x 768");
  return out.GetTensorData<float>();
}

void LegacyWindow::fillStream(Ort::Session& encoder, const AudioView& audio, int right, int target,
                              FeatureRows& rows) {
  const int64_t blockFrames = kBlock / kHop;
  while (rows.ready < target) {
    const int f = rows.ready;
    const int s = windowOf(f);
    const int end = servedEnd(s);
    const int64_t needed = (static_cast<int64_t>(f) + 1 + right + blockFrames - 1) / blockFrames * blockFrames;
    const int64_t cutFrames = std::min<int64_t>(needed, s + kLegacyFrames);
    const int64_t cut = cutFrames * kHop;
    if (!audio.finished && static_cast<int64_t>(audio.count) < cut) break;
    const bool toEnd = cutFrames == s + kLegacyFrames || (audio.finished && cut >= static_cast<int64_t>(audio.count));
    // Frames up to `last` need no later cut than f does.
    const int last = toEnd ? end : static_cast<int>(std::min<int64_t>(end, cutFrames - right));

    std::fill(window_.begin(), window_.end(), 0.0f);
    const int64_t from = static_cast<int64_t>(s) * kHop;
    const int64_t to = std::min<int64_t>(cut, static_cast<int64_t>(audio.count));
    if (to > from) std::memcpy(window_.data(), audio.samples + from, static_cast<size_t>(to - from) * sizeof(float));
    Ort::Value out{nullptr};
    const float* emb = encodeWindow(encoder, out);
    rows.reserveRows(last);
    for (int g = f; g < last; ++g) {
      float* row = rows.row(g);
      for (int l = 0; l < kLayers; ++l)
        std::memcpy(row + static_cast<size_t>(l) * kFeatDim,
                    emb + (static_cast<size_t>(l) * kLegacyFrames + (g - s)) * kFeatDim, kFeatDim * sizeof(float));
      roundToHalf(row, kRowFloats, halves_.data());
    }
    rows.ready = last;
  }
}

// ---------------------------------------------------------------- short window

double shortWindowPosition(int frame, int64_t end) {
  int64_t origin = 0;
  int local = frame;
  if (frame >= kLegacyFrames) {
    const int k = frame / kLegacyStride - 1;
    local = frame - kLegacyStride * k;
    origin = static_cast<int64_t>(kLegacyStride) * k * kHop;
  }
  return static_cast<double>(origin - (end - kShortSamples)) / 80.0 + local * (1598.0 / 199.0);
}

ShortWindow::ShortWindow()
    : window_(kShortSamples),
      headIn_(static_cast<size_t>(kShortFrames) * kTrunkChannels),
      halves_(static_cast<size_t>(kShortFrames) * kRowFloats),
      mem_(Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault)) {}

void ShortWindow::fill(const ShortWindowPair& pair, const AudioView& audio, int rightContext, int target,
                       FeatureRows& rows) {
  if (!pair.trunk || !pair.head) throw std::runtime_error("w2v_win: short-window pair not loaded");
  while (rows.ready < target) {
    const int s = rows.ready;
    const int64_t end = static_cast<int64_t>(kHop) * (s + kShortFrames + rightContext);
    if (!audio.finished && end > static_cast<int64_t>(audio.count)) break;

    const int64_t begin = end - kShortSamples;
    std::fill(window_.begin(), window_.end(), 0.0f);
    const int64_t lo = std::max<int64_t>(begin, 0);
    const int64_t hi = std::min<int64_t>(end, static_cast<int64_t>(audio.count));
    if (hi > lo)
      std::memcpy(window_.data() + (lo - begin), audio.samples + lo, static_cast<size_t>(hi - lo) * sizeof(float));
    normaliseWindow(window_.data(), window_.size());

    const int64_t inShape[] = {1, kShortSamples};
    Ort::Value in = Ort::Value::CreateTensor<float>(mem_, window_.data(), window_.size(), inShape, 2);
    Ort::Value out = runOne(*pair.trunk, "input_values", in, pair.trunkOut);
    const auto info = out.GetTensorTypeAndShapeInfo();
    const auto shape = info.GetShape();
    if (shape.size() != 3 || shape[1] != kTrunkChannels || shape[2] < 1)
      throw std::runtime_error("w2v_win: trunk output is not [1, 640, LT]");
    const int64_t lt = shape[2];
    int64_t expected = 0;
    g_w2vwin_LT.compare_exchange_strong(expected, lt);
    const size_t count = static_cast<size_t>(kTrunkChannels) * static_cast<size_t>(lt);
    if (trunk_.size() < count) trunk_.resize(count);
    if (info.GetElementType() == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16) {
      simd::f16ToF32(reinterpret_cast<const uint16_t*>(out.GetTensorRawData()), trunk_.data(), count);
    } else if (info.GetElementType() == ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT) {
      std::memcpy(trunk_.data(), out.GetTensorData<float>(), count * sizeof(float));
    } else {
      throw std::runtime_error("w2v_win: trunk output is neither float16 nor float");
    }

    for (int j = 0; j < kShortFrames; ++j) {
      const double pos = shortWindowPosition(s + j, end);
      const double fl = std::floor(pos);
      if (fl < 0.0 || fl >= static_cast<double>(lt)) throw std::runtime_error("w2v_win: trunk pos out of range");
      const int64_t i0 = static_cast<int64_t>(fl);
      const int64_t i1 = std::min<int64_t>(i0 + 1, lt - 1);
      const float w = static_cast<float>(pos - fl);
      float* dst = headIn_.data() + static_cast<size_t>(j) * kTrunkChannels;
      for (int c = 0; c < kTrunkChannels; ++c) {
        const float* ch = trunk_.data() + static_cast<size_t>(c) * lt;
        dst[c] = (1.0f - w) * ch[i0] + w * ch[i1];
      }
    }

    const int64_t headShape[] = {kShortFrames, kTrunkChannels};
    Ort::Value x = Ort::Value::CreateTensor<float>(mem_, headIn_.data(), headIn_.size(), headShape, 2);
    Ort::Value emb = runOne(*pair.head, "x", x, "emb");
    const size_t want = static_cast<size_t>(kShortFrames) * kRowFloats;
    if (emb.GetTensorTypeAndShapeInfo().GetElementCount() != want)
      throw std::runtime_error("w2v_win: head output emb is not 8 x 12 x 768");
    rows.reserveRows(s + kShortFrames);
    float* dst = rows.row(s);
    std::memcpy(dst, emb.GetTensorData<float>(), want * sizeof(float));
    roundToHalf(dst, want, halves_.data());
    rows.ready = s + kShortFrames;
  }
}

}  // namespace ka::a2x
