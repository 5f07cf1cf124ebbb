#include "tessera/json.h"

#include <locale.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

namespace ka::tessera::json {
namespace {

// Beyond this nesting a hostile file would exhaust the stack of the recursive descent;
// no file the bank builder writes comes within a factor of a hundred of it.
constexpr int kMaxDepth = 256;

// Numbers are read in the "C" locale whatever the process's locale says, so a host
// that switched to a decimal comma still reads "0.3" as 0.3.
locale_t cLocale() {
  static const locale_t g_c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return g_c;
}

}  // namespace

const JVal* JVal::get(const std::string& key) const {
  if (kind != Object) return nullptr;
  for (const auto& kv : obj)
    if (kv.first == key) return &kv.second;
  return nullptr;
}

const double* JVal::numAt(size_t i) const {
  if (kind != Array) return nullptr;
  if (!nums.empty()) return i < nums.size() ? &nums[i] : nullptr;
  return i < arr.size() && arr[i].kind == Number ? &arr[i].num : nullptr;
}

const JVal* JVal::at(size_t i) const {
  return kind == Array && i < arr.size() ? &arr[i] : nullptr;
}

const JVal& JVal::req(const std::string& key) const {
  const JVal* v = get(key);
  if (!v) throw std::runtime_error("teeth: member JSON lacks key '" + key + "'");
  return *v;
}

void JParser::ws() {
  while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
}

JVal JParser::val() {
  ws();
  if (p_ >= end_) throw std::runtime_error("teeth: JSON truncated");
  const size_t left = static_cast<size_t>(end_ - p_);
  auto lit = [&](const char* s, size_t n) { return left >= n && std::equal(s, s + n, p_); };
  JVal v;
  switch (*p_) {
    case '{':
      return objv();
    case '[':
      return arrv();
    case '"':
      v.kind = JVal::String;
      v.str = strv();
      return v;
    default:
      break;
  }
  if (lit("true", 4)) {
    p_ += 4;
    v.kind = JVal::Bool;
    v.b = true;
  } else if (lit("false", 5)) {
    p_ += 5;
    v.kind = JVal::Bool;
  } else if (lit("null", 4)) {
    p_ += 4;
  } else {
    return number();
  }
  return v;
}

JVal JParser::number() {
  char* stop = nullptr;
  const double d = strtod_l(p_, &stop, cLocale());
  if (stop == p_ || stop > end_) throw std::runtime_error("teeth: bad JSON number");
  p_ = stop;
  JVal v;
  v.kind = JVal::Number;
  v.num = d;
  return v;
}

std::string JParser::strv() {
  std::string s;
  if (p_ < end_) ++p_;  // the opening quote, taken as such
  while (p_ < end_ && *p_ != '"') {
    char c = *p_++;
    if (c == '\\' && p_ < end_) {
      c = *p_++;
      switch (c) {
        case 'b': c = '\b'; break;
        case 'f': c = '\f'; break;
        case 'n': c = '\n'; break;
        case 'r': c = '\r'; break;
        case 't': c = '\t'; break;
        case 'u':
          for (int i = 0; i < 4 && p_ < end_; ++i) ++p_;
          c = '?';
          break;
        default: break;
      }
    } else if (c == '\\') {
      break;  // a backslash as the last byte ends the string
    }
    s.push_back(c);
  }
  if (p_ < end_) ++p_;  // closing quote
  return s;
}

JVal JParser::objv() {
  if (++depth_ > kMaxDepth) throw std::runtime_error("teeth: JSON nested too deeply");
  ++p_;
  ws();
  JVal v;
  v.kind = JVal::Object;
  if (p_ < end_ && *p_ == '}') {
    ++p_;
    --depth_;
    return v;
  }
  for (;;) {
    ws();
    std::string key = strv();
    ws();
    if (p_ < end_ && *p_ == ':') ++p_;
    JVal member = val();
    v.obj.push_back(JMember{std::move(key), std::move(member)});
    ws();
    if (p_ < end_ && *p_ == ',') {
      ++p_;
      continue;
    }
    if (p_ < end_ && *p_ == '}') {
      ++p_;
      break;
    }
    throw std::runtime_error("teeth: malformed JSON object");
  }
  v.obj.shrink_to_fit();
  --depth_;
  return v;
}

JVal JParser::arrv() {
  if (++depth_ > kMaxDepth) throw std::runtime_error("teeth: JSON nested too deeply");
  ++p_;
  ws();
  JVal v;
  v.kind = JVal::Array;
  if (p_ < end_ && *p_ == ']') {
    ++p_;
    --depth_;
    return v;
  }
  for (;;) {
    JVal e = val();
    if (e.kind == JVal::Number && v.arr.empty()) {
      v.nums.push_back(e.num);
    } else {
      if (!v.nums.empty()) {  // the first element that is no number: all become nodes
        v.arr.reserve(v.nums.size() + 1);
        for (double d : v.nums) {
          JVal n;
          n.kind = JVal::Number;
          n.num = d;
          v.arr.push_back(std::move(n));
        }
        v.nums.clear();
        v.nums.shrink_to_fit();
      }
      v.arr.push_back(std::move(e));
    }
    ws();
    if (p_ < end_ && *p_ == ',') {
      ++p_;
      continue;
    }
    if (p_ < end_ && *p_ == ']') {
      ++p_;
      break;
    }
    throw std::runtime_error("teeth: malformed JSON array");
  }
  // Growth leaves up to half of each vector unused; a parsed document is kept as read.
  v.nums.shrink_to_fit();
  v.arr.shrink_to_fit();
  --depth_;
  return v;
}

namespace {
thread_local uint64_t t_documents = 0;
}  // namespace

uint64_t documentsParsed() { return t_documents; }

JVal parse(const std::string& text) {
  ++t_documents;
  if (text.size() > kMaxDocumentBytes)
    throw std::runtime_error("teeth: JSON document of " + std::to_string(text.size()) +
                             " bytes is over the " + std::to_string(kMaxDocumentBytes) +
                             "-byte bound");
  JParser p(text.data(), text.data() + text.size());
  return p.val();
}

double reqNum(const JVal& obj, const std::string& key, const std::string& context) {
  const JVal* v = obj.get(key);
  if (!v || !v->isNum())
    throw std::runtime_error("teeth: " + context + " lacks numeric '" + key + "'");
  return v->num;
}

std::string optStr(const JVal& obj, const std::string& key, const std::string& fallback) {
  const JVal* v = obj.get(key);
  return v && v->isStr() ? v->str : fallback;
}

std::string slurpText(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!f) throw std::runtime_error("teeth: cannot open " + path);
  std::string out;
  char buf[65536];
  for (;;) {
    const size_t n = std::fread(buf, 1, sizeof buf, f.get());
    out.append(buf, n);
    if (n < sizeof buf) break;
  }
  if (std::ferror(f.get())) throw std::runtime_error("teeth: short read " + path);
  return out;
}

std::string slurpJson(const std::string& path) {
  {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) throw std::runtime_error("teeth: cannot open " + path);
    if (std::fseek(f.get(), 0, SEEK_END) == 0) {
      const long n = std::ftell(f.get());
      if (n > 0 && uint64_t(n) > kMaxDocumentBytes)
        throw std::runtime_error("teeth: " + path + " is " + std::to_string(n) + " bytes, over the " +
                                 std::to_string(kMaxDocumentBytes) +
                                 "-byte bound of a teeth JSON document");
    }
  }
  // A file that grew since is still caught by the parse's own bound.
  return slurpText(path);
}

int truncInt32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return INT32_MAX;
  if (v <= -2147483648.0) return INT32_MIN;
  return static_cast<int>(v);
}

}  // namespace ka::tessera::json
