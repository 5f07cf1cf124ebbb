#pragma once
// The members of a motion directory, read and checked in full before a network opens.
// Every table is little-endian float32 with an exact expected size.
#include <string>
#include <vector>

namespace ka::audio {

struct MotionMeta {
  int nt = 0;     // driver frames served
  int nSrc = 0;   // keypoint records (one per driver frame)
  int nEmo = 0;   // emotion rows
  float sBridge = 0;
  float deltaPitch = 0;  // degrees added to the driven pose's pitch
};

// Parses meta.json's numbers: "meta.json: missing <key>" when a required key is absent,
// "meta.json: bad <key>" when its value is not a usable number.
MotionMeta parseMotionMeta(const std::string& text);

struct MotionMembers {
  std::string dir;
  MotionMeta meta;
  std::vector<float> window;     // 512
  std::vector<float> binmat;     // 257 x 80
  std::vector<float> fmean;      // 1024
  std::vector<float> fstd;       // 1024
  std::vector<float> emo;        // n_emo x 8
  std::vector<float> refRecord;  // 328
  std::vector<float> sc;         // 63
  std::vector<float> eyeOpen;    // 2
  std::vector<float> eyeBall;    // 6
  std::vector<float> vMinMax;    // 265 minima, then 265 maxima
  std::vector<float> srcRecords;  // n_src x 328
  std::vector<float> xsTarget;    // nt x 63

  std::string path(const char* member) const { return dir + "/" + member; }
};

// Reads every table of `dir`. Refusals name the member's path and the counts.
MotionMembers loadMotionMembers(const std::string& dir);

// A float32 file of exactly `count` values: "cannot open <path>", "short read <path>",
// or "<path>: N floats (B bytes), expected M".
std::vector<float> readFloatsExact(const std::string& path, size_t count);

}  // namespace ka::audio
