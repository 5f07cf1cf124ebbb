#include "bundle/imx_unwrap.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "bundle/bundle_path.h"
#include "bundle/imx_writer.h"
#include "bundle/manifest.h"
#include "tests/support/test_support.h"

namespace ka {
namespace {

using test::exists;
using test::ScopedEnv;
using test::slurp;
using test::StderrCapture;
using test::TempDir;
using test::writeFile;

// Builds container bytes by hand, independently of the library's writer, so hostile
// layouts can be expressed.
struct Entry {
  std::string name;
  std::string payload;
  std::optional<unsigned long long> offsetOverride = std::nullopt;
  std::optional<unsigned long long> lengthOverride = std::nullopt;
};

void le(std::string& s, unsigned long long v, int bytes) {
  for (int i = 0; i < bytes; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

std::string container(const std::vector<Entry>& entries, int version = 2) {
  std::string head = std::string("IMX\0", 4);
  le(head, version, 2);
  le(head, entries.size(), 2);
  size_t toc = head.size();
  for (const Entry& e : entries) toc += 2 + e.name.size() + 16;
  std::string body;
  for (const Entry& e : entries) {
    le(head, e.name.size(), 2);
    head += e.name;
    le(head, e.offsetOverride.value_or(toc + body.size()), 8);
    le(head, e.lengthOverride.value_or(e.payload.size()), 8);
    body += e.payload;
  }
  return head + body;
}

std::string unwrapError(const std::string& path) {
  return test::refusal([&] { unwrapOnce(path); });
}

const std::vector<Entry> kBundle = {
    {"manifest.json", test::manifestText()},
    {"M.f32", std::string(24, '\x01')},
    {"drive/xs.f32", std::string(252, '\x02')},
    {"idle_loop/source_index.i32", "\x03\x00\x00\x00"},
};

TEST(ImxUnwrap, DetectsContainers) {
  TempDir d;
  writeFile(d / "ok.imx", container(kBundle));
  writeFile(d / "v3.imx", container(kBundle, 3));
  std::string badMagic = container(kBundle);
  badMagic[3] = 'Y';
  writeFile(d / "magic.imx", badMagic);
  writeFile(d / "short.imx", "IMX");
  EXPECT_TRUE(isImxV2File(d / "ok.imx"));
  EXPECT_FALSE(isImxV2File(d / "v3.imx"));
  EXPECT_FALSE(isImxV2File(d / "magic.imx"));
  EXPECT_FALSE(isImxV2File(d / "short.imx"));
  EXPECT_FALSE(isImxV2File(d.path()));
  EXPECT_FALSE(isImxV2File(""));
  EXPECT_FALSE(isImxV2File(d / "absent.imx"));
  ASSERT_EQ(::symlink((d / "ok.imx").c_str(), (d / "link.imx").c_str()), 0);
  EXPECT_TRUE(isImxV2File(d / "link.imx"));

  EXPECT_EQ(unwrapError(d / "v3.imx"), d / "v3.imx" + ": unsupported IMX container version 3");
  EXPECT_EQ(unwrapError(d / "magic.imx"), d / "magic.imx" + ": not an IMX\\0 container");
  EXPECT_EQ(unwrapError(d / "absent.imx"), "cannot stat container " + d / "absent.imx");
}

TEST(ImxUnwrap, UnwrapDirectoryNaming) {
  {
    ScopedEnv env("KA_IMX_UNWRAP_ROOT", std::nullopt);
    EXPECT_EQ(imxUnwrapDir("/data/id1.imx"), "/data/id1.kabundle");
    EXPECT_EQ(imxUnwrapDir("/data/b.kabundle.imx"), "/data/b.kabundle");
    EXPECT_EQ(imxUnwrapDir("id1.imx"), "./id1.kabundle");
    EXPECT_EQ(imxUnwrapDir("/id1.imx"), "/id1.kabundle");
    EXPECT_EQ(imxUnwrapDir("/data/noext"), "/data/noext.kabundle");
  }
  ScopedEnv env("KA_IMX_UNWRAP_ROOT", std::string("/tmp/u/"));
  EXPECT_EQ(imxUnwrapDir("/data/a.imx"), "/tmp/u/a.kabundle");
  ScopedEnv empty("KA_IMX_UNWRAP_ROOT", std::string(""));
  EXPECT_EQ(imxUnwrapDir("/data/a.imx"), "/data/a.kabundle");
}

TEST(ImxUnwrap, LifeCycleFreshReusedStale) {
  TempDir d;
  ScopedEnv env("KA_IMX_UNWRAP_ROOT", std::nullopt);
  const std::string c = d / "id1.imx";
  writeFile(c, container(kBundle));

  std::string out;
  {
    StderrCapture err;
    out = unwrapOnce(c);
    EXPECT_EQ(err.text(), "[ka] unwrapped " + c + " -> " + d / "id1.kabundle" + "\n");
  }
  EXPECT_EQ(out, d / "id1.kabundle");
  for (const Entry& e : kBundle) EXPECT_EQ(slurp(out + "/" + e.name), e.payload) << e.name;
  struct stat st {};
  ASSERT_EQ(::lstat(c.c_str(), &st), 0);
  const std::string marker = slurp(out + ".imx_unwrapped");
  EXPECT_EQ(marker, "imx-unwrapped.v2 id1.imx " + std::to_string(st.st_size) + " " +
                        std::to_string(st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec) + " " +
                        std::to_string(st.st_ino));

  // Unchanged container: reused without a word, and without touching the directory.
  writeFile(out + "/sentinel", "kept");
  {
    StderrCapture err;
    EXPECT_EQ(unwrapOnce(c), out);
    EXPECT_EQ(err.text(), "");
  }
  EXPECT_TRUE(exists(out + "/sentinel"));

  // A marker with a trailing line end still matches.
  writeFile(out + ".imx_unwrapped", marker + "\r\n");
  EXPECT_EQ(unwrapOnce(c), out);
  EXPECT_TRUE(exists(out + "/sentinel"));

  // Touching the container makes the unwrap stale: the directory is rebuilt afresh.
  struct timespec times[2] = {{0, UTIME_OMIT}, {st.st_mtim.tv_sec + 5, 123}};
  ASSERT_EQ(::utimensat(AT_FDCWD, c.c_str(), times, 0), 0);
  {
    StderrCapture err;
    EXPECT_EQ(unwrapOnce(c), out);
    EXPECT_NE(err.text().find("[ka] unwrapped"), std::string::npos);
  }
  EXPECT_FALSE(exists(out + "/sentinel"));
  EXPECT_NE(slurp(out + ".imx_unwrapped"), marker);

  // resolveBundlePath finds the container from the unwrap directory's name, from the
  // container path and from the stem without ".imx".
  EXPECT_EQ(resolveBundlePath(c), out);
  EXPECT_EQ(resolveBundlePath(d / "id1"), out);
  EXPECT_EQ(resolveBundlePath(out), out);
  EXPECT_EQ(loadManifest(c).NT, 30);
}

TEST(ImxUnwrap, InterruptedUnwrapIsRedoneCleanly) {
  TempDir d;
  ScopedEnv env("KA_IMX_UNWRAP_ROOT", std::nullopt);
  const std::string c = d / "b.imx";
  writeFile(c, container(kBundle));
  const std::string out = d / "b.kabundle";
  // What a crash midway leaves: some members, a half-written ".part", no marker.
  writeFile(out + "/M.f32", "partial");
  writeFile(out + "/drive/xs.f32.part", "half");
  EXPECT_EQ(unwrapOnce(c), out);
  EXPECT_FALSE(exists(out + "/drive/xs.f32.part"));
  EXPECT_EQ(slurp(out + "/M.f32"), kBundle[1].payload);

  // A failure partway (member beyond the end) leaves no marker, so the next open with a
  // repaired container starts again instead of trusting the half-filled directory.
  std::vector<Entry> broken = kBundle;
  broken[2].lengthOverride = 1 << 20;
  writeFile(c, container(broken));
  EXPECT_EQ(unwrapError(c), c + ": truncated payload for member drive/xs.f32");
  EXPECT_FALSE(exists(out + ".imx_unwrapped"));
  EXPECT_FALSE(exists(out + "/drive/xs.f32.part"));
  EXPECT_THROW(loadManifest(c), std::runtime_error);
  writeFile(c, container(kBundle));
  EXPECT_EQ(unwrapOnce(c), out);
  EXPECT_EQ(slurp(out + "/drive/xs.f32"), kBundle[2].payload);
}

TEST(ImxUnwrap, HostileContainersNeverEscapeOrCrash) {
  TempDir d;
  ScopedEnv env("KA_IMX_UNWRAP_ROOT", std::nullopt);
  const std::string c = d / "evil.imx";
  const std::string out = d / "evil.kabundle";
  for (const std::string& bad : std::vector<std::string>{"../x", "/etc/x", "\\x", "", "a/../../x", std::string("a\0b", 3)}) {
    std::vector<Entry> entries = kBundle;
    entries.push_back({bad, "pwned"});
    writeFile(c, container(entries));
    const std::string why = unwrapError(c);
    const std::string shown = bad.find('\0') == std::string::npos ? bad : "a\\x00b";
    EXPECT_EQ(why, c + ": refusing unsafe member name '" + shown + "'");
    EXPECT_FALSE(exists(d / "x"));
    EXPECT_FALSE(exists(out + "/M.f32")) << "nothing is written before every name is checked";
    EXPECT_FALSE(exists(out + ".imx_unwrapped"));
  }

  // Truncation at every byte of the table of contents, and payloads past the end.
  const std::string good = container(kBundle);
  size_t tocEnd = 8;
  for (const Entry& e : kBundle) tocEnd += 2 + e.name.size() + 16;
  for (size_t cut = 8; cut < tocEnd; ++cut) {
    writeFile(c, good.substr(0, cut));
    const std::string why = unwrapError(c);
    EXPECT_NE(why.find(": truncated "), std::string::npos) << cut << ": " << why;
    EXPECT_FALSE(exists(out + ".imx_unwrapped"));
  }
  for (size_t cut = tocEnd; cut < good.size(); cut += 37) {
    writeFile(c, good.substr(0, cut));
    EXPECT_NE(unwrapError(c).find(": truncated payload for member "), std::string::npos) << cut;
  }

  std::vector<Entry> far = kBundle;
  far[1].offsetOverride = (~0ULL >> 1) + 10;  // beyond off_t
  writeFile(c, container(far));
  EXPECT_EQ(unwrapError(c), c + ": cannot seek to member M.f32");
  far[1].offsetOverride = 1ULL << 40;  // seekable, but nothing there
  writeFile(c, container(far));
  EXPECT_EQ(unwrapError(c), c + ": truncated payload for member M.f32");

  // A count far beyond the entries present, with a huge declared length.
  std::string huge = container({{"a", "x", std::nullopt, ~0ULL >> 2}});
  huge[6] = '\xff';
  huge[7] = '\xff';
  writeFile(c, huge);
  EXPECT_NE(unwrapError(c).find(": truncated TOC at member 1"), std::string::npos);
}

// The unwrap starts clean by removing its output; it must never remove what is not an
// unwrap directory, least of all the container itself.
TEST(ImxUnwrap, NeverReplacesWhatIsNotAnUnwrapDirectory) {
  TempDir d;
  ScopedEnv env("KA_IMX_UNWRAP_ROOT", std::nullopt);
  const std::string bytes = container(kBundle);
  struct Case {
    const char* what;
    std::string container;     // path handed to the unwrap
    std::string out;           // its unwrap directory
    std::function<void()> setUp;
    std::string why;
  };
  const std::string selfNamed = d / "self.kabundle";
  const std::string linked = d / "x.imx", linkTarget = d / "x.kabundle";
  const std::string plain = d / "p.imx", plainOut = d / "p.kabundle";
  const std::string viaLink = d / "l.imx", linkOut = d / "l.kabundle";
  const std::vector<Case> cases = {
      {"container named .kabundle", selfNamed, selfNamed, [&] { writeFile(selfNamed, bytes); },
       "unwrap directory " + selfNamed + " is the container " + selfNamed +
           " itself — refusing to unwrap over it (rename the container so its name does not "
           "end in .kabundle)"},
      {"x.imx links to x.kabundle", linked, linkTarget,
       [&] {
         writeFile(linkTarget, bytes);
         ASSERT_EQ(::symlink(linkTarget.c_str(), linked.c_str()), 0);
       },
       "unwrap directory " + linkTarget + " is the container " + linked +
           " itself — refusing to unwrap over it (rename the container so its name does not "
           "end in .kabundle)"},
      {"a user's file where the directory would go", plain, plainOut,
       [&] {
         writeFile(plain, bytes);
         writeFile(plainOut, "precious");
       },
       "unwrap directory " + plainOut + " exists and is not a directory — refusing to replace it"},
      {"a link to a directory", viaLink, linkOut,
       [&] {
         writeFile(viaLink, bytes);
         writeFile(d / "elsewhere/keep", "precious");
         ASSERT_EQ(::symlink((d / "elsewhere").c_str(), linkOut.c_str()), 0);
       },
       "unwrap directory " + linkOut +
           " exists and is not a directory (a symbolic link) — refusing to replace it"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    c.setUp();
    struct stat before {};
    ASSERT_EQ(::lstat(c.out.c_str(), &before), 0);
    const std::string kept = S_ISREG(before.st_mode) ? slurp(c.out) : "";
    EXPECT_EQ(unwrapError(c.container), c.why);
    struct stat after {};
    ASSERT_EQ(::lstat(c.out.c_str(), &after), 0) << "the output was removed";
    EXPECT_EQ(after.st_ino, before.st_ino);
    if (S_ISREG(before.st_mode)) {
      EXPECT_EQ(slurp(c.out), kept);
    }
    EXPECT_FALSE(exists(c.out + ".imx_unwrapped"));
  }
  EXPECT_EQ(slurp(d / "elsewhere/keep"), "precious");
  // Through the bundle front door too.
  EXPECT_NE(test::refusal([&] { loadManifest(selfNamed); }).find("refusing to unwrap over it"),
            std::string::npos);
}

// A failed unwrap takes its half-made directory with it.
TEST(ImxUnwrap, FailureLeavesNoPartialDirectory) {
  TempDir d;
  ScopedEnv env("KA_IMX_UNWRAP_ROOT", std::nullopt);
  std::vector<Entry> broken = kBundle;
  broken[3].lengthOverride = 1 << 20;
  writeFile(d / "f.imx", container(broken));
  EXPECT_NE(unwrapError(d / "f.imx").find("truncated payload"), std::string::npos);
  EXPECT_FALSE(exists(d / "f.kabundle"));
  EXPECT_FALSE(exists(d / "f.kabundle.imx_unwrapped"));
}

TEST(ImxUnwrap, SyntheticManifestIsNotWritten) {
  TempDir d;
  ScopedEnv env("KA_IMX_UNWRAP_ROOT", std::nullopt);
  writeFile(d / "s.imx", container({{"manifest.json", R"({"_imx_synthetic_manifest": 1})"}, {"M.f32", "m"}}));
  const std::string out = unwrapOnce(d / "s.imx");
  EXPECT_FALSE(exists(out + "/manifest.json"));
  EXPECT_TRUE(exists(out + "/M.f32"));
  writeFile(d / "r.imx", container({{"manifest.json", R"({"real": 1})"}}));
  EXPECT_TRUE(exists(unwrapOnce(d / "r.imx") + "/manifest.json"));
}

TEST(ImxUnwrap, UnwrapRootRelocatesDirectoryAndMarker) {
  TempDir d;
  ScopedEnv env("KA_IMX_UNWRAP_ROOT", d / "u/");
  writeFile(d / "src/a.imx", container(kBundle));
  EXPECT_EQ(unwrapOnce(d / "src/a.imx"), d / "u/a.kabundle");
  EXPECT_TRUE(exists(d / "u/a.kabundle.imx_unwrapped"));
  writeFile(d / "src/b.kabundle.imx", container(kBundle));
  EXPECT_EQ(unwrapOnce(d / "src/b.kabundle.imx"), d / "u/b.kabundle");
}

TEST(ImxUnwrap, ConcurrentOpensUnwrapOnce) {
  TempDir d;
  ScopedEnv env("KA_IMX_UNWRAP_ROOT", std::nullopt);
  writeFile(d / "c.imx", container(kBundle));
  StderrCapture err;
  std::vector<std::thread> ts;
  std::vector<std::string> outs(4);
  for (int i = 0; i < 4; ++i) ts.emplace_back([&, i] { outs[i] = unwrapOnce(d / "c.imx"); });
  for (auto& t : ts) t.join();
  for (const auto& o : outs) EXPECT_EQ(o, d / "c.kabundle");
  const std::string text = err.text();
  EXPECT_EQ(text.find("[ka] unwrapped"), text.rfind("[ka] unwrapped")) << text;
}

TEST(ImxWriter, PackRoundTripsThroughUnwrap) {
  TempDir d;
  ScopedEnv env("KA_IMX_UNWRAP_ROOT", std::nullopt);
  for (const Entry& e : kBundle) writeFile(d / ("src/" + e.name), e.payload);
  writeFile(d / "src/empty.bin", "");
  const ImxPackStats s = packImx(d / "src", d / "p.imx");
  EXPECT_EQ(s.members, kBundle.size() + 1);
  EXPECT_FALSE(exists(d / "p.imx.part"));
  ASSERT_TRUE(isImxV2File(d / "p.imx"));
  const std::string out = unwrapOnce(d / "p.imx");
  for (const Entry& e : kBundle) EXPECT_EQ(slurp(out + "/" + e.name), e.payload);
  EXPECT_TRUE(exists(out + "/empty.bin"));
  EXPECT_THROW(packImx(d / "nope", d / "q.imx"), std::runtime_error);
}

}  // namespace
}  // namespace ka
