// ka serve's server in this process on a free port, over the utterance fixtures, driven
// by WebSocket and HTTP clients as a page and a hostile neighbour would drive it.
#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/test_utt_util.h"
#include "tools/serve/live_server.h"
#include "tools/serve/speech_synth.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace ka::serve {
namespace {
namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

// A frame message's header fields.
struct Frame {
  int kind = 0;
  bool key = false;
  uint32_t utterance = 0;
  int64_t seq = 0;
  std::vector<uint8_t> h264;
  std::vector<int16_t> audio;
};

Frame parseFrame(const std::string& m) {
  Frame f;
  EXPECT_GE(m.size(), kHeaderBytes);
  uint32_t v = 0, a = 0;
  std::memcpy(&f.utterance, m.data() + 4, 4);
  std::memcpy(&f.seq, m.data() + 8, 8);
  std::memcpy(&v, m.data() + 32, 4);
  std::memcpy(&a, m.data() + 36, 4);
  EXPECT_EQ(static_cast<uint8_t>(m[0]), 1);
  EXPECT_EQ(a, static_cast<uint32_t>(kFrameSamples));
  EXPECT_EQ(m.size(), kHeaderBytes + v + 2 * a);
  f.kind = static_cast<uint8_t>(m[1]);
  f.key = m[2] & 1;
  f.h264.assign(m.begin() + kHeaderBytes, m.begin() + kHeaderBytes + v);
  f.audio.resize(a);
  std::memcpy(f.audio.data(), m.data() + kHeaderBytes + v, 2 * a);
  return f;
}

// The running server's access token, for the clients below.
std::string gToken;
std::string liveTarget() { return "/live?token=" + gToken; }

int loudness(const std::vector<int16_t>& a) {
  int m = 0;
  for (int16_t s : a) m = std::max(m, std::abs(static_cast<int>(s)));
  return m;
}

// Collects what the synthesiser makes, one job at a time.
class SpeechCollector : public SpeechSink {
 public:
  bool speechPiece(uint64_t, const int16_t* pcm, int count) override {
    std::lock_guard<std::mutex> lock(mu_);
    pcm_.insert(pcm_.end(), pcm, pcm + count);
    return true;
  }
  void speechDone(uint64_t, bool ok, const std::string&) override {
    std::lock_guard<std::mutex> lock(mu_);
    done_ = true;
    ok_ = ok;
    cv_.notify_all();
  }
  // Speaks text; its samples, or nothing when the job failed or took over 30 s.
  std::optional<std::vector<int16_t>> speak(SpeechSynth& synth, const std::string& text) {
    std::unique_lock<std::mutex> lock(mu_);
    pcm_.clear();
    done_ = false;
    while (!synth.submit(++ticket_, text)) {
      lock.unlock();
      std::this_thread::sleep_for(5ms);
      lock.lock();
    }
    if (!cv_.wait_for(lock, 30s, [&] { return done_; }) || !ok_) return std::nullopt;
    return pcm_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<int16_t> pcm_;
  bool done_ = false, ok_ = false;
  uint64_t ticket_ = 0;
};

double rms(const std::vector<int16_t>& a) {
  double e = 0.0;
  for (int16_t s : a) e += static_cast<double>(s) * s;
  return a.empty() ? 0.0 : std::sqrt(e / static_cast<double>(a.size()));
}

// Sentences come from any page: whatever commands to the synthesiser one sentence's
// text carries, the next is spoken in the voice as it started.
TEST(SpeechSynth, NoSentenceChangesTheVoiceOfTheNext) {
  SpeechCollector sink;
  SpeechSynth synth(sink);
  const std::string plain = "Hello there, how are you today?";
  const auto reference = sink.speak(synth, plain);
  ASSERT_TRUE(reference);
  ASSERT_GT(reference->size(), 16000u / 2);
  const char* hostile[] = {"\x01" "0A silent from now on", "\x01" "30S slow from now on",
                           "\x01" "300A loud from now on", "\x01" "90P\x01" "5R high and flat"};
  for (const char* h : hostile) {
    SCOPED_TRACE(h + 1);
    ASSERT_TRUE(sink.speak(synth, h));
    const auto after = sink.speak(synth, plain);
    ASSERT_TRUE(after);
    // A sentence's words alone change the next one's length by a few percent; a
    // command would change it by half or more, or silence it.
    EXPECT_NEAR(static_cast<double>(after->size()), static_cast<double>(reference->size()), 0.1 * reference->size());
    EXPECT_NEAR(rms(*after), rms(*reference), 0.1 * rms(*reference));
  }
}

// A page: one WebSocket to /live, read with timeouts.
class Page {
 public:
  // Opens /live; with a Host or Origin given, the handshake uses them.
  explicit Page(uint16_t port, int rcvbuf = 0) : ws_(io_), port_(port) {
    tcp::socket& s = ws_.next_layer();
    s.open(tcp::v4());
    if (rcvbuf) s.set_option(net::socket_base::receive_buffer_size(rcvbuf));
    s.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
  }
  // The handshake; the HTTP status of the answer.
  int handshake(std::string host = "", std::string origin = "") {
    if (host.empty()) host = "127.0.0.1:" + std::to_string(port_);
    if (origin.empty()) origin = "http://" + host;
    ws_.set_option(websocket::stream_base::decorator([origin](websocket::request_type& r) {
      if (origin != "-") r.set(http::field::origin, origin);
    }));
    websocket::response_type res;
    beast::error_code ec;
    ws_.handshake(res, host, liveTarget(), ec);
    return static_cast<int>(res.result_int());
  }
  void open() { ASSERT_EQ(handshake(), 101); }

