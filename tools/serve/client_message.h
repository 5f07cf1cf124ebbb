#pragma once
// The page's text messages: a flat JSON object with a "type" and a few string, bool
// or number fields. Untrusted bytes: the parser never allocates beyond the input's
// size and refuses anything that is not such an object, with the code and sentence the
// server sends back.
#include <cstddef>
#include <string>
#include <string_view>

namespace ka::serve {

enum class MessageType { Say, Talk, End, Stop };

struct ClientMessage {
  MessageType type = MessageType::Stop;
  std::string text;  // say: the sentence, UTF-8, without control characters but tab and line ends
  bool on = false;   // talk: asks for (true) or gives back (false) the talker role
};

struct MessageError {
  std::string code;     // bad_json, unknown_type, text_too_long, empty_text
  std::string message;  // a sentence for a person
};

// At most this many members in one object; a page sends two or three.
constexpr size_t kMaxMembers = 16;

// Parses one text message. maxTextChars bounds a say's text in characters (code
// points). True with out filled, else false with err filled.
bool parseClientMessage(std::string_view in, size_t maxTextChars, ClientMessage& out, MessageError& err);

}  // namespace ka::serve
