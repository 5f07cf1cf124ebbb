// The director's session: provider choice, load-time rewrites, the keypoint contract
// and the buffers bound once to the session, then per-frame conversion and one Run.
#include "render/renderer.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include <onnxruntime_cxx_api.h>

#include "compute/pool.h"
#include "compute/simd.h"
#include "ka/ka.h"
#include "base/log.h"
#include "render/conv_backend.h"
#include "render/custom_ops.h"
#include "render/graph_rewrites.h"
#include "render/lip_binding.h"
#include "render/onnx_codec.h"
#include "render/source_cone.h"
#include "render/warp_block.h"
#include "tessera/lip_contour.h"

namespace ka {
namespace {

constexpr size_t kPooledFloats = 65536;   // [64, 32, 32]
constexpr size_t kFsRedFloats = 262144;   // [64, 64, 64]
constexpr size_t kKpFloats = static_cast<size_t>(kHostKpRows) * 3;

bool envStartsWith(const char* name, char c) {
  const char* v = std::getenv(name);
  return v && v[0] == c;
}

std::string envOr(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::string(v) : std::string();
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

GsBytes readModel(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) throw std::runtime_error("Renderer: cannot open " + path);
  GsBytes bytes;
  long size = -1;
  if (std::fseek(f, 0, SEEK_END) == 0) size = std::ftell(f);
  if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) {
    std::fclose(f);
    throw std::runtime_error("Renderer: cannot open " + path);
  }
  bytes.resize(static_cast<size_t>(size));
  const size_t got = bytes.empty() ? 0 : std::fread(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  if (got != bytes.size()) throw std::runtime_error("Renderer: short read on " + path);
  return bytes;
}

std::string shapeText(const std::vector<int64_t>& s) {
  std::string t = "[";
  for (size_t i = 0; i < s.size(); ++i) t += (i ? "," : "") + std::to_string(s[i]);
  return t + "]";
}

const char* coremlUnits(const std::string& units) {
  if (units == "cpu") return "CPUOnly";
  if (units == "gpu") return "CPUAndGPU";
  if (units == "ane") return "CPUAndNeuralEngine";
  return "ALL";
}

}  // namespace

class Renderer::Impl {
 public:
  Impl(const Manifest& m, Identity& identity, const std::string& modelKey, int threads, std::string ep);
  ~Impl();
  const float* render(const int* si, const float* xs, const float* xd, int n);

  std::string ep;
  int batch = 0;
  int threads() const { return threads_; }
  std::string directorNote;
  bool warpNode = false;

  bool hoisted() const { return static_cast<bool>(prep_); }
  bool lipBound() const { return lipBound_; }
  int64_t prepRuns() const {
    std::lock_guard<std::mutex> lock(ringMutex_);
    return prepRuns_;
  }

 private:
  // One slot of the boundary ring: the source frame whose boundary it holds (-1: none).
  struct Slot {
    int index = -1;
    std::vector<float> data;
    Ort::Value tensor{nullptr};
  };

  void openSession(const std::string& ep);
  void hoist(const GsBytes& bytes, const std::string& units, bool coreml, bool& applied);
  void startHoist();
  void stopHoist();
  Slot& acquire(int s);
  void runPrepL(int s, int slot, std::unique_lock<std::mutex>& lock);
  void requestNext(int s);
  void prefetchLoop();
  void checkKeypointInput(const std::string& name) const;
  void checkCropDims(const std::string& name, const std::vector<int64_t>& declared) const;
  std::vector<int64_t> ioShape(const std::string& name, bool* found, bool output) const;
  std::vector<int64_t> inputShape(const std::string& name, bool* found) const { return ioShape(name, found, false); }
  void bind(const char* name, float* data, std::vector<int64_t> shape, bool output = false);
  bool selectConvEngine(std::string& wantedEp);
  const float* renderConv(const int* si, const float* xs, const float* xd, int n);

  Manifest manifest_;
  std::string modelKey_;
  std::string modelPath_;
  int threads_;

  // The environment outlives everything made from it; members are destroyed in reverse.
  Ort::Env env_{ORT_LOGGING_LEVEL_WARNING, "ka", log::ortLoggingFunction, nullptr};
  Ort::SessionOptions options_{nullptr};
  Ort::Session session_{nullptr};
  Ort::RunOptions runOptions_;
  Ort::IoBinding binding_{nullptr};
  Ort::MemoryInfo mem_ = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);

  bool profiling_ = false;
  double profileMs_ = 0;
  int64_t profileRuns_ = 0;

  Identity* identity_;
  int crop_;
  size_t priorFloats_;
  bool fsFamily_ = false;
  std::string pooledName_ = "pooled64", kdName_ = "kp_driving", ksName_ = "kp_source";

  std::vector<float> pooled_, prior_, fsRed_, kpDriving_, kpSource_, out_;
  std::vector<Ort::Value> bound_;

