// The blend head's checkpoint reader and serving config, against checkpoints written by
// torch.save (and real ones broken on purpose) and pickles built here opcode by opcode.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "base/printable_text.h"
#include "tessera/head_weights.h"
#include "tessera/serve_config.h"
#include "tests/support/test_support.h"

namespace ka::tessera {
namespace {

using Bytes = std::vector<uint8_t>;

// The head's tensors under the state-dict keys a checkpoint stores them by.
std::array<std::pair<const char*, const std::vector<float>*>, 10> stateDictOf(const HeadWeights& w) {
  return {{{"cand.0.weight", &w.cand0_w}, {"cand.0.bias", &w.cand0_b}, {"cand.2.weight", &w.cand2_w},
           {"cand.2.bias", &w.cand2_b},   {"cand.4.weight", &w.cand4_w}, {"cand.4.bias", &w.cand4_b},
           {"syn.0.weight", &w.syn0_w},   {"syn.0.bias", &w.syn0_b},   {"syn.2.weight", &w.syn2_w},
           {"syn.2.bias", &w.syn2_b}}};
}
using test::refusal;

std::string heads() { return test::fixtureDir() + "/tessera/heads/"; }

Bytes readBytes(const std::string& path) {
  const std::string s = test::slurp(path);
  return Bytes(s.begin(), s.end());
}

std::vector<float> readRef(const std::string& path) {
  const std::string s = test::slurp(path);
  std::vector<float> v(s.size() / 4);
  std::memcpy(v.data(), s.data(), v.size() * 4);
  return v;
}

#define NEED_FIXTURES() \
  if (test::fixtureDir().empty()) GTEST_SKIP() << "no fixtures"

TEST(HeadWeights, BothArchitecturesLoadEqualToTheirTorchTensors) {
  NEED_FIXTURES();
  struct Arch {
    const char* file;
    const char* ref;
    int params;
  };
  // tuples.pt is the full head saved with extra 2-d and 3-d tensors (TUPLE2, TUPLE3);
  // nested.pt the full head's state dict saved as one value of an outer dict.
  for (const Arch& a : {Arch{"blend_head.pt", "blend_head.ref", 4082}, Arch{"blend_head8.pt", "blend_head8.ref", 3489},
                        Arch{"tuples.pt", "blend_head.ref", 4082}, Arch{"nested.pt", "blend_head.ref", 4082}}) {
    SCOPED_TRACE(a.file);
    const HeadWeights w = loadHeadPt(readBytes(heads() + a.file));
    EXPECT_EQ(w.params(), a.params);
    EXPECT_FLOAT_EQ(w.envelope, 12.0f / 255.0f);
    const auto fields = stateDictOf(w);
    for (const auto& [key, got] : fields) {
      const std::string ref = heads() + a.ref + "/" + key + ".f32";
      if (a.params == 3489 && key[0] == 's') {
        EXPECT_TRUE(got->empty()) << key;
        continue;
      }
      EXPECT_EQ(*got, readRef(ref)) << key;  // bit for bit
    }
    EXPECT_STREQ(w.arch(), a.params == 4082 ? "BlendHead(16)" : "BlendHead8(16)");
  }
}

TEST(HeadWeights, BrokenCheckpointsAreRefusedByName) {
  NEED_FIXTURES();
  const std::pair<const char*, const char*> cases[] = {
      {"deflated.pt", "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member"},
      {"renamed_key.pt", "teeth: head .pt lacks 'cand.2.bias'"},
      {"wrong_shape.pt", "teeth: head 'cand.0.weight' has shape [16,6,3,3] — not the BlendHead(16) arch"},
      {"double_storage.pt", "teeth: head .pt storage is torch DoubleStorage, not torch FloatStorage — refusing to reinterpret it"},
      {"half_storage.pt", "teeth: head .pt storage is torch HalfStorage, not torch FloatStorage — refusing to reinterpret it"},
      {"binfloat.pt", "teeth: unsupported pickle opcode 0x47 in head .pt"},
      {"frame.pt", "teeth: unsupported pickle opcode 0x95 in head .pt"},
      {"truncated.pt", "teeth: pickle truncated"},
      {"noncontiguous.pt", "teeth: 'cand.0.weight' is not contiguous"},
      {"syn_partial.pt", "teeth: head .pt lacks 'syn.0.bias'"},
      {"nested_twice.pt", "teeth: head .pt names 'cand.0.weight' 2 times — ambiguous"},
  };
  for (const auto& [file, want] : cases) EXPECT_EQ(refusal([&] { loadHeadPt(readBytes(heads() + file)); }), want) << file;
}

// Checkpoints saved by torch.save the ways training scripts save them: each loads to
// exactly the bytes torch.load gives for the same file, or is refused with the reason.
TEST(HeadWeights, TorchSavedShapesLoadAsTorchLoadsThemOrAreRefusedByName) {
  NEED_FIXTURES();
  const std::string dir = test::fixtureDir() + "/tessera/shapes/";
  struct Shape {
    const char* name;
    int params;        // 0: refused
    const char* want;  // the refusal
  };
  const Shape shapes[] = {
      {"bare", 4082, ""},              // state_dict() with its _metadata; NaN payload, -0, subnormal, inf
      {"bare8", 3489, ""},             // the candidate-only head
      {"state_dict_epoch", 4082, ""},  // {"state_dict": sd, "epoch": 3}
      {"tied", 4082, ""},              // one tensor under two keys
      {"flat_views", 4082, ""},        // every tensor a view at its own offset of one flat storage
      {"flat_views8", 3489, ""},
      {"row_offsets", 4082, ""},       // rows of a larger storage, one of them under two keys
      {"cloned_params", 4082, ""},     // {k: p.clone()}: requires_grad set
      {"model_optimizer", 0, "teeth: unsupported pickle opcode 0x5d in head .pt"},  // EMPTY_LIST
      {"with_metric", 0, "teeth: unsupported pickle opcode 0x47 in head .pt"},      // BINFLOAT
      {"named_parameters", 0,
       "teeth: head .pt calls torch._utils _rebuild_parameter — this reader refuses code it does not model"},
      {"step_buffer", 0,
       "teeth: head .pt storage is torch LongStorage, not torch FloatStorage — refusing to reinterpret it"},
      {"legacy", 0,
       "teeth: head .pt is in torch's legacy (pre-1.6, non-zip) format — re-save it with torch.save's default "
       "zip format"},
  };
  for (const Shape& s : shapes) {
    SCOPED_TRACE(s.name);
    const Bytes pt = readBytes(dir + s.name + ".pt");
    if (s.params == 0) {
      EXPECT_EQ(refusal([&] { loadHeadPt(pt); }), s.want);
      continue;
    }
    HeadWeights w;
    ASSERT_EQ(refusal([&] { w = loadHeadPt(pt); }), "");
    EXPECT_EQ(w.params(), s.params);
    const auto fields = stateDictOf(w);
    for (const auto& [key, got] : fields) {
      if (s.params == HeadWeights::kCandidateParams && key[0] == 's') {
        EXPECT_TRUE(got->empty()) << key;
        continue;
      }
      // Compared as bytes: NaN payloads and the sign of zero count.
      const std::string ref = test::slurp(dir + s.name + ".ref/" + key + ".f32");
      ASSERT_FALSE(ref.empty()) << key;
      EXPECT_TRUE(got->size() * 4 == ref.size() && std::memcmp(got->data(), ref.data(), ref.size()) == 0) << key;
    }
  }
}

// ---- hand-built checkpoints ------------------------------------------------------

void put16(Bytes& b, size_t at, uint32_t v) { b[at] = uint8_t(v), b[at + 1] = uint8_t(v >> 8); }
void put32(Bytes& b, size_t at, uint32_t v) { put16(b, at, v & 0xffff), put16(b, at + 2, v >> 16); }

// A stored zip of the given entries, laid out as the checkpoint writer lays it out.
Bytes zipOf(const std::vector<std::pair<std::string, Bytes>>& entries) {
  Bytes out, cd;
  for (const auto& [name, data] : entries) {
    const size_t local = out.size();
    Bytes h(30, 0);
    put32(h, 0, 0x04034b50), put32(h, 18, uint32_t(data.size())), put32(h, 22, uint32_t(data.size()));
    put16(h, 26, uint32_t(name.size()));
    out.insert(out.end(), h.begin(), h.end());
    out.insert(out.end(), name.begin(), name.end());
    out.insert(out.end(), data.begin(), data.end());
    Bytes c(46, 0);
    put32(c, 0, 0x02014b50), put32(c, 20, uint32_t(data.size())), put32(c, 24, uint32_t(data.size()));
    put16(c, 28, uint32_t(name.size())), put32(c, 42, uint32_t(local));
    cd.insert(cd.end(), c.begin(), c.end());
    cd.insert(cd.end(), name.begin(), name.end());
  }
  Bytes e(22, 0);
  put32(e, 0, 0x06054b50), put16(e, 8, uint32_t(entries.size())), put16(e, 10, uint32_t(entries.size()));
  put32(e, 12, uint32_t(cd.size())), put32(e, 16, uint32_t(out.size()));
  out.insert(out.end(), cd.begin(), cd.end());
  out.insert(out.end(), e.begin(), e.end());
  return out;
}

// Pickle pieces.
struct P {
  Bytes b;
  P() {
    b.push_back(0x80);
    b.push_back(2);
  }
  P& op(std::initializer_list<uint8_t> o) { return b.insert(b.end(), o), *this; }
  P& str(const std::string& s) {
    op({'X'});
    Bytes n(4);
    put32(n, 0, uint32_t(s.size()));
    b.insert(b.end(), n.begin(), n.end());
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  P& global(const std::string& m, const std::string& n) {
    op({'c'});
    const std::string t = m + "\n" + n + "\n";
    b.insert(b.end(), t.begin(), t.end());
    return *this;
  }
  // A tensor of `size` over storage `key` (element count `count`), TUPLE1 sizes.
  P& tensor(const std::string& key, std::initializer_list<uint8_t> sizes, std::initializer_list<uint8_t> strides) {
    global("torch._utils", "_rebuild_tensor_v2").op({'('});
    op({'('}).str("storage").global("torch", "FloatStorage").str(key).str("cpu").op({'K', 16, 't', 'Q'});
    op({'K', 0});
    op({'('});
    for (uint8_t s : sizes) op({'K', s});
    op({'t', '('});
    for (uint8_t s : strides) op({'K', s});
    return op({'t', 0x89, 't', 'R'});
  }
  Bytes zip(const std::vector<std::pair<std::string, Bytes>>& storages = {}) {
    std::vector<std::pair<std::string, Bytes>> e = {{"h/data.pkl", b}};
    for (const auto& s : storages) e.push_back(s);
    return zipOf(e);
  }
};

TEST(HeadWeights, PickleRefusals) {
  const Bytes floats(64 * 4, 0);
  struct Case {
    const char* what;
    Bytes pt;
    std::string want;
  };
  const Case cases[] = {
      {"os.system", P().global("os", "system").op({')', 'R', '.'}).zip(),
       "teeth: head .pt calls os system — this reader refuses code it does not model"},
      {"BINGET", P().op({'h', 5}).zip(), "teeth: pickle BINGET out of range"},
      {"LONG_BINGET", P().op({'}', 'q', 1, 'j', 2, 0, 0, 0}).zip(), "teeth: pickle LONG_BINGET out of range"},
      {"persistent id", P().op({'(', 'X', 1, 0, 0, 0, 'x', 'K', 1, 'K', 1, 'K', 1, 'K', 1, 't', 'Q'}).zip(),
       "teeth: unexpected persistent id in head .pt"},
      {"non-tuple pid", P().op({'K', 1, 'Q'}).zip(), "teeth: unexpected persistent id in head .pt"},
      {"3 args", P().global("torch._utils", "_rebuild_tensor_v2").op({'(', 'K', 1, 'K', 1, 'K', 1, 't', 'R'}).zip(),
       "teeth: malformed _rebuild_tensor_v2"},
      {"empty", P().op({'}', '.'}).zip(), "teeth: head .pt state_dict is empty"},
      {"underflow", P().op({'s'}).zip(), "teeth: pickle stack underflow"},
      {"BUILD without its state", P().op({'}', 'b', '.'}).zip(), "teeth: pickle stack underflow"},
      {"no mark", P().op({'t'}).zip(), "teeth: pickle pops to a MARK it never set"},
      {"run off the end", P().op({'}'}).zip(), "teeth: pickle truncated"},
      {"nested tuples", [] {
         P p;
         p.op({')'});
         for (int i = 0; i < 100000; ++i) p.op({0x85});
         return p.zip();
       }(),
       "teeth: pickle nests tuples too deeply"},
      // 68 KB of pickle fetching one memoised 60 KB key 4000 times: 240 MB of copies.
      {"memoised string fetched again and again", [] {
         P p;
         p.op({'}'}).str(std::string(60000, 'k')).op({'q', 0});
         for (int i = 0; i < 4000; ++i) p.op({'h', 0});
         return p.op({'.'}).zip();
       }(),
       "teeth: pickle copies more than 2136752 bytes — refusing a pickle that multiplies its own values"},
      {"duplicate", P().op({'}', '('}).str("cand.0.weight").tensor("0", {16}, {1}).op({'q', 0}).str("cand.0.weight")
                       .op({'h', 0, 'u', '.'}).zip({{"h/data/0", floats}}),
       "teeth: head .pt names 'cand.0.weight' 2 times — ambiguous"},
      {"storage missing", P().op({'}'}).str("cand.0.bias").tensor("9", {16}, {1}).op({'s', '.'}).zip(),
       "teeth: head .pt lacks 'cand.0.weight'"},
      {"no data.pkl", zipOf({{"h/other.pkl", Bytes{'.'}}}), "teeth: head .pt has no data.pkl"},
      {"short", Bytes(21, 0), "teeth: head .pt is not a zip"},
      {"no EOCD", Bytes(200, 0), "teeth: head .pt has no zip EOCD"},
  };
  for (const Case& c : cases) EXPECT_EQ(refusal([&] { loadHeadPt(c.pt); }), c.want) << c.what;

  // Storage checks run per tensor in table order: cand.0.weight first.
  auto weightOnly = [&](const std::string& key, const Bytes& storage) {
    return P().op({'}'}).str("cand.0.weight").tensor(key, {16, 7, 3, 3}, {63, 9, 3, 1}).op({'s', '.'})
        .zip({{"h/data/0", storage}});
  };
  EXPECT_EQ(refusal([&] { loadHeadPt(weightOnly("5", floats)); }), "teeth: head storage 5 missing");
  EXPECT_EQ(refusal([&] { loadHeadPt(weightOnly("0", floats)); }), "teeth: head storage 0 too small");
  EXPECT_EQ(refusal([&] { loadHeadPt(weightOnly("0", Bytes(1008 * 4, 0))); }), "teeth: head .pt lacks 'cand.0.bias'");
}

TEST(HeadWeights, ZipDirectoryOutOfRangeIsRefused) {
  const Bytes good = P().op({'}', '.'}).zip();
  ASSERT_EQ(refusal([&] { loadHeadPt(good); }), "teeth: head .pt state_dict is empty");
  const size_t cd = good.size() - 22 - 46 - std::string("h/data.pkl").size();
  struct Case {
    size_t at;
    uint32_t value;
    bool wide;
    const char* want;
  };
  const Case cases[] = {
      {cd, 0x12345678, true, "teeth: head .pt central directory is malformed"},
      {cd + 10, 8, false, "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member"},
      {cd + 42, 0x7fffffff, true, "teeth: head .pt local header out of range"},
      {cd + 24, 0x7fffffff, true, "teeth: head .pt entry out of range"},
      {cd + 28, 0xffff, false, "teeth: head .pt central directory is malformed"},
      {good.size() - 22 + 16, 0x7ffffff0, true, "teeth: head .pt central directory is malformed"},
  };
  for (const Case& c : cases) {
    Bytes b = good;
    c.wide ? put32(b, c.at, c.value) : put16(b, c.at, c.value);
    EXPECT_EQ(refusal([&] { loadHeadPt(b); }), c.want) << c.at;
  }
}

TEST(HeadWeights, TruncatedAndFlippedCheckpointsRefuseWithTheReadersTexts) {
  NEED_FIXTURES();
  const Bytes real = readBytes(heads() + "blend_head.pt");
  const HeadWeights good = loadHeadPt(real);
  const auto load = [](const Bytes& b) { return refusal([&] { loadHeadPt(b); }); };
  // Cut short, the file loses its end record (and below 22 bytes, any zip shape).
  for (size_t len = 0; len < real.size(); len += 7)
    EXPECT_EQ(load(Bytes(real.begin(), real.begin() + len)),
              len <= 21 ? "teeth: head .pt is not a zip" : "teeth: head .pt has no zip EOCD")
        << len << " bytes";

  // One bit of each structure the reader relies on, found in the file by its bytes.
  const auto find = [&](const std::string& s, int nth = 0) {
    auto it = real.begin() - 1;
    for (int k = 0; k <= nth && it != real.end(); ++k)
      it = std::search(it + 1, real.end(), s.begin(), s.end(), [](uint8_t a, char b) { return a == uint8_t(b); });
    EXPECT_NE(it, real.end()) << s;
    return size_t(it - real.begin());
  };
  const size_t cd = find("PK\x01\x02");  // the first central header: data.pkl's
  // The first tensor's storage key, the pickle's first one-letter string: '0'.
  const size_t storage_key = find(std::string("X\x01\x00\x00\x00" "0", 6)) + 5;
  float w0 = good.cand0_w[0];
  const size_t float0 = find(std::string(reinterpret_cast<const char*>(&w0), 4));
  const std::string refuses_code = " — this reader refuses code it does not model";
  struct Flip {
    const char* what;
    size_t at;
    uint8_t x;
    std::string want;
  } flips[] = {
      {"end record signature", find("PK\x05\x06"), 0x01, "teeth: head .pt has no zip EOCD"},
      {"central header signature", cd, 0x01, "teeth: head .pt central directory is malformed"},
      {"compression method", cd + 10, 0x08,
       "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a compressed member"},
      {"local header offset", cd + 45, 0x80, "teeth: head .pt local header out of range"},
      {"uncompressed size", cd + 26, 0x01, "teeth: head .pt entry out of range"},
      {"pickle's name", find("data.pkl", 1), 0x01, "teeth: head .pt has no data.pkl"},
      {"protocol opcode", find("\x80\x02"), 0x01, "teeth: unsupported pickle opcode 0x81 in head .pt"},
      {"dictionary class", find("collections"), 0x01, "teeth: head .pt calls bollections OrderedDict" + refuses_code},
      // Hosts pass texts on as UTF-8: a byte outside any sequence is quoted, not copied.
      {"dictionary class, not UTF-8", find("collections") + 1, 0x80,
       "teeth: head .pt calls c\\xefllections OrderedDict" + refuses_code},
      {"tensor rebuilder", find("_rebuild_tensor_v2"), 0x01,
       "teeth: head .pt calls torch._utils ^rebuild_tensor_v2" + refuses_code},
      {"storage type", find("FloatStorage"), 0x01,
       "teeth: head .pt storage is torch GloatStorage, not torch FloatStorage — refusing to reinterpret it"},
      {"storage key", storage_key, 0x01, "teeth: head storage 1 too small"},
      {"state-dict key", find("cand.0.weight"), 0x01, "teeth: head .pt lacks 'cand.0.weight'"},
      {"a float's low bit", float0, 0x01, ""},
  };
  for (const Flip& f : flips) {
    Bytes b = real;
    b[f.at] ^= f.x;
    EXPECT_EQ(load(b), f.want) << f.what << " at " << f.at;
  }
  Bytes b = real;
  b[float0] ^= 0x01;
  const HeadWeights w = loadHeadPt(b);
  EXPECT_NE(w.cand0_w[0], good.cand0_w[0]);
  EXPECT_TRUE(std::equal(w.cand0_w.begin() + 1, w.cand0_w.end(), good.cand0_w.begin() + 1));
  EXPECT_EQ(w.syn2_b, good.syn2_b);

  // Every flip anywhere loads or is refused with one of the reader's own texts.
  const std::string key = R"('(cand|syn)\.[024]\.(weight|bias)')";
  const std::regex texts(
      "teeth: head \\.pt (is not a zip|has no zip EOCD|central directory is malformed|local header out of range|"
      "entry out of range|has no data\\.pkl|state_dict is empty|lacks " + key + "|names " + key +
      " [0-9]+ times — ambiguous|calls .+" + refuses_code +
      "|storage is .+, not torch FloatStorage — refusing to reinterpret it)|"
      "teeth: head " + key + " has shape \\[[0-9]+(,[0-9]+)*\\] — not the BlendHead\\(16\\) arch|"
      "teeth: " + key + " is not (a tensor|contiguous)|teeth: head storage .+ (missing|too small)|"
      "teeth: pickle (truncated|(LONG_)?BINGET out of range|SETITEMS holds an odd number of items|"
      "pops to a MARK it never set|stack underflow|nests tuples too deeply)|"
      "teeth: unexpected persistent id in head \\.pt|teeth: malformed _rebuild_tensor_v2|"
      "teeth: unsupported pickle opcode 0x[0-9a-f]{2} in head \\.pt");
  int loaded = 0, refused = 0;
  for (size_t i = 0; i < real.size(); i += 5)
    for (uint8_t x : {0xffu, 0x01u, 0x80u}) {
      Bytes b = real;
      b[i] ^= x;
      const std::string got = load(b);
      if (got.empty()) {
        ++loaded;
        continue;
      }
      ++refused;
      EXPECT_TRUE(std::regex_match(got, texts)) << "byte " << i << " ^ " << int(x) << ": " << got;
      EXPECT_EQ(ka::printableText(got, got.size()), got) << "byte " << i << " ^ " << int(x);
    }
  EXPECT_GT(refused, 500);
  EXPECT_GT(loaded, 0);
}

TEST(ServeConfig, ReadsTheKeyedValuesAndRefusesTheRest) {
  NEED_FIXTURES();
  const ServeConfig c = ServeConfig::fromHeadMemberJson(test::slurp(heads() + "head.json"));
  EXPECT_EQ(c.kshort, 256);
  EXPECT_EQ(c.aperture_tol, 0.25);
  EXPECT_EQ(c.cut, 48);
  EXPECT_EQ(c.K, 12);
  EXPECT_EQ(c.hysteresis, 4);
  EXPECT_EQ(c.lookahead, 3);
  EXPECT_EQ(c.luma_min, 100.0);
  EXPECT_EQ(c.min_support, 32);
  EXPECT_TRUE(c.use_lookahead);
  EXPECT_EQ(refusal([&] { ServeConfig::fromHeadMemberJson(test::slurp(heads() + "head_clamp_close.json")); }), "");
  EXPECT_EQ(refusal([&] { ServeConfig::fromHeadMemberJson(test::slurp(heads() + "head_nodecode.json")); }), "");
  EXPECT_EQ(refusal([&] { ServeConfig::fromHeadMemberJson(test::slurp(heads() + "head_clamp_far.json")); }),
            "teeth: member envelope_clamp_255 != the envelope of record (12/255) — the envelope is a gated quantity");
  const std::string blocks =
      "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema — refusing to serve defaults (W3-01)";
  const std::pair<const char*, std::string> cases[] = {
      {"{\"retrieval\": {}}", blocks},
      {"{\"retrieval\": {}, \"temporal\": []}", blocks},
      {"[]", blocks},
      {"{\"retrieval\": {\"kshort\": 1, \"aperture_tol\": 1, \"K\": 1}, \"temporal\": {}}",
       "teeth: member JSON lacks key 'cut'"},
      {"{\"retrieval\": {\"kshort\": 1, \"aperture_tol\": 1, \"cut\": 1, \"K\": 1}, \"temporal\": {\"hysteresis\": 2}}",
       "teeth: member JSON lacks key 'lookahead'"},
      {"{\"retrieval\": {\"kshort\": \"1\"}, \"temporal\": {}}", "teeth: tessera_head.v1 config key 'kshort' is not a number"},
      // The blend is sized for K donors at construction: the counts are bounded.
      {"{\"retrieval\": {\"kshort\": 1, \"aperture_tol\": 1, \"cut\": 1, \"K\": 5000}, "
       "\"temporal\": {\"hysteresis\": 1, \"lookahead\": 1}}",
       "teeth: tessera_head.v1 config retrieval.K=5000 is over the maximum 256 donors per frame — refusing to size "
       "the blend for it"},
      {"{\"retrieval\": {\"kshort\": 1, \"aperture_tol\": 1, \"cut\": 1, \"K\": 1e9}, "
       "\"temporal\": {\"hysteresis\": 1, \"lookahead\": 1}}",
       "teeth: tessera_head.v1 config retrieval.K=1000000000 is over the maximum 256 donors per frame — refusing to "
       "size the blend for it"},
      {"{\"retrieval\": {\"kshort\": 1, \"aperture_tol\": 1, \"cut\": 1, \"K\": 256}, "
       "\"temporal\": {\"hysteresis\": 257, \"lookahead\": 1}}",
       "teeth: tessera_head.v1 config temporal.hysteresis=257 is over the maximum 256 donors per frame — refusing to "
       "size the blend for it"},
      {"{\"retrieval\": {\"kshort\": 1, \"aperture_tol\": 1, \"cut\": 1, \"K\": 256}, "
       "\"temporal\": {\"hysteresis\": 256, \"lookahead\": 4e12}}",
       "teeth: tessera_head.v1 config temporal.lookahead=2147483647 is over the maximum 256 donors per frame — "
       "refusing to size the blend for it"},
      {"{\"retrieval\": {\"kshort\": 1, \"aperture_tol\": 1, \"cut\": 1, \"K\": 256}, "
       "\"temporal\": {\"hysteresis\": 256, \"lookahead\": 256}}",
       ""},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(refusal([&] { ServeConfig::fromHeadMemberJson(text); }), want) << text;
  const ServeConfig t = ServeConfig::fromHeadMemberJson(
      "{\"retrieval\": {\"kshort\": 9.9, \"aperture_tol\": 0.5, \"cut\": -3.7, \"K\": 2}, "
      "\"temporal\": {\"hysteresis\": 1, \"lookahead\": 0}}");
  EXPECT_EQ(t.kshort, 9);  // truncated
  EXPECT_EQ(t.cut, -3);
}

}  // namespace
}  // namespace ka::tessera
