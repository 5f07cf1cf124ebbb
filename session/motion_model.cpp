#include "session/motion_model.h"

#include <stdexcept>

#include "audio/a2x_stream.h"
#include "bundle/file_io.h"
#include "bundle/member.h"
#include "ka/ka.h"

namespace ka {

bool MotionModel::isA2x(const std::string& dir) {
  return canOpenForRead(resolveMember(dir, "a2x_enc_stream.onnx"));
}

MotionModel::MotionModel(bool useA2x, const std::string& dir, int threads, const std::string& ep) {
  if (useA2x) {
    try {
      a2x_ = std::make_unique<a2x::A2xStream>(dir, threads);
    } catch (const std::exception& e) {
      throw std::runtime_error(std::string("ka_a2x_create: ") + e.what());
    }
  } else {
    motion_ = ka_motion_create(dir.c_str(), threads, ep.empty() ? nullptr : ep.c_str());
    if (!motion_) throw std::runtime_error(ka_motion_last_error());
  }
}

MotionModel::~MotionModel() { ka_motion_destroy(motion_); }

void MotionModel::reset(int start, int direction) {
  // Cyclic: speech walks the driver video the way the idle loop does.
  if (a2x_)
    a2x_->reset(start, direction, 1);
  else
    ka_motion_reset(motion_, start, direction, 1);
}

void MotionModel::setEager(int eager) {
  if (a2x_)
    a2x_->setEager(eager);
  else
    ka_motion_set_eager(motion_, eager);
}

bool MotionModel::push(const float* samples, int count) {
  if (count <= 0) return true;
  if (!a2x_) return ka_motion_push(motion_, samples, count) == 1;
  a2x_->push(samples, count);
  return true;
}

bool MotionModel::finish() {
  if (!a2x_) return ka_motion_finish(motion_) == 1;
  a2x_->finish();
  return true;
}

int MotionModel::avail() {
  if (!a2x_) return ka_motion_avail(motion_);
  const int n = a2x_->avail();
  // A stream whose pipeline failed stays where it was and would fail the same way on
  // every later call: the failure ends the utterance instead of being polled forever.
  error_ = a2x_->takeError();
  return error_.empty() ? n : -1;
}

int MotionModel::pull(int* si, float* xs, float* xd, int max) {
  if (!a2x_) return ka_motion_pull(motion_, si, xs, xd, max);
  const int n = a2x_->pull(si, xs, xd, nullptr, max);
  error_ = a2x_->takeError();
  return error_.empty() ? n : -1;
}

int MotionModel::total() const { return a2x_ ? a2x_->total() : ka_motion_total(motion_); }

std::string MotionModel::lastError() const {
  if (a2x_) return error_.empty() ? "unknown failure" : error_;
  const char* t = ka_motion_last_error();
  return t && *t ? t : "unknown failure";
}

}  // namespace ka
