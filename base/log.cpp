#include "base/log.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

namespace ka::log {
namespace {

constexpr int kUnread = -100;  // KA_LOG_LEVEL not consulted yet

std::atomic<int> g_threshold{kUnread};

// g_sinkMutex is owned by the delivery path below: it is held while one line is handed
// to the host's callback (or written to standard error), so lines never interleave and
// setCallback returns only once no line is still being delivered to the old callback.
std::mutex g_sinkMutex;
Callback g_fn = nullptr;  // guarded by g_sinkMutex
void* g_user = nullptr;   // guarded by g_sinkMutex
// Set while this thread runs the host's callback: a callback that calls back into the
// library (which may log) must not wait for the lock its own thread holds.
thread_local bool g_inCallback = false;

int parseLevel(const char* v, bool* ok) {
  *ok = true;
  const std::string_view s(v);
  if (s == "off" || s == "none" || s == "quiet" || s == "-1") return -1;
  if (s == "error" || s == "0") return 0;
  if (s == "warning" || s == "warn" || s == "1") return 1;
  if (s == "info" || s == "2") return 2;
  if (s == "debug" || s == "3") return 3;
  *ok = false;
  return static_cast<int>(Level::Info);
}

int threshold() noexcept {
  int t = g_threshold.load(std::memory_order_relaxed);
  if (t != kUnread) return t;
  const char* env = std::getenv("KA_LOG_LEVEL");
  bool ok = true;
  const int fromEnv = (env && *env) ? parseLevel(env, &ok) : static_cast<int>(Level::Info);
  // A host's ka_set_log_level that came first wins over the environment.
  if (g_threshold.compare_exchange_strong(t, fromEnv)) t = fromEnv;
  if (!ok)
    line(Level::Warning, "[ka] KA_LOG_LEVEL=%s is not one of off, error, warning, info, debug (or -1..3); using info\n",
         env);
  return t;
}

// Drops terminal escape sequences (ESC '[' parameters final-byte): a host's callback gets
// plain text whatever a dependency decorated its lines with.
size_t stripEscapes(char* s, size_t n) noexcept {
  size_t w = 0;
  for (size_t r = 0; r < n; ++r) {
    if (s[r] == '\x1b') {
      if (r + 1 < n && s[r + 1] == '[') {
        r += 2;
        while (r < n && !(s[r] >= 0x40 && s[r] <= 0x7e)) ++r;
      }
      continue;
    }
    s[w++] = s[r];
  }
  return w;
}

// Hands one line (no line end inside) to the sink.
void deliver(Level level, char* s, size_t n) noexcept {
  while (n > 0 && (s[n - 1] == '\n' || s[n - 1] == '\r')) --n;
  n = stripEscapes(s, n);
  const char saved = s[n];
  s[n] = '\0';
  auto emit = [&] {
    if (g_fn) {
      const bool outer = g_inCallback;
      g_inCallback = true;
      g_fn(static_cast<int>(level), s, g_user);
      g_inCallback = outer;
    } else {
      // One write per line so that lines from several processes sharing the stream
      // do not interleave either.
      s[n] = '\n';
      std::fwrite(s, 1, n + 1, stderr);
    }
  };
  if (g_inCallback) {
    emit();  // this thread already holds g_sinkMutex, inside the callback
  } else {
    std::lock_guard<std::mutex> lock(g_sinkMutex);
    emit();
  }
  s[n] = saved;
}

// Splits a formatted text into lines and delivers each.
void deliverText(Level level, char* s, size_t n) noexcept {
  size_t start = 0;
  for (size_t i = 0; i < n; ++i) {
    if (s[i] != '\n') continue;
    deliver(level, s + start, i - start);
    start = i + 1;
  }
  if (start < n) deliver(level, s + start, n - start);
}

}  // namespace

bool enabled(Level level) noexcept { return static_cast<int>(level) <= threshold(); }

void vline(Level level, const char* fmt, va_list args) {
  if (!enabled(level)) return;
  char buf[2048];
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(buf, sizeof buf, fmt, args);
  if (n >= 0 && static_cast<size_t>(n) < sizeof buf) {
    deliverText(level, buf, static_cast<size_t>(n));
  } else if (n >= 0) {
    try {
      std::string big(static_cast<size_t>(n) + 1, '\0');
      std::vsnprintf(big.data(), big.size(), fmt, again);
      deliverText(level, big.data(), static_cast<size_t>(n));
    } catch (...) {
      deliverText(level, buf, sizeof buf - 1);  // the first 2 KiB are better than nothing
    }
  }
  va_end(again);
}

void line(Level level, const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  vline(level, fmt, args);
  va_end(args);
}

void text(Level level, const char* s) noexcept {
  if (!s || !enabled(level)) return;
  try {
    std::string copy(s);
    copy.push_back('\0');  // room for the line end the default sink appends
    deliverText(level, copy.data(), copy.size() - 1);
  } catch (...) {
  }
}

void setCallback(Callback fn, void* user) noexcept {
  if (g_inCallback) return;  // would wait for the lock this thread holds
  std::lock_guard<std::mutex> lock(g_sinkMutex);
  g_fn = fn;
  g_user = fn ? user : nullptr;
}

int setThreshold(int level) noexcept {
  if (level < -1) level = -1;
  if (level > static_cast<int>(Level::Debug)) level = static_cast<int>(Level::Debug);
  const int before = threshold();
  g_threshold.store(level, std::memory_order_relaxed);
  return before;
}

}  // namespace ka::log
