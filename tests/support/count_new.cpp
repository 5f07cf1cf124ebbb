// The replaced global operator new and delete behind tests/support/count_new.h.
#include "tests/support/count_new.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> g_news{0};
std::atomic<bool> g_counting{false};

void* counted(size_t n) {
  if (g_counting.load(std::memory_order_relaxed)) g_news.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}

void* countedAligned(size_t n, std::align_val_t a) {
  if (g_counting.load(std::memory_order_relaxed)) g_news.fetch_add(1, std::memory_order_relaxed);
  const size_t al = static_cast<size_t>(a);
  if (void* p = std::aligned_alloc(al, (n + al - 1) / al * al)) return p;
  throw std::bad_alloc();
}
}  // namespace

namespace ka::test {
void startCountingNew() {
  g_news = 0;
  g_counting = true;
}
long stopCountingNew() {
  g_counting = false;
  return g_news.load();
}
}  // namespace ka::test

void* operator new(size_t n) { return counted(n); }
void* operator new[](size_t n) { return counted(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try {
    return counted(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t n, const std::nothrow_t&) noexcept {
  try {
    return counted(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(size_t n, std::align_val_t a) { return countedAligned(n, a); }
void* operator new[](size_t n, std::align_val_t a) { return countedAligned(n, a); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { std::free(p); }