  // The lip contour bound into the compose alpha, and the mask it rasterises per frame.
  std::unique_ptr<tessera::LipContour> lip_;
  bool lipBound_ = false;
  std::vector<float> lipMask_;

  // The source-cone hoist. The prep session turns a source frame's prior into the
  // boundary tensor; it runs only inside runPrepL, on the prefetch thread or, when the
  // slot needed is not being made, on the rendering thread.
  Ort::SessionOptions prepOptions_{nullptr};
  Ort::Session prep_{nullptr};
  Ort::IoBinding prepBinding_{nullptr};
  Ort::Value prepPrior_{nullptr};
  std::string boundaryName_;
  std::vector<int64_t> boundaryShape_;
  size_t boundaryCount_ = 0;
  Slot ring_[2];
  // ringMutex_ is owned by the ring: it guards ring_[*].index, the pending request, the
  // slot in use, stop_, stickyError_ and prepRuns_; the rendering thread and the prefetch
  // thread both take it, never around a session run.
  mutable std::mutex ringMutex_;
  std::condition_variable ringCv_;
  int pendingIndex_ = -1;
  int pendingSlot_ = -1;
  int inUse_ = -1;
  bool stop_ = false;
  std::string stickyError_;
  int64_t prepRuns_ = 0;
  SourceWalkPredictor predictor_;  // rendering thread only
  std::thread prefetch_;

 public:
  // The convolution engine, when it replaces ONNX Runtime for this director.
  std::unique_ptr<ConvBackend> conv_;

 private:
  std::vector<const uint16_t*> convPooled_, convPrior_;
  std::vector<uint16_t> convPriorCopy_;  // decoded priors, which the cursor may reuse
};

Renderer::Impl::Impl(const Manifest& m, Identity& identity, const std::string& modelKey, int threads,
                     std::string wantedEp)
    : manifest_(m),
      modelKey_(modelKey),
      modelPath_(m.modelPath(modelKey)),
      threads_(threads < 1 ? pool::threads() : threads),
      identity_(&identity),
      crop_(m.crop),
      priorFloats_(static_cast<size_t>(m.crop) * m.crop * 3) {
  if (selectConvEngine(wantedEp)) return;
  runOptions_.AddConfigEntry("memory.enable_memory_arena_shrinkage", "cpu:0");

  // A template that does not read is the bundle's fault and refuses the load; one that
  // reads but does not fit the graph only leaves the director's ellipse in place.
  if (!m.lipTemplate.empty())
    lip_ = std::make_unique<tessera::LipContour>(tessera::LipContour::fromTemplateJson(m.lipTemplate, m.crop));

  try {
    openSession(wantedEp);
  } catch (const std::exception& e) {
    if (!startsWith(wantedEp, "coreml")) throw;
    KA_LOG_WARN("[ka] CoreML EP session refused: %s — falling back to the ORT CPU EP\n", e.what());
    session_ = Ort::Session(nullptr);
    wantedEp.clear();
    openSession(wantedEp);
  }

  Ort::AllocatorWithDefaultOptions alloc;
  for (size_t i = 0; i < session_.GetInputCount(); ++i)
    if (std::strcmp(session_.GetInputNameAllocated(i, alloc).get(), "fs_red") == 0) fsFamily_ = true;
  if (fsFamily_) {
    pooledName_ = "pooled";
    kdName_ = "kd";
    ksName_ = "ks";
  }

  bool found = false;
  const std::vector<int64_t> pooledShape = inputShape(pooledName_, &found);
  if (!found || pooledShape.size() != 4 || pooledShape[0] <= 0)
    throw std::runtime_error(pooledName_ + " input not found / bad shape");
  batch = static_cast<int>(pooledShape[0]);

  checkKeypointInput(kdName_);
  checkKeypointInput(ksName_);

  // A director exported for another crop would read and write past the bound buffers'
  // shapes; ONNX Runtime would stop it at the first Run with a message naming no bundle.
  // A hoisted director reads the prior in its prep graph.
  if (hoisted()) {
    checkCropDims("input P_rgb", prep_.GetInputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape());
  } else if (!fsFamily_) {
    checkCropDims("input P_rgb", inputShape("P_rgb", &found));
  }
  {
    // By name: a director may carry other outputs (diagnostics) ahead of the picture.
    const std::vector<int64_t> outShape = ioShape("rgb", &found, true);
    if (!found)
      throw std::runtime_error("Renderer: " + modelPath_ +
                               " has no output named rgb, the picture this renderer binds — REFUSING at load");
    checkCropDims("output rgb", outShape);
  }

  const size_t b = static_cast<size_t>(batch);
  if (fsFamily_) {
    if (!identity.hasFsRed()) throw std::runtime_error("FeatSynth graph but bundle lacks fs_red.f16");
  } else if (!identity.hasP() && identity.hevcPath().empty()) {
    throw std::runtime_error(
        "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16, nor fs_red.f16, nor a "
        "P_hevc.mov to play in place is present, so ka::Identity mapped NOTHING and Identity::P(si) would be an "
        "offset from a null pointer — a SEGFAULT on the first frame, not a refusal. REFUSING to create a session.");
  }
  pooled_.assign(b * kPooledFloats, 0.f);
  if (fsFamily_) fsRed_.assign(b * kFsRedFloats, 0.f);
  else prior_.assign(b * priorFloats_, 0.f);
  kpDriving_.assign(b * kKpFloats, 0.f);
  kpSource_.assign(b * kKpFloats, 0.f);
  out_.assign(b * priorFloats_, 0.f);

  binding_ = Ort::IoBinding(session_);
  const int64_t bb = batch, c = crop_, rows = kHostKpRows;
  if (hoisted()) {
    startHoist();
    bind("pooled64", pooled_.data(), {bb, 64, 32, 32});
    bind("kp_driving", kpDriving_.data(), {bb, rows, 3});
    bind("kp_source", kpSource_.data(), {bb, rows, 3});
  } else if (fsFamily_) {
    bind("fs_red", fsRed_.data(), {bb, 64, 64, 64});
    bind("pooled", pooled_.data(), {bb, 64, 32, 32});
    bind("kd", kpDriving_.data(), {bb, rows, 3});
    bind("ks", kpSource_.data(), {bb, rows, 3});
  } else {
    bind("pooled64", pooled_.data(), {bb, 64, 32, 32});
    bind("P_rgb", prior_.data(), {bb, 3, c, c});
    bind("kp_driving", kpDriving_.data(), {bb, rows, 3});
    bind("kp_source", kpSource_.data(), {bb, rows, 3});
  }
  bind("rgb", out_.data(), {bb, 3, c, c}, true);
  if (lipBound_) {
    lipMask_.assign(b * static_cast<size_t>(crop_) * crop_, 1.f);
    bind("lip_delivery", lipMask_.data(), {bb, 1, c, c});
  }
}

