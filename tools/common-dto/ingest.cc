// common-dto ingest nexrad-chunks: a directory filled with the chunk files
// of a NEXRAD real-time feed, read as they arrive into a ray stream (to a
// file, standard output or NATS JetStream). The formats library reads the
// chunks; this watches the directory and writes what it hands back.
#include <dirent.h>
#include <fmt/format.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "commands.h"
#include "common_dto/formats/nexrad.h"
#include "common_dto/nats/publisher.h"
#include "common_dto/stream/splitter.h"
#include "output.h"
#include "ray_stream_message.pb.h"

namespace common_dto {
namespace cli {
namespace {

using Clock = std::chrono::steady_clock;
using Seconds = std::chrono::duration<double>;

struct IngestOptions {
  std::string dir;
  std::string output = "-";
  std::string volume;  // which volume of the directory (default: the first)
  double timeout_s = 60;
  double poll_s = 0.5;
  nats::PublisherOptions publisher;
};

// A chunk file <volume>-<sequence>-<S|I|E>, e.g. 20241001-123456-001-S.
struct Chunk {
  std::string volume;
  int sequence = 0;
  char kind = 0;
  std::string path;
  long long size = -1;
};

bool ParseChunkName(const std::string& name, Chunk* chunk) {
  if (name.size() < 5 || name[name.size() - 2] != '-') return false;
  const char kind = name.back();
  if (kind != 'S' && kind != 'I' && kind != 'E') return false;
  const std::string rest = name.substr(0, name.size() - 2);
  const std::size_t dash = rest.rfind('-');
  if (dash == std::string::npos || dash == 0 || dash + 1 == rest.size() || rest.size() - dash > 7)
    return false;
  int sequence = 0;
  for (std::size_t i = dash + 1; i < rest.size(); ++i) {
    if (rest[i] < '0' || rest[i] > '9') return false;
    sequence = sequence * 10 + (rest[i] - '0');
  }
  chunk->volume = rest.substr(0, dash);
  chunk->sequence = sequence;
  chunk->kind = kind;
  return true;
}

// The chunk files of the directory by volume and sequence number.
std::map<std::string, std::map<int, Chunk>> ListChunks(const std::string& dir) {
  std::map<std::string, std::map<int, Chunk>> out;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) Fail(dir, "cannot open the directory");
  while (const dirent* e = ::readdir(d)) {
    Chunk chunk;
    if (!ParseChunkName(e->d_name, &chunk)) continue;
    chunk.path = dir + "/" + e->d_name;
    struct stat st {};
    if (::stat(chunk.path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    chunk.size = static_cast<long long>(st.st_size);
    out[chunk.volume][chunk.sequence] = chunk;
  }
  ::closedir(d);
  return out;
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail(path, "cannot open");
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

// Where the stream goes: a file (or standard output) or NATS.
class Sink {
 public:
  Sink(Connection& c, const IngestOptions& options) : name_(options.dir) {
    if (c.connection.servers.empty()) {
      out_ = std::make_unique<OutputFile>(options.output);
      stream::WriterOptions writer_options;
      writer_options.deterministic = true;
      writer_ = std::make_unique<stream::DelimitedWriter>(
          stream::DelimitedWriter::ToFd(out_->fd(), writer_options));
      return;
    }
    Finish(&c);
    if (Status s = nats::Publisher::Open(c.connection, c.stream, options.publisher, &publisher_);
        !s.ok()) {
      FailStatus(name_, s);
    }
  }

  // Writes one part of the volume and hands it on at once. The volume's
  // start and end (header and end marker) are its first sweep's start and
  // its last sweep's end.
  void Part(const kyt::pb::common::Volume& part, const stream::VolumePart& where) {
    stream::SplitOptions options;
    const int n = part.sweep_size();
    if (where.first && n > 0 && part.sweep(0).input_timespan().has_start()) {
      options.volume_start = part.sweep(0).input_timespan().start();
    }
    if (where.last && n > 0 && part.sweep(n - 1).input_timespan().has_end()) {
      options.volume_end = part.sweep(n - 1).input_timespan().end();
    }
    Status s = publisher_ ? stream::SplitVolumePart(part, where, options,
                                                    [this](kyt::pb::stream::RayStreamMessage&& m) {
                                                      return publisher_->Publish(m);
                                                    })
                          : stream::SplitVolumePart(part, where, options, writer_.get());
    if (s.ok() && writer_) s = writer_->Flush();
    if (!s.ok()) FailStatus(name_, s);
  }

  void Close() {
    Status s = publisher_ ? publisher_->Close() : writer_->Close();
    if (!s.ok()) FailStatus(name_, s);
    if (out_) out_->Commit();
  }

 private:
  std::string name_;
  std::unique_ptr<OutputFile> out_;
  std::unique_ptr<stream::DelimitedWriter> writer_;
  std::unique_ptr<nats::Publisher> publisher_;
};

// The chunk `sequence` of `volume` once its size held still for one poll
// (a chunk being written is not read half-way); null while it is not there.
const Chunk* Ready(const std::map<std::string, std::map<int, Chunk>>& chunks,
                   const std::string& volume, int sequence,
                   std::map<std::string, long long>* seen) {
  const auto v = chunks.find(volume);
  if (v == chunks.end()) return nullptr;
  const auto c = v->second.find(sequence);
  if (c == v->second.end()) return nullptr;
  auto& last = seen->emplace(c->second.path, -1).first->second;
  const bool still = last == c->second.size;
  last = c->second.size;
  return still ? &c->second : nullptr;
}

// The volume to read: as told, else the first (by name) with a start chunk.
std::string ChooseVolume(const std::map<std::string, std::map<int, Chunk>>& chunks,
                         const std::string& told) {
  for (const auto& [volume, sequence] : chunks) {
    if (!told.empty() && volume != told) continue;
    for (const auto& [n, chunk] : sequence) {
      if (chunk.kind == 'S') return volume;
    }
  }
  return "";
}

int RunIngest(Connection& c, const IngestOptions& options) {
  Sink sink(c, options);
  formats::NexradChunkReader reader;
  std::string volume;
  int next = 0;
  bool header_sent = false;
  std::map<std::string, long long> seen;
  std::set<std::string> noted;
  auto waiting_since = Clock::now();
  while (!reader.closed()) {
    const auto chunks = ListChunks(options.dir);
    if (volume.empty()) {
      volume = ChooseVolume(chunks, options.volume);
      if (!volume.empty()) {
        for (const auto& [n, chunk] : chunks.at(volume)) {
          if (chunk.kind == 'S') next = n;
        }
      }
    }
    const Chunk* chunk = volume.empty() ? nullptr : Ready(chunks, volume, next, &seen);
    if (chunk == nullptr) {
      if (Clock::now() - waiting_since > Seconds(options.timeout_s)) {
        if (volume.empty())
          Fail(options.dir, fmt::format("no start chunk arrived within {} s", options.timeout_s));
        sink.Close();  // what was sent stays sent
        Fail(options.dir,
             fmt::format("volume {}: chunk {} (sequence number {}) did not arrive within {} s",
                         volume, fmt::format("{}-{:03d}", volume, next), next, options.timeout_s));
      }
      std::this_thread::sleep_for(Seconds(options.poll_s));
      continue;
    }
    const Status status = reader.Feed(ReadWhole(chunk->path), chunk->kind == 'E');
    kyt::pb::common::Volume part;
    formats::Notes notes;
    stream::VolumePart where;
    where.first_sweep = reader.sweeps_taken();
    const int sweeps = reader.TakeSweeps(&part, &notes);
    where.first = !header_sent;
    where.last = reader.closed();
    // The volume header goes with the first sweep, whose radials hold the
    // site's position; what was read before a damaged chunk is sent all the
    // same.
    if (sweeps > 0 || where.last) {
      sink.Part(part, where);
      header_sent = true;
    }
    // Each kind of note once (every sweep would repeat them).
    for (const formats::Note& note : notes) {
      if (noted.insert(formats::NoteText(note)).second)
        Note(fmt::format("{}: {}", chunk->path, formats::NoteText(note)));
    }
    if (!status.ok()) {
      sink.Close();
      FailStatus(chunk->path, status);
    }
    Note(fmt::format("{}: {} sweep{} complete", chunk->path, sweeps, sweeps == 1 ? "" : "s"));
    ++next;
    waiting_since = Clock::now();
  }
  sink.Close();
  return kExitOk;
}

}  // namespace

std::function<int()> AddIngestCommand(CLI::App* app) {
  auto connection = std::make_shared<Connection>();
  auto options = std::make_shared<IngestOptions>();
  CLI::App* ingest =
      app->add_subcommand("ingest", "Read a radar's real-time feed into a ray stream");
  ingest->require_subcommand(1);
  CLI::App* nexrad = ingest->add_subcommand(
      "nexrad-chunks",
      "The chunk files of one NEXRAD Level II volume, read as they arrive in a directory");
  nexrad->add_option("dir", options->dir, "Directory the chunk files arrive in")->required();
  nexrad
      ->add_option("-o,--output", options->output,
                   "Ray stream file, or - for standard output (without --server)")
      ->capture_default_str();
  nexrad->add_option("--volume", options->volume,
                     "Volume to read (the part of the names before the sequence number; "
                     "default: the first with a start chunk)");
  nexrad->add_option("--timeout", options->timeout_s, "Seconds to wait for the next chunk")
      ->capture_default_str();
  nexrad->add_option("--poll", options->poll_s, "Seconds between looks into the directory")
      ->capture_default_str();
  AddConnectionOptions(nexrad, connection.get(), /*server_required=*/false);
  AddPublisherOptions(nexrad, &options->publisher);
  nexrad->footer(
      "Chunk files are named <volume>-<sequence>-<S|I|E> (start, intermediate, end), e.g.\n"
      "20241001-123456-001-S. Each sweep goes out as soon as the chunk completing it is read; the "
      "end\n"
      "chunk closes the volume. With --server the stream goes to NATS JetStream as publish sends "
      "it.\n"
      "Examples:\n"
      "  common-dto ingest nexrad-chunks /data/KTLX -o ktlx.rays\n"
      "  common-dto ingest nexrad-chunks /data/KTLX --server nats://127.0.0.1:4222 "
      "--create-stream");
  return [=]() -> int {
    if (!nexrad->parsed()) return -1;
    return RunIngest(*connection, *options);
  };
}

}  // namespace cli
}  // namespace common_dto
