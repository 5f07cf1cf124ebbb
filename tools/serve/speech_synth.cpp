#include "tools/serve/speech_synth.h"

#include <espeak-ng/espeak_ng.h>

#include <vector>

#include "base/log.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
}

namespace ka::serve {
namespace {
constexpr int kOutRate = 16000;
// espeak-ng hands its output over in pieces of this length: short, so the first push
// reaches the session soon after a sentence is submitted.
constexpr int kPieceMs = 60;

// The voice's settings that text can change (espeak-ng obeys commands embedded in it) and
// that stay changed for every later sentence unless set back.
constexpr espeak_PARAMETER kVoiceParameters[] = {espeakRATE,        espeakVOLUME,   espeakPITCH,  espeakRANGE,
                                                 espeakPUNCTUATION, espeakCAPITALS, espeakWORDGAP};

int synthCallback(short* wav, int count, espeak_EVENT* events) {
  if (!events || !events->user_data) return 0;
  return static_cast<SpeechSynth*>(events->user_data)->onSamples(wav, count);
}

std::string statusText(const char* what, espeak_ng_STATUS st) {
  char msg[256] = "";
  espeak_ng_GetStatusCodeMessage(st, msg, sizeof msg);
  return std::string(what) + msg;
}

// espeak-ng keeps global state, and once torn down it cannot be started again (a second
// teardown never returns): it is started once per process, by the first synthesiser,
// never torn down, and used by one synthesiser at a time.
struct Engine {
  std::mutex use;
  std::string error;  // why it could not start, or empty
  int rate = 0;
};

Engine& engine() {
  static Engine* const e = [] {
    auto* e = new Engine;
    espeak_ng_InitializePath(nullptr);
    espeak_ng_ERROR_CONTEXT ctx = nullptr;
    espeak_ng_STATUS st = espeak_ng_Initialize(&ctx);
    if (st == ENS_OK) st = espeak_ng_InitializeOutput(ENOUTPUT_MODE_SYNCHRONOUS, kPieceMs, nullptr);
    if (st != ENS_OK) {
      e->error = statusText("the speech synthesiser could not start: ", st);
      espeak_ng_ClearErrorContext(&ctx);
      return e;
    }
    espeak_SetSynthCallback(synthCallback);
    e->rate = espeak_ng_GetSampleRate();
    return e;
  }();
  return *e;
}
}  // namespace

struct SpeechSynth::Resampler {
  SwrContext* swr = nullptr;
  std::vector<int16_t> out;
  uint64_t ticket = 0;
  bool stop = false;
  ~Resampler() { swr_free(&swr); }
};

SpeechSynth::SpeechSynth(SpeechSink& sink, std::string voice) : sink_(sink), voice_(std::move(voice)) {
  thread_ = std::thread([this] { run(); });
}

SpeechSynth::~SpeechSynth() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    quit_ = true;
    cancelled_ = true;
  }
  cv_.notify_all();
  thread_.join();
}

bool SpeechSynth::submit(uint64_t ticket, std::string text) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (hasJob_ || running_ || quit_) return false;
    hasJob_ = true;
    ticket_ = ticket;
    text_ = std::move(text);
    cancelled_ = false;
  }
  cv_.notify_all();
  return true;
}

void SpeechSynth::cancel(uint64_t ticket) {
  std::lock_guard<std::mutex> lock(mu_);
  if ((hasJob_ || running_) && ticket_ == ticket) cancelled_ = true;
}

bool SpeechSynth::idle() const {
  std::lock_guard<std::mutex> lock(mu_);
  return !hasJob_ && !running_;
}

int SpeechSynth::onSamples(const short* wav, int count) {
  Resampler& r = *resampler_;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (cancelled_) r.stop = true;
  }
  if (r.stop) return 1;
  // count 0 is the end of the text: flush what the resampler holds.
  const int cap = swr_get_out_samples(r.swr, count);
  if (cap <= 0) return 0;
  if (r.out.size() < static_cast<size_t>(cap)) r.out.resize(static_cast<size_t>(cap));
  uint8_t* out[1] = {reinterpret_cast<uint8_t*>(r.out.data())};
  const uint8_t* in[1] = {reinterpret_cast<const uint8_t*>(wav)};
  const int n = swr_convert(r.swr, out, cap, count > 0 ? in : nullptr, count);
  if (n > 0 && !sink_.speechPiece(r.ticket, r.out.data(), n)) r.stop = true;
  return r.stop ? 1 : 0;
}

bool SpeechSynth::speak(const std::string& text, std::string& why) {
  Resampler& r = *resampler_;
  swr_init(r.swr);  // a fresh start: nothing of the previous sentence is held back
  // Each sentence in the voice as it started, whatever an earlier one's text did to it:
  // the sentences come from any page, and one page's text must not change the voice for
  // the others.
  std::lock_guard<std::mutex> lock(engine().use);
  for (const espeak_PARAMETER p : kVoiceParameters) espeak_SetParameter(p, espeak_GetParameter(p, 0), 0);
  espeak_ng_SetVoiceByName(voice_.c_str());
  const espeak_ng_STATUS st = espeak_ng_Synthesize(text.c_str(), text.size() + 1, 0, POS_CHARACTER, 0,
                                                   espeakCHARS_UTF8, nullptr, this);
  if (r.stop) {
    why = "stopped";
    return false;
  }
  if (st != ENS_OK) {
    why = statusText("the speech synthesiser failed: ", st);
    return false;
  }
  onSamples(nullptr, 0);  // the resampler's tail
  if (r.stop) {
    why = "stopped";
    return false;
  }
  return true;
}

void SpeechSynth::run() {
  Engine& espeak = engine();
  std::string initError = espeak.error;
  if (initError.empty()) {
    std::lock_guard<std::mutex> lock(espeak.use);
    const espeak_ng_STATUS st = espeak_ng_SetVoiceByName(voice_.c_str());
    if (st != ENS_OK) initError = statusText("the speech synthesiser could not start: ", st);
  }
  Resampler resampler;
  if (initError.empty()) {
    AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
    if (swr_alloc_set_opts2(&resampler.swr, &mono, AV_SAMPLE_FMT_S16, kOutRate, &mono, AV_SAMPLE_FMT_S16, espeak.rate,
                            0, nullptr) < 0 ||
        swr_init(resampler.swr) < 0)
      initError = "the speech synthesiser's resampler could not start";
  }
  if (!initError.empty()) KA_LOG_ERROR("[serve] %s", initError.c_str());
  resampler_ = &resampler;
  for (;;) {
    std::string text;
    uint64_t ticket = 0;
    {
      std::unique_lock<std::mutex> lock(mu_);
      cv_.wait(lock, [&] { return quit_ || hasJob_; });
      if (quit_) break;
      hasJob_ = false;
      running_ = true;
      ticket = ticket_;
      text.swap(text_);
    }
    resampler.ticket = ticket;
    resampler.stop = false;
    std::string why;
    bool ok = false;
    if (!initError.empty()) why = initError;
    else ok = speak(text, why);
    {
      std::lock_guard<std::mutex> lock(mu_);
      running_ = false;
    }
    sink_.speechDone(ticket, ok, why);
  }
  resampler_ = nullptr;
}

}  // namespace ka::serve
