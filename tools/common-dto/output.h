// Everything the tool writes: error and note lines on stderr, the progress
// indicator, and output files that appear only once complete.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace common_dto {
namespace cli {

// Exit statuses of every subcommand.
enum ExitStatus { kExitOk = 0, kExitFindings = 1, kExitUnusable = 2 };

// Unusable input or arguments. what() is the complete line to print,
// "common-dto: <file>: <what> (<where>)"; the program exits with status 2.
class Fatal : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws Fatal for `file` (may be empty), with `where` (message index, byte
// offset, field path; may be empty) in parentheses at the end.
[[noreturn]] void Fail(std::string_view file, std::string_view what, std::string_view where = {});

// Lines on stderr, each prefixed "common-dto: ". Notes (what the tool
// decided, what it left out) are silenced by --quiet; warnings are not.
void SetQuiet(bool quiet);
bool Quiet();
void Note(std::string_view text);
void Warn(std::string_view text);

// A one-line progress indicator on stderr. It appears only when the work
// has taken more than a second, stderr is a terminal and --quiet is off,
// and it is erased when the object is destroyed or before any note or
// warning is printed.
class Progress {
 public:
  // `total` is the input size in bytes, 0 when unknown.
  Progress(std::string label, std::uint64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Cheap enough to call for every message.
  void Update(std::uint64_t bytes, std::uint64_t messages);
  void Erase();

 private:
  std::string label_;
  std::uint64_t total_;
  bool enabled_;
  bool shown_ = false;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point last_draw_;
};

// An output file. Bytes go to a temporary file beside `path`, which
// Commit() renames to `path`; without Commit() (an error, an exception, an
// interrupt by SIGINT, SIGTERM or SIGHUP) the temporary file is removed, so
// a failed run never leaves a partial file behind. "-" (standard output)
// and paths that exist but are no regular file (/dev/null, a named pipe)
// are written directly.
class OutputFile {
 public:
  explicit OutputFile(std::string path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // The descriptor to write to (for writers that do their own buffering;
  // call Flush() first when mixing them with Write()).
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  // The name to use in messages ("<stdout>" for "-").
  std::string display_name() const;

  void Write(std::string_view data);
  void Flush();
  // Makes the output visible under its name. Throws Fatal on I/O errors.
  void Commit();

 private:
  void Discard();

  std::string path_;
  std::string target_;  // The file replaced: `path`, or what its symlink names.
  std::string temp_;
  int fd_ = -1;
  bool direct_ = false;  // No temporary file.
  unsigned mode_ = 0644;
  std::string buffer_;
  bool committed_ = false;
};

// Text helpers shared by the subcommands.
std::string FormatBytes(std::uint64_t bytes);  // "1.5 MiB", "12 bytes"

}  // namespace cli
}  // namespace common_dto
