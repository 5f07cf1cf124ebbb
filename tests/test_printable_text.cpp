// ka::printableText: what a file's bytes look like inside an error text.
#include <gtest/gtest.h>

#include <string>

#include "base/printable_text.h"

TEST(PrintableText, KeepsWellFormedUtf8AndEscapesEverythingElse) {
  struct Case {
    std::string in;
    size_t max;
    std::string want;
  };
  const Case cases[] = {
      {"layer.weight", 160, "layer.weight"},
      {"caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x98\x80", 160, "caf\xc3\xa9 \xe2\x80\x94 \xf0\x9f\x98\x80"},
      {std::string("a\0b", 3), 160, "a\\x00b"},
      {"tab\there\n\x7f", 160, "tab\\x09here\\x0a\\x7f"},
      {"collecti\xeens", 160, "collecti\\xeens"},                     // a lead byte without its continuation
      {"\x80\xbf", 160, "\\x80\\xbf"},                                 // lone continuation bytes
      {"\xc0\xaf \xe0\x80\xaf", 160, "\\xc0\\xaf \\xe0\\x80\\xaf"},    // overlong slashes
      {"\xed\xa0\x80", 160, "\\xed\\xa0\\x80"},                         // a surrogate
      {"\xf4\x90\x80\x80", 160, "\\xf4\\x90\\x80\\x80"},                // beyond U+10FFFF
      {"\xe2\x80", 160, "\\xe2\\x80"},                                  // cut mid-sequence at the end
      {"abcdef", 4, "abcd..."},
      {"ab\xe2\x80\x94", 3, "ab\xe2\x80\x94"},  // a sequence is never split
      {"", 160, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(ka::printableText(c.in, c.max), c.want) << c.in;
}
