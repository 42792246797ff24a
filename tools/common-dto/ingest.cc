// common-dto ingest nexrad-chunks: a directory filled with the chunk files
// of a NEXRAD real-time feed, read as they arrive into a ray stream (to a
// file, standard output or NATS JetStream). The formats library reads the
// chunks; this watches the directory and writes what it hands back.
#include <dirent.h>
#include <fmt/format.h>
#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "commands.h"
#include "common_dto/formats/nexrad.h"
#include "common_dto/nats/publisher.h"
#include "common_dto/stream/framing.h"
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

// The chunk files of a directory by volume and sequence number.
using Chunks = std::map<std::string, std::map<int, Chunk>>;

bool ParseChunkName(const std::string& name, Chunk* chunk) {
  if (name.size() < 5 || name[name.size() - 2] != '-') return false;
  const char kind = name.back();
  if (kind != 'S' && kind != 'I' && kind != 'E') return false;
  const std::string rest = name.substr(0, name.size() - 2);
  const std::size_t dash = rest.rfind('-');
  // Up to 6 digits: the feed counts to 999, and no number overflows.
  if (dash == std::string::npos || dash == 0 || dash + 1 == rest.size() || rest.size() - dash > 7) {
    return false;
  }
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

Result<Chunks> ListChunks(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) {
    return Error(dir, fmt::format("cannot open the directory: {}", std::strerror(errno)), {},
                 ErrorCode::kIo);
  }
  Chunks out;
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

Result<std::string> ReadChunk(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  if (in) bytes << in.rdbuf();
  if (!in || in.bad()) {
    return Error(path, fmt::format("cannot read: {}", std::strerror(errno)), {}, ErrorCode::kIo);
  }
  return bytes.str();
}

// Where the stream goes: a file (or standard output), or NATS when a server
// is given.
class Sink {
 public:
  static Result<std::unique_ptr<Sink>> Open(Connection& c, const IngestOptions& options) {
    std::unique_ptr<Sink> sink(new Sink(options.dir));
    if (!c.connection.servers.empty()) {
      Finish(&c);
      const Status s =
          nats::Publisher::Open(c.connection, c.stream, options.publisher, &sink->publisher_);
      if (!s.ok()) return TransportError(options.dir, s);
      return sink;
    }
    Result<std::unique_ptr<OutputFile>> out = OutputFile::Open(options.output);
    if (!out.ok()) return out.status();
    sink->out_ = std::move(*out);
    stream::WriterOptions writer_options;
    writer_options.deterministic = true;
    sink->writer_ = std::make_unique<stream::DelimitedWriter>(
        stream::DelimitedWriter::ToFd(sink->out_->fd(), writer_options));
    return sink;
  }

  // Writes one part of the volume and hands it on at once. The volume's
  // start and end (header and end marker) are its first sweep's start and
  // its last sweep's end.
  Status Part(const kyt::pb::common::Volume& part, const stream::VolumePart& where) {
    stream::SplitOptions options;
    const int n = part.sweep_size();
    if (where.first && n > 0 && part.sweep(0).input_timespan().has_start()) {
      options.volume_start = part.sweep(0).input_timespan().start();
    }
    if (where.last && n > 0 && part.sweep(n - 1).input_timespan().has_end()) {
      options.volume_end = part.sweep(n - 1).input_timespan().end();
    }
    if (publisher_) {
      const Status s = stream::SplitVolumePart(
          part, where, options,
          [this](kyt::pb::stream::RayStreamMessage&& m) { return publisher_->Publish(m); });
      return s.ok() ? s : TransportError(name_, s);
    }
    Status s = stream::SplitVolumePart(part, where, options, writer_.get());
    if (s.ok()) s = writer_->Flush();
    return s.ok() ? s : ErrorOf(out_->display_name(), s);
  }

  // Makes what was sent final: the publisher's messages acknowledged, the
  // output file in place.
  Status Close() {
    if (publisher_) {
      const Status s = publisher_->Close();
      return s.ok() ? s : TransportError(name_, s);
    }
    if (const Status s = writer_->Close(); !s.ok()) return ErrorOf(out_->display_name(), s);
    return out_->Commit();
  }

 private:
  explicit Sink(std::string name) : name_(std::move(name)) {}

  std::string name_;
  std::unique_ptr<OutputFile> out_;
  std::unique_ptr<stream::DelimitedWriter> writer_;
  std::unique_ptr<nats::Publisher> publisher_;
};

// The volume to read: as told, else the first (by name) with a start chunk.
std::string ChooseVolume(const Chunks& chunks, const std::string& told) {
  for (const auto& [volume, sequence] : chunks) {
    if (!told.empty() && volume != told) continue;
    for (const auto& [n, chunk] : sequence) {
      if (chunk.kind == 'S') return volume;
    }
  }
  return "";
}

// Reads the chunks of one volume in sequence order as they arrive and hands
// each part of the volume they complete to the sink.
class ChunkFeed {
 public:
  ChunkFeed(const IngestOptions& options, Sink* sink) : options_(options), sink_(sink) {}

  // Until the end chunk was read; an error when a chunk does not arrive in
  // time, cannot be read or is damaged (what came before was sent).
  Status Run() {
    auto waiting_since = Clock::now();
    while (!reader_.closed()) {
      const Result<Chunks> chunks = ListChunks(options_.dir);
      if (!chunks.ok()) return chunks.status();
      const Chunk* chunk = NextChunk(*chunks);
      if (chunk == nullptr) {
        if (Clock::now() - waiting_since > Seconds(options_.timeout_s)) return TimedOut();
        std::this_thread::sleep_for(Seconds(options_.poll_s));
        continue;
      }
      if (Status read = Read(*chunk); !read.ok()) return read;
      ++next_;
      waiting_since = Clock::now();
    }
    return Status::Ok();
  }

  // Whether any part of the volume went to the sink.
  bool sent() const { return header_sent_; }

 private:
  // The next chunk once its size held still for one poll (a chunk being
  // written is not read half-way); null while it is not there.
  const Chunk* NextChunk(const Chunks& chunks) {
    if (volume_.empty()) {
      volume_ = ChooseVolume(chunks, options_.volume);
      if (volume_.empty()) return nullptr;
      for (const auto& [n, chunk] : chunks.at(volume_)) {
        if (chunk.kind == 'S') next_ = n;
      }
    }
    const auto v = chunks.find(volume_);
    if (v == chunks.end()) return nullptr;
    const auto c = v->second.find(next_);
    if (c == v->second.end()) return nullptr;
    long long& last = seen_.emplace(c->second.path, -1).first->second;
    const bool still = last == c->second.size;
    last = c->second.size;
    return still ? &c->second : nullptr;
  }

  Status TimedOut() const {
    if (volume_.empty()) {
      return Error(options_.dir,
                   fmt::format("no start chunk arrived within {} s", options_.timeout_s), {},
                   ErrorCode::kIncomplete);
    }
    return Error(
        options_.dir,
        fmt::format("volume {}: chunk {}-{:03d} (sequence number {}) did not arrive within {} s",
                    volume_, volume_, next_, next_, options_.timeout_s),
        {}, ErrorCode::kIncomplete);
  }

  // Feeds one chunk and sends the sweeps it completed. The volume header
  // goes with the first sweep, whose radials hold the site's position; what
  // was read before a damaged chunk is sent all the same.
  Status Read(const Chunk& chunk) {
    const Result<std::string> bytes = ReadChunk(chunk.path);
    if (!bytes.ok()) return bytes.status();
    const Status fed = reader_.Feed(*bytes, chunk.kind == 'E');
    kyt::pb::common::Volume part;
    formats::Notes notes;
    stream::VolumePart where;
    where.first_sweep = reader_.sweeps_taken();
    const int sweeps = reader_.TakeSweeps(&part, &notes);
    where.first = !header_sent_;
    where.last = reader_.closed();
    if (sweeps > 0 || where.last) {
      if (Status sent = sink_->Part(part, where); !sent.ok()) return sent;
      header_sent_ = true;
    }
    // Each kind of note once (every sweep would repeat them).
    for (const formats::Note& note : notes) {
      const std::string text = formats::NoteText(note);
      if (noted_.insert(text).second) Note(fmt::format("{}: {}", chunk.path, text));
    }
    if (!fed.ok()) return FormatsError(chunk.path, fed);
    Note(fmt::format("{}: {} sweep{} complete", chunk.path, sweeps, sweeps == 1 ? "" : "s"));
    return Status::Ok();
  }

  const IngestOptions& options_;
  Sink* sink_;
  formats::NexradChunkReader reader_;
  std::string volume_;
  int next_ = 0;  // sequence number of the chunk to read next
  bool header_sent_ = false;
  std::map<std::string, long long> seen_;  // chunk sizes at the last look
  std::set<std::string> noted_;
};

Result<int> RunIngest(Connection& c, const IngestOptions& options) {
  Result<std::unique_ptr<Sink>> sink = Sink::Open(c, options);
  if (!sink.ok()) return sink.status();
  ChunkFeed feed(options, sink->get());
  const Status status = feed.Run();
  // What was sent stays sent, an error after it included; an output that
  // received nothing is dropped with the error.
  if (!status.ok() && !feed.sent()) return status;
  const Status closed = (*sink)->Close();
  if (!status.ok()) return status;
  if (!closed.ok()) return closed;
  return kExitOk;
}

}  // namespace

