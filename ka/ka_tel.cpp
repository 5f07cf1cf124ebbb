// The ka_tel_ family: the host's and the library's events into the process's telemetry
// batch, and the batch out as JSON. Recording never fails loudly: a refused event only
// sets the family's text, since a host's telemetry must never take its product down.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "ka/c_error.h"
#include "ka/ka.h"
#include "telemetry/event_batch.h"
#include "telemetry/recorder.h"

namespace {
thread_local std::string g_err;

using ka::telemetry::Recorder;

int report(const char* fn, Recorder::Result r) noexcept {
  switch (r) {
    case Recorder::Result::kOk:
    case Recorder::Result::kOff:
      return 1;
    case Recorder::Result::kBadName:
      ka::capi::storeError(g_err, fn, "name is NULL, empty or longer than 64 bytes");
      return 0;
    case Recorder::Result::kNotFinite:
      ka::capi::storeError(g_err, fn, "value is not finite (NaN or infinity) — not recorded");
      return 0;
    case Recorder::Result::kNamesFull:
      ka::capi::storeError(g_err, fn,
                           "the batch already holds 256 distinct names — event dropped and "
                           "counted in dropped_names; flush the batch");
      return 0;
  }
  return 0;
}
}  // namespace

extern "C" {

const char* ka_tel_last_error(void) { return g_err.c_str(); }

int ka_tel_record(const char* name, double value) {
  g_err.clear();
  return report("ka_tel_record", Recorder::instance().record(name, value));
}

int ka_tel_record_str(const char* name, const char* text) {
  g_err.clear();
  if (!text) {
    ka::capi::storeError(g_err, "ka_tel_record_str", "text is NULL");
    return 0;
  }
  return report("ka_tel_record_str",
                Recorder::instance().recordText(name, text, std::strlen(text)));
}

int64_t ka_tel_pending_json(char* out, size_t cap) {
  g_err.clear();
  try {
    return static_cast<int64_t>(Recorder::instance().pendingJson(out, cap));
  } catch (const std::exception& e) {
    if (out && cap > 0) out[0] = '\0';
    ka::capi::storeError(g_err, "ka_tel_pending_json", e);
    return -1;
  }
}

int64_t ka_tel_flush(void) { return static_cast<int64_t>(Recorder::instance().flush()); }

int64_t ka_tel_flush_batch(uint64_t id) {
  g_err.clear();
  const int64_t n = Recorder::instance().flushBatch(id);
  if (n < 0) {
    char why[160];
    std::snprintf(why, sizeof why,
                  "no batch has had the id %llu yet; pass the \"id\" of a \"batch\" read with "
                  "ka_tel_pending_json",
                  static_cast<unsigned long long>(id));
    ka::capi::storeError(g_err, "ka_tel_flush_batch", why);
  }
  return n;
}

}  // extern "C"
