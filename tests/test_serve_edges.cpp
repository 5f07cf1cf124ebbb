// The live server's network edges that need no session: which Host names and tokens are
// let in, and the accept loop's behaviour when descriptors run out or its cap is met.
// The accept loop's test lowers this process's descriptor limit, hence a binary of its
// own.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/log.h"
#include "tools/serve/accept_loop.h"
#include "tools/serve/access_gate.h"
#include "tools/serve/host_allow_list.h"

namespace ka::serve {
namespace {
namespace net = boost::asio;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

TEST(HostAllowList, AcceptsTheBoundAddressAndOwnNamesOnly) {
  char hostname[256] = "";
  ASSERT_EQ(gethostname(hostname, sizeof hostname - 1), 0);
  struct Case {
    const char* bound;
    std::vector<std::string> extra;
    std::string host;
    bool allowed;
  };
  const Case cases[] = {
      {"127.0.0.1", {}, "127.0.0.1:8080", true},
      {"127.0.0.1", {}, "LocalHost:8080", true},
      {"127.0.0.1", {}, "localhost.", true},
      {"127.0.0.1", {}, "[::1]:8080", true},
      {"127.0.0.1", {}, std::string(hostname) + ":8080", true},
      {"127.0.0.1", {}, "attacker.example:8080", false},
      {"127.0.0.1", {}, "", false},
      {"127.0.0.1", {}, "127.0.0.1.attacker.example", false},
      {"127.0.0.2", {}, "127.0.0.2:8080", true},  // the address it prints
      {"127.0.0.2", {}, "127.0.0.3:8080", false},
      {"::1", {}, "[::1]:8080", true},
      {"::1", {}, "[::1", false},
      {"0.0.0.0", {}, "attacker.example:8080", false},  // rebinding on every interface
      {"0.0.0.0", {}, "127.0.0.1:8080", true},
      {"0.0.0.0", {}, "0.0.0.0:8080", false},
      {"0.0.0.0", {"avatar.example", "[fd00::5]"}, "Avatar.Example:443", true},
      {"0.0.0.0", {"avatar.example", "[fd00::5]"}, "[fd00::5]:8080", true},
      {"0.0.0.0", {"fd00::6"}, "[fd00::6]:8080", true},
      {"0.0.0.0", {"avatar.example"}, "other.example", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.bound) + " " + c.host);
    const HostAllowList list(net::ip::make_address(c.bound), c.extra);
    EXPECT_EQ(list.allows(c.host), c.allowed);
  }
}

TEST(AccessGate, AdmitsTheTokenOnlyAndMakesUnguessableOnes) {
  const AccessGate gate("0123456789abcdef0123456789abcdef");
  struct Case {
    const char* target;
    const char* authorization;
    AccessGate::Verdict verdict;
  };
  using V = AccessGate::Verdict;
  const Case cases[] = {
      {"/live?token=0123456789abcdef0123456789abcdef", "", V::Admitted},
      {"/live?x=1&token=0123456789abcdef0123456789abcdef#f", "", V::Admitted},
      {"/metrics", "Bearer 0123456789abcdef0123456789abcdef", V::Admitted},
      {"/live", "", V::Missing},
      {"/live?token=", "", V::Missing},
      {"/live?tokens=0123456789abcdef0123456789abcdef", "", V::Missing},
      {"/live?token=0123456789abcdef0123456789abcdeF", "", V::Wrong},
      {"/live?token=0123456789abcdef0123456789abcdef0", "", V::Wrong},
      {"/live?token=0123456789abcdef", "", V::Wrong},
      {"/metrics", "Bearer nope", V::Wrong},
      {"/metrics", "Basic 0123456789abcdef0123456789abcdef", V::Missing},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    EXPECT_EQ(gate.check(c.target, c.authorization), c.verdict);
  }
  const std::string a = AccessGate::newToken(), b = AccessGate().token();
  EXPECT_EQ(a.size(), 32u);  // 128 bits
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a, b);
  EXPECT_EQ(targetPath("/live?token=secret"), "/live");
}

