#include "audio/motion_generator.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "compute/pool.h"
#include "base/log.h"

namespace ka::audio {

namespace {

constexpr int kLipKeypoints[] = {6, 12, 14, 17, 19, 20};
constexpr int kExpOffset = MotionGenerator::kCode - 63;  // expression: the last 63 values

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point& t) {
  const Clock::time_point now = Clock::now();
  const double ms = std::chrono::duration<double, std::milli>(now - t).count();
  t = now;
  return ms;
}

// A tensor over a buffer the generator owns and never reallocates (the tensor keeps its
// own copy of the memory description).
Ort::Value tensorOver(std::vector<float>& buf, std::vector<int64_t> shape) {
  const Ort::MemoryInfo mem = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  return Ort::Value::CreateTensor<float>(mem, buf.data(), buf.size(), shape.data(), shape.size());
}

// Three-tap mean of the leading values of rows a .. b-1, neighbours clipped to the rows
// that exist, read from a copy taken before the pass.
void smoothRows(float* rows, int count, int a, int b, std::vector<float>& scratch) {
  constexpr int W = MotionGenerator::kCode, S = MotionGenerator::kSmoothed;
  a = std::max(a, 0);
  b = std::min(b, count);
  if (a >= b) return;
  const int lo = std::max(a - 1, 0), hi = std::min(b + 1, count);
  scratch.resize(static_cast<size_t>(hi - lo) * S);
  for (int i = lo; i < hi; ++i) std::memcpy(&scratch[static_cast<size_t>(i - lo) * S], rows + size_t(i) * W, S * 4);
  for (int i = a; i < b; ++i) {
    const int i0 = std::max(i - 1, 0), i1 = std::min(i + 1, count - 1);
    const float inv = 1.f / static_cast<float>(i1 - i0 + 1);
    float* out = rows + size_t(i) * W;
    for (int v = 0; v < S; ++v) {
      float sum = 0;
      for (int j = i0; j <= i1; ++j) sum += scratch[static_cast<size_t>(j - lo) * S + v];
      out[v] = sum * inv;
    }
  }
}

}  // namespace

