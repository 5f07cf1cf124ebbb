#include "session/motion_model.h"

#include <stdexcept>

#include "audio/a2x_stream.h"
#include "audio/motion_generator.h"
#include "audio/speech_frontend.h"
#include "bundle/file_io.h"
#include "bundle/member.h"

namespace ka {

bool MotionModel::isA2x(const std::string& dir) {
  return canOpenForRead(resolveMember(dir, "a2x_enc_stream.onnx"));
}

MotionModel::MotionModel(bool useA2x, const std::string& dir, int threads, const std::string& ep,
                         int contextFrames) {
  const char* family = useA2x ? "ka_a2x_create: " : "ka_motion_create: ";
  try {
    if (useA2x)
      a2x_ = std::make_unique<a2x::A2xStream>(dir, threads, contextFrames);
    else
      motion_ = std::make_unique<audio::MotionGenerator>(dir, threads, ep, contextFrames);
    if (motion_) motion_->setLead(kMotionLead);
  } catch (const std::exception& e) {
    throw std::runtime_error(family + std::string(e.what()));
  }
}

MotionModel::~MotionModel() = default;

void MotionModel::reset(int start, int direction) {
  // Cyclic: speech walks the driver video the way the idle loop does.
  if (a2x_)
    a2x_->reset(start, direction, 1);
  else
    motion_->reset(start, direction, 1);
}

void MotionModel::continueAt(int next) {
  if (a2x_)
    a2x_->continueAt(next);
  else
    motion_->continueAt(next);
}

int MotionModel::stepFrames() const { return a2x_ ? a2x::kBlock / a2x::kHop : 1; }

void MotionModel::setEager(int eager) {
  if (a2x_)
    a2x_->setEager(eager);
  else
    motion_->setEager(eager);
}

bool MotionModel::push(const float* samples, int count) {
  if (count <= 0) return true;
  try {
    if (a2x_) {
      a2x_->push(samples, count);
      return true;
    }
    if (motion_->finished()) {
      error_ = "ka_motion_push: bad args / already finished";
      return false;
    }
    motion_->push(samples, static_cast<size_t>(count));
    return true;
  } catch (const std::exception& e) {
    error_ = (a2x_ ? "ka_a2x_push: " : "ka_motion_push: ") + std::string(e.what());
    return false;
  }
}

bool MotionModel::finish() {
  if (a2x_) {
    a2x_->finish();
    return true;
  }
  try {
    motion_->finish();
    return true;
  } catch (const std::exception& e) {
    error_ = "ka_motion_finish: " + std::string(e.what());
    return false;
  }
}

int MotionModel::avail() {
  if (!a2x_) {
    try {
      return motion_->available();
    } catch (const std::exception& e) {
      error_ = "ka_motion_avail: " + std::string(e.what());
      return -1;
    }
  }
  // A stream whose pipeline failed keeps its failure until the next reset and reports
  // it instead of running the step again: the failure ends the utterance.
  const int n = a2x_->avail();
  if (n < 0) error_ = a2x_->failure();
  return n;
}

int MotionModel::pull(int* si, float* xs, float* xd, int max) {
  if (!a2x_) {
    try {
      return motion_->pull(si, xs, xd, max);
    } catch (const std::exception& e) {
      error_ = "ka_motion_pull: " + std::string(e.what());
      return -1;
    }
  }
  const int n = a2x_->pull(si, xs, xd, nullptr, max);
  if (n < 0) error_ = a2x_->failure();
  return n;
}

int MotionModel::total() const { return a2x_ ? a2x_->total() : motion_->total(); }

std::string MotionModel::lastError() const { return error_.empty() ? "unknown failure" : error_; }

}  // namespace ka