Renderer::Impl::~Impl() {
  stopHoist();
  if (!profiling_ || !session_) return;
  if (profileRuns_ > 0)
    KA_LOG_INFO("[ka_ort_profile] %ld frames: %.2f ms/frame in Session::Run\n", static_cast<long>(profileRuns_),
                profileMs_ / static_cast<double>(profileRuns_));
  try {
    Ort::AllocatorWithDefaultOptions alloc;
    Ort::AllocatedStringPtr file = session_.EndProfilingAllocated(alloc);
    KA_LOG_INFO("[ka_ort_profile] %s\n", file.get());
  } catch (const std::exception& e) {
    KA_LOG_ERROR("[ka_ort_profile] FAILED: %s\n", e.what());
  }
}

void Renderer::Impl::openSession(const std::string& wantedEp) {
  prepBinding_ = Ort::IoBinding(nullptr);
  prep_ = Ort::Session(nullptr);
  boundaryName_.clear();
  boundaryShape_.clear();
  boundaryCount_ = 0;
  warpNode = false;
  lipBound_ = false;
  profileMs_ = 0;
  profileRuns_ = 0;
  profiling_ = false;
  options_ = Ort::SessionOptions();
  options_.SetIntraOpNumThreads(threads_);
  options_.SetInterOpNumThreads(1);
  options_.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  if (!envStartsWith("KA_ORT_SPIN", '1')) options_.AddConfigEntry("session.intra_op.allow_spinning", "0");
  options_.AddConfigEntry("mlas.disable_kleidiai", "1");
  const std::string profile = envOr("KA_ORT_PROFILE");
  if (!profile.empty()) {
    options_.EnableProfiling(profile.c_str());
    profiling_ = true;
  }

  const bool coreml = startsWith(wantedEp, "coreml");
  if (!wantedEp.empty()) {
    if (startsWith(wantedEp, "xnnpack"))
      throw std::runtime_error(
          "Renderer: ep '" + wantedEp +
          "' is REFUSED. This renderer rewrites its graph to tavrin custom-domain nodes "
          "(com.tavrin::GridSampleFast, and com.tavrin::WarpDirector wherever KA_WARP_NODE is on), and ORT's "
          "XNNPACK execution provider SEGFAULTS while partitioning a graph that carries them — measured 2026-09-15 "
          "on a published orvane2-android AAR, null deref inside libonnxruntime.so at session create, on both a "
          "door-served and a hand-staged copy of the same identity. It is a signal, not an exception, so it cannot "
          "be caught and reported. Use the default ep (\"\", the ORT CPU EP), which opens the same bundle on the "
          "same bytes.");
    if (!coreml) throw std::runtime_error("Renderer: unknown ep '" + wantedEp + "'");
    const std::string units = wantedEp.size() >= 8 ? wantedEp.substr(7) : "all";
    const std::unordered_map<std::string, std::string> providerOptions = {
        {"ModelFormat", "MLProgram"},
        {"MLComputeUnits", coremlUnits(units)},
        {"ModelCacheDirectory", coremlCacheDir(manifest_.dir)},
    };
    options_.AppendExecutionProvider("CoreML", providerOptions);
  }

  GsBytes bytes;
  bool gsRewrite = true;
  if (envStartsWith("KA_GS_FAST", '0')) {
    bytes = readModel(modelPath_);
    bool baked = false;
    try {
      baked = graphHasBakedGridSampleFast(bytes);
    } catch (const std::exception&) {
      baked = false;  // unreadable here is ONNX Runtime's to report
    }
    if (baked)
      throw std::runtime_error(
          "Renderer: KA_GS_FAST=0 (or TAVRIN_ORVANE2_GRIDSAMPLE_FAST=0, which sets it) was asked for, but " +
          modelPath_ +
          " has com.tavrin::GridSampleFast BAKED INTO THE GRAPH. That flag disables the custom-op registration, so "
          "there would be no kernel to bind and this session would die inside ORT with 'GridSampleFast(-1) is not "
          "a registered function/op'. There is no standard-GridSample arm on this bundle to measure: the artifact "
          "itself is non-standard. Run the A/B on a STANDARD-ONNX bundle (the shipping format since "
          "INFERENCE_STANDARDIZATION.md #1), or unset the flag to load this one.");
    registerInt8ConvVNNI(options_);
    gsRewrite = false;
  } else {
    registerGridSampleFast(options_);
    registerInt8ConvVNNI(options_);
    if (envStartsWith("KA_GS_REWRITE", '0')) {
      gsRewrite = false;
      if (!coreml)
        KA_LOG_WARN(
            "[ka] KA_GS_REWRITE=0: load-time std GridSample -> com.tavrin::GridSampleFast rewrite "
            "DISABLED (%s); the custom op is still registered, so a baked bundle loads and runs its "
            "baked kernel. A standard bundle now runs ORT's own GridSample.\n",
            modelKey_.c_str());
    }
  }
  if (bytes.empty()) bytes = readModel(modelPath_);
  const std::string units = wantedEp.size() >= 8 ? wantedEp.substr(7) : "all";

  // The warp node is ours alone; the CoreML provider could not claim it.
  const std::string warpEnv = envOr("KA_WARP_NODE");
  if (!warpEnv.empty() && warpEnv[0] != '0' && !coreml) {
    // Whatever the GridSample switches say, the node needs its kernel; the domain is
    // added to these options once however many registrations ask for it.
    registerWarpDirector(options_);
    std::string reason;
    const size_t removed = rewriteWarpBlockToCustomOp(bytes, reason);
    if (removed) {
      warpNode = true;
      KA_LOG_INFO("[ka] director warp -> com.tavrin::WarpDirector (%zu nodes removed, the source cone with them)\n",
                  removed);
    } else {
      KA_LOG_WARN("[ka] director warp NOT moved to one node (%s) — the graph loads exactly as it did before\n",
                  reason.empty() ? "no reason given" : reason.c_str());
    }
  }

  // Under CoreML the custom domain cannot be claimed by the provider, so the standard
  // GridSample stays in the graph.
  const size_t gsCount = (!coreml && gsRewrite) ? rewriteGridSampleToFast(bytes) : 0;
  const size_t blendCount = normaliseStudentBlend(bytes);
  const size_t headCount = rewriteHeadCubicResize(bytes);

  if (lip_) {
    std::string reason;
    int canvas = 0;
    if (rewriteBindLipContour(bytes, reason, &canvas, nullptr)) {
      if (canvas != crop_)
        throw std::runtime_error("Renderer: the director's compose canvas is " + std::to_string(canvas) +
                                 " and this bundle's manifest declares crop " + std::to_string(crop_) +
                                 " — refusing to bind a lip contour rasterised on the wrong canvas");
      lipBound_ = true;
    } else {
      KA_LOG_WARN("[ka] !!! lip contour NOT bound to the compose alpha (%s): %s — this session serves the graph's "
                  "own ELLIPSE\n",
                  modelKey_.c_str(), reason.empty() ? "no reason given" : reason.c_str());
    }
  } else {
    KA_LOG_WARN("[ka] !!! compose alpha: ELLIPSE (%s) — this bundle carries no %s, so the director generates the "
                "over-covering elliptical region the contour replaces. BACKFILL IT: "
                "models/orvane-2/tools/carry_lip_template_fleet.py\n",
                modelKey_.c_str(), "lip_template.v1.json");
  }

  bool hoistedNow = false;
  hoist(bytes, units, coreml, hoistedNow);

  if (gsCount)
    KA_LOG_INFO("[ka] std GridSample -> com.tavrin::GridSampleFast load-time rewrite: %zu node(s) (%s)\n",
        gsCount, modelKey_.c_str());
  if (blendCount)
    KA_LOG_INFO(
        "[ka] L3 student blend MatMul -> Gemm load-time normalisation: %zu node(s) (%s) — a pre-2026-09-11 "
        "student; as MatMul this graph aborts Apple's MPSGraph compiler on every CoreML unit that includes "
        "the GPU\n",
        blendCount, modelKey_.c_str());
  if (headCount)
    KA_LOG_INFO(
        "[ka] head cubic x2 -> Pad(edge,2)+Conv5x5(dw)+DepthToSpace(2,CRD) load-time rewrite: %zu node(s) "
        "(%s) — the same filter to fp32 round-off; ORT's cubic Resize kernel is the pole on every CPU-class "
        "EP and no CoreML/NNAPI EP can claim it\n",
        headCount, modelKey_.c_str());

  if (lipBound_)
    KA_LOG_INFO("[ka] compose alpha: LIP CONTOUR (%s) — Min(a, lip_delivery) bound at load, %d verts, feather %.1f "
                "px; the graph's ellipse is not reachable in this session\n",
                modelKey_.c_str(), lip_->nv(), static_cast<double>(lip_->featherPx()));

  if (!hoistedNow) {
    if (warpNode || gsCount || blendCount || headCount || lipBound_)
      session_ = Ort::Session(env_, bytes.data(), bytes.size(), options_);
    else
      session_ = Ort::Session(env_, modelPath_.c_str(), options_);
  }

  ep = wantedEp.empty() ? "cpu" : wantedEp;
  KA_LOG_INFO("[ka] director ep=%s (%s)\n", ep.c_str(),
      coreml ? "ORT CoreML EP; unclaimed nodes on the CPU EP; std GridSample kept in the graph"
             : "ORT CPU EP");
}

