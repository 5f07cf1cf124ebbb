#pragma once
// Still-image reading and writing (JPEG driver frames in, PNG debugging output out).
#include <cstdint>
#include <string>
#include <vector>

namespace ka {

// Decodes any image stb_image reads into w x h x 3 RGB bytes, rows top to bottom.
// Throws "decode failed: <path>".
std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h);

// Writes RGB24 (stride w x 3) as PNG. Throws "png write failed: <path>".
void writePNG(const std::string& path, const uint8_t* rgb, int w, int h);

}  // namespace ka
