// The ONNX codec against models nobody here wrote: Debian's libonnx-testdata and PyTorch
// exports, with what the onnx package itself reads from them as the reference.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <initializer_list>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "render/onnx_codec.h"
#include "tests/support/test_support.h"

namespace {

using ka::GsBytes;
using ka::GsField;
using ka::GsReader;
using ka::GsSlice;

GsBytes bytesOf(const std::string& s) { return GsBytes(s.begin(), s.end()); }

GsBytes readFile(const std::string& path) { return bytesOf(ka::test::slurp(path)); }

std::vector<std::string> splitTabs(const std::string& line) {
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    const size_t tab = line.find('\t', start);
    out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) return out;
    start = tab + 1;
  }
}

struct RefNode {
  std::string op, domain;
  std::vector<std::string> in, out;
};
struct RefInput {
  std::string name;
  bool shaped = false;
  std::vector<int64_t> dims;
};
struct RefModel {
  std::string path;
  bool canonical = false;
  std::vector<RefNode> nodes;
  std::vector<RefInput> inputs;
};

std::vector<RefModel> loadRefs(const std::string& file) {
  std::vector<RefModel> models;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    const auto f = splitTabs(line);
    if (f[0] == "model") {
      models.push_back({f.at(1), f.at(2) == "1", {}, {}});
    } else if (f[0] == "node") {
      RefNode n{f.at(1), f.at(2), {}, {}};
      size_t i = 3;
      const size_t nin = std::stoul(f.at(i++));
      for (size_t k = 0; k < nin; ++k) n.in.push_back(f.at(i++));
      const size_t nout = std::stoul(f.at(i++));
      for (size_t k = 0; k < nout; ++k) n.out.push_back(f.at(i++));
      models.back().nodes.push_back(n);
    } else if (f[0] == "input") {
      RefInput r{f.at(1), false, {}};
      const long rank = std::stol(f.at(2));
      r.shaped = rank >= 0;
      for (long k = 0; k < rank; ++k) r.dims.push_back(std::stoll(f.at(3 + k)));
      models.back().inputs.push_back(r);
    }
  }
  return models;
}

// Everything a rewrite does to a model on the way in: find the graph, read every node's
// strings and attributes, every initializer, every declared input, and rebuild it.
void walkEverything(const GsBytes& model) {
  const GsSlice graph = ka::gsGraphOf(model);
  GsReader r(graph);
  GsField f;
  std::vector<std::string> names;
  std::vector<int64_t> dims;
  std::vector<float> values;
  while (r.next(f)) {
    if (f.wire != 2) continue;
    if (f.field == 1) {
      ka::gsAllStr(f.payload, 1, names);
      ka::gsAllStr(f.payload, 2, names);
      (void)ka::gsFirstStr(f.payload, 4);
      (void)ka::hcReadAttrs(f.payload);
      (void)ka::hcConstValue(f.payload);
    } else if (f.field == 5) {
      ka::hcTensorDims(f.payload, dims);
      ka::hcTensorFloats(f.payload, values);
    } else if (f.field == 11) {
      ka::ldInputDims(graph, ka::gsFirstStr(f.payload, 1), dims);
    }
  }
  GsBytes out;
  ka::gsRebuild(model, ka::GsGraphEdit{}, out);
}

std::string refusalOf(const GsBytes& model) {
  try {
    walkEverything(model);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

bool isCodecRefusal(const std::string& what) {
  return what == "onnx: bad varint" || what == "onnx: truncated" || what == "onnx: bad wire type";
}

class CodecOnRealModels : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string file = ka::test::fixtureDir() + "/onnx_refs/refs.txt";
    if (!ka::test::exists(file)) GTEST_SKIP() << "fixture missing: " << file;
    refs_ = loadRefs(file);
    ASSERT_GT(refs_.size(), 1000u) << "libonnx-testdata should contribute over a thousand models";
  }
  std::vector<RefModel> refs_;
};

