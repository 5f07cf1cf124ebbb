#pragma once
// Counts heap allocations made through the global operator new (every form), on any
// thread, while counting is on. Listing tests/support/count_new.cpp among a test's
// sources replaces operator new and delete in that executable only.
namespace ka::test {

// Runs f and returns the number of operator new calls made meanwhile.
template <typename F>
long allocationsOf(F&& f);

void startCountingNew();  // from zero
long stopCountingNew();   // the calls since the start

template <typename F>
long allocationsOf(F&& f) {
  startCountingNew();
  f();
  return stopCountingNew();
}

}  // namespace ka::test
