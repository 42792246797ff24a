// common-dto publish and subscribe: ray streams through NATS JetStream.
#include <fmt/format.h>
#include <google/protobuf/util/time_util.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cmath>
#include <csignal>
#include <optional>
#include <sys/stat.h>
#include <thread>

#include "commands.h"
#include "common_dto/nats/publisher.h"
#include "common_dto/nats/subscriber.h"
#include "convert.h"
#include "instrument_data.pb.h"
#include "model.h"
#include "output.h"
#include "ray_stream_message.pb.h"

namespace common_dto {
namespace cli {

void AddConnectionOptions(CLI::App* command, Connection* c, bool server_required) {
  CLI::Option* server = command->add_option(
      "-s,--server", c->connection.servers,
      "Server URL, e.g. nats://host:4222 (repeat for the servers of a cluster)");
  if (server_required) server->required();
  command->add_option("--user", c->connection.user, "User name");
  command->add_option("--password", c->connection.password, "Password of --user");
  command->add_option("--token", c->connection.token, "Authentication token");
  command->add_option("--creds", c->connection.credentials_file, "Credentials file (JWT and NKey seed)");
  command->add_flag("--tls", c->connection.tls, "Require TLS");
  command->add_option("--tls-ca", c->connection.tls_ca_file, "Trusted certificates (PEM)");
  command->add_option("--tls-cert", c->connection.tls_cert_file, "Client certificate (PEM)");
  command->add_option("--tls-key", c->connection.tls_key_file, "Key of --tls-cert (PEM)");
  command->add_option("--max-reconnect", c->connection.max_reconnect,
                      "Reconnect attempts per server after a connection is lost (-1: no end)")
      ->capture_default_str();
  command->add_option("--stream", c->stream.name, "JetStream stream")->capture_default_str();
  command->add_option("--subject", c->stream.subject_prefix,
                      "Subject prefix: messages go to <prefix>.<instrument>.<volume>.<kind>")
      ->capture_default_str();
  command->add_flag("--create-stream", c->stream.create,
                    "Create the stream when it does not exist (else it must exist)");
  command->add_option("--replicas", c->stream.replicas, "Copies of a created stream in a cluster")
      ->capture_default_str();
  command->add_flag("--memory", c->stream.memory_storage, "A created stream is kept in memory only");
  command->add_option("--max-age", c->max_age_s, "A created stream drops messages older than this (seconds)");
  command->add_option("--max-bytes", c->stream.max_bytes, "A created stream keeps at most this many bytes")
      ->transform(CLI::AsSizeValue(false));
}

void Finish(Connection* c) { c->stream.max_age = std::chrono::seconds(std::llround(c->max_age_s)); }

void AddPublisherOptions(CLI::App* command, nats::PublisherOptions* p) {
  command->add_option("--instrument", p->instrument,
                      "Instrument token of the subjects (default: from each VolumeHeader's instrument name)");
  command->add_option("--max-pending", p->max_pending, "Unacknowledged NATS messages at a time")
      ->capture_default_str();
  command->add_option("--rays-per-message", p->rays_per_message,
                      "Consecutive rays of a sweep carried by one NATS message")
      ->capture_default_str();
  command->add_option("--bytes-per-message", p->bytes_per_message,
                      "Send a NATS message once its rays reach this size (default: by --rays-per-message only)")
      ->transform(CLI::AsSizeValue(false));
}

Status TransportError(std::string_view file, const Status& status, std::string_view where) {
  return Error(file, fmt::format("{} [{}]", status.message(), ErrorCodeName(status.code())), where,
               status.code(), status.location());
}

namespace {

using Seconds = std::chrono::duration<double>;

struct PublishOptions {
  std::string input;
  nats::PublisherOptions publisher;
  double rays_per_second = 0;
  InputOptions input_options;
};

struct SubscribeOptions {
  std::string outdir;
  nats::SubscriberOptions subscriber;
  bool sweeps = false;
  std::size_t count = 0;
  double idle_timeout_s = 0;
  double ack_wait_s = 30;
};

// Paces by rays (RayEnd messages) when asked.
class Pacer {
 public:
  explicit Pacer(double rays_per_second) : rate_(rays_per_second), start_(std::chrono::steady_clock::now()) {}
  void Ray() {
    if (rate_ <= 0) return;
    ++rays_;
    const auto due = start_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(Seconds(rays_ / rate_));
    std::this_thread::sleep_until(due);
  }