TEST_F(CodecOnRealModels, NodesAndDeclaredShapesMatchWhatOnnxReads) {
  size_t nodes = 0;
  for (const RefModel& m : refs_) {
    SCOPED_TRACE(m.path);
    const GsBytes bytes = readFile(m.path);
    const GsSlice graph = ka::gsGraphOf(bytes);
    GsReader r(graph);
    GsField f;
    size_t i = 0;
    while (r.next(f)) {
      if (f.field != 1 || f.wire != 2) continue;
      ASSERT_LT(i, m.nodes.size());
      const RefNode& ref = m.nodes[i++];
      std::vector<std::string> in, out;
      ka::gsAllStr(f.payload, 1, in);
      ka::gsAllStr(f.payload, 2, out);
      EXPECT_EQ(ka::gsFirstStr(f.payload, 4), ref.op);
      EXPECT_EQ(ka::gsFirstStr(f.payload, 7), ref.domain);
      EXPECT_EQ(in, ref.in);
      EXPECT_EQ(out, ref.out);
    }
    EXPECT_EQ(i, m.nodes.size());
    nodes += i;
    for (const RefInput& in : m.inputs) {
      std::vector<int64_t> dims;
      EXPECT_EQ(ka::ldInputDims(graph, in.name, dims), in.shaped) << in.name;
      if (in.shaped) {
        EXPECT_EQ(dims, in.dims) << in.name;
      }
    }
  }
  EXPECT_GT(nodes, 1000u);
}

TEST_F(CodecOnRealModels, EmptyEditRebuildsTheSameBytes) {
  size_t canonical = 0;
  for (const RefModel& m : refs_) {
    if (!m.canonical) continue;
    ++canonical;
    const GsBytes bytes = readFile(m.path);
    GsBytes out;
    ASSERT_TRUE(ka::gsRebuild(bytes, ka::GsGraphEdit{}, out));
    ASSERT_EQ(out, bytes) << m.path;
  }
  EXPECT_GT(canonical, 1000u);
}

// A model with a node, an initializer and a declared input, made by PyTorch.
GsBytes smallModel() {
  const std::string path = ka::test::fixtureDir() + "/onnx_torch/small_cnn.onnx";
  return ka::test::exists(path) ? readFile(path) : GsBytes{};
}

TEST(CodecMalformed, EveryTruncationIsRefusedOrReadsCleanly) {
  const GsBytes model = smallModel();
  if (model.empty()) GTEST_SKIP() << "fixture missing";
  ASSERT_LT(model.size(), 20000u);
  size_t refused = 0;
  for (size_t len = 0; len < model.size(); ++len) {
    const GsBytes cut(model.begin(), model.begin() + static_cast<long>(len));
    const std::string what = refusalOf(cut);
    if (!what.empty()) {
      ASSERT_TRUE(isCodecRefusal(what)) << "at " << len << ": " << what;
      ++refused;
    }
  }
  // Most cut points fall inside the graph payload, whose declared length then overruns.
  EXPECT_GT(refused, model.size() / 2);
}

TEST(CodecMalformed, CorruptedBytesNeverEscapeTheThreeRefusals) {
  const GsBytes model = smallModel();
  if (model.empty()) GTEST_SKIP() << "fixture missing";
  uint32_t seed = 12345;
  for (int trial = 0; trial < 3000; ++trial) {
    GsBytes bad = model;
    for (int k = 0; k < 3; ++k) {
      seed = seed * 1664525u + 1013904223u;
      bad[(seed >> 8) % bad.size()] = static_cast<uint8_t>(seed >> 24);
    }
    const std::string what = refusalOf(bad);
    if (!what.empty()) {
      ASSERT_TRUE(isCodecRefusal(what)) << trial << ": " << what;
    }
  }
}

