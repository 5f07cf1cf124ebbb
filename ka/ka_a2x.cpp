// The ka_a2x_ family of the C interface: thin wrappers over ka::a2x::A2xStream that
// turn every exception into the family's thread-local last-error text.
#include "ka/ka_a2x.h"

#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "audio/a2x_stream.h"
#include "audio/speech_frontend.h"
#include "compute/pool.h"
#include "ka/c_error.h"

struct ka_a2x {
  ka_a2x(const char* dir, int threads) : stream(dir, threads) {}
  ka::a2x::A2xStream stream;
};

namespace {
thread_local std::string g_err;

void clearErr() noexcept { g_err.clear(); }
void setErr(const char* name, const std::exception& e) noexcept { ka::capi::storeError(g_err, name, e); }
void setErr(const char* name, const char* reason) noexcept { ka::capi::storeError(g_err, name, reason); }

// A failure inside the pipeline is kept by the stream until a reset; while it stands,
// avail and pull return -1 with its text as it stands ("ka_a2x extend: ...").
int streamFailed(ka_a2x* a) noexcept {
  try {
    g_err = a->stream.failure();
  } catch (...) {
    setErr("ka_a2x_avail", "out of memory");
  }
  return -1;
}
}  // namespace

extern "C" {

ka_a2x* ka_a2x_create(const char* bundle_dir, int threads) {
  clearErr();
  if (!bundle_dir || !*bundle_dir) {
    setErr("ka_a2x_create", "no bundle directory given");
    return nullptr;
  }
  try {
    return new ka_a2x(bundle_dir, threads);
  } catch (const std::exception& e) {
    setErr("ka_a2x_create", e);
  } catch (...) {
    setErr("ka_a2x_create", "unknown failure");
  }
  return nullptr;
}

void ka_a2x_destroy(ka_a2x* a) { delete a; }

int ka_a2x_push(ka_a2x* a, const float* samples, int count) {
  // A null handle appends nothing and reports the success the interface promises for
  // every push; only samples missing behind a positive count are refused.
  if (!a || count <= 0) return 1;
  if (!samples) {
    setErr("ka_a2x_push", "null samples with a positive count");
    return -1;
  }
  try {
    a->stream.push(samples, count);
    return 1;
  } catch (const std::exception& e) {
    setErr("ka_a2x_push", e);
    return -1;
  }
}

void ka_a2x_finish(ka_a2x* a) {
  if (a) a->stream.finish();
}

int ka_a2x_avail(ka_a2x* a) {
  clearErr();
  if (!a) return 0;
  try {
    const int n = a->stream.avail();
    return n < 0 ? streamFailed(a) : n;
  } catch (const std::exception& e) {
    setErr("ka_a2x_avail", e);
    return -1;
  }
}

int ka_a2x_pull_wn(ka_a2x* a, int* si, float* xs, float* xd, float* wn, int max) {
  clearErr();
  if (!a) return 0;
  if (!a->stream.failure().empty()) return streamFailed(a);
  if (max <= 0) return 0;
  if (!si || !xs || !xd) {
    setErr("ka_a2x_pull", "null output buffer");
    return -1;
  }
  try {
    const int n = a->stream.pull(si, xs, xd, wn, max);
    return n < 0 ? streamFailed(a) : n;
  } catch (const std::exception& e) {
    setErr("ka_a2x_pull", e);
    return -1;
  }
}

int ka_a2x_pull(ka_a2x* a, int* si, float* xs, float* xd, int max) {
  return ka_a2x_pull_wn(a, si, xs, xd, nullptr, max);
}

int ka_a2x_deltas(ka_a2x* a, const float* samples, int count, float* out, int cap_frames) {
  clearErr();
  if (!a || !out || (count > 0 && !samples)) {
    setErr("ka_a2x_deltas", !a ? "null handle" : "null samples or output buffer");
    return -1;
  }
  try {
    const int n = a->stream.deltas(samples, count, out, nullptr, cap_frames);
    if (n == -2) setErr("ka_a2x_deltas", "capacity below the frame count of the audio");
    return n;
  } catch (const std::exception& e) {
    setErr("ka_a2x_deltas", e);
    return -1;
  }
}

int ka_a2x_deltas_wn(ka_a2x* a, const float* samples, int count, float* out, float* out_wn,
                     int cap_frames) {
  clearErr();
  if (!a || !out || !out_wn || (count > 0 && !samples)) {
    setErr("ka_a2x_deltas_wn", !a ? "null handle" : "null samples or output buffer");
    return -1;
  }
  if (!a->stream.hasWidth()) {
    setErr("ka_a2x_deltas_wn", "encoder declares no wn output");
    return -3;
  }
  try {
    const int n = a->stream.deltas(samples, count, out, out_wn, cap_frames);
    if (n == -2) setErr("ka_a2x_deltas_wn", "capacity below the frame count of the audio");
    return n;
  } catch (const std::exception& e) {
    setErr("ka_a2x_deltas_wn", e);
    return -1;
  }
}

void ka_a2x_reset(ka_a2x* a, int start, int direction, int loop) {
  if (a) a->stream.reset(start, direction, loop);
}

void ka_a2x_set_eager(ka_a2x* a, int eager) {
  if (a) a->stream.setEager(eager);
}

int ka_a2x_total(const ka_a2x* a) { return a ? a->stream.total() : -1; }

int ka_a2x_nt(const ka_a2x* a) { return a ? a->stream.nt() : 0; }

int ka_a2x_width(const ka_a2x* a) { return a && a->stream.hasWidth() ? 1 : 0; }

const char* ka_a2x_last_error(void) { return g_err.c_str(); }

int ka_a2x_preload_w2v(const char* path) {
  clearErr();
  std::string p = path ? path : "";
  if (p.empty()) {
    const char* env = std::getenv("W2V_ONNX");
    if (env) p = env;
  }
  if (p.empty()) {
    setErr("ka_a2x_preload_w2v", "no path and $W2V_ONNX unset");
    return 0;
  }
  try {
    ka::a2x::loadSharedEncoder(p, ka::pool::threads());
    ka::a2x::setPreloadedEncoderPath(p);
    return 1;
  } catch (const std::exception& e) {
    setErr("ka_a2x_preload_w2v", e);
    return 0;
  }
}

int ka_a2x_w2v8_lazy(void) { return 1; }

}  // extern "C"