MotionGenerator::MotionGenerator(const std::string& dir, int threads, const std::string& ep, int contextFrames)
    : m_(loadMotionMembers(dir)),
      env_(ORT_LOGGING_LEVEL_WARNING, "ka_motion", log::ortLoggingFunction, nullptr),
      logMel_(m_.window, m_.binmat) {
  // The keypoint records and xs_target rows are per driver frame of one identity's
  // video; another identity's would be served against this video's frames.
  if (contextFrames > 0 && m_.meta.nt != contextFrames)
    throw std::runtime_error("the motion directory " + dir + " has nt=" + std::to_string(m_.meta.nt) +
                             " driver frames (meta.json, src_xs_info.bin, xs_target.bin) but the context's driver "
                             "video has " + std::to_string(contextFrames) +
                             ": it was made for another identity");
  const int intra = threads < 1 ? pool::threads() : threads;
  const std::string cache = dir + "/coreml_cache";
  hubert_ = Net::open(env_, m_.path("hubert_student.onnx"), intra, ep, cache);
  lmdm_ = Net::open(env_, m_.path("lmdm.onnx"), intra, ep, cache);
  stitch_ = Net::open(env_, m_.path("stitch.onnx"), intra, ep, cache);
  hubert_.expect({{1, LogMel::kBands, LogMel::kFrames}}, {{1, kFeatFrames, kFeat}});
  lmdm_.expect({{1, kCode}, {1, kChunk, kCondWidth}}, {{1, kChunk, kCode}});
  stitch_.expect({{1, 63}, {1, 63}}, {{1, 21, 3}});

  if (const char* d = std::getenv("KA_MOTION_DUMP"); d && *d) dumpDir_ = d;

  // The reference code: scale - 1, pitch, yaw and roll bins, translation, expression.
  const float* ref = m_.refRecord.data();
  refCode_.resize(kCode);
  refCode_[0] = ref[record::kScale] - 1.f;
  std::copy_n(ref + record::kPitch, 66, &refCode_[1]);
  std::copy_n(ref + record::kYaw, 66, &refCode_[67]);
  std::copy_n(ref + record::kRoll, 66, &refCode_[133]);
  std::copy_n(ref + record::kTrans, 3, &refCode_[199]);
  std::copy_n(ref + record::kExp, 63, &refCode_[kExpOffset]);

  lipMask_.assign(63, 0.f);
  for (int k : kLipKeypoints) std::fill_n(&lipMask_[3 * k], 3, 1.f);
  scaleRatio_ = ref[record::kScale] / m_.srcRecords[record::kScale];

  // Pose and the source keypoints depend on the driver frame only.
  const int nt = m_.meta.nt;
  sourceKp_.resize(static_cast<size_t>(nt) * 63);
  drivenRot_.resize(nt);
  for (int si = 0; si < nt; ++si) {
    const float* r = &m_.srcRecords[static_cast<size_t>(si) * record::kFloats];
    const float pitch = decodeAngle(r + record::kPitch), yaw = decodeAngle(r + record::kYaw),
                roll = decodeAngle(r + record::kRoll);
    placeKeypoints(r + record::kCanonical, rotation(pitch, yaw, roll), r + record::kExp, r[record::kScale],
                   r + record::kTrans, &sourceKp_[static_cast<size_t>(si) * 63]);
    drivenRot_[si] = rotation(pitch + m_.meta.deltaPitch, yaw, roll);
  }

  samples_.resize(LogMel::kSamples);
  mel_.resize(LogMel::kBands * LogMel::kFrames);
  feat_.resize(kFeatFrames * kFeat);
  code_.resize(kCode);
  chunkCond_.resize(static_cast<size_t>(kChunk) * kCondWidth);
  pred_.resize(static_cast<size_t>(kChunk) * kCode);
  src_.resize(63);
  drv_.resize(63);
  stitched_.resize(63);
  exp_.resize(63);
  tail_.resize(static_cast<size_t>(kFade) * kCode);
  melT_ = tensorOver(mel_, {1, LogMel::kBands, LogMel::kFrames});
  featT_ = tensorOver(feat_, {1, kFeatFrames, kFeat});
  lmdmIn_.push_back(tensorOver(code_, {1, kCode}));
  lmdmIn_.push_back(tensorOver(chunkCond_, {1, kChunk, kCondWidth}));
  predT_ = tensorOver(pred_, {1, kChunk, kCode});
  stitchIn_.push_back(tensorOver(src_, {1, 63}));
  stitchIn_.push_back(tensorOver(drv_, {1, 63}));
  stitchedT_ = tensorOver(stitched_, {1, 21, 3});
  reset(0, 1, 1);
}

void MotionGenerator::reset(int start, int direction, int loop) {
  start_ = std::clamp(start, 0, m_.meta.nt - 1);
  direction_ = direction < 0 ? -1 : 1;
  cyclic_ = loop != 0;
  audio_.clear();
  finished_ = false;
  total_ = -1;
  cond_.clear();
  condRows_ = condConfirmed_ = windowsDone_ = 0;
  motion_.clear();
  motionRows_ = chunksRun_ = 0;
  finalBuilt_ = false;
  final_.clear();
  finalRows_ = 0;
  pulled_ = 0;
  originSet_ = false;
  newChunk_ = false;
  eagerFrames_ = 0;
  reached_ = -1;
  tailSaved_ = false;
  tailCount_ = tailRows_ = 0;
}

int MotionGenerator::driverIndex(long long o) const {
  const long long nt = m_.meta.nt;
  if (nt <= 1) return 0;
  long long b = o * direction_ + start_;
  if (cyclic_) return static_cast<int>(((b % nt) + nt) % nt);
  const long long p = 2 * (nt - 1);
  b = ((b % p) + p) % p;
  return static_cast<int>(b <= nt - 1 ? b : p - b);
}

