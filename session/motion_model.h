#pragma once
// ka::MotionModel: one audio-to-motion engine behind the session, either the streaming
// audio-to-expression stream (when the motion directory carries the a2x encoder) or the
// motion generator (ka_motion_). Both serve the same per-frame contract; this class only
// picks the family, keeps its handle, and turns a failure inside either pipeline into a
// failed call the dispatcher can report. The streaming engine is held as its C++ class
// rather than the C handle: its C calls keep a stalled stream's failure to the thread's
// last-error text and report "no frames", which a session cannot tell from "not yet".
//
// Used by one thread at a time (built on the warm-up thread, then driven only by the
// dispatcher, destroyed after both have been joined).
#include <memory>
#include <string>

struct ka_motion;

namespace ka {

namespace a2x {
class A2xStream;
}

class MotionModel {
 public:
  // True when dir holds the a2x encoder (a2x_enc_stream.onnx).
  static bool isA2x(const std::string& dir);

  // Builds the engine; throws std::runtime_error with the family's creation text
  // ("ka_a2x_create: ..." or "ka_motion_create: ...").
  MotionModel(bool useA2x, const std::string& dir, int threads, const std::string& ep);
  ~MotionModel();
  MotionModel(const MotionModel&) = delete;
  MotionModel& operator=(const MotionModel&) = delete;

  // Each returns false (or a negative count) on failure, with lastError() describing it.
  void reset(int start, int direction);
  void setEager(int eager);
  bool push(const float* samples, int count);
  bool finish();
  int avail();
  int pull(int* si, float* xs, float* xd, int max);
  int total() const;
  // The text of the last failed call.
  std::string lastError() const;
  bool a2x() const { return a2x_ != nullptr; }

 private:
  std::unique_ptr<a2x::A2xStream> a2x_;
  ka_motion* motion_ = nullptr;
  std::string error_;  // the streaming engine's last failure
};

}  // namespace ka
