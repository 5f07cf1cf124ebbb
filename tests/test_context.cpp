// ka_create and the context: argument and loader refusals, the paste mask read, and how
// the renderer's thread count is sized.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>

#include "bundle/manifest.h"
#include "compute/pool.h"
#include "ka/context.h"
#include "ka/ka.h"
#include "tests/support/test_support.h"
#include "tests/test_context_util.h"

namespace ka::test {
namespace {

size_t countOf(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1)) ++n;
  return n;
}

TEST(Context, NullArgumentsAreRefusedAndASuccessClearsTheText) {
  EXPECT_EQ(ka_create(nullptr, "b1", 0, nullptr), nullptr);
  EXPECT_STREQ(ka_last_error(), "ka_create: NULL bundle_dir/model_key");
  EXPECT_EQ(ka_create("/nonexistent", nullptr, 0, nullptr), nullptr);
  EXPECT_STREQ(ka_last_error(), "ka_create: NULL bundle_dir/model_key");
  EXPECT_EQ(ka_nt(nullptr) + ka_width(nullptr) + ka_height(nullptr) + ka_crop(nullptr) +
                ka_drive_frames(nullptr),
            0);
  ka_destroy(nullptr);

  const std::string b = contextBundle("hevc");
  KA_NEED_BUNDLE(b);
  CtxPtr ctx(ka_create(b.c_str(), "b1", 0, nullptr));
  ASSERT_NE(ctx, nullptr) << ka_last_error();
  EXPECT_STREQ(ka_last_error(), "");
  EXPECT_EQ(ka_nt(ctx.get()), 6);
  EXPECT_EQ(ka_crop(ctx.get()), 64);
  EXPECT_EQ(ka_drive_frames(ctx.get()), 8);
}

// Most machines have no GPU decoder, so the probe for it fails on every ka_create: that
// is expected, and must not reach the host's log as errors or warnings from FFmpeg.
TEST(Context, TheGpuDecoderProbePutsNoErrorInTheHostLog) {
  const std::string b = contextBundle("raw");
  KA_NEED_BUNDLE(b);
  ScopedEnv hw("KA_DRIVER_HWDEC", std::nullopt);
  struct Heard {
    std::mutex mu;
    std::vector<std::string> errors;
    static void fn(int level, const char* line, void* user) {
      auto* h = static_cast<Heard*>(user);
      std::lock_guard<std::mutex> lock(h->mu);
      if (level == KA_LOG_LEVEL_ERROR) h->errors.emplace_back(line);
    }
  } heard;
  ka_set_log_callback(&Heard::fn, &heard);
  CtxPtr ctx(ka_create(b.c_str(), "b1", 0, nullptr));
  ka_set_log_callback(nullptr, nullptr);
  ASSERT_NE(ctx, nullptr) << ka_last_error();
  std::string all;
  for (const std::string& e : heard.errors) all += e + "\n";
  EXPECT_EQ(heard.errors.size(), 0u) << all;
}

TEST(Context, LoaderRefusalsArriveWithTheFunctionName) {
  TempDir t;
  writeFile(t / "manifest.json", "{\"format\": \"something else\"}");
  std::string expected;
  try {
    loadManifest(t.path());
  } catch (const std::exception& e) {
    expected = e.what();
  }
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(ka_create(t.path().c_str(), "b1", 0, nullptr), nullptr);
  EXPECT_EQ(ka_last_error(), "ka_create: " + expected);

  // The driver video is opened last: a driver shorter than the manifest's NT.
  const std::string b = contextBundle("raw");
  KA_NEED_BUNDLE(b);
  const std::string copy = t / "short";
  copyTree(b, copy);
  const std::string cut = "ffmpeg -v error -y -i '" + copy + "/target_frames.mp4' -frames:v 3 -c copy '" +
                          copy + "/cut.mp4' && mv '" + copy + "/cut.mp4' '" + copy + "/target_frames.mp4'";
  ASSERT_EQ(std::system(cut.c_str()), 0);
  EXPECT_EQ(ka_create(copy.c_str(), "b1", 1, nullptr), nullptr);
  const std::string err = ka_last_error();
  EXPECT_EQ(err.rfind("ka_create: ka_driver: ", 0), 0u) << err;
  EXPECT_NE(err.find("NT=6"), std::string::npos) << err;
}

