#pragma once
// Text to speech for the live page: the system's espeak-ng library in its synchronous
// mode on a thread of its own, its output resampled to 16 kHz mono and handed on in
// pieces as it is produced, so the session gets the first push long before the whole
// sentence is synthesised.
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace ka::serve {

// Where the speech goes. Called on the synthesis thread.
class SpeechSink {
 public:
  virtual ~SpeechSink() = default;
  // A piece of 16 kHz mono speech for the job `ticket`; false stops the job.
  virtual bool speechPiece(uint64_t ticket, const int16_t* pcm, int count) = 0;
  // The job is over: complete (ok) or not, with why for a person.
  virtual void speechDone(uint64_t ticket, bool ok, const std::string& why) = 0;
};

class SpeechSynth {
 public:
  explicit SpeechSynth(SpeechSink& sink, std::string voice = "en");
  // Several may exist at once (their sentences take turns): espeak-ng is started with
  // the first and stays up until the process ends.
  ~SpeechSynth();  // cancels the job in progress and joins the thread
  SpeechSynth(const SpeechSynth&) = delete;
  SpeechSynth& operator=(const SpeechSynth&) = delete;

  // Starts speaking text (UTF-8, plain: no markup) for ticket. False when a job is
  // still in progress.
  bool submit(uint64_t ticket, std::string text);
  // Stops ticket's job if it is queued or in progress (its speechDone still comes).
  void cancel(uint64_t ticket);
  // True when no job is queued or running.
  bool idle() const;

  // Called from espeak-ng's callback (public for it only).
  int onSamples(const short* wav, int count);

 private:
  void run();
  bool speak(const std::string& text, std::string& why);

  SpeechSink& sink_;
  const std::string voice_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool quit_ = false;
  bool hasJob_ = false;
  bool running_ = false;
  uint64_t ticket_ = 0;
  std::string text_;
  bool cancelled_ = false;  // guarded by mu_; read by the callback under it
  // Synthesis-thread state.
  struct Resampler;
  Resampler* resampler_ = nullptr;
  std::thread thread_;
};

}  // namespace ka::serve
