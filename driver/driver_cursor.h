#pragma once
// ka::DriverCursor serves frames of a looping driver video (or warp prior) by index.
//
// A producer thread decodes a few frames ahead of the reader into a ring of
// ahead + behind + 1 slots and keeps the last `behind` served frames for re-use, so a
// driver of any length costs the same fixed memory. Re-serving a recent frame or skipping
// forward inside the look-ahead costs no decoding; any other index is a real seek of the
// source. After frame NT-1 comes frame 0 again.
//
// The first decode or seek failure on the producer thread kills the cursor: that text is
// thrown by every later seek and pull. An index outside [0, NT) is thrown to the caller
// and leaves the cursor usable.
//
// All public operations may be called from any thread; each pull or seek is atomic with
// respect to the others, so concurrent pullers each get a consistent frame.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "driver/source.h"

namespace ka {

struct Manifest;

class DriverCursor {
 public:
  // The identity's driver video: the JPEG directory when it is populated, else the MP4
  // member (KA_DRIVER_PREFER_MP4=1 prefers the MP4 when both exist).
  static std::unique_ptr<DriverCursor> open(const Manifest& m, int ahead, int behind);
  // The identity's HEVC warp prior (P_hevc.mov or the name the manifest gives).
  static std::unique_ptr<DriverCursor> openPrior(const Manifest& m, int ahead, int behind);
  // Any source. `ahead` is clamped to at least 1 and `behind` to at least 0; either
  // beyond kMaxRing is refused.
  static std::unique_ptr<DriverCursor> over(std::unique_ptr<driver::Source> src, int ahead, int behind);

  // The most frames the ring may decode ahead, and the most it may keep behind: far more
  // than any reader needs, and small enough that ahead + behind + 1 slots stay a sane
  // allocation.
  static constexpr int kMaxRing = 1024;
  // Throws the refusal for an `ahead` or `behind` beyond kMaxRing.
  static void checkRing(int ahead, int behind);

  ~DriverCursor();
  DriverCursor(const DriverCursor&) = delete;
  DriverCursor& operator=(const DriverCursor&) = delete;

  // Makes frame i the next one a plain pull serves.
  void seek(int i);

  // The frame at position(): copied into dst (frameBytes bytes), or handed out in place.
  // Both return / report its index. A pointer stays valid until the slot is reused, at
  // least until `ahead` further frames have been decoded past it.
  int pull(uint8_t* dst);
  const uint8_t* pull(int* got);
  // As pull, but the caller may modify the frame in place; that slot is never served again.
  uint8_t* pullMut(int* got);

  // Frame i; "ka_driver: cursor yielded frame <got> for si=<i>" if the cursor's
  // bookkeeping ever hands out another one.
  int pullAt(int i, uint8_t* dst);
  const uint8_t* pullAt(int i, int* got);
  uint8_t* pullMutAt(int i, int* got);

  int position() const;
  uint64_t seeks() const;  // real seeks of the source so far
  // Ring slots plus the source's own estimate; fixed whatever NT is.
  size_t residentBytes() const;

  class Impl;

 private:
  explicit DriverCursor(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;

 public:
  const int32_t NT, W, H;
  const size_t frameBytes;
  const std::string backend;  // the source's name()
};

}  // namespace ka
