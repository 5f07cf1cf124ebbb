#include "render/onnx_codec.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace ka {

namespace {

// A varint is at most 10 bytes; a tenth byte that still asks for more is malformed, and so
// is a buffer that ends inside one.
uint64_t readVarint(const uint8_t*& cur, const uint8_t* end) {
  uint64_t value = 0;
  for (int i = 0; i < 10; ++i) {
    if (cur >= end) throw std::runtime_error("onnx: bad varint");
    const uint8_t b = *cur++;
    value |= static_cast<uint64_t>(b & 0x7f) << (7 * i);
    if (!(b & 0x80)) return value;
  }
  throw std::runtime_error("onnx: bad varint");
}

uint32_t readLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

float le32ToFloat(const uint8_t* p) {
  const uint32_t bits = readLe32(p);
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

// Appends the values of a repeated int64 field given either as separate varints or as a
// packed run.
void appendInts(const GsField& f, std::vector<int64_t>& out) {
  if (f.wire == 0) {
    out.push_back(static_cast<int64_t>(f.varint));
  } else if (f.wire == 2) {
    const uint8_t* cur = f.payload.p;
    const uint8_t* end = f.payload.p + f.payload.n;
    while (cur < end) out.push_back(static_cast<int64_t>(readVarint(cur, end)));
  }
}

}  // namespace

bool GsSlice::equals(const char* text) const {
  const size_t len = std::strlen(text);
  return len == n && (len == 0 || std::memcmp(p, text, len) == 0);
}

bool GsReader::next(GsField& f) {
  if (cur_ >= end_) return false;
  const uint8_t* start = cur_;
  const uint8_t* cur = cur_;
  const uint64_t tag = readVarint(cur, end_);
  f.field = static_cast<uint32_t>(tag >> 3);
  f.wire = static_cast<int>(tag & 7);
  f.varint = 0;
  f.payload = GsSlice{};
  switch (f.wire) {
    case 0:
      f.varint = readVarint(cur, end_);
      break;
    case 1:
      if (end_ - cur < 8) throw std::runtime_error("onnx: truncated");
      f.varint = static_cast<uint64_t>(readLe32(cur)) | static_cast<uint64_t>(readLe32(cur + 4)) << 32;
      cur += 8;
      break;
    case 5:
      if (end_ - cur < 4) throw std::runtime_error("onnx: truncated");
      f.varint = readLe32(cur);
      cur += 4;
      break;
    case 2: {
      const uint64_t len = readVarint(cur, end_);
      if (len > static_cast<uint64_t>(end_ - cur)) throw std::runtime_error("onnx: truncated");
      f.payload = GsSlice{cur, static_cast<size_t>(len)};
      cur += len;
      break;
    }
    default:
      throw std::runtime_error("onnx: bad wire type");
  }
  f.raw = GsSlice{start, static_cast<size_t>(cur - start)};
  cur_ = cur;
  return true;
}

GsSlice gsGraphOf(GsSlice model) {
  GsReader r(model);
  GsField f;
  while (r.next(f))
    if (f.field == 7 && f.wire == 2) return f.payload;
  return GsSlice{};
}

std::string gsFirstStr(GsSlice message, uint32_t field) {
  GsReader r(message);
  GsField f;
  while (r.next(f))
    if (f.field == field && f.wire == 2) return f.payload.str();
  return std::string();
}

void gsAllStr(GsSlice message, uint32_t field, std::vector<std::string>& out) {
  GsReader r(message);
  GsField f;
  while (r.next(f))
    if (f.field == field && f.wire == 2) out.push_back(f.payload.str());
}

GsSlice hcPayload(GsSlice rawField) {
  GsReader r(rawField);
  GsField f;
  if (r.next(f) && f.wire == 2) return f.payload;
  return GsSlice{};
}

void hcTensorDims(GsSlice tensor, std::vector<int64_t>& out) {
  out.clear();
  GsReader r(tensor);
  GsField f;
  while (r.next(f))
    if (f.field == 1) appendInts(f, out);
}

int64_t hcTensorType(GsSlice tensor) {
  int64_t type = 0;
  GsReader r(tensor);
  GsField f;
  while (r.next(f))
    if (f.field == 2 && f.wire == 0) type = static_cast<int64_t>(f.varint);
  return type;
}

bool hcTensorFloats(GsSlice tensor, std::vector<float>& out) {
  out.clear();
  if (hcTensorType(tensor) != 1) return false;
  GsSlice raw;
  bool hasRaw = false;
  GsReader r(tensor);
  GsField f;
  while (r.next(f))
    if (f.field == 9 && f.wire == 2) {
      raw = f.payload;
      hasRaw = true;
    }
  if (hasRaw) {
    if (raw.n < 4) return false;
    out.reserve(raw.n / 4);
    for (size_t i = 0; i + 4 <= raw.n; i += 4) out.push_back(le32ToFloat(raw.p + i));
    return true;
  }
  GsReader d(tensor);
  while (d.next(f)) {
    if (f.field != 4) continue;
    if (f.wire == 5) {
      uint8_t b[4];
      const uint32_t bits = static_cast<uint32_t>(f.varint);
      for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(bits >> (8 * i));
      out.push_back(le32ToFloat(b));
    } else if (f.wire == 2) {
      for (size_t i = 0; i + 4 <= f.payload.n; i += 4) out.push_back(le32ToFloat(f.payload.p + i));
    }
  }
  return !out.empty();
}

GsSlice hcConstValue(GsSlice node) {
  if (gsFirstStr(node, 4) != "Constant") return GsSlice{};
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.field != 5 || f.wire != 2) continue;
    if (gsFirstStr(f.payload, 1) != "value") continue;
    GsReader a(f.payload);
    GsField af;
    while (a.next(af))
      if (af.field == 5 && af.wire == 2) return af.payload;
  }
  return GsSlice{};
}

