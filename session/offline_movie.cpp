#include "session/offline_movie.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <vector>

#include "audio/audio_file.h"
#include "driver/movie_writer.h"

namespace ka::stream {
namespace {

constexpr int kRate = 16000;
constexpr int kFrameSamples = 640;

using Clock = std::chrono::steady_clock;

double since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

// What the frame callback needs: the movie, the speech for each frame's audio and where
// the caller wants to hear about it.
struct Sink {
  MovieWriter* movie = nullptr;
  const std::vector<int16_t>* pcm = nullptr;
  std::vector<int16_t> chunk = std::vector<int16_t>(kFrameSamples);
  int drop = 0;
  int total = 0;
  ka_stream_progress_cb progress = nullptr;
  void* user = nullptr;
  ka_stream_movie_stats* stats = nullptr;
  std::string error;  // a failed write; later frames are skipped
};

void onFrame(void* user, int frame, const uint8_t* rgb, int, int) {
  auto& s = *static_cast<Sink*>(user);
  if (!s.error.empty()) return;
  const auto t0 = Clock::now();
  try {
    s.movie->write(rgb);
    const size_t at = static_cast<size_t>(frame + s.drop) * kFrameSamples;
    const size_t have = at < s.pcm->size() ? std::min<size_t>(kFrameSamples, s.pcm->size() - at) : 0;
    std::copy_n(s.pcm->begin() + static_cast<std::ptrdiff_t>(at < s.pcm->size() ? at : 0), have, s.chunk.begin());
    std::fill(s.chunk.begin() + static_cast<std::ptrdiff_t>(have), s.chunk.end(), 0);
    s.movie->writeAudio(s.chunk.data(), s.chunk.size());
  } catch (const std::exception& e) {
    s.error = e.what();
    return;
  }
  s.stats->encode_seconds += since(t0);
  s.stats->frames = s.movie->frames();
  s.stats->audio_samples = s.movie->audioSamples();
  if (s.progress) s.progress(s.user, frame + 1, s.total);
}

}  // namespace

int writeMovie(OfflineStream& stream, const std::string& audioPath, const std::string& outPath,
               ka_stream_progress_cb progress, void* user, ka_stream_movie_stats* stats) {
  ka_stream_movie_stats local{};
  ka_stream_movie_stats& st = stats ? *stats : local;
  st = ka_stream_movie_stats{};

  OfflineStream::CancelScope scope(stream);
  auto t = Clock::now();
  const std::vector<float> speech = readAudio16k(audioPath);
  std::vector<int16_t> pcm(speech.size());
  for (size_t i = 0; i < speech.size(); ++i)
    pcm[i] = static_cast<int16_t>(std::lround(std::clamp(speech[i], -1.0f, 32767.0f / 32768.0f) * 32768.0f));
  st.speech_samples = static_cast<int64_t>(speech.size());
  st.read_seconds = since(t);
  if (speech.size() > static_cast<size_t>(INT32_MAX))
    throw std::runtime_error("speech of " + audioPath + " is too long for one run");

  const long long frames = (static_cast<long long>(speech.size()) + kFrameSamples - 1) / kFrameSamples;
  if (frames - stream.drop() <= 0)
    throw std::runtime_error("no frame left to render (" + std::to_string(frames) + " frames of speech, " +
                             std::to_string(stream.drop()) + " dropped)");

  MovieWriter movie(outPath, stream.width(), stream.height(), kMovieFps, kMovieCrf, kRate);
  Sink sink;
  sink.movie = &movie;
  sink.pcm = &pcm;
  sink.drop = stream.drop();
  sink.total = static_cast<int>(frames - stream.drop());
  sink.progress = progress;
  sink.user = user;
  sink.stats = &st;
  if (progress) progress(user, 0, sink.total);

  t = Clock::now();
  int n = 0;
  try {
    n = stream.render(speech.data(), static_cast<int>(speech.size()), onFrame, &sink);
  } catch (const Cancelled&) {
    n = -1;
  }
  st.run_seconds = since(t);
  if (!sink.error.empty()) throw std::runtime_error(sink.error);
  // Past this point the movie is made whole; a cancel before it leaves no file (the
  // writer removes its temporary).
  if (n < 0 || !scope.settle())
    throw Cancelled("ka_stream_write_movie: cancelled after " + std::to_string(movie.frames()) + " of " +
                    std::to_string(sink.total) + " frames, nothing written");

  t = Clock::now();
  movie.finish();
  st.finish_seconds = since(t);
  st.frames = movie.frames();
  st.audio_samples = movie.audioSamples();
  return n;
}

}  // namespace ka::stream
