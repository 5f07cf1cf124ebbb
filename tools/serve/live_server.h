#pragma once
// ka serve's server: one network thread accepting connections on one address, serving
// the page's static files, /metrics, and the /live WebSocket of the stream; the live
// loop's thread; the speech synthesiser's thread. All are joined by stop().
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "ka/ka.h"
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
  LiveLimits limits;
};

class LiveServer {
 public:
  // session: ready, with everything attached that the host wants; it outlives the
  // server. Throws std::runtime_error when the address cannot be bound or the page
  // folder is missing.
  LiveServer(ka_utt* session, int width, int height, ServeOptions options);
  ~LiveServer();  // stop()
  LiveServer(const LiveServer&) = delete;
  LiveServer& operator=(const LiveServer&) = delete;

  void start();
  void stop();
  uint16_t port() const { return port_; }
  LiveMetrics& metrics() { return metrics_; }

 private:
  void accept();

  ka_utt* const session_;
  ServeOptions options_;
  std::string pageDir_;  // canonical
  bool loopback_ = true;
  boost::asio::io_context io_;
  LiveMetrics metrics_;
  LiveHub hub_;
  LiveLoop loop_;
  SpeechSynth synth_;
  boost::asio::ip::tcp::acceptor acceptor_;
  uint16_t port_ = 0;
  std::thread thread_;
  bool started_ = false;
};

}  // namespace ka::serve