HcResizeAttrs hcReadAttrs(GsSlice node) {
  HcResizeAttrs out;
  GsReader r(node);
  GsField f;
  while (r.next(f)) {
    if (f.field != 5 || f.wire != 2) continue;
    std::string name, s;
    int64_t i = 0;
    float fv = 0.f;
    bool hasF = false;
    GsReader a(f.payload);
    GsField af;
    while (a.next(af)) {
      if (af.field == 1 && af.wire == 2) name = af.payload.str();
      else if (af.field == 4 && af.wire == 2) s = af.payload.str();
      else if (af.field == 3 && af.wire == 0) i = static_cast<int64_t>(af.varint);
      else if (af.field == 2 && af.wire == 5) {
        const uint32_t bits = static_cast<uint32_t>(af.varint);
        std::memcpy(&fv, &bits, 4);
        hasF = true;
      }
    }
    if (name == "mode") out.mode = s;
    else if (name == "coordinate_transformation_mode") out.coordMode = s;
    else if (name == "keep_aspect_ratio_policy") {
      out.hasKeepAspect = true;
      out.keepAspect = s;
    } else if (name == "axes") out.hasAxes = true;
    else if (name == "exclude_outside") out.excludeOutside = i;
    else if (name == "antialias") out.antialias = i;
    else if (name == "cubic_coeff_a" && hasF) {
      out.hasCubicA = true;
      out.cubicA = fv;
    }
  }
  return out;
}

bool gsValueInfoDims(GsSlice valueInfo, std::vector<int64_t>& dims) {
  dims.clear();
  // ValueInfoProto.type -> TypeProto.tensor_type -> shape -> dim
  GsReader vi(valueInfo);
  GsField vf;
  while (vi.next(vf)) {
    if (vf.field != 2 || vf.wire != 2) continue;
    GsReader tp(vf.payload);
    GsField tf;
    while (tp.next(tf)) {
      if (tf.field != 1 || tf.wire != 2) continue;
      GsReader tt(tf.payload);
      GsField sf;
      while (tt.next(sf)) {
        if (sf.field != 2 || sf.wire != 2) continue;
        GsReader sh(sf.payload);
        GsField df;
        while (sh.next(df)) {
          if (df.field != 1 || df.wire != 2) continue;
          int64_t v = -1;
          GsReader dr(df.payload);
          GsField xf;
          while (dr.next(xf)) {
            if (xf.field == 1 && xf.wire == 0) v = static_cast<int64_t>(xf.varint);
            else if (xf.field == 2 && xf.wire == 2) v = -1;
          }
          dims.push_back(v);
        }
        return true;
      }
    }
  }
  return false;
}

bool ldInputDims(GsSlice graph, const std::string& name, std::vector<int64_t>& dims) {
  dims.clear();
  GsReader r(graph);
  GsField f;
  while (r.next(f))
    if (f.field == 11 && f.wire == 2 && gsFirstStr(f.payload, 1) == name) return gsValueInfoDims(f.payload, dims);
  return false;
}

void gsPutVarint(GsBytes& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<uint8_t>(value));
}

void gsPutTag(GsBytes& out, uint32_t field, int wire) {
  gsPutVarint(out, (static_cast<uint64_t>(field) << 3) | static_cast<uint64_t>(wire));
}

void gsPutBytes(GsBytes& out, uint32_t field, const void* bytes, size_t length) {
  gsPutTag(out, field, 2);
  gsPutVarint(out, length);
  const uint8_t* b = static_cast<const uint8_t*>(bytes);
  if (length) out.insert(out.end(), b, b + length);
}

