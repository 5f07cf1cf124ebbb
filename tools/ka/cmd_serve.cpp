// ka serve: the live page. One context, one utterance session, one server: every page
// that connects sees the same stream and one at a time may make the avatar speak.
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "bundle/file_io.h"
#include "bundle/member.h"
#include "ka/ka.h"
#include "ka/ka_a2x.h"
#include "tools/ka/commands.h"
#include "tools/serve/listen_socket.h"
#include "tools/serve/live_server.h"

extern "C" {
#include <libavutil/log.h>
}

#ifndef KA_SOURCE_DIR
#define KA_SOURCE_DIR "."
#endif

namespace ka::cli {
namespace {
const char kUsage[] =
    "usage: ka serve BUNDLE --motion DIR [--teeth] [--host 127.0.0.1] [--port 8080] [--page DIR]\n"
    "                [--allowed-host NAME]... [--encoder W2V] [--model KEY] [--idle-lead N]\n"
    "\n"
    "  Opens an utterance session on BUNDLE with the audio-to-motion members in DIR and serves\n"
    "  the live page: open the address it prints (http://HOST:PORT/?token=...) in a browser\n"
    "  to see the avatar, type a sentence for it to say, or talk into the microphone. The\n"
    "  token is made anew each run; without it nothing can watch or drive the avatar. Every\n"
    "  page sees the same stream; one page at a time may talk. Stops cleanly on Ctrl-C\n"
    "  (SIGINT) or SIGTERM, also while the session loads.\n"
    "\n"
    "  --teeth           borrow teeth from BUNDLE's donor bank\n"
    "  --host ADDR       the address to listen on (default 127.0.0.1: this machine only;\n"
    "                    another address lets other machines in)\n"
    "  --port N          the port (default 8080; 0 picks a free one)\n"
    "  --allowed-host NAME  another name the server may be reached by (repeatable); the\n"
    "                    bound address, the machine's host name and, on loopback, the\n"
    "                    loopback names are always accepted; requests naming any other\n"
    "                    host are refused (DNS rebinding)\n"
    "  --page DIR        the page's files (default: the repository's tools/serve/page)\n"
    "  --encoder W2V     the speech encoder the streaming engine needs (default: $W2V_ONNX)\n"
    "  --model KEY       the frame renderer's model (default b1)\n"
    "  --idle-lead N     idle frames the session keeps made ahead, 1 to 8 (default: the\n"
    "                    session's): fewer answers sooner, more rides out slow renders\n"
    "\n"
    "  Also served: /metrics (counters in the Prometheus text format; the token as\n"
    "  ?token=... or \"Authorization: Bearer ...\").\n";

int badUsage(const std::string& why) {
  std::fprintf(stderr, "ka serve: %s\n\n", why.c_str());
  return usage(kUsage, false);
}

// Watches for SIGINT and SIGTERM (blocked in every thread) until end().
class LoadWatch {
 public:
  explicit LoadWatch(const sigset_t& signals) : signals_(signals) {
    thread_ = std::thread([this] {
      const timespec tick{0, 50 * 1000 * 1000};
      while (!done_.load()) {
        const int sig = sigtimedwait(&signals_, nullptr, &tick);
        if (sig == SIGINT || sig == SIGTERM) {
          std::fprintf(stderr, "ka serve: %s while the session loaded: stopped\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
          std::_Exit(128 + sig);
        }
      }
    });
  }
  ~LoadWatch() { end(); }
  void end() {
    done_.store(true);
    if (thread_.joinable()) thread_.join();
  }

 private:
  const sigset_t signals_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

struct CtxDel {
  void operator()(ka_ctx* c) const { ka_destroy(c); }
};
struct UttDel {
  void operator()(ka_utt* s) const { ka_utt_destroy(s); }
};
}  // namespace

int serveCommand(const Args& args) {
  std::string bundle, motion, host = "127.0.0.1", page, encoder, model = "b1";
  long port = 8080;
  long idleLead = 0;
  bool teeth = false;
  std::vector<std::string> allowedHosts;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "-h" || a == "--help") return usage(kUsage, true);
    if (a == "--teeth") {
      teeth = true;
      continue;
    }
    if (a == "--motion" || a == "--host" || a == "--port" || a == "--page" || a == "--encoder" || a == "--model" ||
        a == "--idle-lead" || a == "--allowed-host") {
      if (i + 1 >= args.size()) return badUsage(a + " needs a value");
      const std::string& v = args[++i];
      if (a == "--motion") motion = v;
      if (a == "--host") host = v;
      if (a == "--page") page = v;
      if (a == "--encoder") encoder = v;
      if (a == "--model") model = v;
      if (a == "--allowed-host") allowedHosts.push_back(v);
      if (a == "--idle-lead") {
        char* end = nullptr;
        idleLead = std::strtol(v.c_str(), &end, 10);
        if (v.empty() || *end || idleLead < 1 || idleLead > 8)
          return badUsage("--idle-lead needs a whole number of frames from 1 to 8, not '" + v + "'");
      }
      if (a == "--port") {
        char* end = nullptr;
        port = std::strtol(v.c_str(), &end, 10);
        if (v.empty() || *end || port < 0 || port > 65535) return badUsage("--port needs a number from 0 to 65535, not '" + v + "'");
      }
      continue;
    }
    if (!a.empty() && a[0] == '-') return badUsage("unknown option '" + a + "'");
    if (!bundle.empty()) return badUsage("needs one BUNDLE, got another: '" + a + "'");
    bundle = a;
  }
  if (bundle.empty()) return badUsage("needs BUNDLE");
  if (motion.empty()) return badUsage("--motion DIR is required");
  if (page.empty()) page = std::string(KA_SOURCE_DIR) + "/tools/serve/page";
  if (!std::filesystem::is_directory(page)) return fail("serve: the page folder " + page + " does not exist (--page DIR)");
  av_log_set_level(AV_LOG_ERROR);

