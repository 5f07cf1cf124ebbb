// Bank decoding from memory: tracks the ffmpeg tool encoded (lossless RGB, and the
// fixture bundle's 48-donor 4:4:4 bank) land patch for patch in donor order; every
// refusal names what disagrees; cut or damaged tracks only ever refuse.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

#include "tessera/attach_inputs.h"
#include "tessera/bank_decode.h"
#include "tessera/bank_load.h"
#include "tests/support/test_support.h"

namespace ka::tessera {
namespace {

using Bytes = std::vector<uint8_t>;
using test::refusal;

constexpr int kN = 7, kW = 30, kH = 18;

#define NEED_FIXTURES() \
  if (test::fixtureDir().empty()) GTEST_SKIP() << "no fixtures"

std::string tracks() { return test::fixtureDir() + "/bank_decode/tracks/"; }
std::string bank48() { return test::fixtureDir() + "/bank_decode/bank48"; }

Bytes readBytes(const std::string& path) {
  const std::string s = test::slurp(path);
  return Bytes(s.begin(), s.end());
}

std::vector<int> trackOrder() {
  std::ifstream in(tracks() + "track_order.txt");
  std::vector<int> v;
  for (int d; in >> d;) v.push_back(d);
  return v;
}

Bytes decode(const Bytes& b, int n, int h, int w, const std::vector<int>& order) {
  return decodeBankTrack(b.data(), b.size(), n, h, w, order);
}

TEST(BankDecode, LosslessTrackLandsInDonorSlots) {
  NEED_FIXTURES();
  const Bytes track = readBytes(tracks() + "lossless.mp4");
  const std::vector<int> order = trackOrder();
  ASSERT_EQ(order.size(), size_t(kN));
  std::vector<int> identity(kN);
  for (int i = 0; i < kN; ++i) identity[size_t(i)] = i;
  // With the sidecar's shuffled order the bank comes out in donor order; with the
  // identity order it is the track as encoded.
  EXPECT_EQ(decode(track, kN, kH, kW, order), readBytes(tracks() + "patches.rgb"));
  EXPECT_EQ(decode(track, kN, kH, kW, identity), readBytes(tracks() + "track.rgb"));
}

TEST(BankDecode, FixtureBankOfFortyEightDonors) {
  NEED_FIXTURES();
  const TesseraAttachInputs in = loadTesseraMembers(bank48());
  ASSERT_EQ(in.n_donors, 48);
  // Read from the bundle with its sidecar, as a host or tool does before attaching.
  const BankData bank = loadBank(in);
  EXPECT_EQ(bank.n_donors, 48);
  EXPECT_EQ(bank.cent[47][1], in.cent[95]);
  EXPECT_EQ(bank.aperture, in.aperture);
  EXPECT_EQ(bank.c_canon[0], in.c_canon[0]);
  EXPECT_EQ(bank.stamp.toArray()[4], in.stamp[4]);
  const Bytes& got = bank.bytes;
  const Bytes want = readBytes(bank48() + "/.reference/bank_donor.rgb");
  ASSERT_EQ(got.size(), want.size());
  // The track is stored as 4:4:4 YUV: the colour conversion both ways costs a few
  // levels, nothing more.
  int worst = 0;
  for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::abs(int(got[i]) - int(want[i])));
  EXPECT_LE(worst, 3);
  TesseraAttachInputs short_cent = in, missing = in;
  short_cent.cent.pop_back();
  missing.bank_track_path += ".absent";
  EXPECT_EQ(refusal([&] { loadBank(short_cent); }), "teeth: bank sidecar arrays disagree with n_donors");
  EXPECT_EQ(refusal([&] { loadBank(missing); }),
            "reference bank track " + missing.bank_track_path + " cannot be read — refusing to serve");
  // And every slot holds its own donor: it is nearest to that donor's patch.
  const size_t patch = size_t(in.patchBytes());
  for (int d = 0; d < in.n_donors; ++d) {
    int64_t best = -1;
    int nearest = -1;
    for (int e = 0; e < in.n_donors; ++e) {
      int64_t dist = 0;
      for (size_t i = 0; i < patch; ++i) dist += std::abs(int(got[size_t(d) * patch + i]) - int(want[size_t(e) * patch + i]));
      if (best < 0 || dist < best) best = dist, nearest = e;
    }
    EXPECT_EQ(nearest, d);
  }
}

TEST(BankDecode, Refusals) {
  NEED_FIXTURES();
  const Bytes lossless = readBytes(tracks() + "lossless.mp4");
  const std::vector<int> order = trackOrder();
  std::vector<int> out_of_range = order, repeated = order;
  out_of_range[3] = kN;
  repeated[3] = repeated[4];
  const Bytes garbage(4096, 0x5a);
  const std::string tail = " — refusing to serve";
  struct Case {
    const char* name;
    Bytes data;
    int n, h, w;
    std::vector<int> order;
    std::string want;
  } cases[] = {
      {"empty", {}, kN, kH, kW, order, "reference bank track is empty" + tail},
      {"zero rows", lossless, kN, 0, kW, order, "reference bank geometry is not positive" + tail},
      {"zero columns", lossless, kN, kH, 0, order, "reference bank geometry is not positive" + tail},
      {"no donors", lossless, 0, kH, kW, {}, "reference bank geometry is not positive" + tail},
      {"short order", lossless, kN, kH, kW, std::vector<int>(order.begin(), order.end() - 1),
       "reference bank sidecar track_order has 6 entries, expected 7 — sidecar/track mismatch, refusing to serve"},
      {"order out of range", lossless, kN, kH, kW, out_of_range, "reference bank track_order is out of range" + tail},
      {"negative order", lossless, kN, kH, kW, {0, 1, 2, -1, 4, 5, 6}, "reference bank track_order is out of range" + tail},
      {"not a permutation", lossless, kN, kH, kW, repeated, "reference bank track_order is not a permutation" + tail},
      {"not a container", garbage, kN, kH, kW, order, "reference bank track is not a readable container" + tail},
      {"audio only", readBytes(tracks() + "audio_only.m4a"), kN, kH, kW, order,
       "reference bank track has no video stream" + tail},
      {"wrong size", readBytes(tracks() + "wrong_size.mp4"), kN, kH, kW, order,
       "reference bank track is 32x18, the geometry stamp says 30x18 — geometry mismatch, refusing to serve"},
      {"stamp disagrees", lossless, kN, kW, kH, order,
       "reference bank track is 30x18, the geometry stamp says 18x30 — geometry mismatch, refusing to serve"},
      {"one frame more", readBytes(tracks() + "plus_one.mp4"), kN, kH, kW, order,
       "bank track carries more frames than the sidecar's n_donors — sidecar/track mismatch, refusing to serve"},
      {"one frame less", readBytes(tracks() + "minus_one.mp4"), kN, kH, kW, order,
       "bank track decoded to 6 frames, expected 7 — geometry/N mismatch, refusing to serve"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(refusal([&] { decode(c.data, c.n, c.h, c.w, c.order); }), c.want) << c.name;
  EXPECT_EQ(refusal([&] { decodeBankTrack(nullptr, 100, kN, kH, kW, order); }), "reference bank track is empty" + tail);
}

// The track is demuxed only as the container the manifest names. A manifest or playlist
// in its place is refused before it can open anything: neither the loopback listener
// nor the local file it names is reached.
TEST(BankDecode, OnlyTheNamedContainerIsDemuxedAndNothingElseIsOpened) {
  NEED_FIXTURES();
  const Bytes lossless = readBytes(tracks() + "lossless.mp4");
  const std::vector<int> order = trackOrder();
  test::LoopbackListener http;
  const std::string host = "http://127.0.0.1:" + std::to_string(http.port());
  auto bytes = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
  const std::string unreadable = "reference bank track is not a readable container — refusing to serve";
  struct Case {
    const char* name;
    Bytes data;
    std::string container, want;
  } cases[] = {
      {"dash over http", bytes(test::dashManifest(host + "/bank.mp4")), "mp4", unreadable},
      {"dash naming a local file", bytes(test::dashManifest("file://" + tracks() + "lossless.mp4")), "mp4",
       unreadable},
      {"hls over http", bytes("#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\n" + host + "/a.ts\n#EXT-X-ENDLIST\n"),
       "mp4", unreadable},
      {"mp4 named matroska", lossless, "matroska", unreadable},
      {"a manifest format named", lossless, "dash",
       "reference bank container \"dash\" is not one this library demuxes (the mp4 or matroska family) — "
       "refusing to serve"},
      {"the mp4 family", lossless, "mov", ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(refusal([&] { decodeBankTrack(c.data.data(), c.data.size(), c.container, kN, kH, kW, order); }),
              c.want)
        << c.name;
  EXPECT_EQ(http.connections(), 0);

  TesseraAttachInputs in = loadTesseraMembers(bank48());
  in.bank_container = "hls";
  EXPECT_EQ(refusal([&] { loadBank(in); }),
            "reference bank container \"hls\" is not one this library demuxes (the mp4 or matroska family) — "
            "refusing to serve");
}

// Whatever is cut off or overwritten, the decoder refuses with a message or returns a
// whole bank; under AddressSanitizer it also never reads outside the block.
TEST(BankDecode, CutOrDamagedTracksOnlyEverRefuse) {
  NEED_FIXTURES();
  const Bytes whole = readBytes(tracks() + "lossless.mp4");
  const std::vector<int> order = trackOrder();
  int attempts = 0, refused = 0, decoded = 0;
  auto attempt = [&](const Bytes& b) {
    ++attempts;
    try {
      EXPECT_EQ(decode(b, kN, kH, kW, order).size(), size_t(kN * kH * kW * 3));
      ++decoded;
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()), "");
      ++refused;
    }
  };
  for (size_t cut = 1; cut < whole.size(); cut += whole.size() / 61 + 1)
    attempt(Bytes(whole.begin(), whole.begin() + long(cut)));
  std::srand(16);
  for (int round = 0; round < 60; ++round) {
    Bytes b = whole;
    const int hits = 1 + round % 8;
    for (int k = 0; k < hits; ++k) b[size_t(std::rand()) % b.size()] = uint8_t(std::rand());
    attempt(b);
  }
  EXPECT_GT(refused, 0);
  EXPECT_EQ(refused + decoded, attempts);
}

TEST(BankDecode, DecoderBuildNamesTheRunningLibraryAndIsExported) {
  const std::string b = bankDecoderBuild();
  const unsigned v = avcodec_version();
  EXPECT_EQ(b, "libavcodec " + std::to_string(v >> 16) + "." + std::to_string((v >> 8) & 0xff) + "." +
                   std::to_string(v & 0xff) + " / " + avcodec_configuration());
  EXPECT_TRUE(std::regex_search(b, std::regex("^libavcodec [0-9]+\\.[0-9]+\\.[0-9]+ / "))) << b;

  const char* so = std::getenv("KA_CORE_SO");
  if (!so) GTEST_SKIP() << "KA_CORE_SO not set";
  void* lib = ::dlopen(so, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(lib, nullptr) << ::dlerror();
  using BuildFn = std::string (*)();
  using DecodeFn = std::vector<uint8_t> (*)(const uint8_t*, size_t, int, int, int, const std::vector<int>&);
  auto build = reinterpret_cast<BuildFn>(::dlsym(lib, "_ZN2ka7tessera16bankDecoderBuildB5cxx11Ev"));
  auto dec = reinterpret_cast<DecodeFn>(
      ::dlsym(lib, "_ZN2ka7tessera15decodeBankTrackEPKhmiiiRKSt6vectorIiSaIiEE"));
  ASSERT_NE(build, nullptr) << "ka::tessera::bankDecoderBuild is not exported";
  ASSERT_NE(dec, nullptr) << "ka::tessera::decodeBankTrack is not exported";
  EXPECT_EQ(build(), b);
  if (!test::fixtureDir().empty()) {
    const Bytes track = readBytes(tracks() + "lossless.mp4");
    EXPECT_EQ(dec(track.data(), track.size(), kN, kH, kW, trackOrder()), readBytes(tracks() + "patches.rgb"));
  }
  ::dlclose(lib);
}

}  // namespace
}  // namespace ka::tessera