  void sendText(const std::string& s) {
    ws_.text(true);
    ws_.write(net::buffer(s));
  }
  // For a message the server is expected to refuse part-way: its close may
  // reach this side while the write is still going (a broken pipe), which is
  // the refusal, not a failure of the test.
  beast::error_code sendTextMayBeCut(const std::string& s) {
    beast::error_code ec;
    ws_.text(true);
    ws_.write(net::buffer(s), ec);
    return ec;
  }
  void sendBinary(const void* data, size_t n) {
    ws_.binary(true);
    ws_.write(net::buffer(data, n));
  }
  void sendPcm(const std::vector<int16_t>& pcm) { sendBinary(pcm.data(), pcm.size() * 2); }

  // The next message; nothing on timeout or a closed connection (closed() tells).
  std::optional<std::string> next(std::chrono::milliseconds timeout = 5000ms) {
    if (closed_) return std::nullopt;
    if (!reading_) {
      reading_ = true;
      done_ = false;
      ws_.async_read(buf_, [this](beast::error_code ec, size_t) {
        done_ = true;
        reading_ = false;
        ec_ = ec;
      });
    }
    io_.restart();
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!done_ && std::chrono::steady_clock::now() < until) io_.run_one_until(until);
    if (!done_) return std::nullopt;
    if (ec_) {
      closed_ = true;
      return std::nullopt;
    }
    text_ = ws_.got_text();
    std::string m = beast::buffers_to_string(buf_.data());
    buf_.consume(buf_.size());
    return m;
  }
  bool lastWasText() const { return text_; }
  bool closed() const { return closed_; }
  // The close frame the server sent, once closed() (code 0: none came).
  const websocket::close_reason& closeReason() const { return ws_.reason(); }
  beast::error_code error() const { return ec_; }

  // Reads until a text message containing `needle`; frames on the way are kept.
  std::optional<std::string> waitText(const std::string& needle, std::chrono::milliseconds timeout = 10000ms) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
      const auto m = next(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()));
      if (!m) return std::nullopt;
      if (text_ && m->find(needle) != std::string::npos) return m;
      if (!text_) frames.push_back(parseFrame(*m));
    }
    return std::nullopt;
  }
  // Reads until n more frames came.
  bool waitFrames(size_t n, std::chrono::milliseconds timeout = 10000ms) {
    const size_t want = frames.size() + n;
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (frames.size() < want && std::chrono::steady_clock::now() < until) {
      const auto m = next(std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()));
      if (!m) return false;
      if (!text_) frames.push_back(parseFrame(*m));
    }
    return frames.size() >= want;
  }
  void closeAbruptly() {
    beast::error_code ec;
    ws_.next_layer().close(ec);
    closed_ = true;
  }

  std::vector<Frame> frames;

 private:
  net::io_context io_;
  websocket::stream<tcp::socket> ws_;
  uint16_t port_;
  beast::flat_buffer buf_;
  bool reading_ = false, done_ = false, closed_ = false, text_ = false;
  beast::error_code ec_;
};

// One plain HTTP GET; status and body. With an origin, a WebSocket upgrade request
// ("-": one without an Origin).
std::pair<int, std::string> get(uint16_t port, const std::string& target, std::string host = "",
                                const std::string& origin = "", const std::string& authorization = "") {
  net::io_context io;
  tcp::socket s(io);
  s.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
  http::request<http::empty_body> req{http::verb::get, target, 11};
  req.set(http::field::host, host.empty() ? "127.0.0.1:" + std::to_string(port) : host);
  if (!authorization.empty()) req.set(http::field::authorization, authorization);
  if (!origin.empty()) {
    req.set(http::field::upgrade, "websocket");
    req.set(http::field::connection, "Upgrade");
    req.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
    req.set(http::field::sec_websocket_version, "13");
    if (origin != "-") req.set(http::field::origin, origin);
  }
  http::write(s, req);
  beast::flat_buffer b;
  http::response<http::string_body> res;
  http::read(s, b, res);
  return {static_cast<int>(res.result_int()), res.body()};
}