int MotionGenerator::framesPushed() const {
  return static_cast<int>((audio_.size() + kHopSamples - 1) / kHopSamples);
}

void MotionGenerator::push(const float* samples, size_t count) {
  if (finished_) throw std::runtime_error("stream already finished");
  audio_.insert(audio_.end(), samples, samples + count);
}

void MotionGenerator::dump(const char* name, const float* data, size_t count, bool append) const {
  if (dumpDir_.empty()) return;
  const std::string path = dumpDir_ + name;
  FILE* f = std::fopen(path.c_str(), append ? "ab" : "wb");
  const bool ok = f && std::fwrite(data, sizeof(float), count, f) == count;
  if (f && std::fclose(f) != 0) f = nullptr;
  if (!ok || !f) KA_LOG_WARN("[ka_motion] dump: cannot write %s\n", path.c_str());
}

void MotionGenerator::processWindow(int f0) {
  // Samples [640 f0 - 2000, 640 f0 + 4480), silence outside what was pushed.
  const long long first = static_cast<long long>(kHopSamples) * f0 - 2000;
  const long long have = static_cast<long long>(audio_.size());
  for (int i = 0; i < LogMel::kSamples; ++i) {
    const long long idx = first + i;
    samples_[i] = idx >= 0 && idx < have ? audio_[static_cast<size_t>(idx)] : 0.f;
  }
  Clock::time_point clock = Clock::now();
  logMel_.compute(samples_.data(), mel_.data());
  times_.logMelMs += msSince(clock);
  hubert_.run(&melT_, &featT_, 1);
  times_.hubertMs += msSince(clock);
  ++times_.windows;
  for (int t = 0; t < kFeatFrames; ++t)
    for (int v = 0; v < kFeat; ++v) {
      float& x = feat_[static_cast<size_t>(t) * kFeat + v];
      x = (x - m_.fmean[v]) / m_.fstd[v];
    }
  if (f0 == 0) {
    dump("/mel0.bin", mel_.data(), mel_.size(), false);
    dump("/feat0.bin", feat_.data(), feat_.size(), false);
  }
  // Frame f0 + k takes encoder frames 6 + 2k and 7 + 2k (50 per second against 25).
  const int rowsNeeded = f0 + kWindowFrames;
  if (static_cast<size_t>(rowsNeeded) * kCondWidth > cond_.size()) cond_.resize(size_t(rowsNeeded) * kCondWidth);
  for (int k = 0; k < kWindowFrames; ++k) {
    float* row = &cond_[static_cast<size_t>(f0 + k) * kCondWidth];
    const float* a = &feat_[static_cast<size_t>(6 + 2 * k) * kFeat];
    const float* b = a + kFeat;
    for (int v = 0; v < kFeat; ++v) row[v] = 0.5f * (a[v] + b[v]);
    std::copy_n(&m_.emo[static_cast<size_t>((f0 + k) % m_.meta.nEmo) * 8], 8, row + 1024);
    std::copy_n(m_.eyeOpen.data(), 2, row + 1032);
    std::copy_n(m_.eyeBall.data(), 6, row + 1034);
    std::copy_n(m_.sc.data(), 63, row + 1040);
  }
  condRows_ = std::max(condRows_, rowsNeeded);
}