std::function<Result<int>()> AddIngestCommand(CLI::App* app) {
  auto connection = std::make_shared<Connection>();
  auto options = std::make_shared<IngestOptions>();
  CLI::App* ingest =
      app->add_subcommand("ingest", "Read a radar's real-time feed into a ray stream");
  ingest->require_subcommand(1);
  CLI::App* nexrad = ingest->add_subcommand(
      "nexrad-chunks",
      "The chunk files of one NEXRAD Level II volume, read as they arrive in a directory");
  nexrad->add_option("dir", options->dir, "Directory the chunk files arrive in")->required();
  CLI::Option* output =
      nexrad
          ->add_option("-o,--output", options->output,
                       "Ray stream file, or - for standard output (without --server)")
          ->capture_default_str();
  nexrad->add_option("--volume", options->volume,
                     "Volume to read (the part of the names before the sequence number; "
                     "default: the first with a start chunk)");
  nexrad->add_option("--timeout", options->timeout_s, "Seconds to wait for the next chunk")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  nexrad->add_option("--poll", options->poll_s, "Seconds between looks into the directory")
      ->check(CLI::PositiveNumber)
      ->capture_default_str();
  AddConnectionOptions(nexrad, connection.get(), /*server_required=*/false);
  output->excludes(nexrad->get_option("--server"));
  AddPublisherOptions(nexrad, &options->publisher);
  nexrad->footer(
      "Chunk files are named <volume>-<sequence>-<S|I|E> (start, intermediate, end), e.g.\n"
      "20241001-123456-001-S. Each sweep goes out as soon as the chunk completing it is read;\n"
      "the end chunk closes the volume. With --server the stream goes to NATS JetStream as\n"
      "publish sends it.\n"
      "Examples:\n"
      "  common-dto ingest nexrad-chunks /data/KTLX -o ktlx.rays\n"
      "  common-dto ingest nexrad-chunks /data/KTLX --server nats://127.0.0.1:4222 --create-stream");
  return [=]() -> Result<int> {
    if (!nexrad->parsed()) return -1;
    return RunIngest(*connection, *options);
  };
}

}  // namespace cli
}  // namespace common_dto