std::string nextRefusal(const GsBytes& msg) {
  GsReader r(GsSlice{msg.data(), msg.size()});
  GsField f;
  try {
    while (r.next(f)) {
    }
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(CodecWire, VarintLimitsWireTypesAndBounds) {
  // Tag of field 1 varint, then a 10-byte varint ending cleanly: 2^64 - 1.
  GsBytes ok = {0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01};
  GsReader r(GsSlice{ok.data(), ok.size()});
  GsField f;
  ASSERT_TRUE(r.next(f));
  EXPECT_EQ(f.varint, UINT64_MAX);
  EXPECT_EQ(f.raw.n, ok.size());
  EXPECT_FALSE(r.next(f));

  GsBytes eleven = {0x08, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01};
  EXPECT_EQ(nextRefusal(eleven), "onnx: bad varint");
  EXPECT_EQ(nextRefusal(GsBytes{0x08, 0x80}), "onnx: bad varint");  // ends inside the value
  EXPECT_EQ(nextRefusal(GsBytes{0x80}), "onnx: bad varint");        // ends inside the tag
  EXPECT_EQ(nextRefusal(GsBytes{0x09, 1, 2, 3, 4, 5, 6, 7}), "onnx: truncated");  // fixed64, 7 bytes
  EXPECT_EQ(nextRefusal(GsBytes{0x0d, 1, 2, 3}), "onnx: truncated");              // fixed32, 3 bytes
  EXPECT_EQ(nextRefusal(GsBytes{0x0a, 0x05, 'a', 'b'}), "onnx: truncated");       // length past the end
  // A length that would wrap the pointer.
  EXPECT_EQ(nextRefusal(GsBytes{0x0a, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x7f}), "onnx: truncated");
  for (uint8_t wire : {3, 4, 6, 7}) EXPECT_EQ(nextRefusal(GsBytes{static_cast<uint8_t>(0x08 | wire)}), "onnx: bad wire type");
  EXPECT_EQ(nextRefusal(GsBytes{0x09, 1, 2, 3, 4, 5, 6, 7, 8, 0x0d, 1, 2, 3, 4}), "");
}

TEST(CodecWire, ModelWithoutGraphIsCopiedUnchanged) {
  GsBytes model;
  ka::gsPutBytes(model, 2, "ka", 2);  // producer_name-like fields only
  ka::gsPutTag(model, 1, 0);
  ka::gsPutVarint(model, 8);
  EXPECT_TRUE(ka::gsGraphOf(model).empty());
  GsBytes out = {1, 2, 3};
  ka::gsRebuild(model, ka::GsGraphEdit{}, out);
  EXPECT_EQ(out, model);
}

GsBytes tensor(bool raw, bool floats, int type) {
  GsBytes t;
  ka::gsPutTag(t, 2, 0);
  ka::gsPutVarint(t, static_cast<uint64_t>(type));
  if (floats) {  // float_data packed: 1.5, -2
    const float v[2] = {1.5f, -2.f};
    ka::gsPutBytes(t, 4, v, sizeof v);
  }
  if (raw) {  // raw_data: 3, 4 and a stray byte
    const float v[2] = {3.f, 4.f};
    GsBytes b(reinterpret_cast<const uint8_t*>(v), reinterpret_cast<const uint8_t*>(v) + 8);
    b.push_back(0x7f);
    ka::gsPutBytes(t, 9, b.data(), b.size());
  }
  return t;
}

TEST(CodecTensor, RawDataWinsAndOnlyFloatReads) {
  std::vector<float> v;
  GsBytes both = tensor(true, true, 1);
  EXPECT_TRUE(ka::hcTensorFloats(GsSlice{both.data(), both.size()}, v));
  EXPECT_EQ(v, (std::vector<float>{3.f, 4.f}));
  GsBytes packed = tensor(false, true, 1);
  EXPECT_TRUE(ka::hcTensorFloats(GsSlice{packed.data(), packed.size()}, v));
  EXPECT_EQ(v, (std::vector<float>{1.5f, -2.f}));
  GsBytes unpacked;  // float_data as separate fixed32 fields
  ka::gsPutTag(unpacked, 2, 0);
  ka::gsPutVarint(unpacked, 1);
  for (float x : {0.25f, 8.f}) {
    uint32_t bits;
    std::memcpy(&bits, &x, 4);
    ka::gsPutTag(unpacked, 4, 5);
    for (int k = 0; k < 4; ++k) unpacked.push_back(static_cast<uint8_t>(bits >> (8 * k)));
  }
  EXPECT_TRUE(ka::hcTensorFloats(GsSlice{unpacked.data(), unpacked.size()}, v));
  EXPECT_EQ(v, (std::vector<float>{0.25f, 8.f}));
  GsBytes half = tensor(true, false, 10);
  EXPECT_FALSE(ka::hcTensorFloats(GsSlice{half.data(), half.size()}, v));
  EXPECT_TRUE(v.empty());
  GsBytes shortRaw;
  ka::gsPutTag(shortRaw, 2, 0);
  ka::gsPutVarint(shortRaw, 1);
  ka::gsPutBytes(shortRaw, 9, "abc", 3);
  EXPECT_FALSE(ka::hcTensorFloats(GsSlice{shortRaw.data(), shortRaw.size()}, v));
}

TEST(CodecWrite, TensorValueInfoBytes) {
  const int64_t dims[3] = {1, -1, 64};
  GsBytes out;
  ka::gsPutTensorValueInfo(out, 11, "t", dims, 3);
  // Spelled out by hand from the ONNX schema: ValueInfoProto{name "t", type{tensor_type{
  // elem_type 1, shape{dim{dim_value 1}, dim{dim_param "ka_hoist_d1"}, dim{dim_value 64}}}}}.
  const GsBytes dimParam = bytesOf(std::string("\x12\x0b") + "ka_hoist_d1");
  GsBytes shape = {0x0a, 0x02, 0x08, 0x01, 0x0a, static_cast<uint8_t>(dimParam.size())};
  shape.insert(shape.end(), dimParam.begin(), dimParam.end());
  shape.insert(shape.end(), {0x0a, 0x02, 0x08, 0x40});
  GsBytes tt = {0x08, 0x01, 0x12, static_cast<uint8_t>(shape.size())};
  tt.insert(tt.end(), shape.begin(), shape.end());
  GsBytes type = {0x0a, static_cast<uint8_t>(tt.size())};
  type.insert(type.end(), tt.begin(), tt.end());
  GsBytes vi = {0x0a, 0x01, 't', 0x12, static_cast<uint8_t>(type.size())};
  vi.insert(vi.end(), type.begin(), type.end());
  GsBytes want = {0x5a, static_cast<uint8_t>(vi.size())};
  want.insert(want.end(), vi.begin(), vi.end());
  EXPECT_EQ(out, want);

  // Read back as a graph input: the dim_param is unknown.
  std::vector<int64_t> got;
  ASSERT_TRUE(ka::ldInputDims(GsSlice{out.data(), out.size()}, "t", got));
  EXPECT_EQ(got, (std::vector<int64_t>{1, -1, 64}));
  EXPECT_FALSE(ka::ldInputDims(GsSlice{out.data(), out.size()}, "u", got));
}

// The graph rebuild used to cut a model in two, checked against a PyTorch export.
TEST(CodecRebuild, EditsDropAndDeclare) {
  const GsBytes model = smallModel();
  if (model.empty()) GTEST_SKIP() << "fixture missing";
  const GsSlice g0 = ka::gsGraphOf(model);
  std::vector<std::string> ops0;
  size_t nodes = 0;
  {
    GsReader r(g0);
    GsField f;
    while (r.next(f))
      if (f.field == 1) {
        ++nodes;
        ops0.push_back(ka::gsFirstStr(f.payload, 4));
      }
  }
  ASSERT_GE(nodes, 3u);
  std::vector<uint8_t> drop(nodes, 0);
  drop[0] = 1;
  const int64_t dims[2] = {0, 7};
  ka::GsGraphEdit edit;
  edit.dropNode = drop.data();
  edit.dropNodeCount = drop.size();
  edit.dropOutputs = true;
  edit.newName = "cut";
  edit.newDims = dims;
  edit.newDimCount = 2;
  edit.newField = 12;
  GsBytes out;
  ka::gsRebuild(model, edit, out);
  const GsSlice g1 = ka::gsGraphOf(out);
  std::vector<std::string> ops1, outputs;
  GsReader r(g1);
  GsField f;
  while (r.next(f)) {
    if (f.field == 1) ops1.push_back(ka::gsFirstStr(f.payload, 4));
    if (f.field == 12) outputs.push_back(ka::gsFirstStr(f.payload, 1));
  }
  EXPECT_EQ(ops1, std::vector<std::string>(ops0.begin() + 1, ops0.end()));
  EXPECT_EQ(outputs, std::vector<std::string>{"cut"});
  // Every model field outside the graph is still there, in order.
  std::vector<uint32_t> f0, f1;
  for (const GsBytes* m : std::initializer_list<const GsBytes*>{&model, &out}) {
    GsReader mr(GsSlice{m->data(), m->size()});
    while (mr.next(f)) (m == &model ? f0 : f1).push_back(f.field);
  }
  EXPECT_EQ(f0, f1);

  // keep-only-P_rgb with no such input leaves no inputs at all.
  ka::GsGraphEdit only;
  only.keepOnlyPrgbInput = true;
  ka::gsRebuild(model, only, out);
  GsReader r2(ka::gsGraphOf(out));
  while (r2.next(f)) EXPECT_NE(f.field, 11u);
}

}  // namespace