void Renderer::Impl::hoist(const GsBytes& bytes, const std::string& units, bool coreml, bool& applied) {
  applied = false;
  if (coreml && (units == "all" || units == "gpu")) {
    KA_LOG_INFO("[ka] source-cone hoist NOT applied (%s): CoreML unit set '%s' can place the director on the GPU and "
                "the 12.58 MB boundary input would cross that partition every frame (measured 0.61x on an M4) — the "
                "cone stays in the graph\n",
                modelKey_.c_str(), units.c_str());
    return;
  }
  if (warpNode) {
    KA_LOG_INFO("[ka] source-cone hoist SKIPPED (%s): the warp node subsumes the cone — there is nothing left to "
                "hoist\n",
                modelKey_.c_str());
    return;
  }
  if (!(identity_->hasP() || !identity_->hevcPath().empty()) || bytes.empty()) return;

  std::string reason, boundary;
  try {
    const size_t concats = findSourceConeBoundary(bytes, boundary);
    GsBytes prepBytes, frameBytes;
    if (concats != 1) {
      reason = "expected exactly one Concat consuming P_rgb, found " + std::to_string(concats);
    } else if (buildSourceConePrep(bytes, boundary, prepBytes, reason)) {
      prepOptions_ = Ort::SessionOptions();
      prepOptions_.SetIntraOpNumThreads(1);
      prepOptions_.SetInterOpNumThreads(1);
      prepOptions_.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
      prepOptions_.AddConfigEntry("session.intra_op.allow_spinning", "0");
      prepOptions_.AddConfigEntry("mlas.disable_kleidiai", "1");
      // The cone may hold a sampler the GridSample rewrite turned into ours.
      registerGridSampleFast(prepOptions_);
      registerInt8ConvVNNI(prepOptions_);
      prep_ = Ort::Session(env_, prepBytes.data(), prepBytes.size(), prepOptions_);
      const std::vector<int64_t> shape = prep_.GetOutputTypeInfo(0).GetTensorTypeAndShapeInfo().GetShape();
      bool dynamic = false;
      for (int64_t d : shape) dynamic = dynamic || d <= 0;
      if (shape.size() != 4 || shape[0] != 1) {
        reason = "batch-1 lever; this graph declares batch " + (shape.empty() ? std::string("?") : std::to_string(shape[0]));
      } else if (dynamic) {
        reason = "boundary shape is not static";
      } else if (buildSourceConePerFrame(bytes, boundary, shape.data(), shape.size(), frameBytes, reason)) {
        session_ = Ort::Session(env_, frameBytes.data(), frameBytes.size(), options_);
        boundaryName_ = boundary;
        boundaryShape_ = shape;
        boundaryCount_ = static_cast<size_t>(shape[0] * shape[1] * shape[2] * shape[3]);
        applied = true;
        KA_LOG_INFO("[ka] source-cone hoist: '%s' [%lld,%lld,%lld,%lld] leaves the per-frame graph and is prefetched "
                    "per SOURCE FRAME on one spare core (%s)\n",
                    boundary.c_str(), static_cast<long long>(shape[0]), static_cast<long long>(shape[1]),
                    static_cast<long long>(shape[2]), static_cast<long long>(shape[3]), modelKey_.c_str());
      }
    }
  } catch (const std::exception& e) {
    reason = e.what();
  }
  if (applied) return;
  prep_ = Ort::Session(nullptr);
  boundaryName_.clear();
  boundaryShape_.clear();
  boundaryCount_ = 0;
  if (!reason.empty())
    KA_LOG_INFO("[ka] source-cone hoist NOT applied (%s): %s\n", modelKey_.c_str(), reason.c_str());
}

