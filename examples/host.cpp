// The C++ side of the same host as host.c: the handle owned by a unique_ptr, failures as
// exceptions, the library's diagnostic lines kept in the host's own list.
//
//   host_cpp BUNDLE [MODEL_KEY]
//
// Build against an installed library:
//   c++ -std=c++17 host.cpp $(pkg-config --cflags --libs ka_core) -o host_cpp
#include <ka/driver/image_io.h>
#include <ka/driver/movie_decoder_build.h>
#include <ka/ka.h>
#include <ka/tessera/bank_decode.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct CtxDeleter {
  void operator()(ka_ctx* c) const { ka_destroy(c); }
};
using Context = std::unique_ptr<ka_ctx, CtxDeleter>;

// Lines may arrive from any of the library's threads.
struct LogBook {
  std::mutex mu;
  std::vector<std::string> lines;
  static void add(int level, const char* line, void* user) {
    auto* self = static_cast<LogBook*>(user);
    std::lock_guard<std::mutex> lock(self->mu);
    self->lines.push_back((level <= KA_LOG_LEVEL_WARNING ? "! " : "  ") + std::string(line));
  }
};

Context open(const char* bundle, const char* key) {
  Context ctx(ka_create(bundle, key, 0, nullptr));
  if (!ctx) throw std::runtime_error(ka_last_error());
  return ctx;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s BUNDLE [MODEL_KEY]\n", argv[0]);
    return 2;
  }
  LogBook book;
  ka_set_log_callback(&LogBook::add, &book);
  int status = 0;
  try {
    Context ctx = open(argv[1], argc > 2 ? argv[2] : "b1");
    std::vector<uint8_t> rgba(static_cast<size_t>(ka_width(ctx.get())) * ka_height(ctx.get()) * 4);
    const int rows = ka_drive_frames(ctx.get());
    for (int row = 0; row < rows; ++row)
      if (!ka_render_drive_rgba(ctx.get(), row, rgba.data(), rgba.size())) throw std::runtime_error(ka_last_error());
    std::printf("rendered %d of %d frames, %dx%d\n", rows, rows, ka_width(ctx.get()), ka_height(ctx.get()));
    // The exported C++ helpers, from their installed headers (each includes only ka/ka.h).
    const std::string bank = ka::tessera::bankDecoderBuild(), movie = ka::movieDecoderBuild();
    std::printf("decoders: bank %s, driver %s\n", bank.substr(0, bank.find(" / ")).c_str(),
                movie.substr(0, movie.find(" / ")).c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    status = 1;
  }
  // Detach before the book goes away; no line is delivered to it after this returns.
  ka_set_log_callback(nullptr, nullptr);
  std::printf("%zu library lines logged\n", book.lines.size());
  return status;
}
