#pragma once
// Writing JSON text from bytes nobody checked: host-chosen names and texts may hold
// quotes, control characters or invalid UTF-8, and the document must still parse.
#include <cstddef>
#include <string>

namespace ka::telemetry {

// Appends `bytes` as a quoted JSON string: quotes, backslashes and control characters
// escaped, each invalid UTF-8 sequence replaced by U+FFFD.
void appendJsonString(std::string& out, const char* bytes, size_t n);

// Appends a finite number in the shortest form that reads back to the same double;
// a non-finite one as null.
void appendJsonNumber(std::string& out, double v);

// The length of the longest prefix of bytes[0..n) that does not end inside a UTF-8
// sequence (so cutting a text there never splits a character).
size_t utf8CutPoint(const char* bytes, size_t n) noexcept;

}  // namespace ka::telemetry
