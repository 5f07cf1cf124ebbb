#include "telemetry/recorder.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "telemetry/device_info.h"

namespace ka::telemetry {
namespace {

bool telemetryWanted() {
  const char* v = std::getenv("KA_TELEMETRY");
  return !(v && (std::strcmp(v, "off") == 0 || std::strcmp(v, "0") == 0));
}

int64_t nowUnixMs() noexcept {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// Names are 1..kMaxNameBytes bytes; a longer one is refused rather than cut, since two
// names cut to the same prefix would silently share one series.
size_t nameLength(const char* name) noexcept {
  if (!name) return 0;
  const size_t n = strnlen(name, EventBatch::kMaxNameBytes + 1);
  return n > EventBatch::kMaxNameBytes ? 0 : n;
}

}  // namespace

Recorder& Recorder::instance() {
  static Recorder r(telemetryWanted());
  return r;
}

Recorder::Recorder(bool enabled) : enabled_(enabled), live_(&a_), sealed_(&b_) {}

Recorder::Result Recorder::record(const char* name, double value) noexcept {
  if (!enabled_) return Result::kOff;
  const size_t n = nameLength(name);
  if (n == 0) return Result::kBadName;
  if (!std::isfinite(value)) return Result::kNotFinite;
  const int64_t t = nowUnixMs();
  try {
    std::lock_guard lock(liveMtx_);
    return live_->addNumber(name, n, value, t) == EventBatch::Put::kOk ? Result::kOk
                                                                      : Result::kNamesFull;
  } catch (...) {  // a series' first use allocates
    return Result::kNamesFull;
  }
}

Recorder::Result Recorder::recordText(const char* name, const char* text, size_t len) noexcept {
  if (!enabled_) return Result::kOff;
  const size_t n = nameLength(name);
  if (n == 0) return Result::kBadName;
  const int64_t t = nowUnixMs();
  try {
    std::lock_guard lock(liveMtx_);
    return live_->addText(name, n, text, len, t) == EventBatch::Put::kOk ? Result::kOk
                                                                        : Result::kNamesFull;
  } catch (...) {  // the first text makes the arena
    return Result::kNamesFull;
  }
}

void Recorder::sealLocked() noexcept {
  if (isSealed_) return;
  {
    std::lock_guard lock(liveMtx_);
    std::swap(live_, sealed_);
  }
  isSealed_ = true;
  json_.clear();
}

size_t Recorder::pendingJson(char* out, size_t cap) {
  std::lock_guard lock(sealedMtx_);
  sealLocked();
  if (json_.empty()) {
    std::string doc = "{\"format\":\"ka_telemetry.v1\",\"enabled\":";
    doc += enabled_ ? "true" : "false";
    doc += ",\"device\":";
    doc += deviceJson();
    sealed_->appendJson(doc);
    doc += '}';
    json_ = std::move(doc);
  }
  if (out && cap > json_.size()) {
    std::memcpy(out, json_.data(), json_.size());
    out[json_.size()] = '\0';
  } else if (out && cap > 0) {
    out[0] = '\0';
  }
  return json_.size() + 1;
}

uint64_t Recorder::flush() noexcept {
  std::lock_guard lock(sealedMtx_);
  sealLocked();
  const uint64_t n = sealed_->events();
  sealed_->clear();
  isSealed_ = false;
  json_.clear();
  return n;
}

}  // namespace ka::telemetry
