#pragma once
// The speech feature frontends of the audio-to-expression stream: per video frame (640
// samples at 16 kHz) one row of 12 hidden layers x 768 features from a pretrained speech
// encoder, made either by the shared 8-second encoder run over windows that advance by
// 4 seconds, or by the short-window pair (a trunk over 2 seconds once per 8 frames and a
// head that turns the trunk's output at the legacy window's positions into rows).
//
// The ONNX Runtime sessions behind both are process-wide, loaded once and never freed
// before exit; running them needs no lock, so several streams on different threads
// share them.
#include <onnxruntime_cxx_api.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ka::a2x {

constexpr int kSampleRate = 16000;
constexpr int kHop = 640;            // samples per video frame
constexpr int kBlock = 5120;         // live cadence: 320 ms, 8 frames
constexpr int kLayers = 12;
constexpr int kFeatDim = 768;
constexpr int kRowFloats = kLayers * kFeatDim;
constexpr int kLegacySamples = 128000;  // 8 s window of the shared encoder
constexpr int kLegacyFrames = 200;
constexpr int kLegacyStride = 100;      // frames the legacy window advances by
constexpr int kShortSamples = 32000;    // 2 s trunk window
constexpr int kShortFrames = 8;         // frames per trunk run
constexpr int kTrunkChannels = 640;     // the head's input width
constexpr int kDefaultRight = 12;       // frontend right context in frames

// Feature rows a stream has made ready: per frame kRowFloats values (layer-major), each
// rounded to half precision and widened back. Rows only ever get appended.
struct FeatureRows {
  std::vector<float> data;
  int ready = 0;

  void clear() {
    data.clear();
    ready = 0;
  }
  // Makes room for rows [0, frames); existing rows are kept.
  void reserveRows(int frames) {
    const size_t need = static_cast<size_t>(frames) * kRowFloats;
    if (data.size() < need) data.resize(need);
  }
  float* row(int f) { return data.data() + static_cast<size_t>(f) * kRowFloats; }
  const float* row(int f) const { return data.data() + static_cast<size_t>(f) * kRowFloats; }
};

// The audio a frontend reads: the `count` samples pushed so far, whether the stream is
// finished, and the frames the audio covers (for a live stream counted in whole 320 ms
// blocks, so that what becomes final does not depend on how the audio was pushed).
struct AudioView {
  const float* samples = nullptr;
  size_t count = 0;
  bool finished = false;
  int frames = 0;
};

// Wall-clock seconds the calling thread has spent inside ONNX Runtime runs of the a2x
// networks (frontend, encoder, decoder) since it started: what is left of a stream's
// time is the library's own work.
double networkSeconds() noexcept;
// The calling thread's processor time inside those runs (with more than one intra-op
// thread the runtime's workers spend more, on their own threads).
double networkCpuSeconds() noexcept;

// Session::Run, adding its wall time to the calling thread's networkSeconds().
void timedRun(Ort::Session& s, const char* const* inNames, const Ort::Value* in, size_t nIn,
              const char* const* outNames, Ort::Value* out, size_t nOut);
std::vector<Ort::Value> timedRun(Ort::Session& s, const char* const* inNames, const Ort::Value* in, size_t nIn,
                                 const char* const* outNames, size_t nOut);

// Rounds n floats to the nearest half-precision value (ties to even; overflow keeps its
// sign as infinity) and widens them back, in place. `scratch` holds at least n halves.
void roundToHalf(float* x, size_t n, uint16_t* scratch);

// (x - mean) / sqrt(var + 1e-7) over the whole buffer, population variance.
void normaliseWindow(float* x, size_t n);

// ---------------------------------------------------------------- session plumbing

// Creates a session from the file; when the runtime refuses a float16 Gelu that its
// level-2 fusion made, says so and reopens with basic optimisation (lowering `options`).
Ort::Session openSession(Ort::Env& env, const std::string& path, Ort::SessionOptions& options);

// Appends the CUDA execution provider when KA_A2X_CUDA is "1" and the tag is "w2v";
// a failed append is reported and the session stays on the CPU.
void cudaStep(Ort::SessionOptions& options, const char* tag);

