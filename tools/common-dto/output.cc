// Error lines, notes, progress and atomically replaced output files.
#include "output.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace common_dto {
namespace cli {
namespace {

Console* g_console = nullptr;  // See Console: the one a signal handler can reach.

void WriteStderr(std::string_view line) {
  if (g_console != nullptr) g_console->EraseProgress();
  std::string text = fmt::format("common-dto: {}\n", line);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace

Status Error(std::string_view file, std::string_view what, std::string_view where, ErrorCode code,
             Location location) {
  std::string line;
  if (!file.empty()) line += fmt::format("{}: ", file);
  line += what;
  if (!where.empty()) line += fmt::format(" ({})", where);
  return Status(code, std::move(line), std::move(location));
}

Status ErrorOf(std::string_view file, const Status& status, std::string_view where) {
  return Error(file, status.message(), where, status.code(), status.location());
}

// ---- Console ------------------------------------------------------------------

Console::Console(bool quiet, bool handle_signals) : quiet_(quiet), handle_signals_(handle_signals) {
  g_console = this;
  if (!handle_signals_) return;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, RemoveTempAndDie);
}

Console::~Console() {
  if (handle_signals_) {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, SIG_DFL);
  }
  if (g_console == this) g_console = nullptr;
}

Console* Console::current() { return g_console; }

void Console::EraseProgress() {
  if (progress_ != nullptr) progress_->Erase();
}

void Console::RemoveTempAndDie(int sig) {
  if (g_console != nullptr && g_console->temp_path_[0] != '\0') ::unlink(g_console->temp_path_);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

bool Quiet() { return g_console != nullptr && g_console->quiet(); }

void Note(std::string_view text) {
  if (!Quiet()) WriteStderr(text);
}

void Warn(std::string_view text) { WriteStderr(text); }

// ---- Progress ---------------------------------------------------------------

Progress::Progress(std::string label, std::uint64_t total)
    : label_(std::move(label)),
      total_(total),
      enabled_(g_console != nullptr && !g_console->quiet() && ::isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {
  // One indicator at a time: the first one made.
  if (enabled_ && g_console->progress_ == nullptr) g_console->progress_ = this;
  if (enabled_ && g_console->progress_ != this) enabled_ = false;
}

Progress::~Progress() {
  Erase();
  if (g_console != nullptr && g_console->progress_ == this) g_console->progress_ = nullptr;
}

void Progress::Update(std::uint64_t bytes, std::uint64_t messages) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - start_ < std::chrono::seconds(1)) return;
  if (shown_ && now - last_draw_ < std::chrono::milliseconds(250)) return;
  last_draw_ = now;
  std::string line = fmt::format("\rcommon-dto: {}: ", label_);
  if (total_ > 0) {
    line += fmt::format(
        "{:3d}% ({} of {})",
        static_cast<int>(100.0 * static_cast<double>(bytes) / static_cast<double>(total_)),
        FormatBytes(bytes), FormatBytes(total_));
  } else {
    line += FormatBytes(bytes);
  }
  if (messages > 0) line += fmt::format(", {} messages", messages);
  line += "\033[K";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  shown_ = true;
}

void Progress::Erase() {
  if (!shown_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  shown_ = false;
}

// ---- OutputFile ---------------------------------------------------------------

Result<std::unique_ptr<OutputFile>> OutputFile::Open(std::string path) {
  std::unique_ptr<OutputFile> out(new OutputFile(std::move(path)));
  if (Status status = out->Create(); !status.ok()) return status;
  return out;
}

Status OutputFile::Create() {
  if (path_ == "-") {
    fd_ = STDOUT_FILENO;
    direct_ = true;
    return Status::Ok();
  }
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    // A device, pipe or socket (such as /dev/null) is written in place:
    // renaming a file over it would replace it.
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) return Error(path_, fmt::format("cannot write: {}", std::strerror(errno)), {}, ErrorCode::kIo);
    direct_ = true;
    return Status::Ok();
  }
  // The temporary file goes beside the file that will be replaced, which
  // for a symbolic link is its target.
  target_ = path_;
  char resolved[PATH_MAX];
  struct stat link;
  if (::lstat(path_.c_str(), &link) == 0 && S_ISLNK(link.st_mode) &&
      ::realpath(path_.c_str(), resolved) != nullptr) {
    target_ = resolved;
  }
  // A file that is replaced keeps its permissions; a new one gets those a
  // newly created file would have (mkstemp makes it readable by its owner
  // only).
  if (::stat(target_.c_str(), &st) == 0) {
    mode_ = st.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode_ = 0666 & ~mask;
  }
  const std::size_t slash = target_.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  std::string pattern = dir + "." + base + ".tmp-XXXXXX";
  if (pattern.size() >= sizeof(Console::temp_path_)) return Error(path_, "path too long");
  fd_ = ::mkstemp(pattern.data());
  if (fd_ < 0) return Error(path_, fmt::format("cannot create: {}", std::strerror(errno)), {}, ErrorCode::kIo);
  temp_ = pattern;
  if (g_console != nullptr) std::memcpy(g_console->temp_path_, temp_.c_str(), temp_.size() + 1);
  return Status::Ok();
}

OutputFile::~OutputFile() {
  if (!committed_) Discard();
}

std::string OutputFile::display_name() const { return path_ == "-" ? "<stdout>" : path_; }

void OutputFile::Write(std::string_view data) {
  if (!status_.ok()) return;
  buffer_.append(data.data(), data.size());
  if (buffer_.size() >= (std::size_t{1} << 16)) static_cast<void>(Flush());
}

Status OutputFile::Flush() {
  std::string_view data = buffer_;
  while (status_.ok() && !data.empty()) {
    const ssize_t n = ::write(fd_, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      status_ = Error(display_name(), fmt::format("write error: {}", std::strerror(errno)), {},
                      ErrorCode::kIo);
      break;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  buffer_.clear();
  return status_;
}

Status OutputFile::Commit() {
  if (Status status = Flush(); !status.ok()) return status;
  if (path_ == "-") {
    committed_ = true;
    return Status::Ok();
  }
  const bool changed_mode = direct_ || ::fchmod(fd_, mode_) == 0;
  const bool closed = ::close(fd_) == 0;
  const int err = errno;
  fd_ = -1;
  if (!changed_mode || !closed) {
    return status_ = Error(path_, fmt::format("write error: {}", std::strerror(err)), {}, ErrorCode::kIo);
  }
  if (!direct_ && ::rename(temp_.c_str(), target_.c_str()) != 0) {
    return status_ = Error(path_, fmt::format("cannot rename {} into place: {}", temp_, std::strerror(errno)),
                           {}, ErrorCode::kIo);
  }
  committed_ = true;
  if (g_console != nullptr && !direct_) g_console->temp_path_[0] = '\0';
  return Status::Ok();
}

void OutputFile::Discard() {
  if (path_ == "-") return;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  if (g_console != nullptr && !temp_.empty()) g_console->temp_path_[0] = '\0';
}

std::string FormatBytes(std::uint64_t bytes) {
  if (bytes < 1024) return fmt::format("{} bytes", bytes);
  const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
  double value = static_cast<double>(bytes) / 1024;
  int unit = 0;
  while (value >= 1024 && unit < 3) {
    value /= 1024;
    ++unit;
  }
  return fmt::format("{:.1f} {}", value, units[unit]);
}

}  // namespace cli
}  // namespace common_dto
