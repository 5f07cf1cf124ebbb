#include "tools/serve/live_hub.h"

#include <boost/asio/post.hpp>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <cstring>

#include "base/log.h"
#include "tools/serve/client_message.h"
#include "tools/serve/live_client.h"

namespace ka::serve {
namespace net = boost::asio;
namespace {
constexpr double kSynthAheadS = 10.0;
// Speech already waiting takes about as long as itself to show; a synthesiser that finds
// no room for this long is waiting on a stream that stopped showing speech.
constexpr auto kRoomWait = std::chrono::seconds(10);

// A JSON string literal of s (quotes included).
std::string quoted(std::string_view s) {
  std::string out = "\"";
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::shared_ptr<const std::string> errorText(const char* code, const std::string& message) {
  return std::make_shared<const std::string>("{\"type\":\"error\",\"code\":" + quoted(code) +
                                             ",\"message\":" + quoted(message) + "}");
}

std::shared_ptr<const std::string> talkText(bool granted, const char* reason) {
  return std::make_shared<const std::string>(std::string("{\"type\":\"talk\",\"granted\":") +
                                             (granted ? "true" : "false") + ",\"reason\":" + quoted(reason) + "}");
}

const char* stateName(int s) {
  switch (s) {
    case 1: return "pending";
    case 2: return "speaking";
    case 3: return "ramp";
    default: return "idle";
  }
}
}  // namespace

LiveHub::LiveHub(net::io_context& io, LiveMetrics& metrics, const LiveLimits& limits)
    : io_(io), metrics_(metrics), limits_(limits) {
  scratch_.reserve(limits_.pcmBytes / 2);
}

void LiveHub::attach(LiveLoop& loop, SpeechSynth& synth) {
  loop_ = &loop;
  synth_ = &synth;
}

std::string LiveHub::hello(int id) const {
  char buf[512];
  std::snprintf(buf, sizeof buf,
                "{\"type\":\"hello\",\"width\":%d,\"height\":%d,\"fps\":%d,\"rate\":%d,\"codec\":\"%s\","
                "\"client\":%d,\"limits\":{\"text_chars\":%zu,\"pcm_bytes\":%zu,\"queue_frames\":%zu,"
                "\"say_s\":%g}}",
                loop_->width(), loop_->height(), kFps, kRate, loop_->codec().c_str(), id, limits_.textChars,
                limits_.pcmBytes, limits_.queueFrames, limits_.sayS);
  return buf;
}

void LiveHub::join(const std::shared_ptr<LiveClient>& c) {
  clients_.push_back(c);
  metrics_.clients.store(static_cast<int64_t>(clients_.size()));
  metrics_.clientsTotal.fetch_add(1);
  if (auto line = log_.admit("connected"))
    KA_LOG_INFO("[serve] client %d connected (%zu open)%s", c->id(), clients_.size(), line.note());
  c->sendText(std::make_shared<const std::string>(hello(c->id())));
  loop_->forceKeyFrame();
}

void LiveHub::leave(LiveClient& c) {
  bool found = false;
  for (auto it = clients_.begin(); it != clients_.end(); ++it)
    if (it->get() == &c) {
      clients_.erase(it);
      found = true;
      break;
    }
  if (!found) return;
  metrics_.clients.store(static_cast<int64_t>(clients_.size()));
  if (auto line = log_.admit("disconnected")) {
    char held[64] = "";
    if (const uint64_t n = c.log().suppressed())
      std::snprintf(held, sizeof held, "; %llu of its log lines suppressed", static_cast<unsigned long long>(n));
    KA_LOG_INFO("[serve] client %d disconnected (%zu open%s)%s", c.id(), clients_.size(), held, line.note());
  }
  uint64_t ticket = 0;
  {
    std::lock_guard<std::mutex> lock(talkMu_);
    if (talker_ != c.id()) return;
    ticket = ticket_;
    releaseLocked();
  }
  // The talker is gone: its utterance ramps back, the session goes on.
  KA_LOG_INFO("[serve] client %d was talking: its utterance is interrupted", c.id());
  synth_->cancel(ticket);
  loop_->interrupt();
}

void LiveHub::dropped(LiveClient& c) {
  metrics_.clientsDropped.fetch_add(1);
  metrics_.refuse("slow_reader");
  c.drop();  // its read fails next and it leaves
}

void LiveHub::closeAll() {
  for (auto& c : clients_) c->drop();
  clients_.clear();
  metrics_.clients.store(0);
}

int LiveHub::talker() const {
  std::lock_guard<std::mutex> lock(talkMu_);
  return talker_;
}

void LiveHub::refuse(LiveClient& c, const char* code, const std::string& message) {
  metrics_.refuse(code);
  if (auto line = c.log().admit(code))
    KA_LOG_INFO("[serve] client %d refused (%s): %s%s", c.id(), code, message.c_str(), line.note());
  c.sendText(errorText(code, message));
}

void LiveHub::refuseLater(int id, const char* code, const std::string& message) {
  metrics_.refuse(code);
  KA_LOG_INFO("[serve] client %d refused (%s): %s", id, code, message.c_str());
  sendTo(id, errorText(code, message));
}

void LiveHub::sendTo(int id, std::shared_ptr<const std::string> text) {
  net::post(io_, [this, id, text = std::move(text)]() mutable {
    for (auto& c : clients_)
      if (c->id() == id) c->sendText(std::move(text));
  });
}

void LiveHub::releaseLocked() {
  talker_ = 0;
  claim_ = Claim::None;
  endAsked_ = false;
  ++ticket_;
}

void LiveHub::text(LiveClient& c, std::string_view message) {
  ClientMessage m;
  MessageError err;
  if (!parseClientMessage(message, limits_.textChars, m, err)) return refuse(c, err.code.c_str(), err.message);
  switch (m.type) {
    case MessageType::Say: return say(c, std::move(m.text));
    case MessageType::Talk: return talk(c, m.on);
    case MessageType::End: return end(c);
    case MessageType::Stop: return stop(c);
  }
}

void LiveHub::say(LiveClient& c, std::string text) {
  std::lock_guard<std::mutex> lock(talkMu_);
  if (talker_ != 0 && talker_ != c.id())
    return refuse(c, "busy", "Another page is talking; wait until it is done.");
  if (talker_ == c.id() && (loop_->speaking() || !synth_->idle()))
    return refuse(c, "busy", "The avatar is still speaking for this page; stop it first.");
  const bool claimed = talker_ == 0;
  if (claimed) {
    talker_ = c.id();
    ++ticket_;
  }
  claim_ = Claim::Say;
  said_ = 0;
  if (!synth_->submit(ticket_, std::move(text))) {
    if (claimed) releaseLocked();
    return refuse(c, "busy", "The speech synthesiser is still finishing the last sentence; try again.");
  }
  if (auto line = c.log().admit("say")) KA_LOG_INFO("[serve] client %d says a sentence%s", c.id(), line.note());
}

void LiveHub::talk(LiveClient& c, bool on) {
  uint64_t ticket = 0;
  {
    std::lock_guard<std::mutex> lock(talkMu_);
    if (on) {
      if (talker_ != 0 && talker_ != c.id()) {
        metrics_.refuse("busy");
        if (auto line = c.log().admit("busy"))
          KA_LOG_INFO("[serve] client %d refused (busy): client %d is talking%s", c.id(), talker_, line.note());
        c.sendText(talkText(false, "busy"));
        return;
      }
      if (talker_ != c.id()) {
        talker_ = c.id();
        ++ticket_;
      }
      claim_ = Claim::Talk;
      endAsked_ = false;
      c.sendText(talkText(true, "granted"));
      return;
    }
    if (talker_ != c.id()) return;  // not the talker: nothing to give back
    ticket = ticket_;
    loop_->endUtterance();
    releaseLocked();
  }
  synth_->cancel(ticket);
  c.sendText(talkText(false, "released"));
}

void LiveHub::end(LiveClient& c) {
  std::lock_guard<std::mutex> lock(talkMu_);
  if (talker_ != c.id())
    return refuse(c, "not_talker", talker_ ? "Another page is talking." : "This page is not talking.");
  if (claim_ == Claim::Say) return;  // a said sentence ends by itself
  endAsked_ = true;
  if (loop_->speaking()) loop_->endUtterance();
  else releaseLocked();  // nothing was pushed: the role is free again at once
}

void LiveHub::stop(LiveClient& c) {
  uint64_t ticket = 0;
  int was = 0;
  Claim claim = Claim::None;
  {
    std::lock_guard<std::mutex> lock(talkMu_);
    ticket = ticket_;
    was = talker_;
    claim = claim_;
    releaseLocked();
  }
  if (auto line = c.log().admit("stop")) KA_LOG_INFO("[serve] client %d stops the avatar%s", c.id(), line.note());
  synth_->cancel(ticket);
  loop_->interrupt();
  if (was && claim == Claim::Talk) sendTo(was, talkText(false, "stopped"));
}

void LiveHub::pcm(LiveClient& c, const uint8_t* data, size_t size) {
  if (size % 2) return refuse(c, "pcm_odd_size", "A PCM message must hold whole 16-bit samples (an even byte count).");
  if (size > limits_.pcmBytes)
    return refuse(c, "pcm_too_big", "A PCM message may hold at most " + std::to_string(limits_.pcmBytes) + " bytes.");
  if (size == 0) return;
  scratch_.resize(size / 2);
  std::memcpy(scratch_.data(), data, size);
  std::lock_guard<std::mutex> lock(talkMu_);
  if (talker_ != c.id()) {
    if (talker_ != 0) return refuse(c, "busy", "Another page is talking; its speech goes first.");
    // Speech from a page while nobody talks makes it the talker.
    talker_ = c.id();
    claim_ = Claim::Talk;
    endAsked_ = false;
    ++ticket_;
  }
  if (claim_ == Claim::Say) return refuse(c, "busy", "The avatar is speaking this page's sentence; stop it first.");
  switch (loop_->pushAudio(c.id(), scratch_.data(), static_cast<int>(scratch_.size()))) {
    case LiveLoop::Push::Ok: return;
    case LiveLoop::Push::TooMuchAudio:
      return refuse(c, "too_much_audio", "Too much speech is waiting to be shown; this piece was dropped.");
    case LiveLoop::Push::Failed:
      return refuse(c, "push_failed", std::string("The session refused the speech: ") + ka_utt_last_error());
  }
}

// ---- loop thread

void LiveHub::frame(std::shared_ptr<const Bytes> message, bool key) {
  net::post(io_, [this, message = std::move(message), key] {
    for (size_t i = 0; i < clients_.size(); ++i) clients_[i]->sendFrame(message, key);
  });
}

void LiveHub::event(std::shared_ptr<const std::string> message) {
  net::post(io_, [this, message = std::move(message)] {
    for (size_t i = 0; i < clients_.size(); ++i) clients_[i]->sendText(message);
  });
}

void LiveHub::utteranceEnded(uint32_t id, int owner) {
  std::lock_guard<std::mutex> lock(talkMu_);
  // A said sentence, or speech its page declared complete, gives the role back once
  // the session is idle again; a microphone keeps it until it is turned off.
  if (talker_ == owner && owner != 0 && (claim_ == Claim::Say || endAsked_) && synth_->idle()) {
    KA_LOG_DEBUG("[serve] utterance %u over: client %d no longer talks", id, owner);
    releaseLocked();
  }
}

void LiveHub::stats(const Stats& s) {
  const int talker = this->talker();
  net::post(io_, [this, s, talker] {
    char buf[512];
    std::snprintf(buf, sizeof buf,
                  "{\"type\":\"stats\",\"fps\":%d,\"first_frame_ms\":%.1f,\"queued\":%d,\"render_ms\":%.2f,"
                  "\"teeth_borrowed\":%lld,\"teeth_refused\":%lld,\"clients\":%zu,\"talker\":%d,\"state\":\"%s\"}",
                  s.fps, s.firstFrameMs, s.queued, s.renderMs, static_cast<long long>(s.teethBorrowed),
                  static_cast<long long>(s.teethRefused), clients_.size(), talker, stateName(s.state));
    auto text = std::make_shared<const std::string>(buf);
    for (size_t i = 0; i < clients_.size(); ++i) clients_[i]->sendText(text);
  });
}

// ---- synthesis thread

bool LiveHub::speechPiece(uint64_t ticket, const int16_t* pcm, int count) {
  // The synthesiser runs ahead of the picture by this much at most, so the session is
  // not handed a long sentence's speech all at once.
  const size_t ahead = static_cast<size_t>(kSynthAheadS * kRate);
  const auto giveUp = std::chrono::steady_clock::now() + kRoomWait;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(talkMu_);
      if (ticket != ticket_ || talker_ == 0 || closing_.load()) return false;  // stopped meanwhile
      if (loop_->pendingSamples() < ahead) break;
      if (std::chrono::steady_clock::now() >= giveUp) {
        refuseLater(talker_, "too_much_audio", "The avatar is not showing the speech in time; the sentence was cut short.");
        return false;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(40));
  }
  std::lock_guard<std::mutex> lock(talkMu_);
  if (ticket != ticket_ || talker_ == 0) return false;
  // One say holds the avatar for limits_.sayS at most, however its text reads.
  const size_t cap = static_cast<size_t>(limits_.sayS * kRate);
  const int take = static_cast<int>(std::min<size_t>(static_cast<size_t>(count), cap - std::min(cap, said_)));
  if (take > 0) {
    switch (loop_->pushAudio(talker_, pcm, take)) {
      case LiveLoop::Push::Ok: break;
      case LiveLoop::Push::TooMuchAudio:
        refuseLater(talker_, "too_much_audio", "Too much speech is waiting to be shown; the sentence was cut short.");
        return false;
      case LiveLoop::Push::Failed:
        refuseLater(talker_, "synth_failed", std::string("The session refused the speech: ") + ka_utt_last_error());
        return false;
    }
    said_ += static_cast<size_t>(take);
  }
  if (take == count) return true;
  char why[160];
  std::snprintf(why, sizeof why, "The text makes more than %g s of speech; it was cut at %g s.", limits_.sayS,
                limits_.sayS);
  refuseLater(talker_, "speech_too_long", why);
  return false;
}

void LiveHub::speechDone(uint64_t ticket, bool ok, const std::string& why) {
  std::lock_guard<std::mutex> lock(talkMu_);
  if (ticket != ticket_ || talker_ == 0) return;  // stopped: the interrupt did the rest
  if (!ok && why != "stopped") refuseLater(talker_, "synth_failed", "The sentence could not be spoken: " + why);
  if (loop_->speaking()) loop_->endUtterance();
  else releaseLocked();  // nothing was pushed
}

}  // namespace ka::serve
