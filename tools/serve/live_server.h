#pragma once
// ka serve's server: one network thread accepting connections on one address, serving
// the page's static files, /metrics, and the /live WebSocket of the stream; the live
// loop's thread; the speech synthesiser's thread. All are joined by stop(). Requests
// must name this machine (HostAllowList); /live and /metrics need the access token
// (AccessGate).
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ka/ka.h"
#include "tools/serve/accept_loop.h"
#include "tools/serve/access_gate.h"
#include "tools/serve/host_allow_list.h"
#include "tools/serve/listen_socket.h"
#include "tools/serve/slot_pool.h"
#include "tools/serve/live_hub.h"
#include "tools/serve/live_limits.h"
#include "tools/serve/live_loop.h"
#include "tools/serve/live_metrics.h"
#include "tools/serve/speech_synth.h"

namespace ka::serve {

struct ServeOptions {
  std::string host = "127.0.0.1";
  uint16_t port = 8080;  // 0: any free port (see LiveServer::port)
  std::string pageDir;   // the page's static files
  std::vector<std::string> allowedHosts;  // Host names accepted besides the defaults
  std::string token;     // the access token; empty: a random one
  LiveLimits limits;
};

struct HttpShared;

class LiveServer {
 public:
  // session: ready, with everything attached that the host wants; it outlives the
  // server. Throws std::runtime_error when the address cannot be bound or the page
  // folder is missing.
  LiveServer(ka_utt* session, int width, int height, ServeOptions options);
  // The same on a socket bound beforehand (options.host and port are not looked at).
  LiveServer(ka_utt* session, int width, int height, ServeOptions options, ListenSocket listener);
  ~LiveServer();  // stop()
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;

  void start();
  void stop();
  uint16_t port() const { return port_; }
  const std::string& token() const { return gate_.token(); }
  LiveMetrics& metrics() { return metrics_; }
  // HTTP connections open now (upgraded pages count as pages, not here).
  size_t httpSessions() const { return accepts_.sessions(); }

 private:
  void awaitPagesClosed(std::chrono::steady_clock::time_point until);

  ka_utt* const session_;
  ServeOptions options_;
  std::string pageDir_;  // canonical
  AccessGate gate_;
  HostAllowList hosts_;
  boost::asio::io_context io_;
  LiveMetrics metrics_;
  LiveHub hub_;
  LiveLoop loop_;
  SpeechSynth synth_;
  SlotPool pageSlots_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer stopTimer_;
  AcceptLoop accepts_;
  std::unique_ptr<HttpShared> shared_;
  uint16_t port_ = 0;
  std::thread thread_;
  bool started_ = false;
};

}  // namespace ka::serve
