// The ka_motion_ family of the C interface over ka::audio::MotionGenerator. The
// family's thread-local error text lives here.
#include <exception>
#include <memory>
#include <string>

#include "audio/motion_generator.h"
#include "ka/c_error.h"
#include "ka/ka.h"

struct ka_motion {
  ka::audio::MotionGenerator gen;
};

namespace {
thread_local std::string g_merr;

void clearErr() noexcept { g_merr.clear(); }
void setErr(const char* name, const std::exception& e) noexcept { ka::capi::storeError(g_merr, name, e); }
void setErr(const char* name, const char* reason) noexcept { ka::capi::storeError(g_merr, name, reason); }
}  // namespace

extern "C" {

ka_motion* ka_motion_create(const char* motion_dir, int threads, const char* ep) {
  clearErr();
  if (!motion_dir) {
    setErr("ka_motion_create", "NULL motion_dir");
    return nullptr;
  }
  try {
    return new ka_motion{ka::audio::MotionGenerator(motion_dir, threads, ep ? ep : "")};
  } catch (const std::exception& e) {
    setErr("ka_motion_create", e);
    return nullptr;
  } catch (...) {
    setErr("ka_motion_create", "unknown failure");
    return nullptr;
  }
}

void ka_motion_destroy(ka_motion* m) { delete m; }

int ka_motion_push(ka_motion* m, const float* samples, int count) {
  clearErr();
  if (!m || !samples || count < 0 || m->gen.finished()) {
    setErr("ka_motion_push", "bad args / already finished");
    return 0;
  }
  try {
    m->gen.push(samples, static_cast<size_t>(count));
    return 1;
  } catch (const std::exception& e) {
    setErr("ka_motion_push", e);
    return 0;
  }
}

int ka_motion_finish(ka_motion* m) {
  clearErr();
  if (!m) {
    setErr("ka_motion_finish", "NULL handle");
    return 0;
  }
  try {
    m->gen.finish();
    return 1;
  } catch (const std::exception& e) {
    setErr("ka_motion_finish", e);
    return 0;
  }
}

int ka_motion_avail(ka_motion* m) {
  clearErr();
  if (!m) {
    setErr("ka_motion_avail", "NULL handle");
    return -1;
  }
  try {
    return m->gen.available();
  } catch (const std::exception& e) {
    setErr("ka_motion_avail", e);
    return -1;
  }
}

int ka_motion_pull(ka_motion* m, int* si, float* xs, float* xd, int max) {
  clearErr();
  if (!m || !si || !xs || !xd || max < 0) {
    setErr("ka_motion_pull", "bad args");
    return -1;
  }
  try {
    return m->gen.pull(si, xs, xd, max);
  } catch (const std::exception& e) {
    setErr("ka_motion_pull", e);
    return -1;
  }
}

void ka_motion_reset(ka_motion* m, int start, int direction, int loop) {
  if (m) m->gen.reset(start, direction, loop);
}

void ka_motion_set_eager(ka_motion* m, int eager) {
  if (m) m->gen.setEager(eager);
}

int ka_motion_total(const ka_motion* m) { return m ? m->gen.total() : -1; }

int ka_motion_nt(const ka_motion* m) { return m ? m->gen.nt() : 0; }

const char* ka_motion_last_error(void) { return g_merr.c_str(); }

}  // extern "C"
