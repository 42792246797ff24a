// Peak resident memory, each figure measured in a process of its own so
// that one measurement cannot inherit another's heap.
//
//   common-dto-bench-memory [--dir DIR] [--out FILE]
//
// has a child write the reference volume M to DIR/volume-M.pb, then starts
// this program again once per measurement (--child MODE ...) and takes the
// peak resident set size of each child from wait4(). The parent itself
// never holds a volume: a child's peak starts from the peak of the process
// that started it. Modes:
//
//   idle          loads the libraries, opens the file and creates an empty
//                 Volume, and parses nothing: the fixed cost of a process,
//                 subtracted from the others.
//   parse_heap    parses M from the file descriptor through a
//                 FileInputStream (zero-copy, 64 KiB at a time) into a
//                 Volume on the heap.
//   parse_arena   the same into a Volume on an Arena.
//   parse_read_all  reads the whole file into a string, then parses it: the
//                 naive way, for comparison.
//   stream_L      streams L end to end in this process: each sweep produced,
//                 split, framed, written to memory, read, parsed and
//                 reassembled sweep by sweep (stream_path.h), then dropped.
//
// Results go to FILE (default: standard output) as JSON: per measurement
// the peak, the idle peak, their difference and that difference over the
// reference size (the file size of M; the serialized size of one L sweep).
#include <fcntl.h>
#include <google/protobuf/arena.h>
#include <google/protobuf/io/zero_copy_stream_impl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common_dto/synthetic/volumes.h"
#include "stream_path.h"

extern char** environ;

namespace common_dto_bench {
namespace {

using namespace common_dto::synthetic;  // NOLINT(build/namespaces)

using kyt::pb::common::Sweep;
using kyt::pb::common::Volume;

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "common-dto-bench-memory: %s\n", what.c_str());
  std::exit(2);
}

int OpenOrDie(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Die("cannot open " + path + ": " + std::strerror(errno));
  return fd;
}

std::uint64_t FileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) Die("cannot stat " + path);
  return static_cast<std::uint64_t>(st.st_size);
}

// ---- Children ---------------------------------------------------------------

// Each child prints one line: "<reference bytes> <check value>".
int ChildParse(const std::string& mode, const std::string& path) {
  const int fd = OpenOrDie(path);
  google::protobuf::io::FileInputStream in(fd);
  Volume heap_volume;
  google::protobuf::Arena arena;
  Volume* volume =
      mode == "parse_arena" ? google::protobuf::Arena::CreateMessage<Volume>(&arena) : &heap_volume;
  bool ok = true;
  if (mode == "parse_heap" || mode == "parse_arena") {
    ok = volume->ParseFromZeroCopyStream(&in);
  } else if (mode == "parse_read_all") {
    std::ifstream file(path, std::ios::binary);
    std::stringstream all;
    all << file.rdbuf();
    ok = volume->ParseFromString(all.str());
  } else if (mode != "idle") {
    Die("unknown mode " + mode);
  }
  if (!ok) Die(mode + ": parsing " + path + " failed");
  int rays = 0;
  for (const auto& sweep : volume->sweep()) rays += sweep.rays_size();
  std::printf("%llu %d\n", static_cast<unsigned long long>(FileSize(path)), rays);
  ::close(fd);
  return 0;
}

int ChildWriteM(const std::string& path) {
  Volume m;
  MakeVolume(VolumeM(), &m);
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (!file || !m.SerializeToOstream(&file)) Die("cannot write " + path);
  return 0;
}

int ChildStreamL() {
  const VolumeLayout& layout = VolumeL();
  Volume shell;
  MakeVolumeShell(layout, &shell);
  StreamPath path(common_dto::stream::DeliveryMode::kSweepBySweep);
  std::uint64_t largest_sweep = 0;
  std::size_t delivered = 0;
  for (int s = 0; s < layout.sweep_count(); ++s) {
    Sweep* sweep = shell.add_sweep();
    MakeSweep(layout, s, sweep);
    largest_sweep = std::max<std::uint64_t>(largest_sweep, sweep->ByteSizeLong());
    const common_dto::Status status = path.StreamSweep(shell, s, layout.sweep_count());
    if (!status.ok()) Die("stream_L: " + status.message());
    // A receiver would hand each sweep on; here it is dropped at once.
    for (const auto& out : path.assembler().TakeSweeps()) {
      if (!out.complete) Die("stream_L: incomplete sweep");
      ++delivered;
    }
    shell.mutable_sweep()->RemoveLast();
  }
  if (delivered != static_cast<std::size_t>(layout.sweep_count())) Die("stream_L: sweeps missing");
  std::printf("%llu %llu\n", static_cast<unsigned long long>(largest_sweep),
              static_cast<unsigned long long>(path.frame_bytes()));
  return 0;
}

