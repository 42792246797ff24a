// A nats-server with JetStream for one test: 127.0.0.1, a free port, a
// configuration and store in a temporary directory; stopped and removed at
// the end. Tests kill, pause and restart it to play failures; the
// benchmarks use it too.
#pragma once

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

namespace common_dto_test {

// A port nothing listens on now (the kernel's choice for port 0).
inline int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  ::close(fd);
  return ntohs(addr.sin_port);
}

inline bool Accepts(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

class NatsServer {
 public:
  // `extra` is added to the configuration file (authorization, limits,
  // cluster blocks). The server is started at once.
  explicit NatsServer(std::string extra = {}, std::string name = "n0")
      : port_(FreePort()), extra_(std::move(extra)), name_(std::move(name)) {
    char pattern[] = "/tmp/common-dto-nats-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    Start();
  }
  ~NatsServer() {
    Stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  NatsServer(const NatsServer&) = delete;
  NatsServer& operator=(const NatsServer&) = delete;

  int port() const { return port_; }
  std::string url() const { return "nats://127.0.0.1:" + std::to_string(port_); }
  const std::string& dir() const { return dir_; }

  // Starts (again) on the same port with the same store.
  void Start() {
    const std::string config = dir_ + "/server.conf";
    std::ofstream(config) << "server_name: " << name_ << "\nlisten: 127.0.0.1:" << port_
                          << "\njetstream { store_dir: \"" << dir_ << "/store\" }\n" << extra_ << "\n";
    pid_ = ::fork();
    if (pid_ == 0) {
      const std::string log = dir_ + "/server.log";
      ::freopen(log.c_str(), "a", stderr);
      ::freopen(log.c_str(), "a", stdout);
      ::execl(COMMON_DTO_NATS_SERVER, COMMON_DTO_NATS_SERVER, "-c", config.c_str(), static_cast<char*>(nullptr));
      std::_Exit(127);
    }
    for (int i = 0; i < 200 && !Accepts(port_); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(25));
    if (!Accepts(port_)) std::fprintf(stderr, "nats-server did not start; see %s/server.log\n", dir_.c_str());
  }
  // SIGTERM (clean shutdown) or SIGKILL (a crash), and wait for the end.
  void Stop(int signal = SIGTERM) {
    if (pid_ <= 0) return;
    ::kill(pid_, signal);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  void Kill() { Stop(SIGKILL); }
  void Pause() { ::kill(pid_, SIGSTOP); }
  void Resume() { ::kill(pid_, SIGCONT); }

 private:
  int port_;
  std::string extra_;
  std::string name_;
  std::string dir_;
  pid_t pid_ = -1;
};

}  // namespace common_dto_test
