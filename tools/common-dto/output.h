// Everything the tool writes: error and note lines on stderr, the progress
// indicator, and output files that appear only once complete.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common_dto/model/status.h"

namespace common_dto {
namespace cli {

// Exit statuses of every subcommand.
enum ExitStatus { kExitOk = 0, kExitFindings = 1, kExitUnusable = 2 };

// An error of the tool about `file` (may be empty): what went wrong, and
// `where` in the file (message index, byte offset, field path; may be
// empty). Its message is the whole line the tool prints after
// "common-dto: ", "<file>: <what> (<where>)"; the program then exits with
// status 2.
Status Error(std::string_view file, std::string_view what, std::string_view where = {},
             ErrorCode code = ErrorCode::kInvalidArgument, Location location = {});
// A library's error about `file`, its message (which names its place)
// followed by `where` when given; code and location are kept.
Status ErrorOf(std::string_view file, const Status& status, std::string_view where = {});

class Progress;

// What the tool's lines on stderr share over a run, owned by Main: whether
// notes are shown, the progress indicator on screen (erased before any
// other line), and the temporary output file that an interrupt must not
// leave behind. While it lives, SIGINT, SIGTERM and SIGHUP remove that file
// and then end the program as the signal would. A signal handler takes no
// argument, so the handler (and Note(), called from deep inside the
// commands) reach the one Console through a single pointer; without one
// (the tests and fuzz targets run commands so) notes are shown and signals
// keep their default actions.
class Console {
 public:
  Console(bool quiet, bool handle_signals);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // The Console of this run, or null.
  static Console* current();

  bool quiet() const { return quiet_; }
  // Erases the progress indicator, if one is on screen.
  void EraseProgress();

 private:
  friend class Progress;
  friend class OutputFile;
  static void RemoveTempAndDie(int signal);

  bool quiet_;
  bool handle_signals_;
  Progress* progress_ = nullptr;  // The indicator on screen, if any.
  // The temporary output file being written ("" when none); a plain array,
  // for the signal handler. Only one output file is open at a time.
  char temp_path_[4096] = {0};
};

// Lines on stderr, each prefixed "common-dto: ". Notes (what the tool
// decided, what it left out) are silenced by --quiet; warnings are not.
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
// Commit() renames to `path`; without Commit() (an error, an interrupt by
// SIGINT, SIGTERM or SIGHUP while a Console handles them) the temporary
// file is removed, so a failed run never leaves a partial file behind. "-"
// (standard output) and paths that exist but are no regular file
// (/dev/null, a named pipe) are written directly.
class OutputFile {
 public:
  static Result<std::unique_ptr<OutputFile>> Open(std::string path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // The descriptor to write to (for writers that do their own buffering;
  // call Flush() first when mixing them with Write()).
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  // The name to use in messages ("<stdout>" for "-").
  std::string display_name() const;

  // Buffers `data`. A write error is kept: ok() turns false, later bytes
  // are dropped, and Flush() and Commit() return it.
  void Write(std::string_view data);
  bool ok() const { return status_.ok(); }
  Status Flush();
  // Makes the output visible under its name.
  Status Commit();

 private:
  explicit OutputFile(std::string path) : path_(std::move(path)) {}
  Status Create();
  void Discard();

  std::string path_;
  std::string target_;  // The file replaced: `path`, or what its symlink names.
  std::string temp_;
  int fd_ = -1;
  bool direct_ = false;  // No temporary file.
  unsigned mode_ = 0644;
  std::string buffer_;
  Status status_;  // The first write error.
  bool committed_ = false;
};

// Text helpers shared by the subcommands.
std::string FormatBytes(std::uint64_t bytes);  // "1.5 MiB", "12 bytes"

}  // namespace cli
}  // namespace common_dto