// ---- Parent -----------------------------------------------------------------

struct Measurement {
  std::string name;
  std::string volume;
  std::string reference;  // What the ratio divides by.
  std::uint64_t peak = 0;
  std::uint64_t reference_bytes = 0;
  std::string check;
};

// Runs this program with `args`; returns the child's peak RSS in bytes and
// its output line.
std::uint64_t RunChild(const std::string& self, const std::vector<std::string>& args,
                       std::string* output) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) Die("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(self.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int err = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  if (err != 0) Die("cannot start " + self + ": " + std::strerror(err));
  output->clear();
  char buf[256];
  ssize_t n;
  while ((n = ::read(pipe_fds[0], buf, sizeof buf)) > 0)
    output->append(buf, static_cast<std::size_t>(n));
  ::close(pipe_fds[0]);
  int status = 0;
  struct rusage usage;
  if (::wait4(pid, &status, 0, &usage) != pid) Die("wait4 failed");
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) Die("child " + args[1] + " failed");
  return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;  // ru_maxrss is in KiB.
}

std::string SelfPath(const char* argv0) {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n > 0) return std::string(buf, static_cast<std::size_t>(n));
  return argv0;
}

int Parent(const std::string& self, const std::string& dir, const std::string& out_path) {
  // The parent stays small: a child inherits the peak of the process it
  // was started from (the kernel carries the old peak over exec), so even
  // the file is written by a child.
  const std::string m_path = dir + "/volume-M.pb";
  std::string line;
  RunChild(self, {"--child", "write_M", m_path}, &line);

  std::vector<Measurement> results;
  Measurement idle{"idle", "M", "", RunChild(self, {"--child", "idle", m_path}, &line), 0, line};
  for (const char* mode : {"parse_heap", "parse_arena", "parse_read_all"}) {
    Measurement r{mode, "M", "file size", RunChild(self, {"--child", mode, m_path}, &line), 0, ""};
    unsigned long long bytes = 0;
    int rays = 0;
    std::sscanf(line.c_str(), "%llu %d", &bytes, &rays);
    r.reference_bytes = bytes;
    r.check = std::to_string(rays) + " rays";
    if (rays != VolumeM().ray_count()) Die(std::string(mode) + ": wrong ray count");
    results.push_back(r);
  }
  {
    Measurement r{
        "stream_L", "L", "one sweep serialized", RunChild(self, {"--child", "stream_L"}, &line),
        0,          ""};
    unsigned long long sweep = 0, frames = 0;
    std::sscanf(line.c_str(), "%llu %llu", &sweep, &frames);
    r.reference_bytes = sweep;
    r.check = std::to_string(frames) + " frame bytes";
    results.push_back(r);
  }

  std::ostringstream json;
  json << "{\n  \"idle_peak_bytes\": " << idle.peak << ",\n  \"memory\": [\n";
  for (std::size_t i = 0; i < results.size(); ++i) {
    const Measurement& r = results[i];
    const double net = static_cast<double>(r.peak) - static_cast<double>(idle.peak);
    json << "    {\"name\": \"" << r.name << "\", \"volume\": \"" << r.volume
         << "\", \"peak_bytes\": " << r.peak << ", \"net_bytes\": " << static_cast<long long>(net)
         << ", \"reference\": \"" << r.reference << "\", \"reference_bytes\": " << r.reference_bytes
         << ", \"ratio\": " << net / static_cast<double>(r.reference_bytes) << ", \"check\": \""
         << r.check << "\"}" << (i + 1 < results.size() ? "," : "") << "\n";
  }
  json << "  ]\n}\n";
  if (out_path.empty()) {
    std::fputs(json.str().c_str(), stdout);
  } else {
    std::ofstream out(out_path, std::ios::trunc);
    out << json.str();
    if (!out) Die("cannot write " + out_path);
  }
  ::unlink(m_path.c_str());
  return 0;
}

}  // namespace
}  // namespace common_dto_bench

int main(int argc, char** argv) {
  using namespace common_dto_bench;
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() >= 2 && args[0] == "--child") {
    if (args[1] == "stream_L") return ChildStreamL();
    if (args[1] == "write_M" && args.size() == 3) return ChildWriteM(args[2]);
    if (args.size() != 3) Die("--child " + args[1] + " needs a file");
    return ChildParse(args[1], args[2]);
  }
  std::string dir = "/tmp";
  std::string out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--dir" && i + 1 < args.size()) {
      dir = args[++i];
    } else if (args[i] == "--out" && i + 1 < args.size()) {
      out = args[++i];
    } else {
      std::fprintf(stderr, "usage: %s [--dir DIR] [--out FILE]\n", argv[0]);
      return 1;
    }
  }
  return Parent(SelfPath(argv[0]), dir, out);
}
