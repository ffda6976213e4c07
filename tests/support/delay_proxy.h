#pragma once
// A TCP proxy of the tests' own on 127.0.0.1 that holds every piece it
// relays for a fixed time in each direction, as a far link does: a remote
// port opened through it sees a round trip of twice the delay. Each
// accepted connection gets its own connection to the target and one
// thread; the order of the bytes is kept.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace talmo::test {

class TDelayProxy {
 public:
  using Clock = std::chrono::steady_clock;

  // Listens at once; Port is 0 when it cannot.
  TDelayProxy(int targetPort, std::chrono::milliseconds delay)
      : FTarget(targetPort), FDelay(delay) {
    FListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (FListen < 0 || ::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(FListen, 8) != 0 || ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len))
      return;
    Port = ntohs(a.sin_port);
    FAccepter = std::thread([this] { Accept(); });
  }
  TDelayProxy(const TDelayProxy&) = delete;
  TDelayProxy& operator=(const TDelayProxy&) = delete;
  ~TDelayProxy() {
    FStop.store(true);
    if (FAccepter.joinable()) FAccepter.join();
    std::lock_guard lock(FLock);
    for (std::thread& t : FRelays) t.join();
    if (FListen >= 0) ::close(FListen);
  }

  std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(Port); }

  int Port = 0;

 private:
  struct TPiece {
    Clock::time_point Due;
    std::string Bytes;
  };

  static int ConnectTo(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      return fd;
    }
    if (fd >= 0) ::close(fd);
    return -1;
  }

  void Accept() {
    while (!FStop.load()) {
      pollfd p{FListen, POLLIN, 0};
      if (::poll(&p, 1, 10) <= 0) continue;
      const int client = ::accept4(FListen, nullptr, nullptr, SOCK_CLOEXEC);
      if (client < 0) continue;
      const int one = 1;
      ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      const int server = ConnectTo(FTarget);
      if (server < 0) {
        ::close(client);
        continue;
      }
      std::lock_guard lock(FLock);
      FRelays.emplace_back([this, client, server] { Relay(client, server); });
    }
  }

  // Both directions of one connection; ends when either side closes (the
  // other side then gets what was held, and its end) or on stop.
  void Relay(int client, int server) {
    const int fds[2] = {client, server};
    std::deque<TPiece> held[2];  // [0]: client to server, [1]: server to client
    bool open[2] = {true, true};
    char buf[16384];
    while (!FStop.load()) {
      const auto now = Clock::now();
      for (int d = 0; d < 2; ++d)
        while (!held[d].empty() && held[d].front().Due <= now) {
          const std::string& b = held[d].front().Bytes;
          std::size_t done = 0;
          while (done < b.size()) {
            const ssize_t w = ::send(fds[1 - d], b.data() + done, b.size() - done, MSG_NOSIGNAL);
            if (w <= 0) break;
            done += static_cast<std::size_t>(w);
          }
          held[d].pop_front();
        }
      for (int d = 0; d < 2; ++d)
        if (!open[d] && held[d].empty()) ::shutdown(fds[1 - d], SHUT_WR);
      if ((!open[0] && held[0].empty()) || (!open[1] && held[1].empty())) break;
      int timeout = 10;
      for (int d = 0; d < 2; ++d)
        if (!held[d].empty()) {
          const auto left =
              std::chrono::ceil<std::chrono::milliseconds>(held[d].front().Due - Clock::now())
                  .count();
          timeout = static_cast<int>(std::max<long long>(0, std::min<long long>(timeout, left)));
        }
      pollfd p[2] = {{open[0] ? client : -1, POLLIN, 0}, {open[1] ? server : -1, POLLIN, 0}};
      if (::poll(p, 2, timeout) <= 0) continue;
      for (int d = 0; d < 2; ++d) {
        if (!(p[d].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        const ssize_t n = ::recv(fds[d], buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0)
          held[d].push_back({Clock::now() + FDelay, std::string(buf, static_cast<std::size_t>(n))});
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
          open[d] = false;
      }
    }
    ::close(client);
    ::close(server);
  }

  const int FTarget;
  const std::chrono::milliseconds FDelay;
  int FListen = -1;
  std::atomic<bool> FStop{false};
  std::thread FAccepter;
  std::mutex FLock;
  std::vector<std::thread> FRelays;
};

}  // namespace talmo::test