void MotionGenerator::runChunk(int start, int limit, bool speculative) {
  // Conditioning rows start .. start + 79; past the last available row it repeats.
  const int availRows = speculative ? condRows_ : condConfirmed_;
  if (availRows < 1) throw std::logic_error("motion chunk without conditioning rows");
  for (int r = 0; r < kChunk; ++r) {
    const int from = std::min(start + r, availRows - 1);
    std::copy_n(&cond_[static_cast<size_t>(from) * kCondWidth], kCondWidth, &chunkCond_[size_t(r) * kCondWidth]);
  }
  // The first chunk starts from the reference code; a later one from the pose of the
  // row before it (the row the previous chunk left 11 from its end) with the
  // reference expression.
  if (start == 0) {
    std::copy(refCode_.begin(), refCode_.end(), code_.begin());
  } else {
    std::copy_n(&motion_[static_cast<size_t>(start - 1) * kCode], kSmoothed, code_.begin());
    std::copy(refCode_.begin() + kSmoothed, refCode_.end(), code_.begin() + kSmoothed);
  }
  Clock::time_point t = Clock::now();
  lmdm_.run(lmdmIn_.data(), &predT_, 1);
  times_.lmdmMs += msSince(t);
  ++times_.chunks;
  if (start == 0 && !speculative) {
    dump("/lmdm0_kp.bin", code_.data(), code_.size(), false);
    dump("/lmdm0_aud.bin", chunkCond_.data(), chunkCond_.size(), false);
    dump("/lmdm0_pred.bin", pred_.data(), pred_.size(), false);
  }

  if (start == 0) {
    const int n = std::min(kChunk, limit);
    motion_.resize(static_cast<size_t>(n) * kCode);
    std::copy_n(pred_.begin(), static_cast<size_t>(n) * kCode, motion_.begin());
    motionRows_ = n;
    smoothRows(motion_.data(), motionRows_, 0, n, smoothScratch_);
    return;
  }
  const int have = motionRows_;
  if (have < start) throw std::logic_error("motion chunk past the rows that exist");
  const int end = std::max(have, std::min(start + kChunk, limit));
  motion_.resize(static_cast<size_t>(end) * kCode);
  for (int j = 0; j < kChunk && start + j < end; ++j) {
    float* row = &motion_[static_cast<size_t>(start + j) * kCode];
    const float* fresh = &pred_[static_cast<size_t>(j) * kCode];
    if (j < kFade && start + j < have) {
      const float w = static_cast<float>(j) / kFade;
      for (int v = 0; v < kCode; ++v) row[v] = (1.f - w) * row[v] + w * fresh[v];
    } else {
      std::copy_n(fresh, kCode, row);
    }
  }
  motionRows_ = end;
  smoothRows(motion_.data(), motionRows_, start, start + kFade + 1, smoothScratch_);
}

void MotionGenerator::restoreTail() {
  if (!tailSaved_) return;
  motionRows_ = tailCount_;
  motion_.resize(static_cast<size_t>(tailCount_) * kCode);
  std::copy_n(tail_.begin(), static_cast<size_t>(tailRows_) * kCode,
              motion_.begin() + static_cast<std::ptrdiff_t>(tailCount_ - tailRows_) * kCode);
  tailSaved_ = false;
}

void MotionGenerator::dropProvisional() {
  condRows_ = condConfirmed_;
  cond_.resize(static_cast<size_t>(condConfirmed_) * kCondWidth);
  restoreTail();
}

bool MotionGenerator::windowReady() const {
  // A window needs its whole span of audio, so its rows never change once made; after
  // the finish the missing audio is silence.
  const int f0 = kWindowFrames * windowsDone_;
  return finished_ ? f0 < total_ : audio_.size() >= static_cast<size_t>(kHopSamples) * f0 + 4480;
}

bool MotionGenerator::chunkReady() const {
  const int start = kStride * chunksRun_;
  return finished_ ? start < condConfirmed_ && start < total_ : condConfirmed_ > start + kChunk - 1;
}

long long MotionGenerator::regularReady() const {
  // A row is settled once the next chunk can no longer cross-fade or smooth it: every
  // row before the next chunk's start. Unfinished, the 11 keep back the 10 rows the next
  // chunk cross-fades and one more; finished, final row r needs rows up to r + 1.
  if (!finished_) return std::min(condConfirmed_ - 1, regularRows() - 11);
  return std::min<long long>(total_, std::max(0, std::min(kStride * chunksRun_, regularRows()) - 1));
}