void gsPutRaw(GsBytes& out, GsSlice rawField) {
  if (rawField.n) out.insert(out.end(), rawField.p, rawField.p + rawField.n);
}

namespace {

void putStr(GsBytes& out, uint32_t field, const std::string& s) { gsPutBytes(out, field, s.data(), s.size()); }

void putVarintField(GsBytes& out, uint32_t field, uint64_t value) {
  gsPutTag(out, field, 0);
  gsPutVarint(out, value);
}

}  // namespace

void hcAttrI(GsBytes& out, const char* name, int64_t value) {
  GsBytes a;
  putStr(a, 1, name);
  putVarintField(a, 3, static_cast<uint64_t>(value));
  putVarintField(a, 20, 2);
  gsPutBytes(out, 5, a.data(), a.size());
}

void hcAttrIs(GsBytes& out, const char* name, const int64_t* values, size_t count) {
  GsBytes a;
  putStr(a, 1, name);
  for (size_t i = 0; i < count; ++i) putVarintField(a, 8, static_cast<uint64_t>(values[i]));
  putVarintField(a, 20, 7);
  gsPutBytes(out, 5, a.data(), a.size());
}

void hcAttrS(GsBytes& out, const char* value) {
  GsBytes a;
  putStr(a, 1, "mode");
  putStr(a, 4, value);
  putVarintField(a, 20, 3);
  gsPutBytes(out, 5, a.data(), a.size());
}

void hcNode(GsBytes& out, const char* opType, const std::vector<std::string>& inputs, const std::string& output,
            const std::string& name, const GsBytes& attributes) {
  GsBytes n;
  for (const auto& in : inputs) putStr(n, 1, in);
  putStr(n, 2, output);
  putStr(n, 3, name);
  putStr(n, 4, opType);
  n.insert(n.end(), attributes.begin(), attributes.end());
  gsPutBytes(out, 1, n.data(), n.size());
}

void hcInit(GsBytes& out, const std::string& name, int32_t dataType, const std::vector<int64_t>& dims,
            const void* raw, size_t length) {
  GsBytes t;
  t.reserve(length + name.size() + 32);
  for (int64_t d : dims) putVarintField(t, 1, static_cast<uint64_t>(d));
  putVarintField(t, 2, static_cast<uint64_t>(dataType));
  putStr(t, 8, name);
  gsPutBytes(t, 9, raw, length);
  gsPutBytes(out, 5, t.data(), t.size());
}

void gsPutTensorValueInfo(GsBytes& out, uint32_t field, const char* name, const int64_t* dims, size_t count) {
  GsBytes shape;
  for (size_t i = 0; i < count; ++i) {
    GsBytes d;
    const int64_t v = dims ? dims[i] : 0;
    if (v > 0) {
      putVarintField(d, 1, static_cast<uint64_t>(v));
    } else {
      char param[32];
      std::snprintf(param, sizeof param, "ka_hoist_d%u", static_cast<unsigned>(i));
      putStr(d, 2, param);
    }
    gsPutBytes(shape, 1, d.data(), d.size());
  }
  GsBytes tensor;
  putVarintField(tensor, 1, 1);
  gsPutBytes(tensor, 2, shape.data(), shape.size());
  GsBytes type;
  gsPutBytes(type, 1, tensor.data(), tensor.size());
  GsBytes vi;
  putStr(vi, 1, name ? name : "");
  gsPutBytes(vi, 2, type.data(), type.size());
  gsPutBytes(out, field, vi.data(), vi.size());
}

bool gsRebuild(const GsBytes& model, const GsGraphEdit& edit, GsBytes& out) {
  const bool declare = edit.newName != nullptr;
  out = gsRebuildFirstGraph(model, 256, [&](GsSlice g, GsBytes& graph) {
    gsEachGraphField(g, [&](const GsField& gf, size_t node) {
      bool keep = true;
      if (node != kGsNotNode) {
        keep = !(edit.dropNode && node < edit.dropNodeCount && edit.dropNode[node]);
      } else if (gf.field == 11) {
        const bool isPrgb = gf.wire == 2 && gsFirstStr(gf.payload, 1) == "P_rgb";
        if (edit.keepOnlyPrgbInput) keep = isPrgb && !edit.dropPrgbInput;
        else keep = !(isPrgb && edit.dropPrgbInput);
      } else if (gf.field == 12) {
        keep = !edit.dropOutputs;
      } else if (gf.field == 13 && declare) {
        keep = !(gf.wire == 2 && gsFirstStr(gf.payload, 1) == edit.newName);
      }
      if (keep) gsPutRaw(graph, gf.raw);
    });
    if (declare && edit.newField != 0)
      gsPutTensorValueInfo(graph, edit.newField, edit.newName, edit.newDims, edit.newDimCount);
  });
  return true;
}

}  // namespace ka
