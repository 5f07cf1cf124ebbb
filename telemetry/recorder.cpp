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

// When the library was loaded: the first batch's window starts there, since the
// recorder itself is made only on first use.
int64_t loadedUnixMs() noexcept {
  static const int64_t t = nowUnixMs();
  return t;
}
[[maybe_unused]] const int64_t g_loadedAtLoad = loadedUnixMs();

}  // namespace

Recorder& Recorder::instance() {
  static Recorder r(telemetryWanted());
  return r;
}

Recorder::Recorder(bool enabled)
    : enabled_(enabled), live_(&a_), liveStartMs_(loadedUnixMs()), sealed_(&b_) {}

Recorder::Result Recorder::record(const char* name, double value) noexcept {
  if (!enabled_) return Result::kOff;
  const size_t n = nameLength(name);
  if (n == 0) return Result::kBadName;
  if (!std::isfinite(value)) return Result::kNotFinite;
  try {
    std::lock_guard lock(liveMtx_);
    return live_->addNumber(name, n, value) == EventBatch::Put::kOk ? Result::kOk
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
  int64_t start = 0;
  const int64_t now = nowUnixMs();
  {
    std::lock_guard lock(liveMtx_);
    std::swap(live_, sealed_);
    start = liveStartMs_;
    liveStartMs_ = now;
  }
  sealedId_ = nextId_++;
  sealed_->setWindow(sealedId_, start, now);
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

int64_t Recorder::flushBatch(uint64_t id) noexcept {
  std::lock_guard lock(sealedMtx_);
  if (isSealed_ && id == sealedId_) {
    const uint64_t n = sealed_->events();
    sealed_->clear();
    isSealed_ = false;
    json_.clear();
    return static_cast<int64_t>(n);
  }
  // Every id below the next was sealed, and a sealed batch stops being sealed only when
  // it is cleared.
  return id >= 1 && id < nextId_ ? 0 : -1;
}

}  // namespace ka::telemetry
