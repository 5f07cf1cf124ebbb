#pragma once
// Every page's meeting point: broadcasts the loop's frames and messages to the open
// pages, answers their messages, and arbitrates the one talker: the page whose speech
// (a said sentence, its microphone or an upload) the session is speaking. Pages are
// touched on the network thread only; the talker is shared with the synthesis thread
// and guarded.
#include <boost/asio/io_context.hpp>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "base/log_limiter.h"
#include "ka/ka.h"
#include "tools/serve/live_limits.h"
#include "tools/serve/live_loop.h"
#include "tools/serve/live_metrics.h"
#include "tools/serve/speech_synth.h"

namespace ka::serve {

class LiveClient;

class LiveHub : public LiveOutput, public SpeechSink {
 public:
  LiveHub(boost::asio::io_context& io, LiveMetrics& metrics, const LiveLimits& limits);
  // The loop and the synthesiser, once made; both outlive every call into the hub.
  void attach(LiveLoop& loop, SpeechSynth& synth);

  LiveMetrics& metrics() { return metrics_; }
  int newClientId() { return ++lastId_; }
  // Bounds the log lines of requests from no page in particular (any web site can make
  // a browser send as many as it likes), per kind. Network thread.
  ka::log::LogLimiter& log() { return log_; }

  // Network thread.
  void join(const std::shared_ptr<LiveClient>& c);
  void leave(LiveClient& c);
  void dropped(LiveClient& c);  // a page that stopped reading
  void text(LiveClient& c, std::string_view message);
  void pcm(LiveClient& c, const uint8_t* data, size_t size);
  void closeAll();
  // The server is stopping: nothing waits for the stream any more.
  void shutdown() { closing_.store(true); }
  int talker() const;

  // LiveOutput (loop thread): posted to the network thread.
  void frame(std::shared_ptr<const Bytes> message, bool key) override;
  void event(std::shared_ptr<const std::string> message) override;
  void utteranceEnded(uint32_t id, int owner) override;
  void stats(const Stats& s) override;

  // SpeechSink (synthesis thread).
  bool speechPiece(uint64_t ticket, const int16_t* pcm, int count) override;
  void speechDone(uint64_t ticket, bool ok, const std::string& why) override;

 private:
  enum class Claim { None, Say, Talk };
  void refuse(LiveClient& c, const char* code, const std::string& message);
  // Sends an error to page `id` from any thread.
  void refuseLater(int id, const char* code, const std::string& message);
  void sendTo(int id, std::shared_ptr<const std::string> text);
  void say(LiveClient& c, std::string text);
  void talk(LiveClient& c, bool on);
  void end(LiveClient& c);
  void stop(LiveClient& c);
  // Under talkMu_: no talker any more; the previous one's ticket is void.
  void releaseLocked();
  std::string hello(int id) const;

  boost::asio::io_context& io_;
  LiveMetrics& metrics_;
  const LiveLimits limits_;
  LiveLoop* loop_ = nullptr;
  SpeechSynth* synth_ = nullptr;
  std::vector<std::shared_ptr<LiveClient>> clients_;  // network thread only
  int lastId_ = 0;
  std::vector<int16_t> scratch_;  // a PCM message, aligned
  ka::log::LogLimiter log_;

  mutable std::mutex talkMu_;
  int talker_ = 0;  // client number, 0 for none
  Claim claim_ = Claim::None;
  uint64_t ticket_ = 0;     // the talker's speech is accepted under this ticket only
  bool endAsked_ = false;   // the talker said its speech is complete
  size_t said_ = 0;         // samples the current say has made so far
  std::atomic<bool> closing_{false};
};

}  // namespace ka::serve
