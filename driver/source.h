#pragma once
// ka::driver::Source: a strictly sequential decoder of one driver member (a JPEG
// directory, an MP4 or the HEVC 4:4:4 warp prior) into a caller's buffer. Random access,
// look-ahead and history belong to the cursor that owns the source (driver_cursor.h).
//
// Every source checks its member against the manifest (frame count, size, pixel layout)
// and refuses a mismatch with a std::runtime_error instead of rescaling or adapting.
// A source that threw is not used again. One thread at a time.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ka::driver {

class Source {
 public:
  virtual ~Source();
  // Frames the manifest declares for the member.
  virtual int NT() const = 0;
  virtual int W() const = 0;
  virtual int H() const = 0;
  // Bytes next() writes per frame: W x H x 3 unless the source says otherwise.
  virtual size_t frameBytes() const;
  // Decodes the next frame into dst (exactly frameBytes()); false at the end of the member.
  virtual bool next(uint8_t* dst) = 0;
  // The next next() returns frame 0.
  virtual void rewind() = 0;
  // The next next() returns frame i; "ka_driver: seek outside the member" unless 0 <= i < NT.
  virtual void seek(int i) = 0;
  // Backend name for log lines and ka_prior_backend.
  virtual std::string name() const = 0;
  // Estimate of the memory the decoder holds. Safe to call from any thread.
  virtual size_t residentBytes() const = 0;
};

// RGB24 frames from dir/frame_%06d.jpg. Opens nothing up front: files are read per frame.
std::unique_ptr<Source> openJpgDir(const std::string& dir, int NT, int W, int H);

// RGB24 frames from a video member decoding to yuv420p or nv12 (limited range), demuxed
// as the named container family (ka::ff::containerDemuxer) and nothing else: the member
// is read as one file, nothing it names is opened. Opens the container and decoder at
// once; throws on any mismatch.
std::unique_ptr<Source> openMovie(const std::string& path, const std::string& container, int NT, int W, int H);
// openMovie of an MP4, the driver video a bundle carries.
std::unique_ptr<Source> openMp4(const std::string& path, int NT, int W, int H);

// Planar half-float RGB (R plane, G plane, B plane of side x side) from a yuv444p video,
// the layout of the raw prior P.f16. frameBytes() = side x side x 3 x 2. Demuxed as
// the MP4 family (the member is a QuickTime movie), nothing else opened.
std::unique_ptr<Source> openPriorHevc(const std::string& path, int NT, int side);

// Seams for benchmarks; no per-frame path reads them.
namespace testing {
// Software decoders opened from now on use `threads` threads, slice threads when `slices`
// is true, else frame threads; threads < 1 restores the core budget's choice (slice
// threads).
void setDecoderThreading(int threads, bool slices);
}  // namespace testing

}  // namespace ka::driver
