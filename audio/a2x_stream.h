#pragma once
// The streaming audio-to-expression engine behind the ka_a2x_ family: 16 kHz speech in,
// one keypoint frame per 640 samples out. Three networks run in turn as audio arrives:
// the speech frontend (feature rows), a windowed causal encoder over those rows, and an
// autoregressive decoder giving one normalised 63-float delta per frame.
//
// One stream is used by one thread at a time; streams on different threads share the
// process-wide frontend sessions.
#include <onnxruntime_cxx_api.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/speech_frontend.h"

namespace ka::a2x {

constexpr int kKpFloats = 63;  // 21 keypoints of x, y, z

class A2xStream {
 public:
  // Opens the members of bundle directory `dir`; threads < 1 (or at least the worker
  // pool's count) uses the pool's count. contextFrames > 0 is the driver frame count of
  // the video the frames will be shown on: xs_target.bin must then hold exactly that
  // many rows. Throws std::runtime_error with the reason.
  A2xStream(const std::string& dir, int threads, int contextFrames = 0);
  ~A2xStream();
  A2xStream(const A2xStream&) = delete;
  A2xStream& operator=(const A2xStream&) = delete;

  void push(const float* samples, int count);
  void finish() { finished_ = true; }
  // Frames pullable now; advances the pipeline by at most one step (8 or 64 frames).
  // -1 once the pipeline has failed (see failure()).
  int avail();
  // Up to max frames into si[max], xs/xd[max * 63] and, when wn is not null, wn[max].
  // -1 once the pipeline has failed.
  int pull(int* si, float* xs, float* xd, float* wn, int max);
  // Offline deltas of a whole utterance (63 floats per frame) into out; outWn (may be
  // null) receives the width row. Returns the frame count, or -2 when capFrames is too
  // small (nothing written). Throws on failure. The stream's state is untouched.
  int deltas(const float* samples, int count, float* out, float* outWn, int capFrames);
  void reset(int start, int direction, int loop);
  // The next frame pulled shows driver frame `next`, the walk going on from there: a
  // caller that keeps showing the driver while the first frames are computed picks up
  // where it got to.
  void continueAt(int next) { start_ = next - pulled_ * direction_; }
  void setEager(int eager) { eager_ = eager != 0; }

  int total() const;
  int nt() const { return nt_; }
  bool hasWidth() const { return hasWn_; }
  bool shortWindowActive() const { return shortWindow_; }
  // Frames that may be produced with the audio pushed so far: a bound; a frame becomes
  // final only once the features of its whole look-ahead are ready, which with an
  // encoder looking further ahead than the frontend's right context is later.
  int framesPossible() const;
  // Driver index of output frame o under the current start, direction and loop mode.
  int driverIndex(int64_t o) const;
  // The failure inside the pipeline ("ka_a2x extend: ..."); empty while none. A failure
  // is kept until reset(): the step that failed is not run again on every call (it
  // would fail the same way), and avail() and pull() report it instead of a stall.
  const std::string& failure() const { return error_; }
  // Whether creation left a primed decoder state.
  bool primed() const { return !primedPrev_.empty(); }

 private:
  struct Decoder;  // one decoder state with the tensors bound to it
  struct Encoded {
    std::vector<float> rows;  // h per frame
    std::vector<float> wn;    // one per frame
  };

  void readMeta(const std::string& dir);
  void readTables(const std::string& dir, int contextFrames);
  void openNetworks(const std::string& dir);
  void prime(int frames);
  Ort::Session& legacyEncoder();
  int coveredFrames() const;
  void extend(int target);
  void extendStages(int target);
  // Encodes frames [from, to) of `feat` into `enc` (which grows to `to` rows); context
  // ends at `covered` frames.
  void encode(const FeatureRows& feat, int from, int to, int covered, Encoded& enc);
  void decodeFrame(Decoder& d, const float* ctx, float* delta);
  void positionRow(int64_t i, float* dst) const;

  // Declaration order is destruction order in reverse: the sessions die before the
  // environment and options they were made with.
  Ort::Env env_;
  Ort::SessionOptions options_;
  Ort::Session* w2v_ = nullptr;  // shared, not owned
  std::string w2vPath_;
  int threads_ = 1;
  Ort::Session enc_{nullptr};
  Ort::Session dec_{nullptr};
  Ort::MemoryInfo mem_;
  ShortWindowPair pair_;

  int h_ = 256, window_ = 0, left_ = 0, layers_ = 6, metaWidth_ = 0, silencePrime_ = 0;
  int nt_ = 0, lookBack_ = 0, lookAhead_ = 0;
  int right_ = kDefaultRight;
  bool shortWindow_ = false;
  int shortRight_ = 0;

  std::vector<float> pos_;  // P rows of h
  int posRows_ = 0;
  std::vector<float> mean_, std_;
  std::vector<float> xs_;  // NT rows of 63
  std::vector<std::string> encOutNames_;
  bool hasWn_ = false;
  std::vector<float> offlineWn_;

  std::vector<float> audio_;
  bool finished_ = false;
  int64_t pulled_ = 0;
  int64_t start_ = 0;
  int direction_ = 1;
  bool cyclic_ = true;
  bool eager_ = false;

  FeatureRows feat_;
  LegacyWindow legacy_;
  ShortWindow short_;
  Encoded encoded_;
  int encodedCount_ = 0;
  std::vector<float> deltas_;
  int decoded_ = 0;
  std::unique_ptr<Decoder> state_;
  std::vector<float> savedPrev_, savedH_;  // state before an advance, restored if it fails

  std::vector<float> primedPrev_, primedH_;

  // Scratch of the encoder chunks.
  std::vector<float> posScratch_, attnScratch_;
  std::string error_;
};

}  // namespace ka::a2x
