// The C interface's error convention and the bundle queries, called exactly as a host
// would call them.
#include "ka/ka.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "tests/support/test_support.h"

namespace {

using ka::test::ScopedEnv;
using ka::test::TempDir;
using ka::test::writeFile;

TEST(CInterface, ConstantsAndVersion) {
  EXPECT_EQ(ka_host_kp_rows(), 21);
  EXPECT_EQ(ka::kHostKpRows, 21);
  EXPECT_STREQ(ka_version(), KA_VERSION);
  EXPECT_STREQ(ka_last_error(), "");
}

TEST(CInterface, ResolveHandleBufferAndArguments) {
  TempDir d;
  const std::string dir = d.path();
  char out[4096];
  std::memset(out, 'x', sizeof out);
  EXPECT_EQ(ka_bundle_resolve_handle(dir.c_str(), out, dir.size()), -1);
  EXPECT_EQ(out[0], '\0');
  EXPECT_STREQ(ka_last_error(), "ka_bundle_resolve_handle: buffer too small");
  EXPECT_EQ(ka_bundle_resolve_handle(dir.c_str(), out, dir.size() + 1), 1);
  EXPECT_EQ(std::string(out), dir);
  EXPECT_STREQ(ka_last_error(), "") << "a successful call clears the previous failure";

  EXPECT_EQ(ka_bundle_resolve_handle(nullptr, out, sizeof out), -1);
  EXPECT_EQ(ka_bundle_resolve_handle(dir.c_str(), nullptr, sizeof out), -1);
  EXPECT_EQ(ka_bundle_resolve_handle(dir.c_str(), out, 0), -1);
  EXPECT_STREQ(ka_last_error(), "");

  // A path that is neither directory nor container comes back unchanged for the
  // caller's open to report.
  EXPECT_EQ(ka_bundle_resolve_handle("/no/such/bundle", out, sizeof out), 1);
  EXPECT_STREQ(out, "/no/such/bundle");
}

TEST(CInterface, ResolveHandleReportsUnwrapFailures) {
  TempDir d;
  ScopedEnv env("KA_IMX_UNWRAP_ROOT", std::nullopt);
  std::string bad = std::string("IMX\0", 4) + std::string("\x02\x00\x01\x00\x05\x00", 6);
  writeFile(d / "bad.imx", bad);
  char out[4096];
  out[0] = 'x';
  EXPECT_EQ(ka_bundle_resolve_handle((d / "bad.imx").c_str(), out, sizeof out), -1);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(std::string(ka_last_error()),
            "ka_bundle_resolve_handle: " + d / "bad.imx" + ": truncated member name at 0");
}

TEST(CInterface, ResolveMember) {
  TempDir d;
  writeFile(d / "paste_transform.f32", "m");
  const std::string dir = d.path();
  char out[4096];
  EXPECT_EQ(ka_bundle_resolve_member(dir.c_str(), "M.f32", out, sizeof out), 1);
  EXPECT_EQ(std::string(out), d / "paste_transform.f32");
  EXPECT_EQ(ka_bundle_resolve_member(dir.c_str(), "P.f16", out, sizeof out), 0);
  EXPECT_EQ(std::string(out), d / "P.f16");
  // Argument and buffer refusals leave whatever text the thread had, untouched.
  char small[8];
  ASSERT_EQ(ka_bundle_resolve_handle("/tmp", small, 2), -1);
  const std::string earlier = ka_last_error();
  ASSERT_EQ(earlier, "ka_bundle_resolve_handle: buffer too small");
  EXPECT_EQ(ka_bundle_resolve_member(dir.c_str(), "P.f16", out, 5), -1);
  EXPECT_EQ(out[0], '\0');
  EXPECT_EQ(ka_last_error(), earlier);
  EXPECT_EQ(ka_bundle_resolve_member(nullptr, "P.f16", out, sizeof out), -1);
  EXPECT_EQ(ka_bundle_resolve_member(dir.c_str(), nullptr, out, sizeof out), -1);
  EXPECT_EQ(ka_bundle_resolve_member(dir.c_str(), "P.f16", out, 0), -1);
  EXPECT_EQ(ka_last_error(), earlier);
  EXPECT_EQ(ka_bundle_resolve_member(dir.c_str(), "P.f16", out, sizeof out), 0);
  EXPECT_STREQ(ka_last_error(), "") << "a resolution speaks for itself";
}

TEST(CInterface, ErrorTextsArePerThread) {
  char out[8];
  EXPECT_EQ(ka_bundle_resolve_handle("/tmp", out, 2), -1);
  const std::string mine = ka_last_error();
  ASSERT_EQ(mine, "ka_bundle_resolve_handle: buffer too small");

  std::string seenElsewhere = "unset";
  std::string theirs;
  std::thread t([&] {
    seenElsewhere = ka_last_error();
    char o[2];
    ka_bundle_resolve_handle("/tmp/a/long/path", o, sizeof o);
    theirs = ka_last_error();
  });
  t.join();
  EXPECT_EQ(seenElsewhere, "") << "a new thread starts with an empty text";
  EXPECT_EQ(theirs, "ka_bundle_resolve_handle: buffer too small");
  EXPECT_EQ(std::string(ka_last_error()), mine);
  // The text stays put until this thread's next call of the family.
  const char* p = ka_last_error();
  EXPECT_EQ(std::string(p), mine);
  EXPECT_EQ(ka_bundle_resolve_handle("/tmp", out, sizeof out), 1);
  EXPECT_STREQ(ka_last_error(), "");
}

}  // namespace
