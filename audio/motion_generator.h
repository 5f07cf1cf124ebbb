#pragma once
// ka::audio::MotionGenerator: the second audio-to-keypoint engine. Speech (16 kHz
// float) in, one frame per 640 samples out: the driver index, the driver frame's
// source keypoints and the driven keypoints, whose lips follow the speech.
//
// Three networks chain here: a speech encoder over log-mel windows (conditioning rows,
// five frames per window), a latent motion model that turns 80 conditioning rows into
// 80 rows of a 265-value motion code (chunks start every 70 frames and cross-fade over
// 10 rows), and a stitching network that corrects the driven keypoints. Used by one
// thread at a time; nothing here locks.
#include <onnxruntime_cxx_api.h>

#include <chrono>
#include <string>
#include <vector>

#include "audio/log_mel.h"
#include "audio/motion_members.h"
#include "audio/motion_net.h"
#include "audio/motion_pose.h"

namespace ka::audio {

// Where a generator's time went since its creation (or the last clearTimes), for the
// benchmarks: the log-mel windows and each network's runs.
struct MotionTimes {
  double logMelMs = 0, hubertMs = 0, lmdmMs = 0, stitchMs = 0;
  long windows = 0, chunks = 0, frames = 0;  // speculative ones included
};

class MotionGenerator {
 public:
  static constexpr int kHopSamples = 640;     // one video frame of 16 kHz audio
  static constexpr int kWindowFrames = 5;     // conditioning rows per audio window
  static constexpr int kCondWidth = 1103;     // 1024 speech + 8 emotion + 2 + 6 eye + 63
  static constexpr int kCode = 265;           // motion code values
  static constexpr int kSmoothed = 202;       // leading values of a code that get smoothed
  static constexpr int kChunk = 80;           // rows of one motion chunk
  static constexpr int kStride = 70;          // frames between chunk starts
  static constexpr int kFade = 10;            // rows two chunks cross-fade over
  static constexpr int kFeatFrames = 20;      // encoder frames per window (50 per second)
  static constexpr int kFeat = 1024;

  // threads < 1: the worker pool's count. ep: "" or a "coreml..." name. contextFrames
  // > 0 is the driver frame count of the video the frames will be shown on; the
  // directory's nt must equal it.
  MotionGenerator(const std::string& dir, int threads, const std::string& ep, int contextFrames = 0);

  // Appends samples; refused once the stream is finished.
  void push(const float* samples, size_t count);
  // Marks the end of the audio. With no lead it completes every remaining frame; with
  // one, the rest are made as available() and pull() ask for them.
  void finish();
  // Frames ready to pull, advancing the networks as far as the audio allows (or, with a
  // lead, as far as the lead asks).
  int available();
  // Writes up to max frames; returns how many.
  int pull(int* si, float* xs, float* xd, int max);
  void reset(int start, int direction, int loop);
  // The next frame pulled shows driver frame `next`, the walk going on from there (see
  // A2xStream::continueAt).
  void continueAt(int next) { start_ = static_cast<int>(next - pulled_ * direction_); }
  void setEager(int eager) { eager_ = eager; }
  // 0 (the default): every window and chunk the audio allows runs as soon as it can.
  // n > 0: they run only until n frames stand ready past the pull cursor, so when a
  // whole reply is pushed at once its first frames wait for the first chunk only, not
  // for all of the reply's windows and chunks. The frames are the same either way; only
  // when they are made differs.
  void setLead(int frames) { lead_ = frames < 0 ? 0 : frames; }

  bool finished() const { return finished_; }
  int total() const { return finished_ ? total_ : -1; }
  int nt() const { return m_.meta.nt; }
  int driverIndex(long long o) const;

  // Counters for tests and benchmarks.
  int chunksRun() const { return chunksRun_; }
  int windowsRun() const { return windowsDone_; }
  double speculativeMs() const { return eagerMs_; }
  const MotionTimes& times() const { return times_; }
  void clearTimes() { times_ = MotionTimes(); }

 private:
  bool advanceRegular();
  bool stepRegular();
  bool windowReady() const;
  bool chunkReady() const;
  int regularRows() const { return tailSaved_ ? tailCount_ : motionRows_; }
  long long regularReady() const;
  long long advance();
  void processWindow(int f0);
  void runChunk(int start, int limit, bool speculative);
  void eagerAdvance(int frames);
  void dropProvisional();
  void restoreTail();
  void buildFinal(bool complete);
  void emitFrame(const float* row, int si, float* xs, float* xd);
  int framesPushed() const;
  void dump(const char* name, const float* data, size_t count, bool append) const;

  MotionMembers m_;
  // The environment outlives the sessions made from it: members die in reverse order.
  Ort::Env env_;
  Net hubert_, lmdm_, stitch_;
  LogMel logMel_;
  std::string dumpDir_;

  std::vector<float> refCode_;      // 265: the reference record as a motion code
  std::vector<float> lipMask_;      // 63: 1 on the lip keypoints' coordinates
  float scaleRatio_ = 1;            // reference scale / first driver record's scale
  std::vector<float> sourceKp_;     // nt x 63: scale * (k * R + exp) + t per driver frame
  std::vector<Mat3> drivenRot_;     // nt: R with delta_pitch added

  // Stream state, cleared by reset.
  std::vector<float> audio_;
  bool finished_ = false;
  int total_ = -1;
  int start_ = 0, direction_ = 1;
  bool cyclic_ = true;
  std::vector<float> cond_;         // conditioning rows, kCondWidth each
  int condRows_ = 0;                // rows held, provisional ones included
  int condConfirmed_ = 0;           // rows from regular windows
  int windowsDone_ = 0;             // regular windows processed
  std::vector<float> motion_;       // working motion rows, kCode each
  int motionRows_ = 0;
  int chunksRun_ = 0;
  bool finalBuilt_ = false;        // every final row is made (finished, every chunk run)
  std::vector<float> final_;       // rows smoothed and clamped, made once the finish is known
  int finalRows_ = 0;              // final rows made so far
  int lead_ = 0;
  long long pulled_ = 0;
  bool originSet_ = false;
  float origin_[63] = {};

  // Speculative (eager) state. A speculative advance appends provisional conditioning
  // rows past condConfirmed_ and may run chunks past the last regular one; the motion
  // row count and the rows those chunks cross-faded are saved so the next advance, a
  // regular chunk or the finish can put the regular rows back.
  int eager_ = 0;
  bool newChunk_ = false;
  int eagerFrames_ = 0;            // F at the last speculative advance
  long long reached_ = -1;         // L: highest F - 1 any speculative advance reached
  double eagerMs_ = 0;             // smoothed duration of a speculative advance
  bool eagerTimed_ = false;
  bool tailSaved_ = false;
  int tailCount_ = 0, tailRows_ = 0;
  std::vector<float> tail_;        // up to kFade saved rows

  MotionTimes times_;

  // Buffers the networks read and write, made once; the tensors wrap them.
  std::vector<float> samples_, mel_, feat_, code_, chunkCond_, pred_, src_, drv_, stitched_, smoothScratch_;
  std::vector<float> exp_;
  Ort::Value melT_{nullptr}, featT_{nullptr}, predT_{nullptr}, stitchedT_{nullptr};
  std::vector<Ort::Value> lmdmIn_, stitchIn_;  // inputs in the networks' declared order
};

}  // namespace ka::audio
