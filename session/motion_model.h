#pragma once
// ka::MotionModel: one audio-to-motion engine behind the session, either the streaming
// audio-to-expression stream (when the motion directory carries the a2x encoder) or the
// motion generator. Both serve the same per-frame contract; this class only picks the
// engine, keeps it, and turns a failure inside either pipeline into a failed call the
// dispatcher can report, with the text the engine's C family would give. The engines
// are held as their C++ classes rather than C handles: the streaming engine's C calls
// report a stalled stream as "no frames", which a session cannot tell from "not yet",
// and neither family can pick up the driver walk where the idle loop got to.
//
// Used by one thread at a time (built on the warm-up thread, then driven only by the
// dispatcher, destroyed after both have been joined).
#include <memory>
#include <string>

namespace ka {

namespace a2x {
class A2xStream;
}
namespace audio {
class MotionGenerator;
}

class MotionModel {
 public:
  // Frames the motion generator keeps made ahead of what the session has taken from it.
  // A reply pushed faster than real time (text-to-speech, an agent) would otherwise run
  // every window and chunk of the whole reply before its first frame; with the lead its
  // first frames wait for the first chunk only, and each later chunk is made while the
  // frames before it play. A chunk's 70 frames take far less to make than to show, and
  // 40 covers the session's speech ring (32) and output ring (8).
  static constexpr int kMotionLead = 40;

  // True when dir holds the a2x encoder (a2x_enc_stream.onnx).
  static bool isA2x(const std::string& dir);

  // Builds the engine; throws std::runtime_error with the family's creation text
  // ("ka_a2x_create: ..." or "ka_motion_create: ...").
  // contextFrames: the driver frame count of the video the frames are shown on; a
  // motion directory made for another identity is refused naming both counts.
  MotionModel(bool useA2x, const std::string& dir, int threads, const std::string& ep, int contextFrames);
  ~MotionModel();
  MotionModel(const MotionModel&) = delete;
  MotionModel& operator=(const MotionModel&) = delete;

  // Each returns false (or a negative count) on failure, with lastError() describing it.
  void reset(int start, int direction);
  // The next frame pulled shows driver frame `next`.
  void continueAt(int next);
  void setEager(int eager);
  bool push(const float* samples, int count);
  // Frames the model makes final together as audio arrives: the streaming engine a
  // block (8), the motion generator one. An utterance shows its first speech frame only
  // once this many are ready (or the audio has ended), so the frames after it are made
  // while the ones before it play, instead of the picture stopping at each block.
  int stepFrames() const;
  bool finish();
  int avail();
  int pull(int* si, float* xs, float* xd, int max);
  int total() const;
  // The text of the last failed call.
  std::string lastError() const;
  bool a2x() const { return a2x_ != nullptr; }

 private:
  std::unique_ptr<a2x::A2xStream> a2x_;
  std::unique_ptr<audio::MotionGenerator> motion_;
  std::string error_;  // the last failure's text
};

}  // namespace ka