class Serve : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (test::uttFixture("bundle").empty()) return;
    ctx_ = test::uttContext().release();
    const std::string motion = test::uttFixture("motion-a2x");
    ka_utt_opts o = test::uttOpts(motion);
    session_ = ka_utt_create(ctx_, &o);
    ASSERT_NE(session_, nullptr) << ka_utt_last_error();
    ASSERT_TRUE(test::waitReady(session_));
    pageRoot_ = new test::TempDir();
    test::writeFile(*pageRoot_ / "page/index.html", "<html>live</html>");
    test::writeFile(*pageRoot_ / "page/app.js", "// app");
    test::writeFile(*pageRoot_ / "page/.hidden", "hidden");
    test::writeFile(*pageRoot_ / "secret.txt", "secret");
    std::filesystem::create_symlink(*pageRoot_ / "secret.txt", *pageRoot_ / "page/link.txt");
    ServeOptions so;
    so.port = 0;
    so.pageDir = *pageRoot_ / "page";
    so.limits.queueFrames = 25;
    so.limits.queueTexts = 100000;  // only the frames can show a page that stopped reading
    so.limits.pcmBytes = 32000;
    so.limits.pages = 5;
    so.limits.sayS = 6.0;
    server_ = new LiveServer(session_, ka_width(ctx_), ka_height(ctx_), so);
    server_->start();
    gToken = server_->token();
  }
  static void TearDownTestSuite() {
    delete server_;
    delete pageRoot_;
    if (session_) ka_utt_destroy(session_);
    if (ctx_) ka_destroy(ctx_);
  }
  void SetUp() override {
    if (!session_) GTEST_SKIP() << "no utterance fixtures ($KA_TEST_FIXTURES)";
    if (!server_) GTEST_SKIP() << "the server was stopped by an earlier test";
  }
  // Waits until the session is idle with nobody talking, so a test starts clean.
  static void settle() {
    const auto until = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < until) {
      ka_utt_stats st{};
      ka_utt_get_stats(session_, &st);
      if (st.state == 0) return;
      std::this_thread::sleep_for(20ms);
    }
    FAIL() << "the session did not come back to idle";
  }
  static uint16_t port() { return server_->port(); }

  static ka_ctx* ctx_;
  static ka_utt* session_;
  static test::TempDir* pageRoot_;
  static LiveServer* server_;
};
ka_ctx* Serve::ctx_ = nullptr;
ka_utt* Serve::session_ = nullptr;
test::TempDir* Serve::pageRoot_ = nullptr;
LiveServer* Serve::server_ = nullptr;

TEST_F(Serve, ServesOnlyThePageFolderAndOnlyItsOwnOrigin) {
  struct Http {
    std::string target;
    int status;
    std::string authorization = "";
  };
  const Http files[] = {
      {"/", 200},           {"/index.html", 200},   {"/app.js?v=1", 200},        {"/metrics?token=" + gToken, 200},
      {"/../secret.txt", 404}, {"/%2e%2e/secret.txt", 404}, {"/page/../secret.txt", 404}, {"/link.txt", 404},
      {"/.hidden", 404},    {"/missing.js", 404},   {"//etc/passwd", 404},       {"/app.js/", 404},
      // The counters need the token, in the target or as a bearer.
      {"/metrics", 401}, {"/metrics?token=" + gToken.substr(1), 403}, {"/metrics", 200, "Bearer " + gToken},
      {"/metrics", 403, "Bearer x" + gToken},
  };
  for (const Http& h : files) {
    SCOPED_TRACE(h.target + " " + h.authorization);
    EXPECT_EQ(get(port(), h.target, "", "", h.authorization).first, h.status);
  }
  EXPECT_EQ(get(port(), "/").second, "<html>live</html>");
  EXPECT_NE(get(port(), "/metrics?token=" + gToken).second.find("ka_serve_frames_sent_total"), std::string::npos);
  // A name that is not this machine's (a rebinding attack's) is not answered.
  EXPECT_EQ(get(port(), "/", "attacker.example:80").first, 403);

  const std::string self = "127.0.0.1:" + std::to_string(port());
  struct Upgrade {
    const char* name;
    std::string host, origin;
    int status;
    std::string target = liveTarget();
  };
  const Upgrade upgrades[] = {
      {"own page", self, "http://" + self, 101},
      {"localhost page", "localhost:" + std::to_string(port()), "http://localhost:" + std::to_string(port()), 101},
      {"another site", self, "http://attacker.example", 403},
      {"another port", self, "http://127.0.0.1:1", 403},
      {"https origin", self, "https://" + self, 403},
      {"no origin", self, "-", 403},
      {"foreign host with its own origin", "attacker.example:80", "http://attacker.example:80", 403},
      // A local program can send the page's own Origin; it cannot know the token.
      {"no token", self, "http://" + self, 401, "/live"},
      {"wrong token", self, "http://" + self, 403, "/live?token=" + std::string(32, '0')},
      {"another path", self, "http://" + self, 404, "/live2?token=" + gToken},
  };
  for (const Upgrade& u : upgrades) {
    SCOPED_TRACE(u.name);
    EXPECT_EQ(get(port(), u.target, u.host, u.origin).first, u.status);
  }
}

