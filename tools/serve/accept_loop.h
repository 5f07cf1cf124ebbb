#pragma once
// Accepts connections on a listening socket, at most a fixed number of sessions at once,
// and without spinning when the process runs out of descriptors: an accept that fails
// for want of resources (EMFILE, ENFILE, ENOBUFS, ENOMEM) is retried on a timer, 100 ms
// doubling up to 1 s, and logged once per episode. Connections that cannot be taken yet
// wait in the kernel's backlog. Runs on the acceptor's io_context thread.
#include <boost/asio/ip/tcp.hpp>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace ka::serve {

class AcceptLoop {
 public:
  // Held by a connection's session for as long as it counts against the cap; letting go
  // of the last copy frees its place.
  using Slot = std::shared_ptr<void>;
  using Handler = std::function<void(boost::asio::ip::tcp::socket, Slot)>;

  AcceptLoop(boost::asio::ip::tcp::acceptor& acceptor, size_t maxSessions, Handler handler);
  ~AcceptLoop();
  AcceptLoop(const AcceptLoop&) = delete;
  AcceptLoop& operator=(const AcceptLoop&) = delete;

  void start();
  // No accept is started after this; the owner closes the acceptor.
  void stop();

  size_t sessions() const;
  // Accepts that failed: a loop that spins shows here.
  uint64_t failures() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace ka::serve