void Renderer::Impl::startHoist() {
  for (Slot& slot : ring_) {
    slot.index = -1;
    slot.data.assign(boundaryCount_, 0.f);
    slot.tensor = Ort::Value::CreateTensor<float>(mem_, slot.data.data(), slot.data.size(), boundaryShape_.data(),
                                                  boundaryShape_.size());
  }
  prepBinding_ = Ort::IoBinding(prep_);
  const int64_t priorShape[4] = {batch, 3, crop_, crop_};
  prepPrior_ = Ort::Value::CreateTensor<float>(mem_, prior_.data(), priorFloats_ * static_cast<size_t>(batch),
                                               priorShape, 4);
  prepBinding_.BindInput("P_rgb", prepPrior_);
  prefetch_ = std::thread([this] { prefetchLoop(); });
}

void Renderer::Impl::stopHoist() {
  if (!prefetch_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(ringMutex_);
    stop_ = true;
  }
  ringCv_.notify_all();
  prefetch_.join();
}

void Renderer::Impl::runPrepL(int s, int slot, std::unique_lock<std::mutex>& lock) {
  lock.unlock();
  std::string error;
  try {
    simd::f16ToF32(identity_->P(s), prior_.data(), priorFloats_);
    prepBinding_.BindOutput(boundaryName_.c_str(), ring_[slot].tensor);
    prep_.Run(Ort::RunOptions{nullptr}, prepBinding_);
  } catch (const std::exception& e) {
    error = e.what();
    if (error.empty()) error = "unknown error";
  }
  lock.lock();
  ++prepRuns_;
  if (!error.empty()) {
    if (stickyError_.empty()) stickyError_ = error;
  } else {
    ring_[slot].index = s;
  }
}

