// Every refusal of ka_motion_create: missing members, tables one float off, meta.json
// keys missing or unusable, broken tables, networks of the wrong shape, execution
// providers this build cannot serve.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "audio/motion_generator.h"
#include "tests/test_motion_util.h"

namespace fs = std::filesystem;
using namespace ka::test;

namespace {

const char* const kTables[][2] = {
    {"hubert_stft_window.bin", "512"},  {"hubert_stft_binmat.bin", "20560"}, {"hubert_fmean.bin", "1024"},
    {"hubert_fstd.bin", "1024"},        {"emo.bin", "32"},                   {"ch_xs_info.bin", "328"},
    {"ch_sc.bin", "63"},                {"ch_eye_open.bin", "2"},            {"ch_eye_ball.bin", "6"},
    {"v_min_max.bin", "530"},           {"src_xs_info.bin", "7872"},         {"xs_target.bin", "1512"},
};
const char* const kNetworks[] = {"hubert_student.onnx", "lmdm.onnx", "stitch.onnx"};
const std::string kMeta = R"({"nt": 24, "n_src": 24, "n_emo": 4, "s_bridge": 0.9, "delta_pitch": 2.0})";

// Overwrites float `index` of a member with `value`.
void poke(const std::string& path, size_t index, float value) {
  std::string bytes = slurp(path);
  std::memcpy(&bytes[index * 4], &value, 4);
  writeFile(path, bytes);
}

std::string metaWith(const std::string& from, const std::string& to) {
  std::string m = kMeta;
  const size_t at = m.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return m.replace(at, from.size(), to);
}

struct Case {
  std::string name;
  std::function<void(const std::string& dir)> damage;
  std::string expected;  // the whole text after "ka_motion_create: "; {dir} stands for the directory
};

std::string expand(std::string text, const std::string& dir) {
  for (size_t at; (at = text.find("{dir}")) != std::string::npos;) text.replace(at, 5, dir);
  return text;
}

TEST(MotionMembers, EveryRefusalNamesItsCause) {
  if (fixtureDir().empty()) GTEST_SKIP() << "KA_TEST_FIXTURES not set";
  std::vector<Case> cases;
  for (const auto& t : kTables) {
    const std::string name = t[0], count = t[1];
    const size_t n = std::stoul(count);
    cases.push_back({"missing " + name, [name](const std::string& d) { fs::remove(d + "/" + name); },
                     "cannot open {dir}/" + name});
    cases.push_back({"short " + name,
                     [name](const std::string& d) { fs::resize_file(d + "/" + name, fs::file_size(d + "/" + name) - 4); },
                     "{dir}/" + name + ": " + std::to_string(n - 1) + " floats (" + std::to_string(4 * (n - 1)) +
                         " bytes), expected " + count + " (" + std::to_string(4 * n) + " bytes)"});
  }
  cases.push_back({"long xs_target.bin",
                   [](const std::string& d) { writeFile(d + "/xs_target.bin", slurp(d + "/xs_target.bin") + "abcd"); },
                   "{dir}/xs_target.bin: 1513 floats (6052 bytes), expected 1512 (6048 bytes)"});
  for (const char* net : kNetworks) {
    const std::string name = net;
    cases.push_back({"missing " + name, [name](const std::string& d) { fs::remove(d + "/" + name); },
                     "ka_motion: cannot open {dir}/" + name});
  }
  cases.push_back({"missing meta.json", [](const std::string& d) { fs::remove(d + "/meta.json"); },
                   "cannot open {dir}/meta.json"});
  for (const char* key : {"nt", "n_src", "n_emo", "s_bridge"}) {
    const std::string k = key;
    cases.push_back({"meta without " + k,
                     [k](const std::string& d) {
                       std::string m = kMeta;
                       const size_t at = m.find("\"" + k + "\"");
                       m.replace(at, m.find(',', at) + 2 - at, "");
                       writeFile(d + "/meta.json", m);
                     },
                     "meta.json: missing " + k});
  }
  const struct {
    const char* from;
    const char* to;
    const char* text;
  } metas[] = {
      {"\"nt\": 24", "\"nt\": \"24\"", "meta.json: bad nt"},
      {"\"nt\": 24", "\"nt\": 0", "meta.json: bad nt"},
      {"\"n_src\": 24", "\"n_src\": 23.5", "meta.json: bad n_src"},
      {"\"n_emo\": 4", "\"n_emo\": -4", "meta.json: bad n_emo"},
      {"\"s_bridge\": 0.9", "\"s_bridge\": null", "meta.json: bad s_bridge"},
      {"\"s_bridge\": 0.9", "\"s_bridge\" 0.9", "meta.json: bad s_bridge"},
      {"\"delta_pitch\": 2.0", "\"delta_pitch\": 2x", "meta.json: bad delta_pitch"},
      // Finite as a double, infinite as the float the pose arithmetic takes.
      {"\"delta_pitch\": 2.0", "\"delta_pitch\": 2e59", "meta.json: bad delta_pitch"},
      {"\"s_bridge\": 0.9", "\"s_bridge\": -3.5e38", "meta.json: bad s_bridge"},
      {"\"n_src\": 24", "\"n_src\": 23", "ka_motion: n_src != nt unsupported"},
  };
  for (const auto& m : metas) {
    const std::string text = metaWith(m.from, m.to);
    cases.push_back({std::string("meta ") + m.to, [text](const std::string& d) { writeFile(d + "/meta.json", text); },
                     m.text});
  }
  // Tables whose values would turn every frame into infinities or NaNs.
  cases.push_back({"zero deviation", [](const std::string& d) { poke(d + "/hubert_fstd.bin", 7, 0.f); },
                   "{dir}/hubert_fstd.bin: deviation 7 is 0.000000; every deviation must be finite and non-zero"});
  cases.push_back({"zero first scale", [](const std::string& d) { poke(d + "/src_xs_info.bin", 258, 0.f); },
                   "{dir}/src_xs_info.bin: record 0 has scale 0.000000; the expression scale divides by it"});
  cases.push_back({"inverted range", [](const std::string& d) { poke(d + "/v_min_max.bin", 3, 11.f); },
                   "{dir}/v_min_max.bin: value 3 has minimum 11.000000 above its maximum 10.000000"});
  cases.push_back({"encoder of another shape",
                   [](const std::string& d) { fs::copy_file(d + "/stitch.onnx", d + "/hubert_student.onnx",
                                                            fs::copy_options::overwrite_existing); },
                   "ka_motion: {dir}/hubert_student.onnx declares 2 inputs and 1 outputs, expected 1 inputs and 1 "
                   "output(s)"});

  for (const Case& c : cases) {
    TempDir tmp;
    const std::string dir = tmp / "m";
    fs::copy(motionDir(), dir, fs::copy_options::recursive);
    c.damage(dir);
    MotionHandle h(dir);
    EXPECT_EQ(h.m, nullptr) << c.name;
    const std::string text = ka_motion_last_error();
    const std::string want = "ka_motion_create: " + expand(c.expected, dir);
    EXPECT_EQ(text.substr(0, want.size()), want) << c.name;
  }
}

// Built for a context, the generator refuses a directory made for another identity's
// driver video (the fixture's nt is 24), naming both counts.
TEST(MotionMembers, DirectoryOfAnotherIdentity) {
  if (fixtureDir().empty()) GTEST_SKIP() << "KA_TEST_FIXTURES not set";
  const std::string dir = motionDir();
  for (const int frames : {24, 0, 30, 23}) {
    SCOPED_TRACE(frames);
    std::string text;
    try {
      ka::audio::MotionGenerator m(dir, 1, "", frames);
    } catch (const std::exception& e) {
      text = e.what();
    }
    if (frames == 24 || frames == 0) {
      EXPECT_EQ(text, "");
    } else {
      EXPECT_EQ(text, "the motion directory " + dir +
                          " has nt=24 driver frames (meta.json, src_xs_info.bin, xs_target.bin) but the context's "
                          "driver video has " + std::to_string(frames) + ": it was made for another identity");
    }
  }
}

// A speech encoder that declares no shapes (valid ONNX) is served when it gives what
// the declared one gives; one that gives something else is refused at its first run,
// saying which shapes were taken on trust.
TEST(MotionMembers, UndeclaredShapesAreCheckedAtTheFirstRun) {
  if (fixtureDir().empty()) GTEST_SKIP() << "KA_TEST_FIXTURES not set";
  const std::vector<float> audio = readRaw(motionRef("speech.f32"));
  const std::vector<float> clip(audio.begin(), audio.begin() + std::min<size_t>(audio.size(), 16000));
  MotionHandle plain(motionDir());
  ASSERT_NE(plain.m, nullptr) << ka_motion_last_error();
  const MotionFrames want = streamAudio(plain.m, clip, {640}, AfterPush::Pull);
  ASSERT_GT(want.count(), 0u);
  const struct {
    const char* variant;
    bool served;
  } cases[] = {{"hubert_unshaped.onnx", true}, {"hubert_unshaped_wrong.onnx", false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.variant);
    TempDir tmp;
    const std::string dir = tmp / "m";
    fs::copy(motionDir(), dir, fs::copy_options::recursive);
    fs::copy_file(dir + "/.variants/" + c.variant, dir + "/hubert_student.onnx", fs::copy_options::overwrite_existing);
    MotionHandle h(dir);
    ASSERT_NE(h.m, nullptr) << ka_motion_last_error();
    if (c.served) {
      const MotionFrames got = streamAudio(h.m, clip, {640}, AfterPush::Pull);
      EXPECT_EQ(got.si, want.si);
      EXPECT_EQ(got.xd, want.xd);
      continue;
    }
    std::vector<float> second(6400, 0.f);
    ASSERT_EQ(ka_motion_push(h.m, second.data(), static_cast<int>(second.size())), 1);
    EXPECT_EQ(ka_motion_avail(h.m), -1);
    const std::string want = "ka_motion_avail: ka_motion: " + dir +
                             "/hubert_student.onnx declares no shape for input 0 'mel' (expected [1,80,21]), "
                             "output 0 'feat' (expected [1,20,1024]), and its first run on those shapes failed: ";
    const std::string text = ka_motion_last_error();
    EXPECT_EQ(text.substr(0, want.size()), want);
    EXPECT_GT(text.size(), want.size());
    EXPECT_EQ(ka_motion_avail(h.m), -1);  // and stays refused
  }
}

TEST(MotionMembers, ExecutionProvidersAndArguments) {
  if (fixtureDir().empty()) GTEST_SKIP() << "KA_TEST_FIXTURES not set";
  const struct {
    const char* dir;
    const char* ep;
    const char* text;  // prefix of the last error; nullptr: created
  } cases[] = {
      {nullptr, nullptr, "ka_motion_create: NULL motion_dir"},
      {"", "cuda", "ka_motion_create: ka_motion: unknown ep 'cuda'"},
      {"", "CoreML", "ka_motion_create: ka_motion: unknown ep 'CoreML'"},
      {"", "coreml-ane", "ka_motion_create: ka_motion: ep 'coreml-ane' needs ONNX Runtime's CoreML execution provider"},
      {"", "coreml", "ka_motion_create: ka_motion: ep 'coreml' needs ONNX Runtime's CoreML execution provider"},
      {"", "", nullptr},
  };
  const std::string dir = motionDir();
  for (const auto& c : cases) {
    ka_motion* m = ka_motion_create(c.dir ? dir.c_str() : nullptr, 1, c.ep);
    const std::string text = ka_motion_last_error();
    if (c.text) {
      EXPECT_EQ(m, nullptr) << (c.ep ? c.ep : "(null)");
      EXPECT_EQ(text.rfind(c.text, 0), 0u) << text;
    } else {
      EXPECT_NE(m, nullptr) << text;
      EXPECT_EQ(text, "");  // a success clears the failure before it
    }
    ka_motion_destroy(m);
  }

  // Arguments refused before any work, and the getters on a null handle.
  float sample = 0;
  int si = 0;
  float xs[63], xd[63];
  EXPECT_EQ(ka_motion_push(nullptr, &sample, 1), 0);
  EXPECT_STREQ(ka_motion_last_error(), "ka_motion_push: bad args / already finished");
  MotionHandle h(dir);
  EXPECT_EQ(ka_motion_push(h.m, nullptr, 1), 0);
  EXPECT_EQ(ka_motion_push(h.m, &sample, -1), 0);
  EXPECT_EQ(ka_motion_push(h.m, &sample, 0), 1);
  EXPECT_STREQ(ka_motion_last_error(), "");
  EXPECT_EQ(ka_motion_pull(h.m, nullptr, xs, xd, 1), -1);
  EXPECT_STREQ(ka_motion_last_error(), "ka_motion_pull: bad args");
  EXPECT_EQ(ka_motion_pull(h.m, &si, xs, xd, -1), -1);
  EXPECT_EQ(ka_motion_pull(h.m, &si, xs, xd, 1), 0);
  EXPECT_EQ(ka_motion_avail(nullptr), -1);
  EXPECT_EQ(ka_motion_finish(nullptr), 0);
  EXPECT_EQ(ka_motion_nt(nullptr), 0);
  EXPECT_EQ(ka_motion_total(nullptr), -1);
  ka_motion_reset(nullptr, 0, 1, 1);
  ka_motion_set_eager(nullptr, 1);
  ka_motion_destroy(nullptr);
}

}  // namespace
