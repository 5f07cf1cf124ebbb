#include "tessera/stored_zip.h"

#include <cstring>
#include <stdexcept>

namespace ka::tessera {
namespace {

uint32_t u16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
uint32_t u32(const uint8_t* p) { return u16(p) | u16(p + 2) << 16; }

}  // namespace

std::vector<ZipEntry> readStoredZip(const std::vector<uint8_t>& bytes) {
  const size_t len = bytes.size();
  const uint8_t* b = bytes.data();
  if (len <= 21) throw std::runtime_error("teeth: head .pt is not a zip");
  // Before the zip container, torch.save wrote a run of pickles opening with its magic
  // number (a LONG1 after PROTO); such a file has no EOCD, and saying so would not tell
  // its owner what to do.
  static constexpr uint8_t kLegacyMagic[] = {0x8a, 0x0a, 0x6c, 0xfc, 0x9c, 0x46, 0xf9, 0x20, 0x6a, 0xa8, 0x50, 0x19};
  if (b[0] == 0x80 && std::memcmp(b + 2, kLegacyMagic, sizeof kLegacyMagic) == 0)
    throw std::runtime_error(
        "teeth: head .pt is in torch's legacy (pre-1.6, non-zip) format — re-save it with torch.save's default "
        "zip format");
  size_t eocd = len - 22 + 1;
  for (size_t p = len - 22 + 1; p-- > 0;)
    if (u32(b + p) == 0x06054b50u) {
      eocd = p;
      break;
    }
  if (eocd == len - 22 + 1) throw std::runtime_error("teeth: head .pt has no zip EOCD");
  const uint32_t count = u16(b + eocd + 10);
  uint64_t off = u32(b + eocd + 16);
  std::vector<ZipEntry> out;
  for (uint32_t e = 0; e < count; ++e) {
    if (off + 46 > len || u32(b + off) != 0x02014b50u)
      throw std::runtime_error("teeth: head .pt central directory is malformed");
    const uint8_t* h = b + off;
    const uint32_t method = u16(h + 10), csize = u32(h + 20), usize = u32(h + 24);
    const uint32_t nlen = u16(h + 28), xlen = u16(h + 30), clen = u16(h + 32);
    const uint64_t local = u32(h + 42);
    if (off + 46 + nlen > len) throw std::runtime_error("teeth: head .pt central directory is malformed");
    if (method != 0)
      throw std::runtime_error(
          "teeth: head .pt entry is DEFLATEd; torch writes ZIP_STORED — refusing to guess at a "
          "compressed member");
    if (local + 30 > len) throw std::runtime_error("teeth: head .pt local header out of range");
    const uint64_t data = local + 30 + u16(b + local + 26) + u16(b + local + 28);
    const uint64_t size = usize != 0 ? usize : csize;
    if (data + size > len) throw std::runtime_error("teeth: head .pt entry out of range");
    out.push_back({std::string(reinterpret_cast<const char*>(h + 46), nlen), size_t(data), size_t(size)});
    off += 46 + uint64_t(nlen) + xlen + clen;
  }
  return out;
}

}  // namespace ka::tessera
