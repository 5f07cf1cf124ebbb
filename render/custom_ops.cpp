// Registration of the library's custom operator domains.
#include "render/custom_ops.h"

#include <mutex>

#include "render/custom_op_kernels.h"

namespace ka {

void domainOps(Ort::CustomOpDomain& domain) {
  domain.Add(ops::gridSampleFastOp());
  domain.Add(ops::warpDirectorOp());
}

// Domains are created once per process and never released: every session that ever
// received one keeps a pointer to it.
Ort::CustomOpDomain& tavrinDomain() {
  static Ort::CustomOpDomain* domain = [] {
    auto* d = new Ort::CustomOpDomain("com.tavrin");
    domainOps(*d);
    return d;
  }();
  return *domain;
}

void registerGridSampleFast(Ort::SessionOptions& options) { options.Add(tavrinDomain()); }

void registerWarpDirector(Ort::SessionOptions& options) { options.Add(tavrinDomain()); }

void registerInt8ConvVNNI(Ort::SessionOptions& options) {
  static Ort::CustomOpDomain* domain = [] {
    auto* d = new Ort::CustomOpDomain("com.tavrin.int8");
    d->Add(ops::int8ConvVnniOp());
    return d;
  }();
  options.Add(*domain);
}

}  // namespace ka
