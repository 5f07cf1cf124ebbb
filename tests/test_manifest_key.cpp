#include "bundle/manifest_key.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "bundle/manifest_fields.h"
#include "tests/support/test_support.h"

namespace ka {
namespace {

using manifest_key::keyHits;
using manifest_key::scalarValuePos;

std::string refusal(const std::string& text, const std::string& key) {
  return test::refusal([&] { scalarValuePos(text, key); });
}

TEST(ManifestKey, HitsRecordPositionDepthAndScalar) {
  const std::string t = R"({"W": 640, "inner": {"W" :  [1, 2]}, "x": {"y": {"W":{}}}})";
  const auto hits = keyHits(t, "W");
  ASSERT_EQ(hits.size(), 3u);
  EXPECT_EQ(hits[0].pos, t.find("640"));
  EXPECT_EQ(hits[0].depth, 1);
  EXPECT_TRUE(hits[0].scalar);
  EXPECT_EQ(hits[1].pos, t.find("[1"));
  EXPECT_EQ(hits[1].depth, 2);
  EXPECT_FALSE(hits[1].scalar);
  EXPECT_EQ(hits[2].depth, 3);
  EXPECT_FALSE(hits[2].scalar);
}

TEST(ManifestKey, StringsNeverCountAsKeysOrBrackets) {
  // A key name inside a value, brackets inside strings and escaped quotes must all be
  // stepped over; only the real top-level W counts.
  const std::string t = R"({"note": "W: 5 {[", "q": "a\"W\": 3", "W": 7})";
  const auto hits = keyHits(t, "W");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].depth, 1);
  EXPECT_EQ(t.compare(hits[0].pos, 1, "7"), 0);
  // Escapes are not decoded: a key spelled with an escape is a different key.
  EXPECT_TRUE(keyHits(R"({"\u0057": 1})", "W").empty());
}

TEST(ManifestKey, ValueMissingAtEndIsNotScalarAndUnterminatedStringStops) {
  auto hits = keyHits(R"({"W":   )", "W");
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_FALSE(hits[0].scalar);
  EXPECT_EQ(scalarValuePos(R"({"W":   )", "W"), -1);
  // A quote that opens a string which never closes ends the scan: nothing after it is
  // read as a key, so a damaged manifest cannot yield a value from its tail.
  EXPECT_TRUE(keyHits(R"({"a": "x", "b": "unclosed, "W": 1})", "W").empty());
}

TEST(ManifestKey, TopLevelWinsOverNested) {
  const std::string t = R"({"W": 640, "inner": {"W": 320}})";
  EXPECT_EQ(numberAt(t, scalarValuePos(t, "W")), 640);
  const std::string nestedOnly = R"({"inner": {"W": 320}})";
  EXPECT_EQ(numberAt(nestedOnly, scalarValuePos(nestedOnly, "W")), 320);
}

TEST(ManifestKey, AmbiguityIsRefusedWithEveryOffset) {
  const std::string nested = R"({"a": {"W": 1}, "b": {"W": 2}})";
  const std::string why = refusal(nested, "W");
  const std::string expect = "manifest: key \"W\" is AMBIGUOUS — 2 scalar occurrences (byte " +
                             std::to_string(nested.find("1}")) + ", byte " +
                             std::to_string(nested.find("2}")) + "). A loader that picks one";
  EXPECT_EQ(why.rfind(expect, 0), 0u) << why;
  EXPECT_NE(why.find("or produce the bundle with the legacy manifest layout."), std::string::npos);

  const std::string twoTop = R"({"W": 1, "W": 2, "x": {"W": 3}})";
  EXPECT_NE(refusal(twoTop, "W").find("2 scalar occurrences"), std::string::npos)
      << "the nested one must not be counted when the top level already collides";

  // One top-level scalar settles it even when nested scalars also exist.
  EXPECT_EQ(refusal(R"({"W": 1, "x": {"W": 3}, "y": {"W": 4}})", "W"), "");
}

TEST(ManifestKey, ArraysAndObjectsAreNotValues) {
  EXPECT_EQ(scalarValuePos(R"({"W": [1, 2]})", "W"), -1);
  EXPECT_EQ(scalarValuePos(R"({"W": {"v": 1}})", "W"), -1);
  EXPECT_EQ(scalarValuePos(R"({})", "W"), -1);
  EXPECT_THROW(findKey(R"({"W": [1]})", "W"), std::runtime_error);
}

TEST(ManifestFields, StringsAndOptionalStrings) {
  const std::string t = R"({"format": "ka-bundle-v0", "num": 5, "next": "x", "empty": "", "open": "abc)";
  EXPECT_EQ(strField(t, "format"), "ka-bundle-v0");
  // A number where a string belongs is refused, not read from the following key.
  EXPECT_THROW(strField(t, "num"), std::runtime_error);
  EXPECT_THROW(strField(t, "open"), std::runtime_error);
  try {
    strField(t, "absent");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "manifest: missing key absent");
  }

  std::string out = "default";
  EXPECT_FALSE(optStr(t, "absent", out));
  EXPECT_EQ(out, "default");
  EXPECT_FALSE(optStr(t, "num", out));
  EXPECT_EQ(out, "default");
  EXPECT_FALSE(optStr(t, "open", out));
  EXPECT_EQ(out, "default");
  EXPECT_TRUE(optStr(t, "next", out));
  EXPECT_EQ(out, "x");
  EXPECT_FALSE(optStr(t, "empty", out));
  EXPECT_EQ(out, "") << "an empty string replaces the default with an empty name";
}

TEST(ManifestFields, NumbersAndAliases) {
  EXPECT_EQ(numFieldEither(R"({"frame_count": 30})", "NT", "frame_count"), 30);
  EXPECT_EQ(numFieldEither(R"({"NT": 7, "frame_count": 30})", "NT", "frame_count"), 7);
  try {
    numFieldEither("{}", "NT", "frame_count");
    FAIL();
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "manifest: missing key NT/frame_count");
  }
  EXPECT_EQ(toInt32Field(-3.9, "x"), -3);
  EXPECT_EQ(toInt32Field(2147483647.0, "x"), 2147483647);
  EXPECT_THROW(toInt32Field(1e10, "W"), std::runtime_error);
  EXPECT_THROW(toInt32Field(-3e9, "W"), std::runtime_error);
  EXPECT_THROW(toInt32Field(std::numeric_limits<double>::quiet_NaN(), "W"), std::runtime_error);
}

}  // namespace
}  // namespace ka
