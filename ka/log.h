#pragma once
// The one path every diagnostic line of the library takes. Lines are the library's own
// texts, tagged ("[ka] ", "[ka_a2x] ", ...) and ending in a line end, written to
// standard error unless the host routes them elsewhere.
#include <cstdarg>

namespace ka::log {

// Severity of a line; a host may raise the threshold to hear less.
enum class Level : int { Error = 0, Warning = 1, Info = 2, Debug = 3 };

// Formats and emits one line (printf conventions). Never throws; safe from any thread.
void line(Level level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void vline(Level level, const char* fmt, va_list args);

// Shorthands for the common severities.
#define KA_LOG_INFO(...) ::ka::log::line(::ka::log::Level::Info, __VA_ARGS__)
#define KA_LOG_WARN(...) ::ka::log::line(::ka::log::Level::Warning, __VA_ARGS__)
#define KA_LOG_ERROR(...) ::ka::log::line(::ka::log::Level::Error, __VA_ARGS__)

}  // namespace ka::log