// Options of the frontend sessions: threads < 1 means the worker pool's count.
Ort::SessionOptions frontendOptions(int threads);

// ---------------------------------------------------------------- process-wide sessions

// The shared 8-second encoder, loading it from `path` on first need (the first
// successful load wins for the process). Throws the runtime's reason on failure.
Ort::Session& loadSharedEncoder(const std::string& path, int threads);
// As loadSharedEncoder, null on failure (the reason is written to the log).
Ort::Session* sharedEncoder(const std::string& path, int threads) noexcept;
// The speech encoder path a host preloaded (ka_a2x_preload_w2v): streams created
// without $W2V_ONNX use it. Empty until a preload succeeded.
void setPreloadedEncoderPath(const std::string& path);
std::string preloadedEncoderPath();

// The short-window pair as loaded for the process.
struct ShortWindowPair {
  Ort::Session* trunk = nullptr;
  Ort::Session* head = nullptr;
  const char* trunkOut = nullptr;
};
// Selects and loads the pair once per process (later calls return what the first one
// found, whatever their arguments). Returns whether the pair is active.
bool tryShortWindow(int threads, const std::string& encoderPath);
// The loaded pair; trunk and head are null when it is not active.
ShortWindowPair shortWindowPair() noexcept;

// The encoder's features for 8 s of silence: kLegacyFrames rows of kRowFloats, not
// rounded. Computed once per process with `encoder`.
const std::vector<float>& silenceFeatures(Ort::Session& encoder);

// ---------------------------------------------------------------- per-stream fills

// The legacy 8-second window walk: windows at origins 0, 100, 200, ... frames; each
// stores its frames from local position 50 (0 for the first window) to 199.
class LegacyWindow {
 public:
  LegacyWindow();
  // Back to origin 0, or to an origin saved from origin() when an advance is undone.
  void reset(int origin = 0) { origin_ = origin; }
  int origin() const { return origin_; }
  // The walk over a whole utterance (offline): rows up to `target` from windows that
  // see all the audio in them. `right` is the frontend's right context in frames.
  void fill(Ort::Session& encoder, const AudioView& audio, int right, int target, FeatureRows& rows);
  // The same walk for a stream, where a row must not depend on how the audio was
  // pushed. The window is bidirectional and normalised as a whole, so every sample in
  // it moves every row. Frame f's row is therefore made by the window that serves f
  // fed the audio up to a cut fixed by f alone: the first whole block (8 frames) that
  // leaves `right` frames after f, or the window's end, or the end of a finished
  // stream; live, the row waits until that much audio is pushed. Frames with the same
  // cut share one run, so a live stream runs the encoder once per 8 frames however
  // its audio arrives (a finished one pushed at once too: the price of frames that do
  // not change with the push sizes). Needs no state beyond the rows.
  void fillStream(Ort::Session& encoder, const AudioView& audio, int right, int target, FeatureRows& rows);

 private:
  // Normalises window_ in place, runs the encoder on it and returns its layer rows,
  // which live as long as `out`.
  const float* encodeWindow(Ort::Session& encoder, Ort::Value& out);

  int origin_ = 0;
  std::vector<float> window_;
  std::vector<uint16_t> halves_;
  Ort::MemoryInfo mem_;
};

// The short-window fill: one trunk window per 8 frames, its output resampled at the
// positions the legacy window would use for those frames, turned into rows by the head.
class ShortWindow {
 public:
  ShortWindow();
  // Makes rows ready up to `target` in steps of 8 frames; live, only while the trunk's
  // window ends inside the pushed audio. `rightContext` is the short-window right
  // context R in frames.
  void fill(const ShortWindowPair& pair, const AudioView& audio, int rightContext, int target,
            FeatureRows& rows);

 private:
  // The window origin always equals the ready count, so the rows carry it.
  std::vector<float> window_;
  std::vector<float> headIn_;
  std::vector<float> trunk_;
  std::vector<uint16_t> halves_;
  Ort::MemoryInfo mem_;
};

// Position in the trunk's output of frame f, for a trunk window ending at sample `end`:
// where the legacy window that serves frame f sees it, on the 80-sample grid.
double shortWindowPosition(int frame, int64_t end);

}  // namespace ka::a2x
