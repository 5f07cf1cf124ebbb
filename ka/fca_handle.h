#pragma once
// The ka_fca C handle is the generator itself: the offline stream, which owns one
// through the C interface, reaches it here to make its runs cancellable.
#include "audio/fca_deltas.h"

struct ka_fca {
  ka_fca(const char* encoder, const char* delta, int threads) : engine(encoder, delta, threads) {}
  ka::fca::FcaDeltas engine;
};