// The mask member keeps its 512 name at every crop, and only its first crop x crop
// bytes count.
TEST(Context, MaskShorterThanTheCropIsRefusedLongerIsRead) {
  const std::string b = contextBundle("raw");
  KA_NEED_BUNDLE(b);
  TempDir t;
  const std::string copy = t / "b";
  copyTree(b, copy);
  const std::string mask = copy + "/mask_512.u8";
  const std::string bytes = slurp(mask);
  ASSERT_EQ(bytes.size(), 64u * 64u);

  writeFile(mask, bytes.substr(0, bytes.size() - 1));
  EXPECT_EQ(ka_create(copy.c_str(), "b1", 1, nullptr), nullptr);
  EXPECT_STREQ(ka_last_error(), "ka_create: mask read failed");
  std::filesystem::remove(mask);
  EXPECT_EQ(ka_create(copy.c_str(), "b1", 1, nullptr), nullptr);
  EXPECT_STREQ(ka_last_error(), "ka_create: mask read failed");
  writeFile(mask, bytes + "x");
  CtxPtr ctx(ka_create(copy.c_str(), "b1", 1, nullptr));
  EXPECT_NE(ctx, nullptr) << ka_last_error();
}

// Without a thread count or a provider from the host, the director is sized for the
// utterance pipeline (at most 2 of the pool) and says so once, on its first render.
TEST(Context, DirectorThreadsAreSizedOnlyWhenTheHostDidNotChoose) {
  const std::string b = contextBundle("raw");
  KA_NEED_BUNDLE(b);
  const int pool = ka::pool::threads();
  const std::string line = "[ka] director intra-op " + std::to_string(std::min(pool, 2)) + " of pool " +
                           std::to_string(pool) +
                           ": the caller did not choose, the core sized it for the ka_utt pipeline\n";
  struct Case {
    int threads;
    const char* ep;
    size_t lines;
  };
  // A provider named by the host counts as a choice (the engine may be missing here;
  // the renderer then falls back on its own).
  for (const Case& c : {Case{0, nullptr, 1}, Case{-3, "", 1}, Case{4, nullptr, 0}, Case{0, "neon", 0}}) {
    CtxPtr ctx = openCtx(b, "b1", c.threads, c.ep);
    ASSERT_NE(ctx, nullptr);
    StderrCapture cap;
    EXPECT_NE(ka_render_drive_crop(ctx.get(), 0), nullptr) << ka_last_error();
    EXPECT_NE(ka_render_drive_crop(ctx.get(), 1), nullptr) << ka_last_error();
    EXPECT_EQ(countOf(cap.text(), line), c.lines) << "threads " << c.threads << ":\n" << cap.text();
    if (c.lines == 0) {
      EXPECT_EQ(countOf(cap.text(), "director intra-op"), 0u) << cap.text();
    }
  }
}

// A renderer built again (the utterance session may do so) takes the old crop with it:
// pasting it afterwards would read freed memory, so there is no last crop any more.
TEST(Context, ReplacingTheRendererForgetsTheLastCrop) {
  const std::string b = contextBundle("raw");
  KA_NEED_BUNDLE(b);
  CtxPtr ctx = openCtx(b);
  ASSERT_NE(ctx, nullptr);
  ASSERT_NE(ka_render_drive_crop(ctx.get(), 0), nullptr) << ka_last_error();
  ctx->createRenderer();
  EXPECT_EQ(ka_paste_last(ctx.get(), 0), nullptr);
  EXPECT_STREQ(ka_last_error(), "ka_paste_last: bad args / no prior render");
  ASSERT_NE(ka_render_drive_crop(ctx.get(), 1), nullptr) << ka_last_error();
  EXPECT_NE(ka_paste_last(ctx.get(), 0), nullptr) << ka_last_error();
}

}  // namespace
}  // namespace ka::test
