// The ka_fca_ family of the C interface: wrappers over ka::fca::FcaDeltas that turn every
// exception into the family's thread-local last-error text.
#include <exception>
#include <string>

#include "ka/c_error.h"
#include "ka/fca_handle.h"
#include "ka/ka.h"

namespace {
thread_local std::string g_err;

void clearErr() noexcept { g_err.clear(); }
void setErr(const char* name, const std::exception& e) noexcept { ka::capi::storeError(g_err, name, e); }
void setErr(const char* name, const char* reason) noexcept { ka::capi::storeError(g_err, name, reason); }
}  // namespace

extern "C" {

ka_fca* ka_fca_create(const char* encoder_path, const char* delta_path, int threads) {
  clearErr();
  if (!encoder_path || !delta_path) {
    setErr("ka_fca_create", "NULL encoder_path/delta_path");
    return nullptr;
  }
  try {
    return new ka_fca(encoder_path, delta_path, threads);
  } catch (const std::exception& e) {
    setErr("ka_fca_create", e);
    return nullptr;
  }
}

int ka_fca_deltas(ka_fca* f, const float* samples, int count, float* out, int capacity) {
  clearErr();
  if (count < 1) return 0;
  if (!f || !samples || !out) {
    setErr("ka_fca_deltas", "NULL handle/samples/out");
    return -1;
  }
  try {
    return f->engine.deltas(samples, static_cast<size_t>(count), out, capacity);
  } catch (const std::exception& e) {
    setErr("ka_fca_deltas", e);
    return -1;
  }
}

const char* ka_fca_last_error(void) { return g_err.c_str(); }

void ka_fca_destroy(ka_fca* f) { delete f; }

}  // extern "C"
