// Registration of the library's custom operator domains.
#include "render/custom_ops.h"

#include "render/custom_op_kernels.h"

namespace ka {
namespace {

// ONNX Runtime keeps every domain added to a session options and refuses the session when
// two of them share a name ("Domain already set in registry"), even when both are the same
// object. The options cannot be asked which domains they hold, so each registration leaves
// a marker among the options' own configuration entries: it lives and dies with those
// options (and travels with a copy), which a process-wide record keyed by address would not.
void addOnce(Ort::SessionOptions& options, Ort::CustomOpDomain& domain, const char* marker) {
  if (options.HasConfigEntry(marker)) return;
  options.Add(domain);
  options.AddConfigEntry(marker, "1");
}

Ort::CustomOpDomain& int8Domain() {
  static Ort::CustomOpDomain* domain = [] {
    auto* d = new Ort::CustomOpDomain("com.tavrin.int8");
    d->Add(ops::int8ConvVnniOp());
    return d;
  }();
  return *domain;
}

}  // namespace

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

void registerGridSampleFast(Ort::SessionOptions& options) {
  addOnce(options, tavrinDomain(), "ka.custom_ops.com.tavrin");
}

void registerWarpDirector(Ort::SessionOptions& options) {
  addOnce(options, tavrinDomain(), "ka.custom_ops.com.tavrin");
}

void registerInt8ConvVNNI(Ort::SessionOptions& options) {
  addOnce(options, int8Domain(), "ka.custom_ops.com.tavrin.int8");
}

}  // namespace ka