// One chunk at a time: the windows its rows need (all the audio allows when it cannot
// run yet), then the chunk. False when nothing could run.
bool MotionGenerator::stepRegular() {
  const int start = kStride * chunksRun_;
  bool ran = false;
  while (condConfirmed_ < start + kChunk && windowReady()) {
    processWindow(kWindowFrames * windowsDone_);
    ++windowsDone_;
    condConfirmed_ = kWindowFrames * windowsDone_;
    ran = true;
  }
  if (!chunkReady()) return ran;
  restoreTail();
  runChunk(start, start + kChunk, false);
  ++chunksRun_;
  newChunk_ = true;
  return true;
}

// True when the regular rows have caught up: nothing more runs until more audio comes
// (or, finished, every chunk has run). With a lead it stops sooner, once that many
// frames stand ready past the pull cursor; a chunk sees the same rows either way.
bool MotionGenerator::advanceRegular() {
  if (finalBuilt_) return true;
  for (;;) {
    if (lead_ > 0 && regularReady() - pulled_ >= lead_) return !windowReady() && !chunkReady();
    if (!stepRegular()) return true;
  }
}

// Final rows: the 3-tap mean of the working rows' leading values (neighbours clipped to
// the utterance's rows), every value clamped into its range; made as far as the settled
// rows reach, all of them once every chunk has run.
void MotionGenerator::buildFinal(bool complete) {
  if (finalBuilt_) return;
  const int count = complete ? std::min(motionRows_, total_) : motionRows_;
  const int rows = complete ? count : static_cast<int>(regularReady());
  if (rows > finalRows_) {
    final_.resize(static_cast<size_t>(rows) * kCode);
    const float* lo = m_.vMinMax.data();
    const float* hi = lo + kCode;
    for (int r = finalRows_; r < rows; ++r) {
      const int i0 = std::max(r - 1, 0), i1 = std::min(r + 1, count - 1);
      const float inv = 1.f / static_cast<float>(i1 - i0 + 1);
      const float* own = &motion_[static_cast<size_t>(r) * kCode];
      float* out = &final_[static_cast<size_t>(r) * kCode];
      for (int v = 0; v < kSmoothed; ++v) {
        float sum = 0;
        for (int j = i0; j <= i1; ++j) sum += motion_[static_cast<size_t>(j) * kCode + v];
        out[v] = sum * inv;
      }
      std::copy(own + kSmoothed, own + kCode, out + kSmoothed);
      for (int v = 0; v < kCode; ++v) out[v] = std::clamp(out[v], lo[v], hi[v]);
    }
    finalRows_ = rows;
  }
  if (!complete) return;
  dump("/cond.bin", cond_.data(), static_cast<size_t>(condConfirmed_) * kCondWidth, false);
  dump("/res_post.bin", motion_.data(), static_cast<size_t>(motionRows_) * kCode, false);
  dump("/final.bin", final_.data(), final_.size(), false);
  finalBuilt_ = true;
}

void MotionGenerator::finish() {
  if (!finished_) {
    dropProvisional();
    finished_ = true;
    total_ = framesPushed();
    final_.reserve(static_cast<size_t>(total_) * kCode);
  }
  // A finish that failed half-way is completed by the next call (or by available()).
  if (lead_ == 0) advance();
}

void MotionGenerator::eagerAdvance(int frames) {
  const Clock::time_point t0 = Clock::now();
  // Provisional windows stand on silence past the pushed audio; the regular window
  // counter stays where it is, so they are made again once real audio covers them.
  dropProvisional();
  for (int f0 = kWindowFrames * windowsDone_; f0 < frames; f0 += kWindowFrames) processWindow(f0);
  const int from = kStride * chunksRun_;
  if (frames > from) {
    tailCount_ = motionRows_;
    tailRows_ = std::min(kFade, motionRows_);
    std::copy_n(motion_.begin() + static_cast<std::ptrdiff_t>(motionRows_ - tailRows_) * kCode,
                static_cast<size_t>(tailRows_) * kCode, tail_.begin());
    tailSaved_ = true;
    for (int start = from; start < frames; start += kStride) runChunk(start, frames, true);
  }
  eagerFrames_ = frames;
  newChunk_ = false;
  reached_ = std::max<long long>(reached_, frames - 1);
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  eagerMs_ = eagerTimed_ ? 0.7 * eagerMs_ + 0.3 * ms : ms;
  eagerTimed_ = true;
}

