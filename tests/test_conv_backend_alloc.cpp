// Heap allocations per render of the renderer running the convolution engine, counted
// with a replaced global operator new: none after the first render, on any thread
// (the engine's workers included), at batch 4 with fewer frames than the batch too.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "render/renderer.h"
#include "tests/test_renderer_util.h"

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

namespace {

TEST(ConvBackendAlloc, RendersAllocateNothingAfterTheFirst) {
  ka::Manifest m = ka::loadManifest(ka::test::fixtureDir() + "/m4b");
  ka::Identity id(m);
  ka::Renderer r(m, id, "m4b4", 2, "neon");
  ASSERT_STREQ(r.backend(), "neon");
  const int si[4] = {0, 1, 2, 0};
  std::vector<float> xs(4 * 63, 0.1f), xd(4 * 63, 0.12f);
  r.render(si, xs.data(), xd.data(), 4);
  for (int n : {4, 1, 3}) {
    g_news = 0;
    g_counting = true;
    r.render(si, xs.data(), xd.data(), n);
    g_counting = false;
    EXPECT_EQ(g_news.load(), 0) << "n=" << n;
  }
}

}  // namespace
