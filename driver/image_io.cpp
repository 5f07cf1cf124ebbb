#include "driver/image_io.h"

#include <cstring>
#include <stdexcept>

// The stb implementations are compiled here and nowhere else, with internal linkage so
// they can never collide with a copy the host process carries.
#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
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

std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h) {
  int iw = 0, ih = 0, channels = 0;
  stbi_uc* px = stbi_load(path.c_str(), &iw, &ih, &channels, 3);
  if (!px) throw std::runtime_error("decode failed: " + path);
  std::vector<uint8_t> out(px, px + static_cast<size_t>(iw) * static_cast<size_t>(ih) * 3);
  stbi_image_free(px);
  *w = iw;
  *h = ih;
  return out;
}

void writePNG(const std::string& path, const uint8_t* rgb, int w, int h) {
  if (!stbi_write_png(path.c_str(), w, h, 3, rgb, w * 3))
    throw std::runtime_error("png write failed: " + path);
}

}  // namespace ka