  // The address first: a port in use or a host that is no address is told at once, not
  // after the session has loaded.
  std::optional<serve::ListenSocket> listener;
  try {
    listener.emplace(host, static_cast<uint16_t>(port));
  } catch (const std::exception& e) {
    return fail(e.what());
  }

  // SIGINT and SIGTERM are taken by this thread only (sigwait below): every thread made
  // from here on inherits the blocked mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // While the session loads (a bundle's models take a second or more) nothing has been
  // served or written yet: a stop signal ends the process at once rather than after
  // the load.
  LoadWatch loadWatch(stopSignals);
  if (!encoder.empty()) {
    unsetenv("W2V_ONNX");
    if (!ka_a2x_preload_w2v(encoder.c_str())) return fail(ka_a2x_last_error());
  }
  std::unique_ptr<ka_ctx, CtxDel> ctx(ka_create(bundle.c_str(), model.c_str(), 0, nullptr));
  if (!ctx) return fail(ka_last_error());
  ka_utt_opts opts{};
  opts.motion_dir = motion.c_str();
  opts.auto_end_s = -1.0;  // the page says when its speech is over
  std::unique_ptr<ka_utt, UttDel> s(ka_utt_create(ctx.get(), &opts));
  if (!s) return fail(ka_utt_last_error());
  if (idleLead > 0 && !ka_utt_set_idle_lead(s.get(), static_cast<int>(idleLead))) return fail(ka_utt_last_error());
  const auto t0 = std::chrono::steady_clock::now();
  for (;;) {
    const int r = ka_utt_ready(s.get());
    if (r == 1) break;
    if (r < 0) {
      std::string why = ka_utt_last_error();
      if (why.find("$W2V_ONNX not set") != std::string::npos)
        why += " (the streaming engine needs its speech encoder: give --encoder W2V or set $W2V_ONNX)";
      return fail(why);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (teeth) {
    char err[1024] = "";
    if (ka_utt_tessera_attach_bundle(s.get(), bundle.c_str(), err, sizeof err) != 0) return fail(err);
  }
  serve::ServeOptions o;
  o.host = host;
  o.port = static_cast<uint16_t>(port);
  o.pageDir = page;
  o.allowedHosts = allowedHosts;
  // The address to print: one a browser can open and the server answers to (on every
  // interface, this machine's loopback address).
  const auto bound = listener->address();
  const std::string shown = bound.is_unspecified() ? (bound.is_v6() ? "[::1]" : "127.0.0.1")
                            : bound.is_v6()        ? "[" + bound.to_string() + "]"
                                                   : bound.to_string();
  try {
    serve::LiveServer server(s.get(), ka_width(ctx.get()), ka_height(ctx.get()), o, std::move(*listener));
    loadWatch.end();  // a signal from here on reaches sigwait below
    server.start();
    const double ready = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::printf("ka serve: session ready after %.1f s (%dx%d%s); open http://%s:%u/?token=%s\n", ready,
                ka_width(ctx.get()), ka_height(ctx.get()), teeth ? ", teeth" : "",
                shown.c_str(), server.port(),
                server.token().c_str());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&stopSignals, &sig);
    KA_LOG_INFO("[serve] %s: stopping", sig == SIGINT ? "SIGINT" : "SIGTERM");
    server.stop();
  } catch (const std::exception& e) {
    return fail(e.what());
  }
  return 0;
}

}  // namespace ka::cli
