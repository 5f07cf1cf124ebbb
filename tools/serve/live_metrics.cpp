#include "tools/serve/live_metrics.h"

#include <cstdio>

namespace ka::serve {
namespace {
void add(std::string& out, const char* name, const char* type, const char* help, double value) {
  char buf[512];
  std::snprintf(buf, sizeof buf, "# HELP %s %s\n# TYPE %s %s\n%s %.17g\n", name, help, name, type, name, value);
  out += buf;
}
}  // namespace

std::string renderMetrics(const LiveMetrics& m, ka_utt* session) {
  std::string out;
  out.reserve(4096);
  add(out, "ka_serve_frames_sent_total", "counter", "Frames the live loop encoded and broadcast.",
      static_cast<double>(m.framesSent.load()));
  add(out, "ka_serve_frames_delivered_total", "counter", "Frame messages written to pages.",
      static_cast<double>(m.framesDelivered.load()));
  add(out, "ka_serve_frames_late_total", "counter", "Frame ticks at which the session had no frame ready.",
      static_cast<double>(m.framesLate.load()));
  add(out, "ka_serve_clients", "gauge", "Pages connected now.", static_cast<double>(m.clients.load()));
  add(out, "ka_serve_clients_total", "counter", "Pages that connected.", static_cast<double>(m.clientsTotal.load()));
  add(out, "ka_serve_clients_dropped_total", "counter", "Pages dropped for not reading their frames.",
      static_cast<double>(m.clientsDropped.load()));
  add(out, "ka_serve_utterances_total", "counter", "Utterances started.", static_cast<double>(m.utterances.load()));
  add(out, "ka_serve_encode_ms", "gauge", "Encode time of the last frame.", m.encodeUs.load() / 1000.0);
  add(out, "ka_serve_encode_cpu_seconds_total", "counter", "CPU time spent encoding frames.",
      m.encodeCpuUsTotal.load() / 1e6);
  ka_utt_stats st{};
  ka_utt_get_stats(session, &st);
  add(out, "ka_serve_first_frame_ms", "gauge", "The session's first-frame latency of the last utterance.",
      st.first_frame_ms);
  add(out, "ka_serve_render_ms", "gauge", "The session's smoothed render time per speech frame.", st.render_ms);
  int64_t borrowed = 0, refused = 0;
  char text[8];
  ka_utt_tessera_stats(session, &borrowed, &refused, text, sizeof text);
  add(out, "ka_serve_teeth_borrowed_total", "counter", "Frames whose teeth were borrowed.",
      static_cast<double>(borrowed));
  add(out, "ka_serve_teeth_refused_total", "counter", "Frames whose teeth borrowing was refused.",
      static_cast<double>(refused));
  out += "# HELP ka_serve_refusals_total Messages and requests refused, by code.\n"
         "# TYPE ka_serve_refusals_total counter\n";
  for (size_t i = 0; i < kRefusalKinds; ++i) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "ka_serve_refusals_total{code=\"%.*s\"} %lld\n",
                  static_cast<int>(kRefusalCodes[i].size()), kRefusalCodes[i].data(),
                  static_cast<long long>(m.refusals[i].load()));
    out += buf;
  }
  return out;
}

}  // namespace ka::serve
