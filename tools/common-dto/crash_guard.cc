#include "crash_guard.h"

#include <fmt/format.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "output.h"

namespace common_dto {
namespace cli {
namespace {

bool g_enabled = false;
bool g_forked = false;
volatile pid_t g_child = 0;

constexpr int kPassedOn[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

void PassOn(int signal) {
  if (g_child > 0) ::kill(g_child, signal);
}

bool IsFault(int signal) {
  return signal == SIGSEGV || signal == SIGBUS || signal == SIGABRT || signal == SIGFPE ||
         signal == SIGILL;
}

}  // namespace

bool IsHdf5OrNetcdf(const std::string& file) {
  // Without blocking on a FIFO; only regular files are looked into.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st{};
  const off_t size = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : 0;
  bool found = false;
  char head[8];
  if (size >= 4 && ::pread(fd, head, 4, 0) == 4 && std::memcmp(head, "CDF", 3) == 0) found = true;
  static const char kHdf5[8] = {'\x89', 'H', 'D', 'F', '\r', '\n', '\x1a', '\n'};
  for (off_t at = 0; !found && at + 8 <= size; at = at == 0 ? 512 : at * 2) {
    found = ::pread(fd, head, 8, at) == 8 && std::memcmp(head, kHdf5, 8) == 0;
  }
  ::close(fd);
  return found;
}

void EnableCrashGuard() { g_enabled = true; }

void GuardRead(const std::string& file) {
  if (!g_enabled || g_forked || !IsHdf5OrNetcdf(file)) return;
  g_forked = true;
  // What is buffered would otherwise be written twice.
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child <= 0) return;  // The child, or no fork: read here.
  g_child = child;
  for (int signal : kPassedOn) std::signal(signal, PassOn);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) ::_exit(WEXITSTATUS(status));
  const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : SIGKILL;
  if (IsFault(signal)) {
    // Unwinds like any unusable input, so that what the command opened
    // (a temporary output file) is cleaned up.
    Fail(file, fmt::format("reading it crashed the HDF5 library ({}); the file is damaged",
                           ::strsignal(signal)));
  }
  // Ended from outside: end the same way.
  std::signal(signal, SIG_DFL);
  ::kill(::getpid(), signal);
  ::_exit(128 + signal);
}

}  // namespace cli
}  // namespace common_dto
