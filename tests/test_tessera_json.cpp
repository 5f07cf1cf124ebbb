// The teeth subsystem's JSON reader: what it accepts, what it makes of it, and that
// malformed text is refused rather than crashing it.
#include "tessera/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ka::tessera::json {
namespace {

std::string refusal(const std::string& text) {
  try {
    parse(text);
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "";
}

TEST(TesseraJson, ReadsNestingEscapesNumbersAndKeepsTheFirstDuplicate) {
  const JVal v = parse(
      " \r\n\t{\"a\": [1, -2.5e2, {\"b\": [true, false, null]}], \"s\": \"x\\\"y\\\\z\\n\\t\\b\\f\\r\\/\\u00e9!\","
      " \"a\": 7, \"empty\": {}, \"none\": [], \"nocolon\" 3, \"exp\": 1E-3, \"neg0\": -0} trailing junk");
  ASSERT_TRUE(v.isObj());
  ASSERT_EQ(v.obj.size(), 8u);
  const JVal& a = v.req("a");  // the first "a" wins, both are kept
  ASSERT_TRUE(a.isArr());
  EXPECT_EQ(v.obj[2].first, "a");
  EXPECT_EQ(v.obj[2].second.num, 7);
  ASSERT_EQ(a.arr.size(), 3u);
  EXPECT_EQ(a.arr[0].num, 1);
  EXPECT_EQ(a.arr[1].num, -250);
  const JVal& b = a.arr[2].req("b");
  ASSERT_EQ(b.arr.size(), 3u);
  EXPECT_TRUE(b.arr[0].isBool() && b.arr[0].b);
  EXPECT_TRUE(b.arr[1].isBool() && !b.arr[1].b);
  EXPECT_TRUE(b.arr[2].isNull());
  EXPECT_EQ(v.req("s").str, "x\"y\\z\n\t\b\f\r/?!");
  EXPECT_TRUE(v.req("empty").isObj() && v.req("empty").obj.empty());
  EXPECT_TRUE(v.req("none").isArr() && v.req("none").arr.empty());
  EXPECT_EQ(v.req("nocolon").num, 3);  // a missing colon is tolerated
  EXPECT_EQ(v.req("exp").num, 0.001);
  EXPECT_TRUE(std::signbit(v.req("neg0").num));
  EXPECT_EQ(v.get("missing"), nullptr);
  EXPECT_EQ(refusal("{}").size(), 0u);
  try {
    v.req("missing");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "teeth: member JSON lacks key 'missing'");
  }
  // An unterminated string simply ends at the end of the text.
  EXPECT_EQ(parse("\"abc").str, "abc");
  EXPECT_EQ(parse("\"ab\\u12").str, "ab?");
}

TEST(TesseraJson, MalformedTextIsRefused) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "teeth: JSON truncated"},
      {"   ", "teeth: JSON truncated"},
      {"{\"a\": 1", "teeth: malformed JSON object"},
      {"{\"a\": 1 \"b\": 2}", "teeth: malformed JSON object"},
      {"{\"a\":", "teeth: JSON truncated"},
      {"[1, 2", "teeth: malformed JSON array"},
      {"[1 2]", "teeth: malformed JSON array"},
      {"[1,]", "teeth: bad JSON number"},
      {"tru", "teeth: bad JSON number"},
      {"-", "teeth: bad JSON number"},
      {"@", "teeth: bad JSON number"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(refusal(text), want) << text;
  // Nesting deep enough to exhaust the stack is refused, not followed.
  EXPECT_EQ(refusal(std::string(100000, '[')), "teeth: JSON nested too deeply");
  EXPECT_EQ(refusal(std::string(200, '[') + std::string(200, ']')), "");
  // A document is bounded by its size before a byte of it is parsed.
  std::string big = "[" + std::string(kMaxDocumentBytes - 2, '0') + "]";
  EXPECT_EQ(refusal(big), "");  // at the bound: read
  big.insert(1, " ");
  EXPECT_EQ(refusal(big), "teeth: JSON document of 4194305 bytes is over the 4194304-byte bound");
}

