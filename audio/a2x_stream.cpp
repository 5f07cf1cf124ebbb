// The streaming audio-to-expression engine: members, the three-stage advance, driver
// index walk, offline deltas and silence priming.
#include "audio/a2x_stream.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "bundle/file_io.h"
#include "bundle/member.h"
#include "compute/pool.h"
#include "base/log.h"

namespace ka::a2x {
namespace {

constexpr int kChunk = 64;          // encoder frames per run
constexpr int kShortStep = 8;       // frames one avail() advances with the short window
constexpr int kLegacyStep = 64;     // ... and with the legacy window
constexpr int kPrimeMaxFrames = kLegacyFrames;

std::once_flag g_cadence_once;

// A meta value: the first occurrence of "key", the first ':' after it, then a decimal
// integer. Anything else leaves `fallback`.
int metaInt(const std::string& text, const char* key, int fallback, bool* found = nullptr) {
  if (found) *found = false;
  const size_t at = text.find(std::string("\"") + key + "\"");
  if (at == std::string::npos) return fallback;
  const size_t colon = text.find(':', at);
  if (colon == std::string::npos) return fallback;
  const char* p = text.c_str() + colon + 1;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(p, &end, 10);
  if (end == p || errno == ERANGE || v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
    return fallback;
  if (found) *found = true;
  return static_cast<int>(v);
}

// The width key: true, false or an integer after blanks and tabs; absent is 0.
int metaWidth(const std::string& text) {
  const size_t at = text.find("\"width\"");
  if (at == std::string::npos) return 0;
  const size_t colon = text.find(':', at);
  if (colon == std::string::npos) return 0;
  size_t i = colon + 1;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  if (text.compare(i, 4, "true") == 0) return 1;
  if (text.compare(i, 5, "false") == 0) return 0;
  // Only 0 and 1 mean anything; a number outside int must not wrap onto one of them.
  const long v = std::strtol(text.c_str() + i, nullptr, 10);
  return v < 0 || v > 1 ? -1 : static_cast<int>(v);
}

// An environment integer; unset or unparsable gives `fallback`.
int envInt(const char* name, int fallback, bool* set = nullptr) {
  if (set) *set = false;
  const char* v = std::getenv(name);
  if (!v || !*v) return fallback;
  char* end = nullptr;
  errno = 0;
  const long x = std::strtol(v, &end, 10);
  if (end == v || errno == ERANGE || x < std::numeric_limits<int>::min() || x > std::numeric_limits<int>::max())
    return fallback;
  if (set) *set = true;
  return static_cast<int>(x);
}

std::vector<float> readFloats(const std::string& path) {
  const std::string bytes = readFile(path);
  std::vector<float> v(bytes.size() / sizeof(float));
  if (!v.empty()) std::memcpy(v.data(), bytes.data(), v.size() * sizeof(float));
  return v;
}

int64_t floorMod(int64_t a, int64_t m) { return ((a % m) + m) % m; }

int ceilFrames(size_t samples) { return static_cast<int>((samples + kHop - 1) / kHop); }

}  // namespace

// One decoder state (previous output and recurrent state) with tensors bound to its
// buffers once, so a frame's run creates nothing.
struct A2xStream::Decoder {
  std::vector<float> ctx, prev, h, m, hOut;
  std::vector<Ort::Value> in, out;

  Decoder(const Ort::MemoryInfo& mem, int hdim) : ctx(hdim), prev(kKpFloats), h(hdim), m(kKpFloats), hOut(hdim) {
    const int64_t ctxShape[] = {1, hdim};
    const int64_t kpShape[] = {1, kKpFloats};
    const int64_t hShape[] = {1, 1, hdim};
    in.push_back(Ort::Value::CreateTensor<float>(mem, ctx.data(), ctx.size(), ctxShape, 2));
    in.push_back(Ort::Value::CreateTensor<float>(mem, prev.data(), prev.size(), kpShape, 2));
    in.push_back(Ort::Value::CreateTensor<float>(mem, h.data(), h.size(), hShape, 3));
    out.push_back(Ort::Value::CreateTensor<float>(mem, m.data(), m.size(), kpShape, 2));
    out.push_back(Ort::Value::CreateTensor<float>(mem, hOut.data(), hOut.size(), hShape, 3));
  }

