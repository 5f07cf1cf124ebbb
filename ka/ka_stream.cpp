// The ka_stream_ family of the C interface: wrappers over ka::stream::OfflineStream (and
// its movie writer) that turn every exception into the family's thread-local last-error text.
#include <exception>
#include <string>

#include "ka/c_error.h"
#include "ka/ka.h"
#include "session/offline_movie.h"
#include "session/offline_stream.h"

namespace {
thread_local std::string g_err;

void clearErr() noexcept { g_err.clear(); }
void setErr(const char* name, const std::exception& e) noexcept { ka::capi::storeError(g_err, name, e); }
void setErr(const char* name, const char* reason) noexcept { ka::capi::storeError(g_err, name, reason); }
// The text already names the function that failed.
void setWhole(const std::exception& e) noexcept {
  try {
    g_err = e.what();
  } catch (...) {
  }
}
}  // namespace

extern "C" {

ka_stream* ka_stream_create(const char* bundle_dir, const char* encoder_path, int threads, int drop, float gain) {
  clearErr();
  if (!bundle_dir || !encoder_path) {
    setErr("ka_stream_create", "NULL bundle_dir/encoder_path");
    return nullptr;
  }
  try {
    return new ka_stream(bundle_dir, encoder_path, threads, drop, gain);
  } catch (const ka::stream::InterfaceError& e) {
    setWhole(e);
  } catch (const std::exception& e) {
    setErr("ka_stream_create", e);
  }
  return nullptr;
}

int ka_stream_run(ka_stream* st, const float* samples, int count, ka_stream_frame_cb on_frame, void* user) {
  clearErr();
  if (!st || !on_frame || (count > 0 && !samples)) {
    setErr("ka_stream_run", "NULL handle/samples/callback");
    return -1;
  }
  try {
    return st->run(samples, count, on_frame, user);
  } catch (const ka::stream::Cancelled& e) {
    setWhole(e);
    return KA_STREAM_CANCELLED;
  } catch (const ka::stream::InterfaceError& e) {
    setWhole(e);
  } catch (const std::exception& e) {
    setErr("ka_stream_run", e);
  }
  return -1;
}

int ka_stream_write_movie(ka_stream* st, const char* audio_path, const char* out_path,
                          ka_stream_progress_cb progress, void* user, ka_stream_movie_stats* stats) {
  clearErr();
  if (!st || !audio_path || !out_path) {
    setErr("ka_stream_write_movie", "NULL handle/audio_path/out_path");
    return -1;
  }
  try {
    return ka::stream::writeMovie(*st, audio_path, out_path, progress, user, stats);
  } catch (const ka::stream::Cancelled& e) {
    setWhole(e);
    return KA_STREAM_CANCELLED;
  } catch (const ka::stream::InterfaceError& e) {
    setWhole(e);
  } catch (const std::exception& e) {
    setErr("ka_stream_write_movie", e);
  }
  return -1;
}

int ka_stream_cancel(ka_stream* st) {
  if (!st) {
    setErr("ka_stream_cancel", "NULL handle");
    return -1;
  }
  try {
    return st->cancel() ? 1 : 0;
  } catch (const std::exception& e) {
    setErr("ka_stream_cancel", e);
  }
  return -1;
}

int ka_stream_width(const ka_stream* st) { return st ? st->width() : 0; }

int ka_stream_height(const ka_stream* st) { return st ? st->height() : 0; }

const char* ka_stream_last_error(void) { return g_err.c_str(); }

void ka_stream_destroy(ka_stream* st) { delete st; }

}  // extern "C"