TEST(TesseraJson, AllNumberArraysAreHeldFlat) {
  // Eight bytes a number: a large sidecar array costs a small multiple of its text.
  const JVal v = parse("{\"a\": [1, 2.5, -3], \"m\": [1, \"x\", 2], \"e\": []}");
  const JVal& a = v.req("a");
  EXPECT_EQ(a.nums, (std::vector<double>{1, 2.5, -3}));
  EXPECT_TRUE(a.arr.empty());
  ASSERT_EQ(a.size(), 3u);
  EXPECT_EQ(*a.numAt(1), 2.5);
  EXPECT_EQ(a.at(0), nullptr);
  const JVal& m = v.req("m");  // one element that is no number: every element a node
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(*m.numAt(0), 1);
  EXPECT_EQ(m.numAt(1), nullptr);
  EXPECT_EQ(m.at(1)->str, "x");
  EXPECT_EQ(*m.numAt(2), 2);
  EXPECT_EQ(m.numAt(3), nullptr);
  EXPECT_EQ(v.req("e").size(), 0u);
}

TEST(TesseraJson, EveryPrefixAndByteFlipOfADocumentParsesOrRefusesWithItsOwnText) {
  // The document in two halves, and under it one letter per case for what the reader
  // must make of it: T "teeth: JSON truncated", O "teeth: malformed JSON object", A
  // "teeth: malformed JSON array", N "teeth: bad JSON number", - read. The prefix row's
  // k-th letter is the document cut to k bytes (its last, the whole document); a
  // replacement row's, byte k replaced by the row's character.
  const std::string doc = R"({"format": "tessera_bank.v1", "geometry": {"canvas_w": 256, "pad": 4}, )"
                          R"("cent": [[1.5, -2e1], [3, 4]], "s": "a\"b\u0041", "t": true, "n": null})";
  const std::pair<std::optional<char>, std::string> rows[] = {
      {std::nullopt,        "TTTTTTTTTTTTOOOOOOOOOOOOOOOOOTTTTTTTTTTTTTTTTTTTTTTTTTTTOOOTTTTTTTTTOOT"
                            "TTTTTTTTTTTAAATTNAAAATTTATTAAOTTTTTTTOOOOOOOOOOOOTTTTTTTNNNOTTTTTTTNNNO-"},
      {'\0',                "N-------NNNN---------------OON---------NNNN---------NNNNOOON----NNNNOON"
                            "-----NNNNNNAAANNNAAAANNNANNAAON--NNNN-O--------OON--NNNNNNNON--TNNNNNNO"},
      {'"',                 "--NNNNNO-OO-OOOOOOOOOOOOOOO-ON-NNNNNNNO-OOO-NNNNNNNO-OOOOOON-NNO-OOOOON"
                            "-NNNO-OOOAAAAAAANAAAAAAAAAAAAON-O-OO-OO-OO------ON-O-OOONNNON-O-OOONNNO"},
      {'\\',                "N------NNNNN--------------OOON--------NNNNN--------NNNNNOOON---NNNNNOON"
                            "----NNNNNNNAAANNNAAAANNNANNAAON-NNNNNO---------OON-NNNNNNNNON-TTNNNNNNO"},
      {'{',                 "--------NNNN---------------OON---------NNN----------NNNNOOON----NNNOOON"
                            "-----NNNNNNAAANNNAAAANNNANNAAON--NNNN-O--------OON--NNNNNNNON--TTTTNNNO"},
      {']',                 "N-------NNNN---------------OON---------NNNN---------NNNNOOON----NNNNOON"
                            "-----NNNNOAANANNNAA-ONNOANN--ON--NNNN-O--------OON--NNNNNNNON--TNNNNNNO"},
      {',',                 "N-------NNNN---------------O-N---------NNNN---------NNNNNN-N----NNNNN-N"
                            "-----NNNNNN-N-NNN-AN-NNN-NNNN-N--NNNN-O--------O-N--NNNNNNN-N--TNNNNNNT"},
      {'x',                 "N-------NNNN---------------OON---------NNNN---------NNNNOOON----NNNNOON"
                            "-----NNNNNNAAANNNAAAANNNANNAAON--NNNN-O--------OON--NNNNNNNON--TNNNNNNO"},
  };
  const std::map<char, std::string> texts = {{'T', "teeth: JSON truncated"},
                                             {'O', "teeth: malformed JSON object"},
                                             {'A', "teeth: malformed JSON array"},
                                             {'N', "teeth: bad JSON number"},
                                             {'-', ""}};
  for (const auto& [by, want] : rows) {
    ASSERT_EQ(want.size(), doc.size() + (by ? 0 : 1));
    for (size_t k = 0; k < want.size(); ++k) {
      std::string d = doc;
      if (by)
        d[k] = *by;
      else
        d.resize(k);
      EXPECT_EQ(refusal(d), texts.at(want[k])) << (by ? "byte " : "prefix of ") << k << ": " << d;
    }
  }
}

}  // namespace
}  // namespace ka::tessera::json