  // Previous output and state from the primed ones, or zeros.
  void start(const std::vector<float>& primedPrev, const std::vector<float>& primedH) {
    if (!primedPrev.empty()) {
      std::copy(primedPrev.begin(), primedPrev.end(), prev.begin());
      std::copy(primedH.begin(), primedH.end(), h.begin());
    } else {
      std::fill(prev.begin(), prev.end(), 0.0f);
      std::fill(h.begin(), h.end(), 0.0f);
    }
  }
};

A2xStream::~A2xStream() = default;

A2xStream::A2xStream(const std::string& dir, int threads, int contextFrames)
    : env_(ORT_LOGGING_LEVEL_WARNING, "ka_a2x", log::ortLoggingFunction, nullptr),
      mem_(Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault)) {
  const int poolThreads = pool::threads();
  threads_ = threads > 0 && threads < poolThreads ? threads : poolThreads;
  std::call_once(g_cadence_once, [this] {
    KA_LOG_INFO(
        "[ka_a2x] live cadence: block-%d (one trunk window per %d frames), push-size invariant, "
        "threads=%d\n",
        kBlock * 1000 / kSampleRate, kShortFrames, threads_);
  });

  options_.SetIntraOpNumThreads(threads_);
  options_.SetInterOpNumThreads(1);
  options_.AddConfigEntry("session.intra_op.allow_spinning", "0");
  options_.SetGraphOptimizationLevel(ORT_ENABLE_ALL);
  cudaStep(options_, "enc/dec");

  readMeta(dir);
  right_ = std::max(0, envInt("KA_A2X_W2V_RIGHT", kDefaultRight));
  readTables(dir, contextFrames);

  const char* w2v = std::getenv("W2V_ONNX");
  w2vPath_ = w2v && *w2v ? std::string(w2v) : preloadedEncoderPath();
  if (w2vPath_.empty()) throw std::runtime_error("$W2V_ONNX not set");
  if (tryShortWindow(threads_, w2vPath_)) {
    pair_ = shortWindowPair();
    shortWindow_ = true;
    shortRight_ = right_;
    right_ += kShortFrames;
  } else {
    w2v_ = sharedEncoder(w2vPath_, threads_);
    if (!w2v_) throw std::runtime_error("shared w2v load failed");
  }

  openNetworks(dir);
  state_ = std::make_unique<Decoder>(mem_, h_);
  savedPrev_.resize(kKpFloats);
  savedH_.resize(static_cast<size_t>(h_));
  const size_t maxL = static_cast<size_t>(kChunk + lookBack_ + lookAhead_);
  posScratch_.reserve(maxL * static_cast<size_t>(h_));
  attnScratch_.reserve(maxL * maxL);

  const int k = envInt("KA_A2X_SILENCE_PRIME", silencePrime_);
  if (k > 0) {
    if (!w2v_) {
      w2v_ = sharedEncoder(w2vPath_, threads_);
      if (!w2v_) throw std::runtime_error("shared w2v load failed (silence_prime)");
    }
    prime(std::min(k, kPrimeMaxFrames));
  }
  reset(0, 1, 1);
}

void A2xStream::readMeta(const std::string& dir) {
  std::string text;
  try {
    text = readText(resolveMember(dir, "a2x_meta.json"));
  } catch (const std::exception&) {
    throw std::runtime_error("a2x_meta.json missing in " + dir);
  }
  bool haveWindow = false, haveLeft = false;
  h_ = metaInt(text, "h", 256);
  window_ = metaInt(text, "window", -1, &haveWindow);
  left_ = metaInt(text, "left", -1, &haveLeft);
  layers_ = metaInt(text, "layers", 6);
  metaWidth_ = metaWidth(text);
  silencePrime_ = metaInt(text, "silence_prime", 0);
  if (!haveWindow || !haveLeft || window_ < 0 || left_ < 0)
    throw std::runtime_error("meta lacks causal window/left (not a streaming a2x)");
  // Sizes the rest of the engine multiplies by; a meta outside them is no model.
  if (h_ < 1 || h_ > 65536 || layers_ < 0 || layers_ > 1024 || window_ > 4096 || left_ > 4096)
    throw std::runtime_error("a2x_meta.json of " + dir + " declares h=" + std::to_string(h_) +
                             ", layers=" + std::to_string(layers_) + ", window=" + std::to_string(window_) +
                             ", left=" + std::to_string(left_) + " — refusing a stream outside 1 <= h <= 65536, "
                             "0 <= layers <= 1024, window and left <= 4096");
  lookBack_ = left_ * layers_;
  lookAhead_ = window_ * layers_;
}

void A2xStream::readTables(const std::string& dir, int contextFrames) {
  std::vector<float> norm, xs;
  try {
    pos_ = readFloats(resolveMember(dir, "a2x_pos.f32"));
    norm = readFloats(resolveMember(dir, "a2x_norm.f32"));
    xs = readFloats(resolveMember(dir, "xs_target.bin"));
  } catch (const std::exception& e) {
    throw std::runtime_error(std::string("pos/norm/xs_target read failed (") + e.what() + ")");
  }
  if (pos_.size() < 2 * static_cast<size_t>(h_) || norm.size() < 2 * kKpFloats || xs.size() < kKpFloats)
    throw std::runtime_error("pos/norm/xs_target read failed");
  // Rows made for another identity's video would be served against this one's frames.
  if (contextFrames > 0 && xs.size() != static_cast<size_t>(contextFrames) * kKpFloats)
    throw std::runtime_error("xs_target.bin of " + dir + " holds " + std::to_string(xs.size() / kKpFloats) +
                             " driver frames (" + std::to_string(xs.size()) + " floats) but the context's driver " +
                             "video has " + std::to_string(contextFrames) + " (" +
                             std::to_string(static_cast<size_t>(contextFrames) * kKpFloats) +
                             " floats): this motion directory was made for another identity");
  posRows_ = static_cast<int>(std::min<size_t>(pos_.size() / static_cast<size_t>(h_), std::numeric_limits<int>::max()));
  pos_.resize(static_cast<size_t>(posRows_) * static_cast<size_t>(h_));
  mean_.assign(norm.begin(), norm.begin() + kKpFloats);
  std_.assign(norm.begin() + kKpFloats, norm.begin() + 2 * kKpFloats);
  nt_ = static_cast<int>(std::min<size_t>(xs.size() / kKpFloats, std::numeric_limits<int>::max()));
  xs_.assign(xs.begin(), xs.begin() + static_cast<size_t>(nt_) * kKpFloats);
}

void A2xStream::openNetworks(const std::string& dir) {
  enc_ = openSession(env_, resolveMember(dir, "a2x_enc_stream.onnx"), options_);
  dec_ = openSession(env_, resolveMember(dir, "a2x_dec.onnx"), options_);
  Ort::AllocatorWithDefaultOptions alloc;
  const size_t outs = enc_.GetOutputCount();
  for (size_t i = 0; i < std::min<size_t>(outs, 2); ++i)
    encOutNames_.push_back(enc_.GetOutputNameAllocated(i, alloc).get());
  hasWn_ = outs > 1;
  if (metaWidth_ != static_cast<int>(hasWn_))
    KA_LOG_WARN(
        "[ka_a2x] WARNING: a2x_meta width=%d but the encoder declares %zu output(s) — serving the GRAPH "
        "(width=%d). Repackage this bundle.\n",
        metaWidth_, outs, static_cast<int>(hasWn_));
}

void A2xStream::prime(int frames) {
  try {
    const std::vector<float>& silence = silenceFeatures(*w2v_);
    FeatureRows rows;
    rows.reserveRows(frames);
    std::memcpy(rows.row(0), silence.data(), static_cast<size_t>(frames) * kRowFloats * sizeof(float));
    std::vector<uint16_t> halves(static_cast<size_t>(frames) * kRowFloats);
    roundToHalf(rows.row(0), halves.size(), halves.data());
    rows.ready = frames;
    Encoded enc;
    encode(rows, 0, frames, frames, enc);
    Decoder d(mem_, h_);
    d.start({}, {});
    std::vector<float> delta(kKpFloats);
    for (int t = 0; t < frames; ++t)
      decodeFrame(d, enc.rows.data() + static_cast<size_t>(t) * h_, delta.data());
    primedPrev_ = d.prev;
    primedH_ = d.h;
    KA_LOG_INFO("[ka_a2x] silence-primed AR state cached (%d frames)\n", frames);
  } catch (const std::exception& e) {
    primedPrev_.clear();
    primedH_.clear();
    KA_LOG_WARN("[ka_a2x] silence-prime failed (%s) -- legacy zero state\n", e.what());
  }
}

Ort::Session& A2xStream::legacyEncoder() {
  if (!w2v_) {
    w2v_ = sharedEncoder(w2vPath_, threads_);
    if (!w2v_)
      throw std::runtime_error("the shared 8 s w2v encoder did not load ($W2V_ONNX=" + w2vPath_ + ")");
  }
  return *w2v_;
}

void A2xStream::push(const float* samples, int count) {
  if (count <= 0) return;
  audio_.insert(audio_.end(), samples, samples + count);
}

int A2xStream::coveredFrames() const {
  const size_t n = audio_.size();
  if (finished_) return ceilFrames(n);
  const size_t blocks = (n + kHop - 1) / kBlock * kBlock;
  return ceilFrames(std::min(n, blocks));
}

int A2xStream::framesPossible() const {
  if (finished_) return ceilFrames(audio_.size());
  return std::max(0, coveredFrames() - std::max(lookAhead_, right_));
}

int A2xStream::total() const { return finished_ ? ceilFrames(audio_.size()) : -1; }

int A2xStream::driverIndex(int64_t o) const {
  if (nt_ <= 1) return 0;
  const int64_t b = o * direction_ + start_;
  if (cyclic_) return static_cast<int>(floorMod(b, nt_));
  const int64_t p = 2 * static_cast<int64_t>(nt_ - 1);
  const int64_t r = floorMod(b, p);
  return static_cast<int>(r <= nt_ - 1 ? r : p - r);
}

int A2xStream::avail() {
  if (!error_.empty()) return -1;
  const int f = framesPossible();
  if (decoded_ < f) extend(std::min(f, decoded_ + (shortWindow_ ? kShortStep : kLegacyStep)));
  if (!error_.empty()) return -1;
  return static_cast<int>(std::max<int64_t>(0, decoded_ - pulled_));
}

int A2xStream::pull(int* si, float* xs, float* xd, float* wn, int max) {
  if (!error_.empty()) return -1;
  if (max <= 0) return 0;
  const int f = framesPossible();
  if (decoded_ - pulled_ <= 0 && pulled_ < f)
    extend(static_cast<int>(std::min<int64_t>(f, pulled_ + max)));
  if (!error_.empty()) return -1;
  const int64_t lim = std::min(decoded_, f);
  int n = 0;
  for (int64_t o = pulled_; o < lim && n < max; ++o, ++n) {
    const int s = driverIndex(o);
    si[n] = s;
    const float* src = xs_.data() + static_cast<size_t>(s) * kKpFloats;
    const float* d = deltas_.data() + static_cast<size_t>(o) * kKpFloats;
    float* xsOut = xs + static_cast<size_t>(n) * kKpFloats;
    float* xdOut = xd + static_cast<size_t>(n) * kKpFloats;
    for (int k = 0; k < kKpFloats; ++k) {
      xsOut[k] = src[k];
      xdOut[k] = src[k] + d[k];
    }
    if (wn) wn[n] = hasWn_ && o < encodedCount_ ? encoded_.wn[static_cast<size_t>(o)] : 0.0f;
  }
  pulled_ += n;
  return n;
}

void A2xStream::reset(int start, int direction, int loop) {
  const bool cyclic = loop != 0;
  int64_t next = start;
  if (start < 0) {
    if (nt_ < 2) {
      next = 0;
    } else if (!cyclic_ && !cyclic) {
      // Ping-pong to ping-pong keeps the phase, so a driver walking backwards keeps
      // walking backwards instead of turning at the next utterance.
      next = floorMod(pulled_ * direction_ + start_, 2 * static_cast<int64_t>(nt_ - 1));
    } else {
      next = driverIndex(pulled_);
    }
  }
  start_ = next;
  audio_.clear();
  feat_.clear();
  encoded_.rows.clear();
  encoded_.wn.clear();
  deltas_.clear();
  finished_ = false;
  pulled_ = 0;
  legacy_.reset();
  encodedCount_ = 0;
  decoded_ = 0;
  state_->start(primedPrev_, primedH_);
  direction_ = direction < 0 ? -1 : 1;
  cyclic_ = cyclic;
  error_.clear();
}

void A2xStream::extend(int target) {
  const int featReady = feat_.ready, origin = legacy_.origin(), encoded = encodedCount_, decoded = decoded_;
  std::copy(state_->prev.begin(), state_->prev.end(), savedPrev_.begin());
  std::copy(state_->h.begin(), state_->h.end(), savedH_.begin());
  try {
    extendStages(target);
  } catch (const std::exception& e) {
    feat_.ready = featReady;
    legacy_.reset(origin);
    encodedCount_ = encoded;
    decoded_ = decoded;
    std::copy(savedPrev_.begin(), savedPrev_.end(), state_->prev.begin());
    std::copy(savedH_.begin(), savedH_.end(), state_->h.begin());
    error_ = std::string("ka_a2x extend: ") + e.what();
  }
}

void A2xStream::extendStages(int target) {
  const int covered = coveredFrames();
  // The encoder looks ahead of the last frame it emits, so features go that far.
  const int featTarget = std::max(target, std::min(target + lookAhead_, covered));
  const AudioView view{audio_.data(), audio_.size(), finished_, covered};
  if (shortWindow_)
    short_.fill(pair_, view, shortRight_, featTarget, feat_);
  else
    legacy_.fillStream(legacyEncoder(), view, right_, featTarget, feat_);
  // A frame is final only once the features of its whole look-ahead are: encoded with
  // the context cut to the rows ready so far, it would differ from the same frame made
  // after a larger push. Live, the look-ahead never reaches past the covered audio
  // (frames stop max(look-ahead, right) short of it); finished, it ends with the audio.
  const int contextEnd = finished_ ? covered : std::numeric_limits<int>::max();
  if (feat_.ready < contextEnd) target = std::min(target, feat_.ready - lookAhead_);
  target = std::min(target, feat_.ready);

  if (encodedCount_ < target) {
    encode(feat_, encodedCount_, target, std::min(covered, feat_.ready), encoded_);
    encodedCount_ = target;
  }
  if (decoded_ < target) {
    const size_t need = static_cast<size_t>(target) * kKpFloats;
    if (deltas_.size() < need) deltas_.resize(need);
    for (int t = decoded_; t < target; ++t)
      decodeFrame(*state_, encoded_.rows.data() + static_cast<size_t>(t) * h_,
                  deltas_.data() + static_cast<size_t>(t) * kKpFloats);
    decoded_ = target;
  }
}

void A2xStream::positionRow(int64_t i, float* dst) const {
  const int64_t p = posRows_;
  const int64_t half = p / 2;
  const int64_t r = i < p ? i : (i - p) % (p - half) + half;
  std::memcpy(dst, pos_.data() + static_cast<size_t>(r) * h_, static_cast<size_t>(h_) * sizeof(float));
}

void A2xStream::encode(const FeatureRows& feat, int from, int to, int covered, Encoded& enc) {
  const size_t hs = static_cast<size_t>(h_);
  if (enc.rows.size() < static_cast<size_t>(to) * hs) enc.rows.resize(static_cast<size_t>(to) * hs);
  if (hasWn_ && enc.wn.size() < static_cast<size_t>(to)) enc.wn.resize(static_cast<size_t>(to));
  const char* inNames[] = {"feat", "pos_window", "attn"};
  const char* outNames[2] = {encOutNames_[0].c_str(), hasWn_ ? encOutNames_[1].c_str() : nullptr};
  const float kBlocked = -std::numeric_limits<float>::infinity();

  for (int s = from; s < to;) {
    int e = std::min(s + kChunk, to);
    const int c0 = std::max(0, s - lookBack_);
    int c1 = std::min(e + lookAhead_, covered);
    if (s < posRows_) {
      e = std::min(e, posRows_);
      c1 = std::min(c1, posRows_);
    }
    c1 = std::max(c1, e);
    if (c1 > feat.ready) throw std::runtime_error("feature rows missing for the encoder context");
    const int L = c1 - c0;
    const size_t l = static_cast<size_t>(L);

    posScratch_.resize(l * hs);
    for (int i = 0; i < L; ++i) positionRow(c0 + i, posScratch_.data() + static_cast<size_t>(i) * hs);
    attnScratch_.resize(l * l);
    for (int i = 0; i < L; ++i)
      for (int j = 0; j < L; ++j)
        attnScratch_[static_cast<size_t>(i) * l + j] = (j > i + window_ || j < i - left_) ? kBlocked : 0.0f;

    const int64_t featShape[] = {1, L, kLayers, kFeatDim};
    const int64_t posShape[] = {1, L, h_};
    const int64_t attnShape[] = {1, 1, L, L};
    Ort::Value ins[3] = {
        Ort::Value::CreateTensor<float>(mem_, const_cast<float*>(feat.row(c0)), l * kRowFloats, featShape, 4),
        Ort::Value::CreateTensor<float>(mem_, posScratch_.data(), posScratch_.size(), posShape, 3),
        Ort::Value::CreateTensor<float>(mem_, attnScratch_.data(), attnScratch_.size(), attnShape, 4)};
    auto outs = timedRun(enc_, inNames, ins, 3, outNames, hasWn_ ? 2 : 1);

    if (outs[0].GetTensorTypeAndShapeInfo().GetElementCount() != l * hs)
      throw std::runtime_error("encoder output " + encOutNames_[0] + " is not [1, " + std::to_string(L) + ", " +
                               std::to_string(h_) + "]");
    const float* rows = outs[0].GetTensorData<float>();
    std::memcpy(enc.rows.data() + static_cast<size_t>(s) * hs, rows + static_cast<size_t>(s - c0) * hs,
                static_cast<size_t>(e - s) * hs * sizeof(float));
    if (hasWn_) {
      if (outs[1].GetTensorTypeAndShapeInfo().GetElementCount() != l)
        throw std::runtime_error("encoder output " + encOutNames_[1] + " does not give one value per position");
      const float* w = outs[1].GetTensorData<float>();
      std::memcpy(enc.wn.data() + s, w + (s - c0), static_cast<size_t>(e - s) * sizeof(float));
    }
    s = e;
  }
}

void A2xStream::decodeFrame(Decoder& d, const float* ctx, float* delta) {
  static const char* inNames[] = {"ctx_t", "prev", "h"};
  static const char* outNames[] = {"m", "h_out"};
  std::memcpy(d.ctx.data(), ctx, d.ctx.size() * sizeof(float));
  timedRun(dec_, inNames, d.in.data(), 3, outNames, d.out.data(), 2);
  for (int k = 0; k < kKpFloats; ++k) delta[k] = d.m[k] * std_[k] + mean_[k];
  std::copy(d.m.begin(), d.m.end(), d.prev.begin());
  std::copy(d.hOut.begin(), d.hOut.end(), d.h.begin());
}

int A2xStream::deltas(const float* samples, int count, float* out, float* outWn, int capFrames) {
  const size_t n = count > 0 ? static_cast<size_t>(count) : 0;
  const int frames = ceilFrames(n);
  if (capFrames < frames) return -2;
  if (frames == 0) {
    offlineWn_.clear();
    return 0;
  }
  Ort::Session& encoder = legacyEncoder();
  FeatureRows feat;
  LegacyWindow window;
  const AudioView view{samples, n, true, frames};
  window.fill(encoder, view, right_, frames, feat);
  Encoded enc;
  encode(feat, 0, frames, frames, enc);
  Decoder d(mem_, h_);
  d.start(primedPrev_, primedH_);
  std::vector<float> result(static_cast<size_t>(frames) * kKpFloats);
  for (int t = 0; t < frames; ++t)
    decodeFrame(d, enc.rows.data() + static_cast<size_t>(t) * h_, result.data() + static_cast<size_t>(t) * kKpFloats);
  offlineWn_.assign(static_cast<size_t>(frames), 0.0f);
  if (hasWn_) std::copy(enc.wn.begin(), enc.wn.begin() + frames, offlineWn_.begin());
  // Nothing reaches the caller unless the whole utterance went through.
  std::memcpy(out, result.data(), result.size() * sizeof(float));
  if (outWn) std::memcpy(outWn, offlineWn_.data(), offlineWn_.size() * sizeof(float));
  return frames;
}

}  // namespace ka::a2x