Renderer::Impl::Slot& Renderer::Impl::acquire(int s) {
  std::unique_lock<std::mutex> lock(ringMutex_);
  inUse_ = -1;
  for (;;) {
    if (!stickyError_.empty())
      throw std::runtime_error("Renderer: the hoisted source cone failed in ORT — " + stickyError_);
    for (int i = 0; i < 2; ++i)
      if (ring_[i].index == s) {
        inUse_ = i;
        return ring_[i];
      }
    if (pendingIndex_ < 0) {
      int victim = -1;
      for (int i = 0; i < 2 && victim < 0; ++i)
        if (i != inUse_) victim = i;
      if (victim < 0) throw std::runtime_error("Renderer: source-cone ring exhausted");
      ring_[victim].index = -1;
      runPrepL(s, victim, lock);
      continue;
    }
    ringCv_.wait(lock);
  }
}

void Renderer::Impl::requestNext(int s) {
  const int next = predictor_.next(s, identity_ ? identity_->NT() : 0);
  {
    std::lock_guard<std::mutex> lock(ringMutex_);
    if (pendingIndex_ >= 0 || !stickyError_.empty()) return;
    for (const Slot& slot : ring_)
      if (slot.index == next) return;
    int pick = -1;
    for (int i = 0; i < 2 && pick < 0; ++i)
      if (i != inUse_ && ring_[i].index != next) pick = i;
    if (pick < 0) return;
    ring_[pick].index = -1;
    pendingSlot_ = pick;
    pendingIndex_ = next;
  }
  ringCv_.notify_all();
}

void Renderer::Impl::prefetchLoop() {
  std::unique_lock<std::mutex> lock(ringMutex_);
  for (;;) {
    if (stop_) return;
    if (pendingIndex_ < 0) {
      ringCv_.wait(lock);
      continue;
    }
    runPrepL(pendingIndex_, pendingSlot_, lock);
    pendingIndex_ = -1;
    ringCv_.notify_all();
  }
}

std::vector<int64_t> Renderer::Impl::ioShape(const std::string& name, bool* found, bool output) const {
  Ort::AllocatorWithDefaultOptions alloc;
  const size_t n = output ? session_.GetOutputCount() : session_.GetInputCount();
  for (size_t i = 0; i < n; ++i) {
    if (name != (output ? session_.GetOutputNameAllocated(i, alloc) : session_.GetInputNameAllocated(i, alloc)).get())
      continue;
    *found = true;
    return (output ? session_.GetOutputTypeInfo(i) : session_.GetInputTypeInfo(i)).GetTensorTypeAndShapeInfo().GetShape();
  }
  *found = false;
  return {};
}