// Log lines of the [serve] tag, captured.
struct LogCapture {
  LogCapture() { log::setCallback(&LogCapture::take, this); }
  ~LogCapture() { log::setCallback(nullptr, nullptr); }
  static void take(int, const char* line, void* user) {
    auto* self = static_cast<LogCapture*>(user);
    std::lock_guard<std::mutex> lock(self->mu);
    self->lines.emplace_back(line);
  }
  size_t count(const std::string& needle) {
    std::lock_guard<std::mutex> lock(mu);
    size_t n = 0;
    for (const auto& l : lines) n += l.find(needle) != std::string::npos;
    return n;
  }
  std::mutex mu;
  std::vector<std::string> lines;
};

// An acceptor on loopback whose io_context runs on a thread of its own, taking each
// connection and holding it (with its slot) as a slow client's session would.
struct Server {
  explicit Server(size_t cap)
      : acceptor(io, tcp::endpoint(net::ip::make_address("127.0.0.1"), 0)),
        loop(acceptor, cap, [this](tcp::socket s, AcceptLoop::Slot slot) {
          held.push_back(std::move(s));
          slots.push_back(std::move(slot));
          accepted.fetch_add(1);
        }) {}
  ~Server() {
    net::post(io, [this] {
      loop.stop();
      acceptor.close();
      held.clear();
      slots.clear();
      guard.reset();
    });
    if (thread.joinable()) thread.join();
  }
  void run() {
    loop.start();
    thread = std::thread([this] { io.run(); });
  }
  uint16_t port() const { return acceptor.local_endpoint().port(); }
  bool waitAccepted(int n) {
    for (int i = 0; i < 500 && accepted.load() < n; ++i) std::this_thread::sleep_for(10ms);
    return accepted.load() >= n;
  }

  net::io_context io;
  net::executor_work_guard<net::io_context::executor_type> guard = net::make_work_guard(io);
  tcp::acceptor acceptor;
  AcceptLoop loop;
  std::vector<tcp::socket> held;
  std::vector<AcceptLoop::Slot> slots;
  std::atomic<int> accepted{0};
  std::thread thread;
};

std::vector<tcp::socket> connectClients(net::io_context& io, uint16_t port, int n) {
  std::vector<tcp::socket> out;
  for (int i = 0; i < n; ++i) {
    out.emplace_back(io);
    out.back().connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
  }
  return out;
}

TEST(AcceptLoop, WaitsOnATimerWhileDescriptorsRunOutAndTakesTheBacklogOnceFree) {
  LogCapture logs;
  Server server(1000);
  net::io_context clientIo;
  // Connections complete into the kernel's backlog before the server may take them.
  auto clients = connectClients(clientIo, server.port(), 10);

  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
  int highest = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
    highest = std::max(highest, std::stoi(e.path().filename().string()));
  rlimit low = old;
  low.rlim_cur = std::min<rlim_t>(old.rlim_cur, static_cast<rlim_t>(highest) + 32);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fillers;
  for (int fd; fillers.size() < 4096 && (fd = dup(2)) >= 0;) fillers.push_back(fd);
  ASSERT_EQ(errno, EMFILE);

  server.run();
  std::this_thread::sleep_for(1500ms);
  const uint64_t failures = server.loop.failures();
  EXPECT_GE(failures, 1u);
  // 100, 200, 400, 800 ms: a handful of tries, not a spin.
  EXPECT_LE(failures, 8u);
  EXPECT_EQ(server.accepted.load(), 0);
  EXPECT_EQ(logs.count("[serve] accept:"), 1u);

  for (const int fd : fillers) close(fd);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old), 0);
  EXPECT_TRUE(server.waitAccepted(10)) << server.accepted.load() << " of 10 taken";
  EXPECT_EQ(logs.count("[serve] accepting connections again"), 1u);
}

TEST(AcceptLoop, HoldsAtItsCapUntilASessionEnds) {
  LogCapture logs;
  Server server(3);
  server.run();
  net::io_context clientIo;
  auto clients = connectClients(clientIo, server.port(), 6);
  ASSERT_TRUE(server.waitAccepted(3));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(server.accepted.load(), 3);
  EXPECT_EQ(server.loop.sessions(), 3u);
  EXPECT_EQ(logs.count("HTTP connections open"), 1u);
  // One session ends: one more connection is taken.
  net::post(server.io, [&] { server.slots.front().reset(); });
  ASSERT_TRUE(server.waitAccepted(4));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(server.accepted.load(), 4);
  EXPECT_EQ(server.loop.failures(), 0u);
}

}  // namespace
}  // namespace ka::serve
