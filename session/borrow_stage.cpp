#include "session/borrow_stage.h"

#include <algorithm>
#include <stdexcept>

#include "tessera/stream_borrow.h"

namespace ka {

BorrowStage::BorrowStage(std::unique_ptr<tessera::StreamBorrow> borrow, int side,
                         std::string geometry)
    : borrow_(std::move(borrow)),
      side_(side),
      geometry_(std::move(geometry)),
      held_(static_cast<size_t>(3) * side * side, 0.0f) {
  if (!borrow_) throw std::runtime_error("teeth stage: no borrow to drive");
  if (borrow_->canvas() != side)
    throw std::runtime_error("teeth stage: borrow canvas " + std::to_string(borrow_->canvas()) +
                             " != session crop " + std::to_string(side));
  const tessera::GeometryStamp& s = borrow_->stamp();
  result_.pixels.reserve(static_cast<size_t>(s.window_w) * s.window_h * 3);
}

BorrowStage::~BorrowStage() = default;

bool BorrowStage::release(Deliver deliver, void* self) {
  // Whatever happens next, this crop has had its one chance to be delivered.
  holding_ = false;
  tessera::StreamBorrow::writeWindowDelta(held_.data(), side_, result_, borrow_->stamp());
  heldFrame_.borrowed = !result_.skipped;
  return deliver(self, heldFrame_);
}

bool BorrowStage::push(const TeethFrame& f, Deliver deliver, void* self) {
  const bool got = borrow_->push(f.crop, f.kp ? f.kp : kNoKp, &result_);
  // The pass and this stage hold the same frame; if they ever disagree, a window
  // would be written into the wrong face.
  if (got && !holding_)
    throw std::runtime_error(
        "push: the pass released a frame while no crop was held — refusing to write its window "
        "into another face");
  if (!got && holding_)
    throw std::runtime_error(
        "push: the pass released no frame while a crop was held — refusing to deliver it "
        "uncomposed");
  bool ok = true;
  if (got) ok = release(deliver, self);
  std::copy_n(f.crop, held_.size(), held_.data());
  heldFrame_ = f;
  heldFrame_.crop = held_.data();
  heldFrame_.borrowed = false;
  if (f.kp) {
    std::copy_n(f.kp, kHostKpRows * 3, heldKp_);
    heldFrame_.kp = heldKp_;
  }
  holding_ = true;
  return ok;
}

bool BorrowStage::drain(Deliver deliver, void* self) {
  const bool got = borrow_->flush(&result_);
  if (!holding_) return true;  // a result without a crop has nowhere to go
  if (!got) {
    holding_ = false;
    throw std::runtime_error(
        "flush: the pass held no pending frame while a crop was held — refusing to deliver it "
        "uncomposed");
  }
  return release(deliver, self);
}

void BorrowStage::drop() noexcept {
  holding_ = false;
  try {
    borrow_->flush(&result_);
  } catch (...) {
    // The pending frame is being thrown away; a failure to emit it changes nothing.
  }
}

TeethSynthStats BorrowStage::synthStats() const {
  const auto& s = borrow_->pass().stats();
  return TeethSynthStats{s.frames, s.sum_means, s.max};
}

}  // namespace ka
