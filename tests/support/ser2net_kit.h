#pragma once
// A real RFC 2217 server for tests: ser2net serving the slave end of a
// pseudo-terminal pair made here, on 127.0.0.1 at a free port, from a
// configuration written to a temporary folder. The test holds the master
// end (the "device side" of the remote line) and keeps the slave open too,
// so that the line never hangs up and its settings can be read back.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "support/pty_pair.h"
#include "support/temp_dir.h"

namespace talmo::test {

// The ser2net program, or "" when it is not installed.
inline std::string FindSer2net() {
  for (const char* p : {"/usr/sbin/ser2net", "/usr/bin/ser2net", "/usr/local/sbin/ser2net",
                        "/usr/local/bin/ser2net"})
    if (::access(p, X_OK) == 0) return p;
  return {};
}

inline constexpr const char* kNoSer2net =
    "ser2net is not installed (tools/setup.sh installs it: apt-get install ser2net)";

// A TCP port on 127.0.0.1 that nothing listens on right now.
inline int FreeTcpPort() {
  const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

// True once something listens on 127.0.0.1:port (read from /proc, so no
// connection is made that the server would serve).
inline bool Listening(int port) {
  std::ifstream in("/proc/net/tcp");
  std::string line;
  char want[32];
  std::snprintf(want, sizeof want, "0100007F:%04X", port);
  while (std::getline(in, line)) {
    std::istringstream f(line);
    std::string sl, local, remote, state;
    f >> sl >> local >> remote >> state;
    if (local == want && state == "0A") return true;
  }
  return false;
}

class TSer2net {
 public:
  TSer2net() = default;
  TSer2net(const TSer2net&) = delete;
  TSer2net& operator=(const TSer2net&) = delete;
  ~TSer2net() { Stop(); }

  // Makes the pty pair and starts the server; false (and why) when it
  // cannot.
  bool Start(std::string& why) {
    const std::string exe = FindSer2net();
    if (exe.empty()) {
      why = kNoSer2net;
      return false;
    }
    if (Master < 0) {
      if (!Line.Open(TPtyPair::TMaster::NonBlocking)) {
        why = "openpty failed";
        return false;
      }
      Folder.emplace("talmo-ser2net");
      Dir = Folder->Path();
    }
    if (Port == 0) Port = FreeTcpPort();
    {
      std::ofstream cfg(Dir + "/ser2net.yaml");
      cfg << "connection: &talmo\n"
          << "  accepter: telnet(rfc2217),tcp,127.0.0.1," << Port << "\n"
          << "  connector: serialdev," << SlavePath << ",115200n81,local\n";
      if (!Options.empty()) cfg << "  options:\n" << Options;
    }
    Pid = ::fork();
    if (Pid == 0) {
      const int log = ::open((Dir + "/ser2net.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
      if (log >= 0) {
        ::dup2(log, 1);
        ::dup2(log, 2);
      }
      const std::string cfg = Dir + "/ser2net.yaml", pid = Dir + "/ser2net.pid";
      ::execl(exe.c_str(), exe.c_str(), "-n", "-u", "-c", cfg.c_str(), "-P", pid.c_str(),
              static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 500; ++i) {
      if (Listening(Port)) return true;
      int status = 0;
      if (::waitpid(Pid, &status, WNOHANG) == Pid) {
        Pid = -1;
        why = "ser2net ended at start (see " + Dir + "/ser2net.log)";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    why = "ser2net did not listen on port " + std::to_string(Port);
    return false;
  }

  // Stops the server (SIGTERM) and waits for it; the pty pair stays.
  void Stop() {
    if (Pid <= 0) return;
    ::kill(Pid, SIGTERM);
    int status = 0;
    ::waitpid(Pid, &status, 0);
    Pid = -1;
  }

  std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(Port); }

  // Writes all of `data` into the master end.
  void Send(const std::string& data) const {
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = ::write(Master, data.data() + done, data.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else {
        pollfd p{Master, POLLOUT, 0};
        ::poll(&p, 1, 100);
      }
    }
  }

  // Reads from the master end until `count` bytes came or `ms` passed.
  std::string Receive(std::size_t count, int ms = 10000) const {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[4096];
    while (got.size() < count && std::chrono::steady_clock::now() < end) {
      pollfd p{Master, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = ::read(Master, buf, sizeof buf);
      if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    }
    return got;
  }

  // More lines for the connection's "options:" (each "    name: value\n").
  std::string Options;
  // The line and the folder live until the destructor has stopped the server.
  TPtyPair Line;
  std::optional<TTempDir> Folder;
  int& Master = Line.Master;
  int& Slave = Line.Slave;
  std::string& SlavePath = Line.Path;
  int Port = 0;
  pid_t Pid = -1;
  std::string Dir;
};

// Every byte value, then runs of 0xFF (the Telnet escape) of growing length
// between other bytes, then a longer mixed stretch.
inline std::string EveryByteAndEscapeRuns() {
  std::string s;
  for (int b = 0; b < 256; ++b) s += static_cast<char>(b);
  for (int run = 1; run <= 9; ++run) {
    s += std::string(static_cast<std::size_t>(run), '\xFF');
    s += static_cast<char>(run);
  }
  s += std::string(300, '\xFF');
  for (int i = 0; i < 20000; ++i) s += static_cast<char>((i * 7 + i / 256) & 0xFF);
  return s;
}

}  // namespace talmo::test
