// The live page's text messages over arbitrary bytes: parsed or refused with a code,
// never a crash, and an accepted say's text within its bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "tools/serve/client_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ka::serve::ClientMessage m;
  ka::serve::MessageError err;
  if (ka::serve::parseClientMessage(text, 16, m, err)) {
    size_t chars = 0;
    for (const char c : m.text) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    if (chars > 16 || m.text.size() > size) std::abort();
  } else if (err.code.empty() || err.message.empty()) {
    std::abort();
  }
  return 0;
}
