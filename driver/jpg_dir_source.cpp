#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "driver/image_io.h"
#include "driver/source.h"

namespace ka::driver {
namespace {

// A missing file passes, for the decoder to report as before.
bool startsAsJpeg(const std::string& path) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return true;
  unsigned char soi[2] = {0, 0};
  const bool jpeg = std::fread(soi, 1, 2, f) == 2 && soi[0] == 0xff && soi[1] == 0xd8;
  std::fclose(f);
  return jpeg;
}

class JpgDirSource final : public Source {
 public:
  JpgDirSource(std::string dir, int nt, int w, int h) : dir_(std::move(dir)), NT_(nt), W_(w), H_(h) {}

  int NT() const override { return NT_; }
  int W() const override { return W_; }
  int H() const override { return H_; }

  bool next(uint8_t* dst) override {
    if (pos_ >= NT_) return false;
    char name[32];
    std::snprintf(name, sizeof name, "/frame_%06d.jpg", pos_);
    const std::string path = dir_ + name;
    // Only the JPEG decoder is let near a member's bytes: the image reader takes many
    // formats, and none of the others belongs in a directory of .jpg frames.
    if (!startsAsJpeg(path)) throw std::runtime_error("ka_driver: " + path + " is not a JPEG file — refusing");
    // The size is checked from the header before decoding: a frame's header may claim any
    // size up to 2^24 a side, and the decoder would allocate for it before finding out.
    int w = 0, h = 0;
    if (imageSize(path, &w, &h)) refuseSize(path, w, h);
    const std::vector<uint8_t> rgb = loadImageRGB(path, &w, &h);
    refuseSize(path, w, h);
    std::memcpy(dst, rgb.data(), frameBytes());
    ++pos_;
    return true;
  }

  void rewind() override { pos_ = 0; }

  void seek(int i) override {
    if (i < 0 || i >= NT_) throw std::runtime_error("ka_driver: seek outside the member");
    pos_ = i;
  }

  std::string name() const override { return "jpg/stb"; }
  size_t residentBytes() const override { return 0; }

 private:
  void refuseSize(const std::string& path, int w, int h) const {
    if (w != W_ || h != H_)
      throw std::runtime_error("ka_driver: " + path + " is " + std::to_string(w) + "x" + std::to_string(h) +
                               ", the manifest says " + std::to_string(W_) + "x" + std::to_string(H_) + " — refusing");
  }

  std::string dir_;
  int32_t NT_, W_, H_;
  int32_t pos_ = 0;  // index of the next frame
};

}  // namespace

std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H) {
  return std::make_unique<JpgDirSource>(dir, NT, W, H);
}

}  // namespace ka::driver