void Renderer::Impl::checkKeypointInput(const std::string& name) const {
  bool found = false;
  const std::vector<int64_t> s = inputShape(name, &found);
  if (!found || s.size() != 3 || s[1] <= 0 || s[1] == kHostKpRows) return;
  std::string msg = "Renderer: HOST KEYPOINT CONTRACT MISMATCH on " + modelPath_ + " — the graph declares " + name +
                    " with " + std::to_string(s[1]) + " keypoint rows, and this renderer feeds " +
                    std::to_string(kHostKpRows) + " (ka::kHostKpRows, ka/ka.h). ";
  if (s[1] == 22)
    msg +=
        "That is the recipe_v4 / kd_v4 shape: row 21 is the WIDTH ROW (wn, seal, 0), fed from the a2x encoder's "
        "second output. This engine has no width feed (see ka_a2x_width / ka_a2x_pull_wn in ka/ka_a2x.h, which "
        "nothing on this path calls yet), so it cannot drive this director. ";
  msg +=
      "REFUSING AT LOAD rather than dying inside ORT at the first Run. This build must not have been published to a "
      "host that links this renderer: training/recipe/host_kp_contract.py is the publish gate that exists to "
      "prevent it.";
  throw std::runtime_error(msg);
}

void Renderer::Impl::checkCropDims(const std::string& what, const std::vector<int64_t>& s) const {
  if (s.size() != 4) return;
  const bool off = (s[0] > 0 && s[0] != batch) || (s[1] > 0 && s[1] != 3) || (s[2] > 0 && s[2] != crop_) ||
                   (s[3] > 0 && s[3] != crop_);
  if (!off) return;
  throw std::runtime_error("Renderer: " + modelPath_ + " declares its " + what + " as " + shapeText(s) +
                           " and this bundle's manifest declares crop " + std::to_string(crop_) + " at batch " +
                           std::to_string(batch) + ", so it needs [" + std::to_string(batch) + ",3," +
                           std::to_string(crop_) + "," + std::to_string(crop_) +
                           "] — the director does not belong to this bundle's geometry. REFUSING at load rather "
                           "than failing inside ORT at the first Run.");
}

void Renderer::Impl::bind(const char* name, float* data, std::vector<int64_t> shape, bool output) {
  size_t count = 1;
  for (int64_t d : shape) count *= static_cast<size_t>(d);
  bound_.push_back(Ort::Value::CreateTensor<float>(mem_, data, count, shape.data(), shape.size()));
  if (output) binding_.BindOutput(name, bound_.back());
  else binding_.BindInput(name, bound_.back());
}

const float* Renderer::Impl::render(const int* si, const float* xs, const float* xd, int n) {
  if (n < 1 || n > batch) throw std::runtime_error("render: bad n");
  for (int i = 0; i < n; ++i)
    if (si[i] < 0 || si[i] >= identity_->NT())
      throw std::runtime_error("render: source index " + std::to_string(si[i]) + " of frame " + std::to_string(i) +
                               " is outside this identity's " + std::to_string(identity_->NT()) +
                               " source frames — refusing to read past the mapped members");
  if (conv_) return renderConv(si, xs, xd, n);
  const size_t maskFloats = static_cast<size_t>(crop_) * crop_;
  if (hoisted()) {
    Slot& slot = acquire(si[0]);
    binding_.BindInput(boundaryName_.c_str(), slot.tensor);
    simd::f16ToF32(identity_->pooled64(si[0]), pooled_.data(), kPooledFloats);
    std::memcpy(kpSource_.data(), xs, kKpFloats * sizeof(float));
    std::memcpy(kpDriving_.data(), xd, kKpFloats * sizeof(float));
    if (lipBound_) lip_->contourF32Canvas(xd, lipMask_.data());
    requestNext(si[0]);
    const auto t0 = std::chrono::steady_clock::now();
    session_.Run(runOptions_, binding_);
    profileMs_ += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    ++profileRuns_;
    return out_.data();
  }
  for (int j = 0; j < batch; ++j) {
    const size_t dj = static_cast<size_t>(j);
    float* pooled = pooled_.data() + dj * kPooledFloats;
    float* kd = kpDriving_.data() + dj * kKpFloats;
    float* ks = kpSource_.data() + dj * kKpFloats;
    if (j < n) {
      simd::f16ToF32(identity_->pooled64(si[j]), pooled, kPooledFloats);
      if (fsFamily_) simd::f16ToF32(identity_->fsRed(si[j]), fsRed_.data() + dj * kFsRedFloats, kFsRedFloats);
      else simd::f16ToF32(identity_->P(si[j]), prior_.data() + dj * priorFloats_, priorFloats_);
      std::memcpy(kd, xd + dj * kKpFloats, kKpFloats * sizeof(float));
      std::memcpy(ks, xs + dj * kKpFloats, kKpFloats * sizeof(float));
      if (lipBound_) lip_->contourF32Canvas(kd, lipMask_.data() + dj * maskFloats);
      continue;
    }
    // Padded slots render frame n-1 again, so every crop returned is a real one.
    const size_t last = static_cast<size_t>(n - 1);
    std::memcpy(pooled, pooled_.data() + last * kPooledFloats, kPooledFloats * sizeof(float));
    if (fsFamily_)
      std::memcpy(fsRed_.data() + dj * kFsRedFloats, fsRed_.data() + last * kFsRedFloats,
                  kFsRedFloats * sizeof(float));
    else
      std::memcpy(prior_.data() + dj * priorFloats_, prior_.data() + last * priorFloats_,
                  priorFloats_ * sizeof(float));
    std::memcpy(kd, kpDriving_.data() + last * kKpFloats, kKpFloats * sizeof(float));
    std::memcpy(ks, kpSource_.data() + last * kKpFloats, kKpFloats * sizeof(float));
    if (lipBound_)
      std::memcpy(lipMask_.data() + dj * maskFloats, lipMask_.data() + last * maskFloats, maskFloats * sizeof(float));
  }
  const auto t0 = std::chrono::steady_clock::now();
  session_.Run(runOptions_, binding_);
  profileMs_ += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  ++profileRuns_;
  return out_.data();
}

