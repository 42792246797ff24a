#include "crash_guard.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <google/protobuf/struct.pb.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <vector>

#include "common_dto/stream/framing.h"
#include "output.h"

namespace common_dto {
namespace cli {
namespace {

using google::protobuf::Struct;

bool IsFault(int signal) {
  return signal == SIGSEGV || signal == SIGBUS || signal == SIGABRT || signal == SIGFPE ||
         signal == SIGILL;
}

// The worker's reply: a Struct saying the format found ("" for none), the
// error if the read failed ("fatal", its line, and "code", its ErrorCode)
// and the notes; then the volume.
stream::ReaderOptions ReplyOptions() {
  stream::ReaderOptions options;
  options.max_message_size = std::size_t{2} << 30;  // What one message can hold.
  return options;
}

// Starts `argv` with its standard output on `out`; the child is killed when
// this process ends.
pid_t StartWorker(std::vector<std::string> argv, int out) {
  std::vector<char*> args;
  for (std::string& arg : argv) args.push_back(&arg[0]);
  args.push_back(nullptr);
  // What is buffered would otherwise be written by both.
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  const pid_t child = ::fork();
  if (child == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::dup2(out, STDOUT_FILENO) < 0) ::_exit(127);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return child;
}

// Reads the worker's reply from `fd`; false when it gave none (it ended
// before answering).
bool ReadReply(int fd, Struct* head, RadarRead* read) {
  stream::DelimitedReader reader = stream::DelimitedReader::FromFd(fd, ReplyOptions());
  if (!reader.Read(head).has_message()) return false;
  const auto& fields = head->fields();
  if (fields.count("fatal") != 0) return true;
  const auto format = fields.find("format");
  const auto product = fields.find("product_format");
  if (product != fields.end() && !product->second.string_value().empty()) {
    read->product_format = formats::ParseProductFormat(product->second.string_value());
    if (!read->product_format) return false;
  } else if (format == fields.end() || format->second.string_value().empty()) {
    return true;
  } else {
    read->format = formats::ParseFormat(format->second.string_value());
    if (!read->format) return false;
  }
  const auto notes = fields.find("notes");
  if (notes != fields.end()) {
    for (const auto& value : notes->second.list_value().values()) {
      const auto& note = value.struct_value().fields();
      const auto text = [&note](const char* key) {
        const auto it = note.find(key);
        return it == note.end() ? std::string() : it->second.string_value();
      };
      const auto kind = note.find("kind");
      read->notes.push_back(formats::Note{
          static_cast<formats::NoteKind>(kind == note.end() ? 0 : static_cast<int>(kind->second.number_value())),
          text("field"), text("moment"), text("text")});
    }
  }
  if (read->product_format) return reader.Read(&read->product).has_message();
  return reader.Read(&read->volume).has_message();
}

// How the worker ended, for `path`: success when it answered and exited;
// an error for a crash or an exit without an answer; ends this process as
// the worker ended when a signal from outside ended it.
Status JudgeWorker(const std::string& path, pid_t child, bool answered) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    if (answered && WEXITSTATUS(status) == 0) return Status::Ok();
    return Error(path, fmt::format("the reader ended with exit status {} before it answered",
                                   WEXITSTATUS(status)), {}, ErrorCode::kIo);
  }
  const int signal = WIFSIGNALED(status) ? WTERMSIG(status) : SIGKILL;
  if (IsFault(signal)) {
    // Returned like any unusable input, so that what the command opened
    // (a temporary output file) is cleaned up.
    return Error(path, fmt::format("reading it crashed the HDF5 library ({}); the file is damaged",
                                   ::strsignal(signal)), {}, ErrorCode::kMalformed);
  }
  std::signal(signal, SIG_DFL);
  ::kill(::getpid(), signal);
  ::_exit(128 + signal);
}

}  // namespace

bool IsHdf5OrNetcdf(const std::string& file) {
  // Without blocking on a FIFO; only regular files are looked into.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
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

Result<RadarRead> ReadRadar(const std::string& worker, const std::string& path,
                            std::optional<formats::Format> format, const std::string& announce) {
  if (worker.empty() || !IsHdf5OrNetcdf(path)) return ReadRadarHere(path, format, announce);
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) {
    return Error(path, fmt::format("cannot start its reader: {}", std::strerror(errno)), {}, ErrorCode::kIo);
  }
  std::vector<std::string> argv = {worker};
  if (Quiet()) argv.emplace_back("-q");
  argv.insert(argv.end(),
              {"read-radar-file", path, format ? formats::FormatName(*format) : "auto", announce});
  const pid_t child = StartWorker(std::move(argv), pipe_fds[1]);
  ::close(pipe_fds[1]);
  if (child < 0) {
    ::close(pipe_fds[0]);
    return Error(path, fmt::format("cannot start its reader: {}", std::strerror(errno)), {}, ErrorCode::kIo);
  }
  Struct head;
  RadarRead read;
  const bool answered = ReadReply(pipe_fds[0], &head, &read);
  ::close(pipe_fds[0]);
  if (Status ended = JudgeWorker(path, child, answered); !ended.ok()) return ended;
  const auto& fields = head.fields();
  if (const auto fatal = fields.find("fatal"); fatal != fields.end()) {
    const auto code = fields.find("code");
    return Status(code == fields.end() ? ErrorCode::kMalformed
                                       : static_cast<ErrorCode>(code->second.number_value()),
                  fatal->second.string_value());
  }
  return read;
}

int RunRadarWorker(const std::string& path, const std::string& format_name,
                   const std::string& announce) {
  Struct head;
  Result<RadarRead> result = ReadRadarHere(path, formats::ParseFormat(format_name), announce);
  RadarRead read;
  if (result.ok()) {
    read = std::move(*result);
    (*head.mutable_fields())["format"].set_string_value(
        read.format ? formats::FormatName(*read.format) : "");
    (*head.mutable_fields())["product_format"].set_string_value(
        read.product_format ? formats::ProductFormatName(*read.product_format) : "");
    auto* notes = (*head.mutable_fields())["notes"].mutable_list_value();
    // Each note as its record: kind, field, moment, text.
    for (const formats::Note& note : read.notes) {
      auto& fields = *notes->add_values()->mutable_struct_value()->mutable_fields();
      fields["kind"].set_number_value(static_cast<double>(note.kind));
      fields["field"].set_string_value(note.field);
      fields["moment"].set_string_value(note.moment);
      fields["text"].set_string_value(note.text);
    }
  } else {
    // The error as the tool prints it; the tool prints it.
    (*head.mutable_fields())["fatal"].set_string_value(result.status().message());
    (*head.mutable_fields())["code"].set_number_value(static_cast<double>(result.status().code()));
  }
  stream::DelimitedWriter writer = stream::DelimitedWriter::ToFd(STDOUT_FILENO);
  Status status = writer.Write(head);
  if (status.ok() && head.fields().count("fatal") == 0) {
    if (read.product_format) status = writer.Write(read.product);
    else if (read.format) status = writer.Write(read.volume);
  }
  if (status.ok()) status = writer.Close();
  return status.ok() ? kExitOk : kExitUnusable;
}

}  // namespace cli
}  // namespace common_dto
