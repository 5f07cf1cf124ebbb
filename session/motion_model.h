#pragma once
// ka::MotionModel: one audio-to-motion engine behind the session, either the streaming
// audio-to-expression stream (ka_a2x_, when the motion directory carries the a2x
// encoder) or the motion generator (ka_motion_). Both speak the same per-frame contract
// through their C functions; this class only picks the family and keeps its handle.
//
// Used by one thread at a time (built on the warm-up thread, then driven only by the
// dispatcher, destroyed after both have been joined).
#include <memory>
#include <string>

struct ka_a2x;
struct ka_motion;

namespace ka {

class MotionModel {
 public:
  // True when dir holds the a2x encoder (a2x_enc_stream.onnx).
  static bool isA2x(const std::string& dir);

  // Builds the engine; throws std::runtime_error with the family's last-error text.
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
  // The calling thread's last error text of the engine's family.
  std::string lastError() const;
  bool a2x() const { return a2x_ != nullptr; }

 private:
  ka_a2x* a2x_ = nullptr;
  ka_motion* motion_ = nullptr;
};

}  // namespace ka
