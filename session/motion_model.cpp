#include "session/motion_model.h"

#include <stdexcept>

#include "bundle/member.h"
#include "bundle/file_io.h"
#include "ka/ka.h"
#include "ka/ka_a2x.h"

namespace ka {

bool MotionModel::isA2x(const std::string& dir) {
  return canOpenForRead(resolveMember(dir, "a2x_enc_stream.onnx"));
}

MotionModel::MotionModel(bool useA2x, const std::string& dir, int threads, const std::string& ep) {
  if (useA2x) {
    a2x_ = ka_a2x_create(dir.c_str(), threads);
    if (!a2x_) throw std::runtime_error(ka_a2x_last_error());
  } else {
    motion_ = ka_motion_create(dir.c_str(), threads, ep.empty() ? nullptr : ep.c_str());
    if (!motion_) throw std::runtime_error(ka_motion_last_error());
  }
}

MotionModel::~MotionModel() {
  ka_a2x_destroy(a2x_);
  ka_motion_destroy(motion_);
}

void MotionModel::reset(int start, int direction) {
  // Cyclic: speech walks the driver video the way the idle loop does.
  if (a2x_)
    ka_a2x_reset(a2x_, start, direction, 1);
  else
    ka_motion_reset(motion_, start, direction, 1);
}

void MotionModel::setEager(int eager) {
  if (a2x_)
    ka_a2x_set_eager(a2x_, eager);
  else
    ka_motion_set_eager(motion_, eager);
}

bool MotionModel::push(const float* samples, int count) {
  if (count <= 0) return true;
  return a2x_ ? ka_a2x_push(a2x_, samples, count) == 1 : ka_motion_push(motion_, samples, count) == 1;
}

bool MotionModel::finish() {
  if (a2x_) {
    ka_a2x_finish(a2x_);
    return true;
  }
  return ka_motion_finish(motion_) == 1;
}

int MotionModel::avail() { return a2x_ ? ka_a2x_avail(a2x_) : ka_motion_avail(motion_); }

int MotionModel::pull(int* si, float* xs, float* xd, int max) {
  return a2x_ ? ka_a2x_pull(a2x_, si, xs, xd, max) : ka_motion_pull(motion_, si, xs, xd, max);
}

int MotionModel::total() const { return a2x_ ? ka_a2x_total(a2x_) : ka_motion_total(motion_); }

std::string MotionModel::lastError() const {
  const char* t = a2x_ ? ka_a2x_last_error() : ka_motion_last_error();
  return t && *t ? t : "unknown failure";
}

}  // namespace ka
