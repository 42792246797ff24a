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

bool g_quiet = false;
Progress* g_progress = nullptr;  // The indicator on screen, if any.

// The temporary file being written, removed by the signal handler. Only one
// output file is open at a time.
char g_temp_path[PATH_MAX] = {0};

void RemoveTempAndDie(int sig) {
  if (g_temp_path[0] != '\0') ::unlink(g_temp_path);
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

void InstallSignalHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) std::signal(sig, RemoveTempAndDie);
}

void WriteStderr(std::string_view line) {
  if (g_progress != nullptr) g_progress->Erase();
  std::string text = fmt::format("common-dto: {}\n", line);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

void WriteAll(int fd, std::string_view data, const std::string& name) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail(name, fmt::format("write error: {}", std::strerror(errno)));
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace

void Fail(std::string_view file, std::string_view what, std::string_view where) {
  std::string line = "common-dto: ";
  if (!file.empty()) line += fmt::format("{}: ", file);
  line += what;
  if (!where.empty()) line += fmt::format(" ({})", where);
  throw Fatal(line);
}

void SetQuiet(bool quiet) { g_quiet = quiet; }
bool Quiet() { return g_quiet; }

void Note(std::string_view text) {
  if (!g_quiet) WriteStderr(text);
}

void Warn(std::string_view text) { WriteStderr(text); }

// ---- Progress ---------------------------------------------------------------

Progress::Progress(std::string label, std::uint64_t total)
    : label_(std::move(label)),
      total_(total),
      enabled_(!g_quiet && ::isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()),
      last_draw_(start_) {
  if (enabled_ && g_progress == nullptr) g_progress = this;
  if (g_progress != this) enabled_ = false;
}

Progress::~Progress() {
  Erase();
  if (g_progress == this) g_progress = nullptr;
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

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
  if (path_ == "-") {
    fd_ = STDOUT_FILENO;
    direct_ = true;
    return;
  }
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    // A device, pipe or socket (such as /dev/null) is written in place:
    // renaming a file over it would replace it.
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) Fail(path_, fmt::format("cannot write: {}", std::strerror(errno)));
    direct_ = true;
    return;
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
  InstallSignalHandlers();
  const std::size_t slash = target_.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : target_.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? target_ : target_.substr(slash + 1);
  std::string pattern = dir + "." + base + ".tmp-XXXXXX";
  if (pattern.size() >= sizeof(g_temp_path)) Fail(path_, "path too long");
  fd_ = ::mkstemp(pattern.data());
  if (fd_ < 0) Fail(path_, fmt::format("cannot create: {}", std::strerror(errno)));
  temp_ = pattern;
  std::memcpy(g_temp_path, temp_.c_str(), temp_.size() + 1);
}

OutputFile::~OutputFile() {
  if (!committed_) Discard();
}

std::string OutputFile::display_name() const { return path_ == "-" ? "<stdout>" : path_; }

void OutputFile::Write(std::string_view data) {
  buffer_.append(data.data(), data.size());
  if (buffer_.size() >= (std::size_t{1} << 16)) Flush();
}

void OutputFile::Flush() {
  WriteAll(fd_, buffer_, display_name());
  buffer_.clear();
}

void OutputFile::Commit() {
  Flush();
  committed_ = true;
  if (path_ == "-") return;
  const bool changed_mode = direct_ || ::fchmod(fd_, mode_) == 0;
  if (!changed_mode || ::close(fd_) != 0) {
    const int err = errno;
    fd_ = -1;
    committed_ = false;
    Fail(path_, fmt::format("write error: {}", std::strerror(err)));
  }
  fd_ = -1;
  if (direct_) return;
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    const int err = errno;
    committed_ = false;
    Fail(path_, fmt::format("cannot rename {} into place: {}", temp_, std::strerror(err)));
  }
  g_temp_path[0] = '\0';
}

void OutputFile::Discard() {
  if (path_ == "-") return;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  g_temp_path[0] = '\0';
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
