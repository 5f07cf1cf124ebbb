#include "tools/serve/client_message.h"

#include <cstdint>
#include <optional>

namespace ka::serve {
namespace {

enum class Kind { String, Bool, Number, Null };

struct Value {
  Kind kind = Kind::Null;
  std::string text;  // a string's decoded bytes
  bool flag = false;
};

class Reader {
 public:
  explicit Reader(std::string_view in) : s_(in) {}

  void skipSpace() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  bool eat(char c) {
    skipSpace();
    if (i_ < s_.size() && s_[i_] == c) {
      ++i_;
      return true;
    }
    return false;
  }
  bool atEnd() {
    skipSpace();
    return i_ == s_.size();
  }
  char peek() {
    skipSpace();
    return i_ < s_.size() ? s_[i_] : '\0';
  }

  // A JSON string into out as UTF-8; false on any malformation (bad escape, lone
  // surrogate, control character, invalid UTF-8).
  bool string(std::string& out) {
    if (!eat('"')) return false;
    out.clear();
    while (i_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[i_++]);
      if (c == '"') return true;
      if (c < 0x20) return false;
      if (c == '\\') {
        if (i_ >= s_.size()) return false;
        const char e = s_[i_++];
        switch (e) {
          case '"': out += '"'; break;
          case '\\': out += '\\'; break;
          case '/': out += '/'; break;
          case 'b': out += '\b'; break;
          case 'f': out += '\f'; break;
          case 'n': out += '\n'; break;
          case 'r': out += '\r'; break;
          case 't': out += '\t'; break;
          case 'u': {
            uint32_t cp = 0;
            if (!hex4(cp)) return false;
            if (cp >= 0xDC00 && cp <= 0xDFFF) return false;
            if (cp >= 0xD800 && cp <= 0xDBFF) {
              uint32_t lo = 0;
              if (i_ + 2 > s_.size() || s_[i_] != '\\' || s_[i_ + 1] != 'u') return false;
              i_ += 2;
              if (!hex4(lo) || lo < 0xDC00 || lo > 0xDFFF) return false;
              cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
            }
            appendUtf8(out, cp);
            break;
          }
          default: return false;
        }
        continue;
      }
      if (c < 0x80) {
        out += static_cast<char>(c);
        continue;
      }
      // A multi-byte sequence, checked whole (shortest form, no surrogates, <= U+10FFFF).
      int extra = 0;
      uint32_t cp = 0;
      if (c >= 0xC2 && c <= 0xDF) extra = 1, cp = c & 0x1F;
      else if (c >= 0xE0 && c <= 0xEF) extra = 2, cp = c & 0x0F;
      else if (c >= 0xF0 && c <= 0xF4) extra = 3, cp = c & 0x07;
      else return false;
      if (i_ + static_cast<size_t>(extra) > s_.size()) return false;
      for (int k = 0; k < extra; ++k) {
        const unsigned char d = static_cast<unsigned char>(s_[i_ + static_cast<size_t>(k)]);
        if ((d & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (d & 0x3F);
      }
      if ((extra == 2 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) || (extra == 3 && (cp < 0x10000 || cp > 0x10FFFF)))
        return false;
      out.append(s_.substr(i_ - 1, static_cast<size_t>(extra) + 1));
      i_ += static_cast<size_t>(extra);
    }
    return false;
  }

  // A JSON number (its value is not needed: no message field is numeric yet).
  bool number() {
    skipSpace();
    const size_t start = i_;
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    if (i_ >= s_.size()) return false;
    if (s_[i_] == '0') ++i_;
    else if (!digits()) return false;
    if (i_ < s_.size() && s_[i_] == '.') {
      ++i_;
      if (!digits()) return false;
    }
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      if (!digits()) return false;
    }
    return i_ > start;
  }

  bool literal(std::string_view word) {
    skipSpace();
    if (s_.substr(i_, word.size()) != word) return false;
    i_ += word.size();
    return true;
  }

  bool value(Value& v) {
    const char c = peek();
    if (c == '"') {
      v.kind = Kind::String;
      return string(v.text);
    }
    if (c == 't' || c == 'f') {
      v.kind = Kind::Bool;
      v.flag = c == 't';
      return literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') {
      v.kind = Kind::Null;
      return literal("null");
    }
    v.kind = Kind::Number;
    return number();
  }