// HEAD answers with GET's headers and no body, so the next answer on the connection
// is read where it starts; every answer forbids framing the page.
TEST_F(Serve, HeadAnswersCarryGetsHeadersAndNoBody) {
  const std::string self = "127.0.0.1:" + std::to_string(port());
  for (const std::string& target : std::vector<std::string>{"/", "/metrics?token=" + gToken, "/missing.js"}) {
    SCOPED_TRACE(target);
    net::io_context io;
    tcp::socket s(io);
    s.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port()));
    http::request<http::empty_body> head{http::verb::head, target, 11}, get{http::verb::get, "/", 11};
    head.set(http::field::host, self);
    get.set(http::field::host, self);
    http::write(s, head);
    http::write(s, get);
    beast::flat_buffer b;
    http::response_parser<http::string_body> headParser;
    headParser.skip(true);  // a HEAD answer has no body whatever its Content-Length
    http::read(s, b, headParser);
    http::response<http::string_body> next;
    http::read(s, b, next);
    const auto& h = headParser.get();
    EXPECT_EQ(next.result_int(), 200u);
    EXPECT_EQ(next.body(), "<html>live</html>");
    const auto [status, body] = ::ka::serve::get(port(), target);
    EXPECT_EQ(h.result_int(), static_cast<unsigned>(status));
    EXPECT_EQ(h[http::field::content_length], std::to_string(body.size()));
    for (const auto* resp : {&h, static_cast<const http::response<http::string_body>*>(&next)}) {
      EXPECT_EQ((*resp)["X-Frame-Options"], "DENY");
      EXPECT_EQ((*resp)["Content-Security-Policy"], "frame-ancestors 'none'");
    }
    EXPECT_NE(h[http::field::content_type], "");
  }
}

