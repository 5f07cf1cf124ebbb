#pragma once
// ka::printableText: bytes read from an untrusted file, made safe to quote in an error
// text. Texts travel to hosts as C strings and are often passed on as UTF-8 (JSON
// replies, Python str), so a NUL, a control byte or a byte that is not part of a valid
// UTF-8 sequence is shown as \xHH, and a long run is cut with "..." after `max_bytes`.
#include <cstddef>
#include <string>
#include <string_view>

namespace ka {

std::string printableText(std::string_view bytes, size_t max_bytes = 160);

}  // namespace ka