long long MotionGenerator::advance() {
  if (eager_ == 0 && !finished_) dropProvisional();  // eager switched off mid-stream
  const bool caughtUp = advanceRegular();
  if (finished_) {
    buildFinal(caughtUp);
    return finalRows_;
  }
  // Speculation stands in for audio that has not come; while the regular rows are
  // behind the audio there is nothing to stand in for.
  if (eager_ == 0 || !caughtUp) return regularReady();
  const int frames = framesPushed();
  int every = eager_;
  if (eager_ < 0) every = std::clamp(static_cast<int>(eagerMs_ / 40.0 + 0.999), 1, 8);
  if (pulled_ == 0) every = 1;
  if (newChunk_ || frames >= eagerFrames_ + every) eagerAdvance(frames);
  return std::min<long long>(motionRows_ - 1, reached_);
}

int MotionGenerator::available() { return static_cast<int>(std::max<long long>(0, advance() - pulled_)); }

int MotionGenerator::pull(int* si, float* xs, float* xd, int max) {
  const int n = std::min(max, available());
  int done = 0;
  try {
    for (; done < n; ++done) {
      const int s = driverIndex(pulled_);
      const float* row = finished_ ? &final_[static_cast<size_t>(pulled_) * kCode]
                                     : &motion_[static_cast<size_t>(pulled_) * kCode];
      emitFrame(row, s, xs + static_cast<size_t>(done) * 63, xd + static_cast<size_t>(done) * 63);
      si[done] = s;
      ++pulled_;
    }
  } catch (...) {
    // Frames already written are the caller's; the failing one is tried again next time.
    if (done == 0) throw;
  }
  return done;
}

void MotionGenerator::emitFrame(const float* row, int si, float* xs, float* xd) {
  const float* r = &m_.srcRecords[static_cast<size_t>(si) * record::kFloats];
  const float* rowExp = row + kExpOffset;
  const bool first = !originSet_;
  if (first) {
    std::copy_n(rowExp, 63, origin_);
    originSet_ = true;
  }
  // Only the lips follow the motion; everything else keeps the driver's expression.
  for (int i = 0; i < 63; ++i) {
    const float re = r[record::kExp + i];
    exp_[i] = lipMask_[i] != 0.f ? (rowExp[i] - origin_[i]) * scaleRatio_ + re : re;
  }
  const float* source = &sourceKp_[static_cast<size_t>(si) * 63];
  std::copy_n(source, 63, src_.begin());
  placeKeypoints(r + record::kCanonical, drivenRot_[si], exp_.data(), r[record::kScale], r + record::kTrans,
                 drv_.data());
  Clock::time_point t = Clock::now();
  stitch_.run(stitchIn_.data(), &stitchedT_, 1);
  times_.stitchMs += msSince(t);
  ++times_.frames;
  const float* target = &m_.xsTarget[static_cast<size_t>(si) * 63];
  const float bridge = m_.meta.sBridge;
  for (int i = 0; i < 63; ++i) {
    xs[i] = target[i];
    xd[i] = target[i] + bridge * (stitched_[i] - src_[i]);
  }
  if (!dumpDir_.empty()) {
    dump("/xsla.bin", src_.data(), 63, !first);
    dump("/xdla.bin", drv_.data(), 63, !first);
    dump("/xs.bin", xs, 63, !first);
    dump("/xd.bin", xd, 63, !first);
  }
}

}  // namespace ka::audio
