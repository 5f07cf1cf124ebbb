#pragma once
// Still-image reading and writing (JPEG driver frames in, PNG debugging output out).
// Both leave the shared library, so hosts write and read the frames they get the same way.
#include <cstdint>
#include <string>
#include <vector>

#include "ka/ka.h"

namespace ka {

// Decodes any image stb_image reads into w x h x 3 RGB bytes, rows top to bottom.
// Throws "decode failed: <path>".
KA_API std::vector<uint8_t> loadImageRGB(const std::string& path, int* w, int* h);

// The size an image's header declares, read without decoding it (so without allocating
// for it); false when stb_image does not recognise the file or loadImageRGB would refuse
// it unread.
bool imageSize(const std::string& path, int* w, int* h);

// Writes RGB24 (stride w x 3) as PNG. Throws "png write failed: <path>".
KA_API void writePNG(const std::string& path, const uint8_t* rgb, int w, int h);

}  // namespace ka
