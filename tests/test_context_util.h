#pragma once
// Shared by the context and single-frame tests: where the bundles with directors are,
// and scratch copies of them to damage.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ka/ka.h"
#include "tests/support/test_support.h"

namespace ka::test {

// $KA_TEST_FIXTURES/context/<name> (raw: P.f16 and directors b1, b4; hevc: canonical
// names, HEVC prior, director b1); "" without fixtures.
inline std::string contextBundle(const std::string& name) {
  const std::string d = fixtureDir();
  return d.empty() ? std::string() : d + "/context/" + name;
}

#define KA_NEED_BUNDLE(path)                                              \
  do {                                                                    \
    if ((path).empty()) GTEST_SKIP() << "KA_TEST_FIXTURES is not set";    \
  } while (0)

inline void copyTree(const std::string& from, const std::string& to) {
  std::filesystem::copy(from, to, std::filesystem::copy_options::recursive);
}

struct CtxDeleter {
  void operator()(ka_ctx* c) const { ka_destroy(c); }
};
using CtxPtr = std::unique_ptr<ka_ctx, CtxDeleter>;

inline CtxPtr openCtx(const std::string& bundle, const char* model = "b1", int threads = 1,
                      const char* ep = nullptr) {
  CtxPtr c(ka_create(bundle.c_str(), model, threads, ep));
  EXPECT_NE(c, nullptr) << ka_last_error();
  return c;
}

}  // namespace ka::test
