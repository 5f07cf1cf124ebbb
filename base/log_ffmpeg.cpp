// FFmpeg's own lines ("Cannot load libnvcuvid ...", demuxer complaints) take the
// library's logging path, so a host that routes or silences the library hears them the
// same way.
#include <atomic>
#include <cstdarg>
#include <mutex>
#include <string>

extern "C" {
#include <libavutil/log.h>
}

#include "base/log.h"

namespace ka::log {
namespace {

thread_local int g_quietProbes = 0;

Level mapLevel(int avLevel) {
  if (g_quietProbes > 0) return Level::Debug;
  if (avLevel <= AV_LOG_ERROR) return Level::Error;
  if (avLevel <= AV_LOG_WARNING) return Level::Warning;
  if (avLevel <= AV_LOG_INFO) return Level::Info;
  return Level::Debug;
}

void ffmpegCallback(void* avcl, int avLevel, const char* fmt, va_list vl) {
  // FFmpeg's own threshold still applies first, as with its default callback.
  if (avLevel > av_log_get_level()) return;
  // FFmpeg may build one line from several calls; each thread keeps its unfinished line
  // and whether the next piece starts a new line (and so gets the "[codec @ 0x...] "
  // context prefix).
  thread_local std::string g_pending;
  thread_local int g_printPrefix = 1;
  char piece[1024];
  av_log_format_line2(avcl, avLevel, fmt, vl, piece, sizeof piece, &g_printPrefix);
  try {
    g_pending += piece;
    const bool complete = !g_pending.empty() && g_pending.back() == '\n';
    if (complete || g_pending.size() > 65536) {
      text(mapLevel(avLevel), g_pending.c_str());
      g_pending.clear();
    }
  } catch (...) {
    g_pending.clear();
  }
}

std::atomic<bool> g_routed{false};
std::once_flag g_routeOnce;

}  // namespace

QuietFfmpegProbe::QuietFfmpegProbe() noexcept { ++g_quietProbes; }
QuietFfmpegProbe::~QuietFfmpegProbe() { --g_quietProbes; }

void routeFfmpeg() noexcept {
  if (g_routed.load(std::memory_order_acquire)) return;
  std::call_once(g_routeOnce, [] {
    av_log_set_callback(ffmpegCallback);
    g_routed.store(true, std::memory_order_release);
  });
}

}  // namespace ka::log
