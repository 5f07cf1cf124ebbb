// The ka_utt_ family: the utterance session's C interface. Its thread-local error text
// lives here.
#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

#include "base/log.h"
#include "compute/core_budget.h"
#include "compute/pool.h"
#include "ka/c_error.h"
#include "ka/context.h"
#include "ka/ka.h"
#include "render/renderer.h"
#include "session/utterance.h"

namespace {
thread_local std::string g_err;

void clearErr() noexcept { g_err.clear(); }
void setErr(const char* name, const char* reason) noexcept { ka::capi::storeError(g_err, name, reason); }
void setErr(const char* name, const std::exception& e) noexcept { ka::capi::storeError(g_err, name, e); }

// Copies s into text[len], cut to len - 1 bytes, always terminated when len > 0.
void copyTruncated(const std::string& s, char* text, size_t len) noexcept {
  if (!text || len == 0) return;
  const size_t n = std::min(s.size(), len - 1);
  std::memcpy(text, s.data(), n);
  text[n] = '\0';
}
}  // namespace

extern "C" {

ka_utt* ka_utt_create(ka_ctx* ctx, const ka_utt_opts* opts) {
  clearErr();
  if (!ctx || !opts) {
    setErr("ka_utt_create", "NULL ctx/opts");
    return nullptr;
  }
  try {
    const ka::CoreBudget& budget = ka::CoreBudget::machine();
    // Unless the host chose the context's threads, the motion model keeps to its share.
    const int motion = ctx->threadsChosen() ? ctx->threads() : std::min(ctx->threads(), budget.motion);
    const ka::UtteranceConfig cfg = ka::UtteranceConfig::resolve(*opts, motion);
    // The session renders beside its own threads; the context sizes the director for
    // that when the host did not choose.
    if (!ctx->hasRenderer()) ctx->createRenderer(cfg.directorShare);
    KA_LOG_INFO(
        "[ka_utt] core budget of %d core(s): director intra-op %d, paste %d (%s), decoder %d, motion %d\n",
        budget.cores, ctx->renderer().threads(), cfg.pasteThreads > 0 ? cfg.pasteThreads : ka::pool::threads(),
        cfg.pipelinePaste ? "own thread" : "on the conductor", budget.decoder, cfg.threads);
    auto* s = new ka_utt(*ctx, cfg);
    const std::string& note = ctx->renderer().directorNote();
    if (!note.empty()) s->noteRenderFail("director load", note, false);
    return s;
  } catch (const std::exception& e) {
    setErr("ka_utt_create", e);
    return nullptr;
  } catch (...) {
    setErr("ka_utt_create", "unknown failure");
    return nullptr;
  }
}

ka_utt* ka_utt_open(ka_ctx* ctx, const char* motion_dir) {
  ka_utt_opts o{};
  o.motion_dir = motion_dir;
  return ka_utt_create(ctx, &o);
}

void ka_utt_destroy(ka_utt* s) { delete s; }

int ka_utt_ready(ka_utt* s) {
  clearErr();
  if (!s) return -1;
  std::string error;
  const int r = s->ready(&error);
  if (r < 0) {
    try {
      g_err = error;
    } catch (...) {
    }
  }
  return r;
}

int ka_utt_push_audio(ka_utt* s, const int16_t* samples, int count) {
  clearErr();
  if (!s || !samples || count < 0) {
    setErr("ka_utt_push_audio", "bad args");
    return 0;
  }
  try {
    s->pushAudio(samples, count);
    return 1;
  } catch (const std::exception& e) {
    setErr("ka_utt_push_audio", e);
    return 0;
  }
}

void ka_utt_end_utterance(ka_utt* s) {
  if (s) s->endUtterance();
}

void ka_utt_interrupt(ka_utt* s) {
  if (s) s->interrupt();
}

int ka_utt_frames_available(ka_utt* s) { return s ? s->framesAvailable() : 0; }

int ka_utt_set_idle_lead(ka_utt* s, int frames) {
  clearErr();
  if (!s) {
    setErr("ka_utt_set_idle_lead", "bad args");
    return 0;
  }
  if (frames < 1 || frames > ka::OutputRing::kSlots) {
    setErr("ka_utt_set_idle_lead", "frames must be 1 to 8");
    return 0;
  }
  s->setIdleLead(frames);
  return 1;
}

int ka_utt_pull_frame(ka_utt* s, uint8_t* rgb, size_t cap, ka_utt_frame_info* info) {
  clearErr();
  if (!s || !rgb) {
    setErr("ka_utt_pull_frame", "bad args");
    return 0;
  }
  const int r = s->pull(rgb, cap, info);
  if (r < 0) {
    setErr("ka_utt_pull_frame", "buffer too small");
    return 0;
  }
  return r;
}

void ka_utt_get_stats(ka_utt* s, ka_utt_stats* out) {
  if (s && out) *out = s->stats();
}

int ka_utt_render_status(ka_utt* s, int* failures, char* text, size_t len) {
  if (!s) return 0;
  try {
    std::string t;
    const int r = s->renderStatus(failures, &t);
    copyTruncated(t, text, len);
    return r;
  } catch (...) {
    copyTruncated("", text, len);
    return 0;
  }
}

const char* ka_utt_last_error(void) { return g_err.c_str(); }

int ka_utt_tessera_stats(ka_utt* s, int64_t* borrowed, int64_t* refused, char* text, size_t len) {
  if (!s) return 0;
  try {
    std::string t;
    const int r = s->teethStatus(borrowed, refused, &t);
    copyTruncated(t, text, len);
    return r;
  } catch (...) {
    copyTruncated("", text, len);
    return 0;
  }
}

int ka_utt_tessera_synth_w(ka_utt* s, double* mean, double* max, int64_t* count) {
  if (!s) return 0;
  ka::TeethSynthStats st;
  if (!s->teethSynth(&st)) return 0;  // outputs untouched
  if (mean) *mean = st.sumMeans / static_cast<double>(st.frames);
  if (max) *max = st.max;
  if (count) *count = st.frames;
  return 1;
}

int ka_utt_tessera_geometry(ka_utt* s, char* text, size_t len) {
  if (!s || !text || len < 1) return 0;
  try {
    std::string t;
    const bool attached = s->teethGeometry(&t);
    copyTruncated(t, text, len);
    return attached ? 1 : 0;
  } catch (...) {
    copyTruncated("", text, len);
    return 0;
  }
}

}  // extern "C"
