#pragma once
// Decoding a donor bank's track (an encoded video held in memory, one donor per frame
// in the sidecar's track order) into the donor-ordered RGB bank the teeth pass takes.
// Exported for hosts, which decode the bank before attaching it to a session, and
// installed as <ka/tessera/bank_decode.h>: it includes nothing but the C interface.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ka/ka.h"

namespace ka::tessera {

// n x band_h x band_w x 3 bytes in donor order: frame k of the track lands in donor
// slot track_order[k]. Throws std::runtime_error naming what disagrees. Reentrant.
KA_API std::vector<uint8_t> decodeBankTrack(const uint8_t* data, size_t size, int n, int band_h,
                                            int band_w, const std::vector<int>& track_order);
// The same with the track demuxed as `container`, the manifest's bank_container (the
// overload above takes "mp4", the manifest's default): a family name of
// ka::ff::containerDemuxer. Only that demuxer runs, and it opens nothing beyond the
// bytes given.
KA_API std::vector<uint8_t> decodeBankTrack(const uint8_t* data, size_t size, const std::string& container, int n,
                                            int band_h, int band_w, const std::vector<int>& track_order);
// "libavcodec <version> / <configuration>" of the codec library this process runs.
KA_API std::string bankDecoderBuild();

}  // namespace ka::tessera
