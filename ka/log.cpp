#include "ka/log.h"

#include <cstdio>
#include <string>

namespace ka::log {

void vline(Level, const char* fmt, va_list args) {
  // One write per line so that lines from several threads do not interleave.
  char buf[2048];
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(buf, sizeof buf, fmt, args);
  if (n >= 0 && static_cast<size_t>(n) < sizeof buf) {
    std::fputs(buf, stderr);
  } else if (n >= 0) {
    try {
      std::string big(static_cast<size_t>(n) + 1, '\0');
      std::vsnprintf(big.data(), big.size(), fmt, again);
      std::fputs(big.c_str(), stderr);
    } catch (...) {
      std::fputs(buf, stderr);  // the first 2 KiB are better than nothing
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

}  // namespace ka::log
