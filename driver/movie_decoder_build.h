#pragma once
// Which video decoder library the driver sources were built against, for hosts that
// report their build. Nothing inside the library calls it.
#include <string>

#include "ka/ka.h"

namespace ka {

// "libavcodec <major.minor.micro> / <the decoder library's configuration text>".
KA_API std::string movieDecoderBuild();

}  // namespace ka
