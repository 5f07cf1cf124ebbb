#pragma once
// Helpers for the C interface's error convention. Each family keeps its own
// thread-local text in an unnamed namespace of its implementation file and passes it
// here; nothing in this header owns state.
#include <algorithm>
#include <cstring>
#include <exception>
#include <string>

namespace ka::capi {

// Stores "<name>: <message>" into `slot`. Building the text can itself run out of
// memory; then the slot keeps at least the function's name.
inline void storeError(std::string& slot, const char* name, const char* message) noexcept {
  try {
    std::string text(name);
    text += ": ";
    text += message;
    slot = std::move(text);
  } catch (...) {
    try {
      slot = name;
    } catch (...) {
    }
  }
}

inline void storeError(std::string& slot, const char* name, const std::exception& e) noexcept {
  storeError(slot, name, e.what());
}

// Copies `s` with its terminating NUL into out[cap]; false (and out[0] = 0 when cap > 0)
// when it does not fit.
inline bool copyOut(const std::string& s, char* out, size_t cap) noexcept {
  if (cap < s.size() + 1) {
    if (cap > 0) out[0] = '\0';
    return false;
  }
  s.copy(out, s.size());
  out[s.size()] = '\0';
  return true;
}

// The caller-buffer convention of the teeth families: at most cap - 1 bytes of `msg`
// and a terminating NUL into err, when err is not null and cap > 0.
inline void putCallerError(char* err, int cap, const char* msg) noexcept {
  if (!err || cap <= 0 || !msg) return;
  const size_t n = std::min(std::strlen(msg), static_cast<size_t>(cap) - 1);
  std::memcpy(err, msg, n);
  err[n] = '\0';
}

}  // namespace ka::capi
