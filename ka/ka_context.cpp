// The ka_ family: opening a context on a bundle, closing it, and its sizes.
#include <chrono>
#include <exception>
#include <string>

#include "ka/context.h"
#include "ka/ka.h"
#include "ka/ka_error.h"
#include "telemetry/recorder.h"

using ka::capi::kaClearErr;
using ka::capi::kaSetErr;

extern "C" {

ka_ctx* ka_create(const char* bundle_dir, const char* model_key, int threads, const char* ep) {
  kaClearErr();
  if (!bundle_dir || !model_key) {
    kaSetErr("ka_create", "NULL bundle_dir/model_key");
    return nullptr;
  }
  try {
    const auto t0 = std::chrono::steady_clock::now();
    auto* ctx = new ka_ctx(bundle_dir, model_key, threads, ep ? ep : "");
    ka::telemetry::Recorder::instance().record(
        "ka.bundle_open_ms",
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    return ctx;
  } catch (const std::exception& e) {
    kaSetErr("ka_create", e);
    return nullptr;
  }
}

void ka_destroy(ka_ctx* ctx) { delete ctx; }

int ka_nt(const ka_ctx* ctx) { return ctx ? ctx->NT() : 0; }
int ka_width(const ka_ctx* ctx) { return ctx ? ctx->W() : 0; }
int ka_height(const ka_ctx* ctx) { return ctx ? ctx->H() : 0; }
int ka_crop(const ka_ctx* ctx) { return ctx ? ctx->crop() : 0; }
int ka_drive_frames(const ka_ctx* ctx) { return ctx ? ctx->frames() : 0; }

}  // extern "C"
