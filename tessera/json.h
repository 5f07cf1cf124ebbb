#pragma once
// The teeth subsystem's own small JSON reader. It is deliberately lenient where the
// bank builder's files never go wrong (a missing colon, an unterminated last string)
// and strict where a wrong value would silently change what is served: every caller
// asks for the kind it needs and refuses anything else by name.
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
  std::vector<JVal> arr;
  // File order; duplicates kept. A member type of its own rather than a pair, which
  // some standard libraries cannot instantiate while JVal is still incomplete.
  std::vector<JMember> obj;

  bool isNull() const { return kind == Null; }
  bool isBool() const { return kind == Bool; }
  bool isNum() const { return kind == Number; }
  bool isStr() const { return kind == String; }
  bool isArr() const { return kind == Array; }
  bool isObj() const { return kind == Object; }

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

// Parses the whole text (leading white space skipped, trailing text ignored).
JVal parse(const std::string& text);
// Documents `parse` was handed on this thread so far (a loader's work, for its tests).
uint64_t documentsParsed();

// A required number: "teeth: <context> lacks numeric '<key>'".
double reqNum(const JVal& obj, const std::string& key, const std::string& context);
// An optional string member; `fallback` when absent or not a string.
std::string optStr(const JVal& obj, const std::string& key, const std::string& fallback);
// The whole file: "teeth: cannot open <path>", "teeth: short read <path>".
std::string slurpText(const std::string& path);

// A JSON number as an int32, truncated toward zero; values beyond the int32 range
// saturate and NaN gives 0, so a hostile number can never reach an undefined cast.
int truncInt32(double v);

}  // namespace ka::tessera::json
