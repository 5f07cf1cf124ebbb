// ka speak: runs a real utterance session the way a host would (wait until ready, push
// speech, end the utterance, pull frames at the output rate) and saves what it pulled
// as an H.264 MP4 with the speech as its audio track.
#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_file.h"
#include "bundle/file_io.h"
#include "bundle/member.h"
#include "driver/movie_writer.h"
#include "ka/ka.h"
#include "ka/ka_a2x.h"
#include "tessera/bank_decode.h"
#include "tools/ka/commands.h"
#include "tools/ka/output_file.h"

extern "C" {
#include <libavutil/log.h>
}

namespace ka::cli {
namespace {
const char kUsage[] =
    "usage: ka speak BUNDLE --motion DIR AUDIO --out OUT.mp4 [--model KEY] [--realtime]\n"
    "                [--interrupt-at S] [--teeth] [--encoder W2V] [--idle-lead N]\n"
    "                [--telemetry | --telemetry-file FILE] [--frame-log FILE]\n"
    "\n"
    "  Opens an utterance session on BUNDLE with the audio-to-motion members in DIR, waits\n"
    "  until it is ready, pulls half a second of idle video, pushes the speech in AUDIO (any\n"
    "  file FFmpeg reads; resampled to 16 kHz mono) in 20 ms pieces, ends the utterance and\n"
    "  pulls frames until the ramp back is over and a second of idle has followed. The\n"
    "  frames go to OUT.mp4 (H.264, 25 fps) with the speech as an AAC track, aligned with\n"
    "  the speech frames.\n"
    "\n"
    "  --model KEY       the frame renderer's model (default b1)\n"
    "  --realtime        push and pull at wall-clock speed (else as fast as the session goes)\n"
    "                    and report what a live host sees: first push to first speech frame\n"
    "                    pulled, the longest gap between frames, the frame rate delivered\n"
    "  --interrupt-at S  interrupt the utterance once S seconds of speech frames were pulled\n"
    "  --teeth           borrow teeth: open BUNDLE's teeth members, decode the donor bank and\n"
    "                    attach the teeth pass to the session before the speech\n"
    "  --encoder W2V     the speech encoder the streaming engine needs (default: $W2V_ONNX)\n"
    "  --idle-lead N     idle frames the session keeps ahead, 1 to 8 (default: the session's)\n"
    "  --telemetry       write the telemetry batch the run recorded to standard error, as\n"
    "                    one line \"telemetry: \" and its JSON (standard output stays the\n"
    "                    run's report)\n"
    "  --telemetry-file FILE  write that batch to FILE instead, the JSON document alone\n"
    "  --frame-log FILE  one line per frame written to the movie: sequence number, kind,\n"
    "                    driver index, speech index (to line up the frames of two runs)\n";

constexpr int kRate = 16000;
constexpr int kFrameSamples = 640;  // 40 ms of speech per frame
constexpr int kPiece = 320;         // 20 ms pushes
constexpr int kLeadIn = 12;         // idle frames before the speech
constexpr int kTailIdle = 25;       // idle frames after the ramp
// How long the first speech frame may take after the first push. The frames pulled
// meanwhile do not count against the frame budget: a slow machine (or an emulated one)
// whose model needs long for its first step is waited for, a stalled one is not.
constexpr double kFirstSpeechWaitS = 120.0;

struct Options {
  std::string bundle, motion, audio, out, model = "b1", encoder, frameLog, telemetryFile;
  bool realtime = false;
  bool teeth = false;
  bool telemetry = false;
  double interruptAt = -1.0;
  int idleLead = 0;
};

// A usage error: what was wrong, then the usage.
int badUsage(const std::string& why) {
  std::fprintf(stderr, "ka speak: %s\n\n", why.c_str());
  return usage(kUsage, false);
}

struct CtxDel {
  void operator()(ka_ctx* c) const { ka_destroy(c); }
};
struct UttDel {
  void operator()(ka_utt* s) const { ka_utt_destroy(s); }
};

double secondsSince(std::chrono::steady_clock::time_point t) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// A motion directory holding the streaming engine's encoder is that engine's; any other
// is read as the motion generator's, so its refusal names only the generator's files.
// Say what the streaming engine would have needed too.
std::string motionRefusal(const std::string& dir, const std::string& why) {
  const std::string encoder = resolveMember(dir, "a2x_enc_stream.onnx");
  if (canOpenForRead(encoder)) return why;
  return why + " (--motion " + dir + " was read as a motion generator directory: it holds no " + encoder +
         ", the encoder of the streaming audio-to-expression engine)";
}

const char* kindName(int k) { return k == KA_UTT_SPEECH ? "speech" : k == KA_UTT_RAMP ? "ramp" : "idle"; }
}  // namespace

int speakCommand(const Args& args) {
  Options o;
  std::vector<std::string> positional;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--realtime" || a == "--teeth" || a == "--telemetry") {
      (a == "--teeth" ? o.teeth : a == "--telemetry" ? o.telemetry : o.realtime) = true;
      continue;
    }
    if (a == "--motion" || a == "--out" || a == "--model" || a == "--interrupt-at" || a == "--encoder" ||
        a == "--idle-lead" || a == "--frame-log" || a == "--telemetry-file") {
      if (i + 1 >= args.size()) return badUsage(a + " needs a value");
      const std::string& v = args[++i];
      if (a == "--motion") o.motion = v;
      if (a == "--out") o.out = v;
      if (a == "--model") o.model = v;
      if (a == "--encoder") o.encoder = v;
      if (a == "--frame-log") o.frameLog = v;
      if (a == "--telemetry-file") o.telemetryFile = v;
      if (a == "--idle-lead") {
        char* end = nullptr;
        const long n = std::strtol(v.c_str(), &end, 10);
        if (v.empty() || *end || n < 1 || n > 8)
          return badUsage("--idle-lead needs a whole number of frames from 1 to 8, not '" + v + "'");
        o.idleLead = static_cast<int>(n);
      }
      if (a == "--interrupt-at") {
        char* end = nullptr;
        o.interruptAt = std::strtod(v.c_str(), &end);
        if (v.empty() || *end || !(o.interruptAt >= 0.0))
          return badUsage("--interrupt-at needs a number of seconds >= 0, not '" + v + "'");
      }
      continue;
    }
    if (!a.empty() && a[0] == '-') return badUsage("unknown option '" + a + "'");
    positional.push_back(a);
  }
  if (positional.size() != 2)
    return badUsage("needs BUNDLE and AUDIO, got " + std::to_string(positional.size()) + " argument(s)");
  if (o.motion.empty()) return badUsage("--motion DIR is required");
  if (o.out.empty()) return badUsage("--out OUT.mp4 is required");
  o.bundle = positional[0];
  o.audio = positional[1];
  av_log_set_level(AV_LOG_ERROR);

  const std::vector<float> speech = readAudio16k(o.audio);
  std::vector<int16_t> pcm(speech.size());
  for (size_t i = 0; i < speech.size(); ++i)
    pcm[i] = static_cast<int16_t>(std::lround(std::clamp(speech[i], -1.0f, 32767.0f / 32768.0f) * 32768.0f));
  std::printf("speech: %s, %.2f s (%zu samples at 16 kHz)\n", o.audio.c_str(),
              static_cast<double>(pcm.size()) / kRate, pcm.size());

  // The session's streaming engine takes a preloaded encoder when $W2V_ONNX is unset.
  if (!o.encoder.empty()) {
    unsetenv("W2V_ONNX");
    if (!ka_a2x_preload_w2v(o.encoder.c_str())) return fail(ka_a2x_last_error());
  }
  std::unique_ptr<ka_ctx, CtxDel> ctx(ka_create(o.bundle.c_str(), o.model.c_str(), 0, nullptr));
  if (!ctx) return fail(ka_last_error());
  const int W = ka_width(ctx.get()), H = ka_height(ctx.get());
  ka_utt_opts opts{};
  opts.motion_dir = o.motion.c_str();
  opts.auto_end_s = -1.0;  // this host always says when the speech is over
  std::unique_ptr<ka_utt, UttDel> s(ka_utt_create(ctx.get(), &opts));
  if (!s) return fail(motionRefusal(o.motion, ka_utt_last_error()));
  if (o.idleLead > 0 && !ka_utt_set_idle_lead(s.get(), o.idleLead)) return fail(ka_utt_last_error());

  const auto t0 = std::chrono::steady_clock::now();
  for (;;) {
    const int r = ka_utt_ready(s.get());
    if (r == 1) break;
    if (r < 0) return fail(motionRefusal(o.motion, ka_utt_last_error()));
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  std::printf("session ready after %.2f s (%dx%d)\n", secondsSince(t0), W, H);
  if (o.teeth) {
    char err[1024] = "";
    if (ka_utt_tessera_attach_bundle(s.get(), o.bundle.c_str(), err, sizeof err) != 0) return fail(err);
    char geometry[256] = "";
    ka_utt_tessera_geometry(s.get(), geometry, sizeof geometry);
    const std::string build = tessera::bankDecoderBuild();
    std::printf("teeth: attached (corpus geometry %s; bank decoded with %s)\n", geometry,
                build.substr(0, build.find(" / ")).c_str());
  }

  OutputFile outFile(o.out);
  MovieWriter movie(outFile.temp(), W, H, 25, 20, kRate);
  // The log is committed with the movie, so the two always describe the same run.
  std::optional<OutputFile> logFile;
  std::FILE* frameLog = nullptr;
  if (!o.frameLog.empty()) {
    logFile.emplace(o.frameLog);
    frameLog = std::fopen(logFile->temp().c_str(), "w");
    if (!frameLog) return fail("speak: cannot write " + o.frameLog + ": " + std::strerror(errno));
  }
  struct FileCloser {
    std::FILE*& f;
    ~FileCloser() {
      if (f) std::fclose(f);
    }
  } closeLog{frameLog};
  std::vector<uint8_t> rgb(static_cast<size_t>(W) * H * 3);
  std::vector<int16_t> silence(kFrameSamples, 0), chunk(kFrameSamples);
  const size_t speechFrames = (pcm.size() + kFrameSamples - 1) / kFrameSamples;
  // Generous: the whole speech, the lead-in, a ramp, the tail, and 10 s of slack, not
  // counting the frames made while the first speech frame was awaited (`waited`).
  const int64_t maxFrames = static_cast<int64_t>(speechFrames) + kLeadIn + kTailIdle + 250;

  size_t pushed = 0;
  bool ended = false, interrupted = false, sawSpeech = false;
  int64_t frames = 0, speechPulled = 0, idleAfter = 0, framesAtPush = -1, waited = 0;
  const auto start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point pushStart{}, lastFrame{};
  double firstSpeechMs = -1.0, longestGapMs = 0.0;
  ka_utt_frame_info gapAt{};  // the frame that ended the longest gap
  while (frames - waited < maxFrames) {
    // Push: the speech starts once the lead-in is out; in real time 20 ms per 20 ms.
    if (frames >= kLeadIn && !ended && !interrupted) {
      if (pushed == 0) pushStart = std::chrono::steady_clock::now();
      const size_t due = o.realtime ? std::min(pcm.size(), static_cast<size_t>(secondsSince(pushStart) * kRate) + kPiece)
                                    : pcm.size();
      while (pushed < due) {
        const int n = static_cast<int>(std::min<size_t>(kPiece, pcm.size() - pushed));
        if (!ka_utt_push_audio(s.get(), pcm.data() + pushed, n)) return fail(ka_utt_last_error());
        pushed += static_cast<size_t>(n);
      }
      if (pushed >= pcm.size()) {
        ka_utt_end_utterance(s.get());
        ended = true;
      }
    }
    // The speech is in and its first frame has not come yet.
    const bool awaiting = pushed > 0 && !sawSpeech && !interrupted;
    if (awaiting && secondsSince(pushStart) > kFirstSpeechWaitS)
      return fail("speak: no speech frame " + std::to_string(static_cast<int>(kFirstSpeechWaitS)) +
                  " s after the first push; the motion model is stalled or far too slow for this machine");
    // Pull: at 25 fps in real time, else as soon as a frame is there, except while the
    // speech is pushed and its first frame has not come: idle frames are made as fast as
    // they are taken, and the movie shows that wait as a live viewer would see it rather
    // than as thousands of idle frames.
    if (o.realtime) {
      const auto due = start + std::chrono::microseconds(40000 * frames);
      std::this_thread::sleep_until(due);
    } else if (awaiting) {
      if (framesAtPush < 0) framesAtPush = frames;
      std::this_thread::sleep_until(pushStart + std::chrono::microseconds(40000 * (frames - framesAtPush)));
    }
    ka_utt_frame_info info{};
    const int got = ka_utt_pull_frame(s.get(), rgb.data(), rgb.size(), &info);
    if (got == 0) {
      if (*ka_utt_last_error()) return fail(ka_utt_last_error());
      // Two minutes without a frame is a stalled session; a slow machine whose frames
      // keep coming is not, however long the whole run takes.
      if (secondsSince(frames > 0 ? lastFrame : start) > 120.0)
        return fail("speak: no frame for too long; stopping");
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    const auto now = std::chrono::steady_clock::now();
    const double gap = std::chrono::duration<double, std::milli>(now - lastFrame).count();
    if (frames > 0 && gap > longestGapMs) {
      longestGapMs = gap;
      gapAt = info;
    }
    lastFrame = now;
    if (info.kind == KA_UTT_SPEECH && firstSpeechMs < 0.0 && pushed > 0)
      firstSpeechMs = std::chrono::duration<double, std::milli>(now - pushStart).count();
    movie.write(rgb.data());
    if (frameLog)
      std::fprintf(frameLog, "%lld %s %d %d\n", static_cast<long long>(info.seq), kindName(info.kind),
                   info.driver_index, info.speech_index);
    if (info.kind == KA_UTT_SPEECH && info.speech_index >= 0 &&
        static_cast<size_t>(info.speech_index) < speechFrames) {
      const size_t at = static_cast<size_t>(info.speech_index) * kFrameSamples;
      const size_t n = std::min<size_t>(kFrameSamples, pcm.size() - at);
      std::copy_n(pcm.begin() + static_cast<std::ptrdiff_t>(at), n, chunk.begin());
      std::fill(chunk.begin() + static_cast<std::ptrdiff_t>(n), chunk.end(), 0);
      movie.writeAudio(chunk.data(), chunk.size());
    } else {
      movie.writeAudio(silence.data(), silence.size());
    }
    ++frames;
    if (awaiting && info.kind != KA_UTT_SPEECH) ++waited;
    if (info.kind == KA_UTT_SPEECH) {
      sawSpeech = true;
      ++speechPulled;
    }
    idleAfter = info.kind == KA_UTT_IDLE && (sawSpeech || interrupted) ? idleAfter + 1 : 0;
    if (frames % 25 == 0 || (info.kind != KA_UTT_IDLE && info.speech_index == 0))
      std::printf("frame %lld: %s (driver %d, speech %d), %.2f s\n", static_cast<long long>(info.seq),
                  kindName(info.kind), info.driver_index, info.speech_index, secondsSince(start));
    if (o.interruptAt >= 0.0 && !interrupted && speechPulled >= std::lround(o.interruptAt * 25.0) &&
        sawSpeech) {
      ka_utt_interrupt(s.get());
      interrupted = true;
      std::printf("interrupted after %lld speech frames\n", static_cast<long long>(speechPulled));
    }
    if (idleAfter >= kTailIdle) break;
  }
  const double wall = secondsSince(start);
  movie.finish();

  ka_utt_stats st{};
  ka_utt_get_stats(s.get(), &st);
  int failures = 0;
  char text[512];
  const int rs = ka_utt_render_status(s.get(), &failures, text, sizeof text);
  std::printf("session: %lld frames out, %lld speech frames, %lld utterances, first speech frame "
              "made %.1f ms after the first push, render %.1f ms/frame, achieved %.1f fps over %.2f s%s\n",
              static_cast<long long>(st.frames_out), static_cast<long long>(st.speech_frames_out),
              static_cast<long long>(st.utterances), st.first_frame_ms, st.render_ms,
              wall > 0 ? frames / wall : 0.0, wall, o.realtime ? " (paced)" : "");
  // Only a paced run says what a live host sees; pushing as fast as possible makes the
  // session's figure look better than any live host gets.
  if (o.realtime)
    std::printf("live: first push -> first speech frame pulled %.0f ms, longest gap between frames "
                "%.0f ms (before frame %lld, %s %d), %.1f fps delivered\n",
                firstSpeechMs, longestGapMs, static_cast<long long>(gapAt.seq), kindName(gapAt.kind),
                gapAt.kind == KA_UTT_SPEECH ? gapAt.speech_index : gapAt.driver_index,
                wall > 0 ? frames / wall : 0.0);
  if (failures) std::printf("render failures: %d (last: %s)%s\n", failures, text, rs < 0 ? " FATAL" : "");
  int teethState = 0;
  if (o.teeth) {
    int64_t borrowed = 0, refused = 0, counted = 0;
    double mean = 0.0, maxW = 0.0;
    teethState = ka_utt_tessera_stats(s.get(), &borrowed, &refused, text, sizeof text);
    std::printf("teeth: %lld borrowed, %lld refused%s%s\n", static_cast<long long>(borrowed),
                static_cast<long long>(refused), teethState < 0 ? ", FAILED: " : "", teethState < 0 ? text : "");
    if (ka_utt_tessera_synth_w(s.get(), &mean, &maxW, &counted))
      std::printf("teeth: synthesis weight mean %.4f, max %.4f over %lld frames\n", mean, maxW,
                  static_cast<long long>(counted));
  }
  if (o.telemetry || !o.telemetryFile.empty()) {
    // The session tells telemetry of its utterance when it closes it; the batch is read
    // once the session is gone so its last figures are in. It is written whether or not
    // the run succeeded: a failed run's figures are the ones worth reading.
    s.reset();
    std::string doc(static_cast<size_t>(std::max<int64_t>(ka_tel_pending_json(nullptr, 0), 1)), '\0');
    if (ka_tel_pending_json(doc.data(), doc.size()) != static_cast<int64_t>(doc.size()))
      return fail(std::string("speak: telemetry: ") + ka_tel_last_error());
    doc.pop_back();
    if (o.telemetryFile.empty()) {
      std::fflush(stdout);
      std::fprintf(stderr, "telemetry: %s\n", doc.c_str());
    } else {
      OutputFile telFile(o.telemetryFile);
      std::FILE* f = std::fopen(telFile.temp().c_str(), "w");
      const bool ok = f && std::fputs(doc.c_str(), f) >= 0 && std::fputc('\n', f) != EOF;
      if (f && std::fclose(f) != 0) return fail("speak: cannot write " + o.telemetryFile);
      if (!ok) return fail("speak: cannot write " + o.telemetryFile + ": " + std::strerror(errno));
      telFile.commit();
    }
  }
  // The movie is kept only for a run that did what was asked.
  if (!sawSpeech && !interrupted)
    return fail("speak: the session delivered no speech frame; " + o.out + " not written");
  if (teethState < 0 || rs < 0) return fail("speak: the session failed; " + o.out + " not written");
  if (frameLog) {
    const bool ok = std::fclose(frameLog) == 0;
    frameLog = nullptr;
    if (!ok) return fail("speak: cannot write " + o.frameLog);
    logFile->commit();
  }
  outFile.commit();
  std::printf("wrote %s: %lld frames (%.2f s) with %lld audio samples\n", o.out.c_str(),
              static_cast<long long>(movie.frames()), movie.frames() / 25.0,
              static_cast<long long>(movie.audioSamples()));
  return 0;
}

}  // namespace ka::cli
