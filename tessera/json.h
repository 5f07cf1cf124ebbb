#pragma once
// The teeth subsystem's own small JSON reader. It is deliberately lenient where the
// bank builder's files never go wrong (a missing colon, an unterminated last string)
// and strict where a wrong value would silently change what is served: every caller
// asks for the kind it needs and refuses anything else by name.
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace ka::tessera::json {

struct JMember;

struct JVal {
  enum Kind : int { Null = 0, Bool = 1, Number = 2, String = 3, Array = 4, Object = 5 };
  int kind = Null;
  bool b = false;
  double num = 0.0;
  std::string str;
  // An array is held one of two ways: `nums` when every element is a number (eight
  // bytes each, the shape of every large array a bundle carries), else `arr`. Read
  // arrays through size(), numAt() and at(), which see both.
  std::vector<JVal> arr;
  std::vector<double> nums;
  // File order; duplicates kept. A member type of its own rather than a pair, which
  // some standard libraries cannot instantiate while JVal is still incomplete.
  std::vector<JMember> obj;

  bool isNull() const { return kind == Null; }
  bool isBool() const { return kind == Bool; }
  bool isNum() const { return kind == Number; }
  bool isStr() const { return kind == String; }
  bool isArr() const { return kind == Array; }
  bool isObj() const { return kind == Object; }

  // Elements of an array (0 for anything else).
  size_t size() const { return kind == Array ? (nums.empty() ? arr.size() : nums.size()) : 0; }
  // Element i when it is a number, else null (also out of range).
  const double* numAt(size_t i) const;
  // Element i when it is no number of an all-number array, else null (also out of range).
  const JVal* at(size_t i) const;

  // The first member named `key`, or null when this is no object or has no such key.
  const JVal* get(const std::string& key) const;
  // The first member named `key`; throws "teeth: member JSON lacks key '<key>'".
  const JVal& req(const std::string& key) const;
};

struct JMember {
  std::string first;
  JVal second;
};

// Recursive descent over [begin, end). The range must be followed by a NUL byte (a
// std::string's data is), which the number conversion relies on as its stop.
class JParser {
 public:
  JParser(const char* begin, const char* end) : p_(begin), end_(end) {}
  JVal val();

 private:
  void ws();
  JVal objv();
  JVal arrv();
  std::string strv();
  JVal number();

  const char* p_;
  const char* end_;
  int depth_ = 0;
};

// The largest document the reader takes: far above any file the bank builder writes,
// and it keeps what a hostile file can make the parse hold to a bounded multiple of it.
constexpr size_t kMaxDocumentBytes = size_t(4) << 20;

// Parses the whole text (leading white space skipped, trailing text ignored). A text
// over kMaxDocumentBytes: "teeth: JSON document of <n> bytes is over the <max>-byte bound".
JVal parse(const std::string& text);
// Documents `parse` was handed on this thread so far (a loader's work, for its tests).
uint64_t documentsParsed();

// A required number: "teeth: <context> lacks numeric '<key>'".
double reqNum(const JVal& obj, const std::string& key, const std::string& context);
// An optional string member; `fallback` when absent or not a string.
std::string optStr(const JVal& obj, const std::string& key, const std::string& fallback);
// The whole file: "teeth: cannot open <path>", "teeth: short read <path>". With a bound,
// a longer file is refused before it is read: "teeth: <path> is <n> bytes, over the
// <max>-byte bound of a teeth JSON document".
std::string slurpText(const std::string& path);
std::string slurpJson(const std::string& path);

// A JSON number as an int32, truncated toward zero; values beyond the int32 range
// saturate and NaN gives 0, so a hostile number can never reach an undefined cast.
int truncInt32(double v);

}  // namespace ka::tessera::json
