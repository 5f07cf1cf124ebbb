#include "driver/movie_decoder_build.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace ka {

std::string movieDecoderBuild() {
  return "libavcodec " + std::to_string(LIBAVCODEC_VERSION_MAJOR) + "." +
         std::to_string(LIBAVCODEC_VERSION_MINOR) + "." + std::to_string(LIBAVCODEC_VERSION_MICRO) +
         " / " + avcodec_configuration();
}

}  // namespace ka
