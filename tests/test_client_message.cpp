// The page's text messages: what is accepted, and the code every refusal carries.
#include <gtest/gtest.h>

#include <string>

#include "tools/serve/client_message.h"

namespace ka::serve {
namespace {

struct Case {
  const char* name;
  std::string in;
  const char* code;  // "" when accepted
  MessageType type = MessageType::Stop;
  std::string text = "";
  bool on = false;
};

TEST(ClientMessage, AcceptsThePagesMessagesAndNamesEveryRefusal) {
  const std::string longText(2001, 'a');
  const Case cases[] = {
      {"say", R"({"type":"say","text":"Hello there."})", "", MessageType::Say, "Hello there."},
      {"say with spaces and other fields", " { \"text\" : \"hi\" , \"type\":\"say\", \"n\": -1.5e3, \"x\": null } ", "",
       MessageType::Say, "hi"},
      {"escapes decoded", R"({"type":"say","text":"a\"b\\c\n\u00e9\ud83d\ude00"})", "", MessageType::Say,
       "a\"b\\c\n\xC3\xA9\xF0\x9F\x98\x80"},
      {"utf-8 kept", "{\"type\":\"say\",\"text\":\"caf\xC3\xA9\"}", "", MessageType::Say, "caf\xC3\xA9"},
      {"2000 two-byte characters fit", "{\"type\":\"say\",\"text\":\"" + [] {
         std::string s;
         for (int i = 0; i < 2000; ++i) s += "\xC3\xA9";
         return s;
       }() + "\"}", "", MessageType::Say, [] {
         std::string s;
         for (int i = 0; i < 2000; ++i) s += "\xC3\xA9";
         return s;
       }()},
      // Control characters would reach the speech synthesiser as commands to it.
      {"controls removed but tab and line ends", R"({"type":"say","text":"\u00010A hi\u0007\b\f\u001b\u007f\t.\r\n"})",
       "", MessageType::Say, "0A hi\t.\r\n"},
      {"only controls and spaces", R"({"type":"say","text":"\u0001 \u0002\n"})", "empty_text"},
      {"talk on", R"({"type":"talk","on":true})", "", MessageType::Talk, "", true},
      {"talk off", R"({"on":false,"type":"talk"})", "", MessageType::Talk, "", false},
      {"end", R"({"type":"end"})", "", MessageType::End},
      {"stop", R"({"type":"stop"})", "", MessageType::Stop},
      {"text too long", "{\"type\":\"say\",\"text\":\"" + longText + "\"}", "text_too_long"},
      {"empty text", R"({"type":"say","text":" \n "})", "empty_text"},
      {"say without text", R"({"type":"say"})", "bad_json"},
      {"say with a number", R"({"type":"say","text":5})", "bad_json"},
      {"talk without on", R"({"type":"talk"})", "bad_json"},
      {"talk on as string", R"({"type":"talk","on":"true"})", "bad_json"},
      {"unknown type", R"({"type":"dance"})", "unknown_type"},
      {"no type", R"({"text":"hi"})", "bad_json"},
      {"type twice", R"({"type":"stop","type":"say"})", "bad_json"},
      {"type not a string", R"({"type":1})", "bad_json"},
      {"empty", "", "bad_json"},
      {"not json", "hello", "bad_json"},
      {"array", R"(["say"])", "bad_json"},
      {"nested object", R"({"type":"say","text":{"a":1}})", "bad_json"},
      {"nested array", R"({"type":"say","text":"x","y":[1]})", "bad_json"},
      {"trailing bytes", R"({"type":"stop"} x)", "bad_json"},
      {"two objects", R"({"type":"stop"}{"type":"stop"})", "bad_json"},
      {"trailing comma", R"({"type":"stop",})", "bad_json"},
      {"unterminated string", R"({"type":"sto)", "bad_json"},
      {"unterminated object", R"({"type":"stop")", "bad_json"},
      {"raw control character", "{\"type\":\"say\",\"text\":\"a\x01\"}", "bad_json"},
      {"bad escape", R"({"type":"say","text":"\q"})", "bad_json"},
      {"short unicode escape", R"({"type":"say","text":"\u12"})", "bad_json"},
      {"lone high surrogate", R"({"type":"say","text":"\ud83d"})", "bad_json"},
      {"lone low surrogate", R"({"type":"say","text":"\ude00"})", "bad_json"},
      {"invalid utf-8", "{\"type\":\"say\",\"text\":\"\xC3\x28\"}", "bad_json"},
      {"overlong utf-8", "{\"type\":\"say\",\"text\":\"\xC0\xAF\"}", "bad_json"},
      {"utf-8 surrogate", "{\"type\":\"say\",\"text\":\"\xED\xA0\x80\"}", "bad_json"},
      {"truncated utf-8", "{\"type\":\"say\",\"text\":\"\xE2\x82", "bad_json"},
      {"bad number", R"({"type":"stop","n":01})", "bad_json"},
      {"bad literal", R"({"type":"talk","on":tru})", "bad_json"},
      {"too many fields", [] {
         std::string s = "{\"type\":\"stop\"";
         for (int i = 0; i < 20; ++i) s += ",\"k" + std::to_string(i) + "\":1";
         return s + "}";
       }(), "bad_json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClientMessage m;
    MessageError err;
    const bool ok = parseClientMessage(c.in, 2000, m, err);
    if (!*c.code) {
      ASSERT_TRUE(ok) << err.code << ": " << err.message;
      EXPECT_EQ(m.type, c.type);
      EXPECT_EQ(m.text, c.text);
      EXPECT_EQ(m.on, c.on);
    } else {
      ASSERT_FALSE(ok);
      EXPECT_EQ(err.code, c.code);
      EXPECT_FALSE(err.message.empty());
    }
  }
}

}  // namespace
}  // namespace ka::serve
