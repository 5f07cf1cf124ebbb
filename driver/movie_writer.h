#pragma once
// ka::MovieWriter encodes RGB24 frames into an H.264 MP4 file (libx264, yuv420p), for
// tools that save rendered clips. Not part of the library's exported interface.
//
// With an audio rate, the file also carries one mono AAC track fed by writeAudio().
//
// Frames go to `path`.part and the file is renamed into place by finish(), so a run that
// fails half way never leaves a playable-looking but truncated movie under the final name.
// One thread at a time.
#include <cstdint>
#include <memory>
#include <string>

namespace ka {

class MovieWriter {
 public:
  // Opens the encoder for width x height at `fps` frames per second. yuv420p halves the
  // chroma both ways, so odd sizes are refused. Throws std::runtime_error with the reason.
  // audioRate > 0 adds a mono AAC track at that sample rate.
  MovieWriter(const std::string& path, int width, int height, int fps, int crf = 20,
              int audioRate = 0);
  ~MovieWriter();  // without finish(): the partial file is removed
  MovieWriter(const MovieWriter&) = delete;
  MovieWriter& operator=(const MovieWriter&) = delete;

  // Appends one width x height RGB24 frame (stride 3 x width).
  void write(const uint8_t* rgb);
  // Appends mono 16-bit samples to the audio track (refused without one).
  void writeAudio(const int16_t* samples, size_t count);
  // Drains the encoder, writes the trailer and renames the file into place.
  void finish();

  int64_t frames() const;
  int64_t audioSamples() const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace ka
