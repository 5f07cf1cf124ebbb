#pragma once
// The one path every diagnostic line of the library takes. Lines are the library's own
// texts, tagged ("[ka] ", "[ka_a2x] ", ...) and ending in a line end, written to
// standard error unless the host routes them elsewhere (ka_set_log_callback) or raises
// the threshold (ka_set_log_level, KA_LOG_LEVEL). FFmpeg's and ONNX Runtime's own lines
// are routed here too, with their severities mapped onto ours.
#include <cstdarg>

#include <onnxruntime_c_api.h>

namespace ka::log {

// Severity of a line; a host may lower the threshold to hear less. The values are those
// of KA_LOG_LEVEL_* in ka/ka.h.
enum class Level : int { Error = 0, Warning = 1, Info = 2, Debug = 3 };

// Formats and emits one line (printf conventions). Never throws; safe from any thread.
void line(Level level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void vline(Level level, const char* fmt, va_list args);

// Emits an already formatted text (a trailing line end is optional). Never throws.
void text(Level level, const char* text) noexcept;

// True when a line of this level would be emitted now; lets a caller skip building an
// expensive text.
bool enabled(Level level) noexcept;

// Where lines go: fn(level, line without its line end, user), or standard error when fn
// is null. Returns once no line is still being delivered to the previous callback;
// ignored when called from inside the callback.
using Callback = void (*)(int level, const char* line, void* user);
void setCallback(Callback fn, void* user) noexcept;

// Lines above `level` are dropped; -1 drops everything. Returns the previous threshold.
// Until set, the threshold comes from KA_LOG_LEVEL (off, error, warning, info, debug or
// -1..3), else info.
int setThreshold(int level) noexcept;

// Routes FFmpeg's log through this path. Installed once, by whatever first opens FFmpeg;
// later calls cost one atomic load.
void routeFfmpeg() noexcept;

// While one lives, FFmpeg's lines from this thread are debug level. For probes the
// library expects to fail on most machines (a GPU decoder whose driver is absent): the
// failure is their normal outcome, and the library reports what it falls back to.
class QuietFfmpegProbe {
 public:
  QuietFfmpegProbe() noexcept;
  ~QuietFfmpegProbe();
  QuietFfmpegProbe(const QuietFfmpegProbe&) = delete;
  QuietFfmpegProbe& operator=(const QuietFfmpegProbe&) = delete;
};

// The logging function of every Ort::Env the library creates, so that ONNX Runtime's
// lines (without its colour escapes) reach the host's callback with their severity:
//   Ort::Env env(ORT_LOGGING_LEVEL_WARNING, "ka", ka::log::ortLoggingFunction, nullptr);
// ONNX Runtime keeps one environment per process and the first one created fixes its
// logging, so every Env of the library must be made this way.
void ORT_API_CALL ortLoggingFunction(void* param, OrtLoggingLevel severity, const char* category,
                                     const char* logid, const char* codeLocation, const char* message);

// Shorthands for the common severities.
#define KA_LOG_DEBUG(...) ::ka::log::line(::ka::log::Level::Debug, __VA_ARGS__)
#define KA_LOG_INFO(...) ::ka::log::line(::ka::log::Level::Info, __VA_ARGS__)
#define KA_LOG_WARN(...) ::ka::log::line(::ka::log::Level::Warning, __VA_ARGS__)
#define KA_LOG_ERROR(...) ::ka::log::line(::ka::log::Level::Error, __VA_ARGS__)

}  // namespace ka::log
