// The ka_ family: opening a context on a bundle, closing it, and its sizes.
#include <exception>
#include <string>

#include "ka/context.h"
#include "ka/ka.h"
#include "ka/ka_error.h"

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
    return new ka_ctx(bundle_dir, model_key, threads, ep ? ep : "");
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