Renderer::Renderer(const Manifest& m, Identity& identity, const std::string& modelKey, int threads,
                   const std::string& ep)
    : impl_(std::make_unique<Impl>(m, identity, modelKey, threads, ep)) {}

Renderer::~Renderer() = default;

const float* Renderer::render(const int* si, const float* xs, const float* xd, int n) {
  return impl_->render(si, xs, xd, n);
}

int Renderer::batch() const { return impl_->batch; }
int Renderer::threads() const { return impl_->threads(); }
const std::string& Renderer::ep() const { return impl_->ep; }
const char* Renderer::backend() const { return impl_->conv_ ? "neon" : "ort"; }
const std::string& Renderer::directorNote() const { return impl_->directorNote; }

Renderer::Stages Renderer::stages() const {
  Stages st;
  st.hoisted = impl_->hoisted();
  st.warpNode = impl_->warpNode;
  st.lipBound = impl_->lipBound();
  st.prepRuns = impl_->prepRuns();
  return st;
}

}  // namespace ka

// ---- convolution engine (selection and rendering) ----
namespace ka {

// True when the engine replaces ONNX Runtime; wantedEp is cleared when a request for
// it falls back.
bool Renderer::Impl::selectConvEngine(std::string& wantedEp) {
  if (wantedEp != "neon" && !(wantedEp.empty() && envOr("KA_CONV_BACKEND") == "neon")) return false;
  if (!ConvBackend::available()) {
    KA_LOG_WARN("[ka] fp16 NEON backend requested but unavailable on this build/CPU; using ORT\n");
    wantedEp.clear();
    return false;
  }
  if (!ConvBackend::graphSupported(modelPath_)) {
    KA_LOG_WARN("[ka] NEON backend refused: %s is not the fused m4b graph (golden/unified director?); using ORT\n",
                modelPath_.c_str());
    wantedEp.clear();
    return false;
  }
  if (crop_ != 512) throw std::runtime_error("ka_conv: only crop=512 m4b bundles");
  if (!identity_->hasP() && identity_->hevcPath().empty())
    throw std::runtime_error(
        "m4b graph (P_rgb input) but this bundle carries no warp prior: neither P.f16 nor a P_hevc.mov to play in "
        "place is present, so the convolution engine would read its prior from a null pointer. REFUSING to create "
        "the engine.");
  conv_ = ConvBackend::create(modelPath_, threads_);
  ep = "neon";
  batch = conv_->batch();
  const size_t b = static_cast<size_t>(batch);
  out_.assign(b * priorFloats_, 0.f);
  convPooled_.assign(b, nullptr);
  convPrior_.assign(b, nullptr);
  if (!identity_->hasP()) convPriorCopy_.assign(b * priorFloats_, 0);
  KA_LOG_INFO("[ka] director ep=neon (fp16 convolution engine, batch %d, %d thread(s)) — no onnxruntime session "
              "created\n", batch, threads_);
  return true;
}

const float* Renderer::Impl::renderConv(const int* si, const float* xs, const float* xd, int n) {
  for (int i = 0; i < n; ++i) {
    const size_t di = static_cast<size_t>(i);
    convPooled_[di] = identity_->pooled64(si[i]);
    const uint16_t* p = identity_->P(si[i]);
    if (!convPriorCopy_.empty()) {
      uint16_t* copy = convPriorCopy_.data() + di * priorFloats_;
      std::memcpy(copy, p, priorFloats_ * sizeof(uint16_t));
      p = copy;
    }
    convPrior_[di] = p;
  }
  conv_->render(convPooled_.data(), convPrior_.data(), xs, xd, n, out_.data());
  // Padded slots repeat frame n-1, as the ONNX Runtime path renders them.
  for (int j = n; j < batch; ++j)
    std::memcpy(out_.data() + static_cast<size_t>(j) * priorFloats_,
                out_.data() + static_cast<size_t>(n - 1) * priorFloats_, priorFloats_ * sizeof(float));
  return out_.data();
}

}  // namespace ka