TEST_F(Serve, RefusesPagesBeyondTheLimit) {
  for (int i = 0; i < 300 && server_->metrics().clients.load() > 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(server_->metrics().clients.load(), 0);
  const std::string self = "127.0.0.1:" + std::to_string(port());
  {
    // Many upgrades at once, all arriving before any is answered: the limit holds.
    net::io_context io;
    std::vector<tcp::socket> socks;
    for (int i = 0; i < 40; ++i) {
      socks.emplace_back(io);
      socks.back().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port()));
    }
    std::this_thread::sleep_for(200ms);  // every connection accepted and waiting for its request
    http::request<http::empty_body> req{http::verb::get, liveTarget(), 11};
    req.set(http::field::host, self);
    req.set(http::field::origin, "http://" + self);
    req.set(http::field::upgrade, "websocket");
    req.set(http::field::connection, "Upgrade");
    req.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
    req.set(http::field::sec_websocket_version, "13");
    std::ostringstream text;
    text << req;
    for (auto& sock : socks) net::write(sock, net::buffer(text.str()));
    int opened = 0, refused = 0;
    for (auto& sock : socks) {
      beast::flat_buffer b;
      http::response_parser<http::empty_body> res;
      res.skip(true);
      beast::error_code ec;
      http::read_header(sock, b, res, ec);
      ASSERT_FALSE(ec) << ec.message();
      opened += res.get().result_int() == 101;
      refused += res.get().result_int() == 503;
    }
    EXPECT_EQ(opened, 5);
    EXPECT_EQ(refused, 35);
  }
  for (int i = 0; i < 300 && server_->metrics().clients.load() > 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(server_->metrics().clients.load(), 0);

  std::vector<std::unique_ptr<Page>> pages;
  for (int i = 0; i < 5; ++i) {
    pages.push_back(std::make_unique<Page>(port()));
    pages.back()->open();
    ASSERT_TRUE(pages.back()->waitText("\"hello\""));
  }
  EXPECT_EQ(get(port(), liveTarget(), self, "http://" + self).first, 503);
  pages.pop_back();
  for (int i = 0; i < 300 && server_->metrics().clients.load() > 4; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(get(port(), liveTarget(), self, "http://" + self).first, 101);
}

TEST_F(Serve, RefusesBadMessagesAndTheStreamGoesOn) {
  settle();
  Page p(port());
  p.open();
  ASSERT_TRUE(p.waitText("\"hello\""));
  ASSERT_TRUE(p.waitFrames(2));
  struct Bad {
    const char* name;
    bool binary;
    std::string bytes;
    const char* code;
  };
  const Bad bad[] = {
      {"not json", false, "hello?", "bad_json"},
      {"an array", false, "[\"say\"]", "bad_json"},
      {"unknown type", false, R"({"type":"dance"})", "unknown_type"},
      {"talk without on", false, R"({"type":"talk"})", "bad_json"},
      {"100 kB text", false, "{\"type\":\"say\",\"text\":\"" + std::string(100000, 'a') + "\"}", "text_too_long"},
      {"end while not talking", false, R"({"type":"end"})", "not_talker"},
      {"odd PCM", true, std::string(3, '\x01'), "pcm_odd_size"},
      {"oversized PCM", true, std::string(32002, '\0'), "pcm_too_big"},
  };
  for (const Bad& b : bad) {
    SCOPED_TRACE(b.name);
    if (b.binary) p.sendBinary(b.bytes.data(), b.bytes.size());
    else p.sendText(b.bytes);
    const auto err = p.waitText("\"error\"");
    ASSERT_TRUE(err);
    EXPECT_NE(err->find(std::string("\"code\":\"") + b.code + "\""), std::string::npos) << *err;
    const int64_t before = p.frames.back().seq;
    ASSERT_TRUE(p.waitFrames(2));
    EXPECT_GT(p.frames.back().seq, before);
  }
  EXPECT_EQ(server_->metrics().refused("text_too_long"), 1);
  EXPECT_EQ(ka_utt_frames_available(session_) >= 0, true);

  // Past the WebSocket's own limit the connection closes with a reason; others go on.
  Page other(port());
  other.open();
  ASSERT_TRUE(other.waitText("\"hello\""));
  const beast::error_code cut = p.sendTextMayBeCut(std::string(400 * 1024, 'x'));
  EXPECT_TRUE(!cut || cut == net::error::broken_pipe || cut == net::error::connection_reset) << cut.message();
  while (p.next(5000ms)) {
  }
  EXPECT_TRUE(p.closed());
  EXPECT_EQ(p.closeReason().code, static_cast<uint16_t>(websocket::close_code::too_big));
  EXPECT_EQ(std::string(p.closeReason().reason), "a message over 262144 bytes");
  for (int i = 0; i < 200 && server_->metrics().refused("too_large") == 0; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(server_->metrics().refused("too_large"), 1);
  ASSERT_TRUE(other.waitFrames(10));
}

TEST_F(Serve, NewPageStartsAtAKeyFrameThatDecodesToTheAnnouncedSize) {
  Page p(port());
  p.open();
  const auto hello = p.waitText("\"hello\"");
  ASSERT_TRUE(hello);
  const int W = ka_width(ctx_) & ~1, H = ka_height(ctx_) & ~1;
  EXPECT_NE(hello->find("\"width\":" + std::to_string(W) + ",\"height\":" + std::to_string(H)), std::string::npos)
      << *hello;
  EXPECT_NE(hello->find("\"codec\":\"avc1.42"), std::string::npos) << *hello;
  ASSERT_TRUE(p.waitFrames(30));
  ASSERT_TRUE(p.frames.front().key);  // a page starts at a key frame, forced for it if need be
  for (size_t i = 1; i < p.frames.size(); ++i) EXPECT_EQ(p.frames[i].seq, p.frames[i - 1].seq + 1);

  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
  ASSERT_NE(codec, nullptr);
  AVCodecContext* dec = avcodec_alloc_context3(codec);
  ASSERT_EQ(avcodec_open2(dec, codec, nullptr), 0);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* pic = av_frame_alloc();
  int decoded = 0;
  for (const Frame& f : p.frames) {
    pkt->data = const_cast<uint8_t*>(f.h264.data());
    pkt->size = static_cast<int>(f.h264.size());
    ASSERT_EQ(avcodec_send_packet(dec, pkt), 0) << "frame " << f.seq;
    while (avcodec_receive_frame(dec, pic) == 0) {
      EXPECT_EQ(pic->width, W);
      EXPECT_EQ(pic->height, H);
      ++decoded;
    }
  }
  // No B-frames, no look-ahead: every access unit comes out at once.
  EXPECT_EQ(decoded, static_cast<int>(p.frames.size()));
  av_frame_free(&pic);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
}

TEST_F(Serve, SaidSentenceIsSpokenWithItsSoundAndEnds) {
  settle();
  Page p(port());
  p.open();
  ASSERT_TRUE(p.waitText("\"hello\""));
  ASSERT_TRUE(p.waitFrames(1));
  p.sendText(R"({"type":"say","text":"Hello, I am speaking from the server."})");
  const auto start = p.waitText("\"event\":\"start\"");
  ASSERT_TRUE(start);
  EXPECT_NE(start->find("\"push_ms\":"), std::string::npos);
  ASSERT_TRUE(p.waitText("\"event\":\"first_frame\""));
  ASSERT_TRUE(p.waitText("\"event\":\"end\"", 30000ms));
  int speech = 0, loud = 0;
  uint32_t id = 0;
  for (const Frame& f : p.frames) {
    if (f.kind != 1) continue;
    ++speech;
    loud += loudness(f.audio) > 1000;
    if (!id) id = f.utterance;
    EXPECT_EQ(f.utterance, id);
  }
  EXPECT_GT(speech, 25);
  EXPECT_GT(loud, speech / 2);
  for (const Frame& f : p.frames)
    if (f.kind == 0) {
      EXPECT_EQ(loudness(f.audio), 0);
    }
  // The role is free again once the avatar is idle.
  ASSERT_TRUE(p.waitFrames(3));
  p.sendText(R"({"type":"talk","on":true})");
  const auto talk = p.waitText("\"talk\"");
  ASSERT_TRUE(talk);
  EXPECT_NE(talk->find("\"granted\":true"), std::string::npos);
  p.sendText(R"({"type":"talk","on":false})");
  ASSERT_TRUE(p.waitText("\"talk\""));
}

// Every speech frame carries exactly the 640 samples pushed for it, in both of two
// utterances in a row: each 640-sample piece pushed starts with its own number.
TEST_F(Serve, SpeechFramesCarryTheSamplesPushedForThem) {
  settle();
  Page p(port());
  p.open();
  ASSERT_TRUE(p.waitText("\"hello\""));
  ASSERT_TRUE(p.waitFrames(1));  // decoding: a page that joined waits up to a second for a key frame
  for (int utterance = 0; utterance < 2; ++utterance) {
    SCOPED_TRACE(utterance);
    std::vector<int16_t> pcm = test::speechFrames(30);
    for (int k = 0; k < 30; ++k) pcm[static_cast<size_t>(k) * kFrameSamples] = static_cast<int16_t>(20000 + 100 * utterance + k);
    p.sendText(R"({"type":"talk","on":true})");
    ASSERT_TRUE(p.waitText("\"granted\":true"));
    for (size_t at = 0; at < pcm.size(); at += 6400)
      p.sendPcm(std::vector<int16_t>(pcm.begin() + at, pcm.begin() + std::min(pcm.size(), at + 6400)));
    p.sendText(R"({"type":"end"})");
    const size_t from = p.frames.size();
    ASSERT_TRUE(p.waitText("\"event\":\"end\"", 30000ms));
    int k = 0;
    for (size_t i = from; i < p.frames.size(); ++i) {
      const Frame& f = p.frames[i];
      if (f.kind != 1) continue;
      ASSERT_LT(k, 30);
      EXPECT_EQ(f.audio[0], 20000 + 100 * utterance + k) << "speech frame " << k;
      EXPECT_EQ(f.audio[1], pcm[static_cast<size_t>(k) * kFrameSamples + 1]);
      ++k;
    }
    EXPECT_GE(k, 25);
  }
}

TEST_F(Serve, OnePageTalksAtATime) {
  settle();
  Page a(port()), b(port());
  a.open();
  b.open();
  ASSERT_TRUE(a.waitText("\"hello\""));
  ASSERT_TRUE(b.waitText("\"hello\""));
  a.sendText(R"({"type":"say","text":"This is a rather long sentence so that the other page has to wait for it."})");
  ASSERT_TRUE(a.waitText("\"event\":\"start\""));
  struct Attempt {
    const char* name;
    bool pcm;
    std::string text;
    const char* answer;
  };
  const Attempt attempts[] = {
      {"say", false, R"({"type":"say","text":"Me too."})", "\"code\":\"busy\""},
      {"talk on", false, R"({"type":"talk","on":true})", "\"granted\":false,\"reason\":\"busy\""},
      {"speech", true, "", "\"code\":\"busy\""},
      {"end", false, R"({"type":"end"})", "\"code\":\"not_talker\""},
  };
  for (const Attempt& t : attempts) {
    SCOPED_TRACE(t.name);
    if (t.pcm) b.sendPcm(test::speechFrames(2));
    else b.sendText(t.text);
    ASSERT_TRUE(b.waitText(t.answer));
  }
  // Any page may stop the avatar; the role is free at once.
  b.sendText(R"({"type":"stop"})");
  ASSERT_TRUE(a.waitText("\"event\":\"end\"", 20000ms));
  b.sendText(R"({"type":"talk","on":true})");
  ASSERT_TRUE(b.waitText("\"granted\":true"));
  b.sendText(R"({"type":"talk","on":false})");
  ASSERT_TRUE(b.waitText("\"talk\""));
}

TEST_F(Serve, PageThatStopsReadingIsDroppedAndOthersKeepTheirFrames) {
  const int64_t droppedBefore = server_->metrics().clientsDropped.load();
  Page reader(port());
  reader.open();
  Page stuck(port(), 4096);
  ASSERT_EQ(stuck.handshake(), 101);
  const auto until = std::chrono::steady_clock::now() + 60s;
  while (server_->metrics().clientsDropped.load() == droppedBefore && std::chrono::steady_clock::now() < until)
    ASSERT_TRUE(reader.waitFrames(5));
  EXPECT_EQ(server_->metrics().clientsDropped.load(), droppedBefore + 1);
  // Once it reads again, what was already on its way comes, then a close that says why.
  while (stuck.next(5000ms)) {
  }
  EXPECT_TRUE(stuck.closed());
  EXPECT_EQ(stuck.closeReason().code, static_cast<uint16_t>(websocket::close_code::policy_error));
  EXPECT_NE(std::string(stuck.closeReason().reason).find("stopped reading"), std::string::npos);
  const int64_t seq = reader.frames.back().seq;
  ASSERT_TRUE(reader.waitFrames(25));
  EXPECT_EQ(reader.frames.back().seq, seq + 25);
}

TEST_F(Serve, TalkerLeavingMidUtteranceEndsItAndTheSessionGoesOn) {
  settle();
  Page watcher(port());
  watcher.open();
  ASSERT_TRUE(watcher.waitText("\"hello\""));
  {
    Page talker(port());
    talker.open();
    ASSERT_TRUE(talker.waitText("\"hello\""));
    talker.sendText(R"({"type":"talk","on":true})");
    ASSERT_TRUE(talker.waitText("\"granted\":true"));
    const auto pcm = test::speechFrames(50);
    for (size_t at = 0; at < pcm.size(); at += 8000)
      talker.sendPcm(std::vector<int16_t>(pcm.begin() + at, pcm.begin() + std::min(pcm.size(), at + 8000)));
    ASSERT_TRUE(watcher.waitText("\"event\":\"first_frame\"", 20000ms));
    talker.closeAbruptly();
  }
  ASSERT_TRUE(watcher.waitText("\"event\":\"end\"", 20000ms));
  ASSERT_TRUE(watcher.waitText("\"state\":\"idle\"", 5000ms));
  EXPECT_NE(watcher.waitText("\"stats\"")->find("\"talker\":0"), std::string::npos);
  const size_t from = watcher.frames.size();
  ASSERT_TRUE(watcher.waitFrames(10));
  for (size_t i = from; i < watcher.frames.size(); ++i) EXPECT_EQ(watcher.frames[i].kind, 0);
}

// However long a text reads, one say holds the avatar for its bound of speech at most:
// the rest is cut, and the page is told why.
TEST_F(Serve, OneSayMakesAtMostItsBoundOfSpeech) {
  settle();
  Page p(port());
  p.open();
  const auto hello = p.waitText("\"hello\"");
  ASSERT_TRUE(hello);
  EXPECT_NE(hello->find("\"say_s\":6"), std::string::npos) << *hello;
  std::string text;
  for (int i = 0; i < 100; ++i) text += "\xE4\xB8\xAD";  // about half a minute of speech
  p.sendText("{\"type\":\"say\",\"text\":\"" + text + "\"}");
  const auto cut = p.waitText("\"error\"", 20000ms);
  ASSERT_TRUE(cut);
  EXPECT_NE(cut->find("\"code\":\"speech_too_long\""), std::string::npos) << *cut;
  ASSERT_TRUE(p.waitText("\"event\":\"end\"", 20000ms));
  const auto speech = std::count_if(p.frames.begin(), p.frames.end(), [](const Frame& f) { return f.kind == 1; });
  EXPECT_GT(speech, 5 * kFps);
  EXPECT_LE(speech, 6 * kFps + 2);
}

// A page joining gets a key frame soon, but pages joining over and over (a client
// reconnecting every 20 ms) do not make every viewer's frames key frames.
TEST_F(Serve, PagesJoiningOverAndOverForceAKeyFrameAtMostOnceASecond) {
  Page watcher(port());
  watcher.open();
  ASSERT_TRUE(watcher.waitText("\"hello\""));
  ASSERT_TRUE(watcher.waitFrames(30));
  const size_t from = watcher.frames.size();
  std::atomic<bool> done{false};
  std::thread churn([&] {
    for (int i = 0; i < 100; ++i) {
      Page p(port());
      p.handshake();
      p.closeAbruptly();
      std::this_thread::sleep_for(20ms);
    }
    done = true;
  });
  bool reading = true;
  while (!done && reading) reading = watcher.waitFrames(1);
  churn.join();
  ASSERT_TRUE(reading);
  const size_t n = watcher.frames.size() - from;
  const auto keys = std::count_if(watcher.frames.begin() + static_cast<std::ptrdiff_t>(from), watcher.frames.end(),
                                  [](const Frame& f) { return f.key; });
  EXPECT_GE(n, 50u);
  EXPECT_LE(static_cast<size_t>(keys), n / kFps + 2) << keys << " key frames of " << n;

  const int64_t sent = server_->metrics().framesSent.load();
  Page late(port());
  late.open();
  ASSERT_TRUE(late.waitFrames(1));
  EXPECT_TRUE(late.frames.front().key);
  EXPECT_LE(late.frames.front().seq, sent + kFps + 5);
}

// What clients make the server log is bounded per client and per kind, however many
// messages or requests they send.
TEST_F(Serve, ClientsCannotFloodTheLog) {
  struct Lines {
    std::mutex mu;
    std::vector<std::string> all;
    size_t count(const std::string& part) {
      std::lock_guard<std::mutex> lock(mu);
      return static_cast<size_t>(
          std::count_if(all.begin(), all.end(), [&](const std::string& l) { return l.find(part) != std::string::npos; }));
    }
  } lines;
  ka_set_log_callback(
      [](int, const char* line, void* user) {
        auto* l = static_cast<Lines*>(user);
        std::lock_guard<std::mutex> lock(l->mu);
        l->all.emplace_back(line);
      },
      &lines);
  struct Restore {
    ~Restore() { ka_set_log_callback(nullptr, nullptr); }
  } restore;  // even when an assertion below returns early
  Page p(port());
  p.open();
  ASSERT_TRUE(p.waitText("\"hello\""));
  for (int i = 0; i < 300; ++i) p.sendText(R"({"type":"stop"})");
  for (int i = 0; i < 300; ++i) p.sendText(R"({"type":"dance"})");
  p.sendText(R"({"type":"end"})");  // answered once all before it were handled
  ASSERT_TRUE(p.waitText("\"not_talker\""));
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(get(port(), "/missing-" + std::to_string(i) + ".png").first, 404);
    EXPECT_EQ(get(port(), "/", "attacker.example:80").first, 403);
  }
  struct Kind {
    const char* line;
    size_t min;
  };
  const Kind kinds[] = {{"stops the avatar", 1},
                        {"refused (unknown_type)", 1},
                        {"[serve] not found", 0},
                        {"is not one of this server's names", 0}};
  for (const Kind& k : kinds) {
    SCOPED_TRACE(k.line);
    EXPECT_GE(lines.count(k.line), k.min);
    EXPECT_LE(lines.count(k.line), 5u);
  }
}

// Last: it stops the suite's server (espeak-ng cannot be started a second time in one
// process, so no other server follows it).
TEST_F(Serve, StoppingClosesEveryPageWithAReason) {
  Page p(port());
  p.open();
  ASSERT_TRUE(p.waitText("\"hello\""));
  delete server_;
  server_ = nullptr;
  while (p.next(5000ms)) {
  }
  EXPECT_TRUE(p.closed());
  EXPECT_EQ(p.closeReason().code, static_cast<uint16_t>(websocket::close_code::going_away));
  EXPECT_EQ(std::string(p.closeReason().reason), "the server is stopping");
}

}  // namespace
}  // namespace ka::serve
