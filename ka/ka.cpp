// The ka_ family of the C interface: library-wide queries and the bundle queries. The
// family's thread-local error text lives here; ka/ka_error.h hands it to the family's
// other files (context, single frame, prior).
#include "ka/ka.h"

#include <exception>
#include <string>

#include "bundle/bundle_path.h"
#include "bundle/file_io.h"
#include "bundle/member.h"
#include "ka/c_error.h"
#include "ka/ka_error.h"

namespace {
thread_local std::string g_err;

void clearErr() noexcept { g_err.clear(); }
void setErr(const char* name, const std::exception& e) noexcept {
  ka::capi::storeError(g_err, name, e);
}
void setErr(const char* name, const char* reason) noexcept {
  ka::capi::storeError(g_err, name, reason);
}
}  // namespace

std::string& ka::capi::kaErrorText() noexcept { return g_err; }

extern "C" {

const char* ka_version(void) { return KA_VERSION; }

const char* ka_last_error(void) { return g_err.c_str(); }

int ka_host_kp_rows(void) { return ka::kHostKpRows; }

int ka_bundle_resolve_handle(const char* path, char* out, size_t cap) {
  clearErr();
  if (!path || !out || cap == 0) return -1;
  try {
    const std::string dir = ka::resolveBundlePath(path);
    if (!ka::capi::copyOut(dir, out, cap)) {
      setErr("ka_bundle_resolve_handle", "buffer too small");
      return -1;
    }
    return 1;
  } catch (const std::exception& e) {
    out[0] = '\0';
    setErr("ka_bundle_resolve_handle", e);
    return -1;
  }
}

int ka_bundle_resolve_member(const char* bundle, const char* member, char* out, size_t cap) {
  // The argument and buffer checks leave the text as it was: only a resolution says
  // anything about this call.
  if (!bundle || !member || !out || cap == 0) return -1;
  try {
    const std::string dir = ka::resolveBundlePath(bundle);
    const std::string path = ka::resolveMember(dir, member);
    if (!ka::capi::copyOut(path, out, cap)) return -1;
    clearErr();
    return ka::canOpenForRead(path) ? 1 : 0;
  } catch (const std::exception& e) {
    out[0] = '\0';
    setErr("ka_bundle_resolve_member", e);
    return -1;
  }
}

}  // extern "C"
