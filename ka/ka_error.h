#pragma once
// The ka_ family's last-error text (ka_last_error) is one thread-local string kept in
// ka/ka.cpp; the other implementation files of the family reach it through these.
#include <exception>
#include <string>

#include "ka/c_error.h"

namespace ka::capi {

// The calling thread's text of the ka_ family.
std::string& kaErrorText() noexcept;

inline void kaClearErr() noexcept { kaErrorText().clear(); }
inline void kaSetErr(const char* name, const std::exception& e) noexcept {
  storeError(kaErrorText(), name, e);
}
inline void kaSetErr(const char* name, const char* reason) noexcept {
  storeError(kaErrorText(), name, reason);
}

}  // namespace ka::capi