 private:
  double rate_;
  double rays_ = 0;
  std::chrono::steady_clock::time_point start_;
};

Result<int> RunPublish(Connection& c, const PublishOptions& options) {
  Finish(&c);
  InputOptions input_options = options.input_options;
  input_options.kind = InputKind::kStream;
  Result<std::unique_ptr<Input>> opened = Input::Open(options.input, input_options);
  if (!opened.ok()) return opened.status();
  Input* input = opened->get();
  if (input->type()->full_name() != kDefaultStreamType) {
    return Error(input->name(), fmt::format("publish reads a stream of {}", kDefaultStreamType));
  }
  // A file read as fast as it goes is a replay: rays may wait in the
  // publisher for the ones after them (a pipe may be a live stream).
  nats::PublisherOptions publisher_options = options.publisher;
  publisher_options.lookahead = options.rays_per_second <= 0 && input->size() > 0;
  std::unique_ptr<nats::Publisher> publisher;
  if (Status st = nats::Publisher::Open(c.connection, c.stream, publisher_options, &publisher); !st.ok()) {
    return TransportError(input->name(), st);
  }
  Pacer pacer(options.rays_per_second);
  {
    kyt::pb::stream::RayStreamMessage message;
    Progress progress(fmt::format("publish {}", input->name()), input->size());
    while (input->Next(&message)) {
      if (Status st = publisher->Publish(message); !st.ok()) return TransportError(input->name(), st, input->Where());
      if (message.has_ray_end()) pacer.Ray();
      progress.Update(input->bytes_read(), input->index() + 1);
    }
  }
  if (Status st = publisher->Close(); !st.ok()) return TransportError(input->name(), st);
  const nats::PublisherStats stats = publisher->stats();
  Note(fmt::format("{}: published {} messages as {} NATS messages ({}) to stream {}: {} stored, {} already there",
                   input->name(), stats.messages, stats.sent, FormatBytes(stats.bytes), c.stream.name,
                   stats.acknowledged - stats.duplicates, stats.duplicates));
  // What came before a damaged frame is published; then the damage is the error.
  if (Status damage = input->DamageError(); !damage.ok()) return damage;
  return kExitOk;
}

std::string StartText(const google::protobuf::Timestamp* start) {
  if (start == nullptr) return "nostart";
  std::string text = google::protobuf::util::TimeUtil::ToString(*start);  // 2026-01-01T00:00:00Z
  std::string compact;
  for (char ch : text) {
    if (ch != '-' && ch != ':') compact += ch;
  }
  return compact;
}

Status WriteData(const std::string& path, const kyt::pb::common::InstrumentData& data) {
  const Result<std::string> bytes = SerializeDeterministic(data);
  if (!bytes.ok()) return ErrorOf(path, bytes.status());
  Result<std::unique_ptr<OutputFile>> out = OutputFile::Open(path);
  if (!out.ok()) return out.status();
  (*out)->Write(*bytes);
  return (*out)->Commit();
}

std::sig_atomic_t volatile g_stop = 0;
extern "C" void OnStop(int) { g_stop = 1; }

Result<int> RunSubscribe(Connection& c, SubscribeOptions& options) {
  Finish(&c);
  // "volumes/" names files volumes/<name>, not volumes//<name>.
  while (options.outdir.size() > 1 && options.outdir.back() == '/') options.outdir.pop_back();
  ::mkdir(options.outdir.c_str(), 0755);
  struct stat st {};
  if (::stat(options.outdir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return Error(options.outdir, "not a directory");
  options.subscriber.ack_wait = std::chrono::milliseconds(std::llround(options.ack_wait_s * 1000));
  options.subscriber.assembler.delivery =
      options.sweeps ? stream::DeliveryMode::kSweepBySweep : stream::DeliveryMode::kWholeVolumes;
  std::unique_ptr<nats::Subscriber> subscriber;
  if (Status s = nats::Subscriber::Open(c.connection, c.stream, options.subscriber, &subscriber); !s.ok()) {
    return TransportError(c.stream.name, s);
  }
  std::size_t volumes = 0, problems = 0;
  nats::Handlers handlers;
  handlers.on_problem = [&](const Status& s) {
    ++problems;
    Warn(fmt::format("{}: {}", c.stream.name, s.message()));
  };
  handlers.on_volume = [&](stream::AssembledVolume&& v) {
    ++volumes;
    const std::string uuid = UuidText(v.volume.uuid());
    for (const std::string& item : v.missing) handlers.on_problem(Status(ErrorCode::kIncomplete, "volume " + uuid + " is incomplete: " + item));
    if (options.sweeps) return Status::Ok();
    const std::string path = fmt::format("{}/{}_{}.pb", options.outdir, StartText(v.start ? &*v.start : nullptr), uuid);
    kyt::pb::common::InstrumentData data;
    *data.mutable_volume() = std::move(v.volume);
    if (Status written = WriteData(path, data); !written.ok()) return written;
    Note(fmt::format("wrote {}", path));
    return Status::Ok();
  };
  handlers.on_sweep = [&](stream::AssembledSweep&& s) {
    const auto& span = s.sweep.input_timespan();
    const std::string path = fmt::format("{}/{}_{}.pb", options.outdir,
                                         StartText(span.has_start() ? &span.start() : nullptr), UuidText(s.sweep_uuid));
    kyt::pb::common::InstrumentData data;
    *data.mutable_sweep() = std::move(s.sweep);
    if (Status written = WriteData(path, data); !written.ok()) return written;
    Note(fmt::format("wrote {}", path));
    return Status::Ok();
  };
  std::signal(SIGINT, OnStop);
  std::signal(SIGTERM, OnStop);
  auto idle_since = std::chrono::steady_clock::now();
  while (!g_stop && (options.count == 0 || volumes < options.count)) {
    const std::size_t before = volumes;
    if (Status s = subscriber->Poll(std::chrono::milliseconds(500), handlers); !s.ok()) return TransportError(c.stream.name, s);
    if (volumes != before || subscriber->open_volumes() > 0) idle_since = std::chrono::steady_clock::now();
    if (options.idle_timeout_s > 0 && std::chrono::steady_clock::now() - idle_since > Seconds(options.idle_timeout_s)) break;
  }
  const nats::SubscriberStats stats = subscriber->stats();
  Note(fmt::format("{}: received {} volumes ({} sweeps), {} messages ({}), {} repeats skipped", c.stream.name,
                   stats.volumes, stats.sweeps, stats.messages, FormatBytes(stats.bytes), stats.repeats));
  return problems == 0 ? kExitOk : kExitFindings;
}

}  // namespace

std::function<Result<int>()> AddTransportCommands(CLI::App* app) {
  auto publish_c = std::make_shared<Connection>();
  auto publish = std::make_shared<PublishOptions>();
  CLI::App* pub = app->add_subcommand("publish", "Publish a ray stream to NATS JetStream");
  pub->add_option("stream", publish->input, "Ray stream file, pipe, or - for standard input")->required();
  AddConnectionOptions(pub, publish_c.get());
  AddPublisherOptions(pub, &publish->publisher);
  pub->add_option("--rays-per-second", publish->rays_per_second, "Pace the stream (default: as fast as possible)");
  pub->footer(
      "Each volume and sweep header and end, and each ray (or --rays-per-message rays), is one NATS message\n"
      "of stream frames on <prefix>.<instrument>.<volume-uuid>.<kind> with a Nats-Msg-Id, so publishing a\n"
      "stream again within the stream's duplicate window (2 minutes) stores nothing twice. A message above\n"
      "the server's max_payload is sent in pieces.\n"
      "Examples:\n"
      "  nats-server -js &\n"
      "  common-dto publish --server nats://127.0.0.1:4222 --create-stream demo-volume.rays");

  auto subscribe_c = std::make_shared<Connection>();
  auto subscribe = std::make_shared<SubscribeOptions>();
  CLI::App* sub = app->add_subcommand("subscribe", "Receive volumes or sweeps from NATS JetStream into files");
  sub->add_option("outdir", subscribe->outdir, "Directory for the files (made if missing)")->required();
  AddConnectionOptions(sub, subscribe_c.get());
  sub->add_option("--durable", subscribe->subscriber.durable,
                  "Durable consumer: remembers what was received; subscribers with the same name share volumes")
      ->required();
  sub->add_flag("--sweeps", subscribe->sweeps, "Write each sweep as it completes instead of whole volumes");
  sub->add_option("--count", subscribe->count, "Stop after this many volumes");
  sub->add_option("--idle-timeout", subscribe->idle_timeout_s, "Stop after this many seconds without data");
  sub->add_option("--instrument", subscribe->subscriber.instrument, "Only this instrument token")
      ->capture_default_str();
  sub->add_option("--ack-wait", subscribe->ack_wait_s,
                  "Seconds after which a volume claimed by a subscriber that stopped answering goes to another")
      ->capture_default_str();
  sub->footer(
      "Volumes are written as InstrumentData files <start>_<volume-uuid>.pb (sweeps: <start>_<sweep-uuid>.pb),\n"
      "byte for byte what 'common-dto assemble' writes from the same stream.\n"
      "Examples:\n"
      "  common-dto subscribe --server nats://radar-hub:4222 --durable archive --count 1 volumes/");

  return [=]() -> Result<int> {
    if (pub->parsed()) return RunPublish(*publish_c, *publish);
    if (sub->parsed()) return RunSubscribe(*subscribe_c, *subscribe);
    return -1;
  };
}

}  // namespace cli
}  // namespace common_dto
