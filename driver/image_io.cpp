#include "driver/image_io.h"

#include <cstdio>
#include <cstring>
#include <stdexcept>

// The stb implementations are compiled here and nowhere else, with internal linkage so
// they can never collide with a copy the host process carries.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
// The decoder's asserts check its own state, which a hostile file can break: an image a
// host hands over must never abort the host's process, in any build type.
#define STBI_ASSERT(x) ((void)0)
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
#pragma GCC diagnostic ignored "-Wsign-compare"
#pragma GCC diagnostic ignored "-Wunused-but-set-variable"
#include "stb_image.h"
#include "stb_image_write.h"
#pragma GCC diagnostic pop

namespace ka {
namespace {

// stb_image takes a JPEG Huffman table's code count (the sum of its sixteen length
// counts, up to 4080) from the file without checking it against the 256 symbols its
// tables hold, and writes that many entries. The file's tables are walked here first,
// the way the decoder reads them: every marker segment outside the entropy-coded data,
// a table segment table by table, and past the end of the file as zeros (the decoder's
// reads there give 0). False when a table holds more than 256 codes.
bool jpegTablesFit(std::FILE* f) {
  auto byte = [f] {
    const int v = std::getc(f);
    return v == EOF ? 0 : v;
  };
  int c = 0;
  for (;;) {
    // The next marker: 0xFF, any fill bytes, then a code that is not stuffing (0x00),
    // a restart, a lone start or end of image.
    do {
      c = std::getc(f);
    } while (c != EOF && c != 0xff);
    while (c == 0xff) c = std::getc(f);
    if (c == EOF || c == 0xd9) return true;
    if (c == 0x00 || c == 0x01 || (c >= 0xd0 && c <= 0xd8)) continue;
    const int hi = byte();
    long left = (long(hi) << 8 | byte()) - 2;
    if (c != 0xc4) {
      if (left > 0 && std::fseek(f, left, SEEK_CUR) != 0) return true;
      continue;
    }
    while (left > 0) {
      byte();  // table class and slot
      long codes = 0;
      for (int i = 0; i < 16; ++i) codes += byte();
      if (codes > 256) return false;
      if (std::fseek(f, codes, SEEK_CUR) != 0) return true;
      left -= 17 + codes;
    }
  }
}

// False for a JPEG file with a table the decoder would overrun (reading its header
// alone already reads the tables).
bool safeForStb(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return true;  // the decoder reports it
  const bool jpeg = std::getc(f) == 0xff && std::getc(f) == 0xd8;
  const bool fit = !jpeg || jpegTablesFit(f);
  std::fclose(f);
  return fit;
}

}  // namespace

std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h) {
  if (!safeForStb(path))
    throw std::runtime_error("decode failed: " + path + " (a Huffman table of more than 256 codes)");
  int iw = 0, ih = 0, channels = 0;
  stbi_uc* px = stbi_load(path.c_str(), &iw, &ih, &channels, 3);
  if (!px) throw std::runtime_error("decode failed: " + path);
  std::vector<uint8_t> out(px, px + static_cast<size_t>(iw) * static_cast<size_t>(ih) * 3);
  stbi_image_free(px);
  *w = iw;
  *h = ih;
  return out;
}

bool imageSize(const std::string& path, int* w, int* h) {
  int channels = 0;
  return safeForStb(path) && stbi_info(path.c_str(), w, h, &channels) != 0;
}

void writePNG(const std::string& path, const uint8_t* rgb, int w, int h) {
  if (!stbi_write_png(path.c_str(), w, h, 3, rgb, w * 3))
    throw std::runtime_error("png write failed: " + path);
}

}  // namespace ka