 private:
  bool digits() {
    const size_t start = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    return i_ > start;
  }
  bool hex4(uint32_t& cp) {
    if (i_ + 4 > s_.size()) return false;
    cp = 0;
    for (int k = 0; k < 4; ++k) {
      const char h = s_[i_++];
      cp <<= 4;
      if (h >= '0' && h <= '9') cp |= static_cast<uint32_t>(h - '0');
      else if (h >= 'a' && h <= 'f') cp |= static_cast<uint32_t>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F') cp |= static_cast<uint32_t>(h - 'A' + 10);
      else return false;
    }
    return true;
  }
  static void appendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::string_view s_;
  size_t i_ = 0;
};

size_t codePoints(std::string_view utf8) {
  size_t n = 0;
  for (const char c : utf8) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// Removes the control characters other than tab and line ends: they mean nothing in a
// sentence, and a speech synthesiser may take them as commands to itself (espeak-ng
// reads U+0001 as the start of one that changes the voice).
// Returns how many were removed.
size_t stripControls(std::string& text) {
  return std::erase_if(text, [](char ch) {
    const unsigned char c = static_cast<unsigned char>(ch);
    return (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F;
  });
}

bool fail(MessageError& err, const char* code, std::string message) {
  err.code = code;
  err.message = std::move(message);
  return false;
}

}  // namespace

bool parseClientMessage(std::string_view in, size_t maxTextChars, ClientMessage& out, MessageError& err) {
  Reader r(in);
  if (!r.eat('{')) return fail(err, "bad_json", "A message must be a JSON object.");
  std::optional<std::string> type;
  std::optional<Value> text, on;
  std::string key;
  Value v;
  size_t members = 0;
  if (!r.eat('}')) {
    for (;;) {
      if (++members > kMaxMembers) return fail(err, "bad_json", "The message has too many fields.");
      if (!r.string(key) || !r.eat(':') || !r.value(v))
        return fail(err, "bad_json", "The message is not valid JSON (a flat object of strings, booleans and numbers).");
      std::optional<Value>* slot = key == "text" ? &text : key == "on" ? &on : nullptr;
      if (key == "type") {
        if (type) return fail(err, "bad_json", "The field \"type\" appears twice.");
        if (v.kind != Kind::String) return fail(err, "bad_json", "The field \"type\" must be a string.");
        type = std::move(v.text);
      } else if (slot) {
        if (*slot) return fail(err, "bad_json", "The field \"" + key + "\" appears twice.");
        *slot = std::move(v);
      }
      if (r.eat(',')) continue;
      if (r.eat('}')) break;
      return fail(err, "bad_json", "The message is not valid JSON (a flat object of strings, booleans and numbers).");
    }
  }
  if (!r.atEnd()) return fail(err, "bad_json", "The message has bytes after its JSON object.");
  if (!type) return fail(err, "bad_json", "The message has no \"type\".");
  if (*type == "say") {
    if (!text || text->kind != Kind::String) return fail(err, "bad_json", "A \"say\" needs a string \"text\".");
    const size_t n = codePoints(text->text);
    if (n > maxTextChars)
      return fail(err, "text_too_long",
                  "The text has " + std::to_string(n) + " characters; at most " + std::to_string(maxTextChars) +
                      " can be spoken at once.");
    const size_t stripped = stripControls(text->text);
    if (text->text.find_first_not_of(" \t\r\n") == std::string::npos)
      return fail(err, "empty_text",
                  stripped ? "There is nothing to say: the text has only control characters and spaces."
                           : "There is nothing to say: the text is empty.");
    out.type = MessageType::Say;
    out.text = std::move(text->text);
    return true;
  }
  if (*type == "talk") {
    if (!on || on->kind != Kind::Bool) return fail(err, "bad_json", "A \"talk\" needs a boolean \"on\".");
    out.type = MessageType::Talk;
    out.on = on->flag;
    return true;
  }
  if (*type == "end" || *type == "stop") {
    out.type = *type == "end" ? MessageType::End : MessageType::Stop;
    return true;
  }
  std::string shown = type->substr(0, 40);
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) c = '?';
  return fail(err, "unknown_type", "Unknown message type \"" + shown + "\" (say, talk, end or stop).");
}

}  // namespace ka::serve
