// The NATS transport against a real nats-server with JetStream: round trips
// equal to local reassembly (rays alone, batched, cut into pieces), fan-out
// and sharing, repeats, crashes of the subscriber and the server, lost
// acknowledgements, a three-node cluster, refused credentials and rays
// above max_payload.
#include <google/protobuf/io/coded_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <gtest/gtest.h>
#include <nats/nats.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common_dto/nats/publisher.h"
#include "common_dto/nats/subjects.h"
#include "common_dto/nats/subscriber.h"
#include "common_dto/stream/assembler.h"
#include "common_dto/stream/framing.h"
#include "nats_server.h"
#include "common_dto/synthetic/volumes.h"
#include "stream_testing.h"
#include "wire_testing.h"

namespace common_dto_test {
namespace {

using common_dto::ErrorCode;
using common_dto::Status;
using common_dto::nats::ConnectionOptions;
using common_dto::nats::Handlers;
using common_dto::nats::Publisher;
using common_dto::nats::PublisherOptions;
using common_dto::nats::StreamOptions;
using common_dto::nats::Subscriber;
using common_dto::nats::SubscriberOptions;
using Messages = std::vector<RayStreamMessage>;
using namespace std::chrono_literals;

ConnectionOptions Connect(const std::vector<std::string>& urls) {
  ConnectionOptions c;
  c.servers = urls;
  c.reconnect_wait = 100ms;
  c.max_reconnect = 200;
  return c;
}

StreamOptions CreateStream(int replicas = 1) {
  StreamOptions s;
  s.create = true;
  s.replicas = replicas;
  return s;
}

// Publishers are closed before they go, and must close cleanly.
struct CloseFirst {
  void operator()(Publisher* publisher) const {
    Status st = publisher->Close();
    EXPECT_TRUE(st.ok()) << st.message();
    delete publisher;
  }
};
using PublisherPtr = std::unique_ptr<Publisher, CloseFirst>;

PublisherPtr OpenPublisher(const ConnectionOptions& c, const StreamOptions& s, PublisherOptions options = {}) {
  std::unique_ptr<Publisher> publisher;
  Status st;
  // A fresh cluster elects its JetStream leader first.
  for (int i = 0; i < 100; ++i) {
    if ((st = Publisher::Open(c, s, options, &publisher)).ok()) break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(st.ok()) << st.message();
  return PublisherPtr(publisher.release());
}

std::unique_ptr<Subscriber> OpenSubscriber(const ConnectionOptions& c, const std::string& durable,
                                           SubscriberOptions options = {}, const StreamOptions& s = {}) {
  options.durable = durable;
  std::unique_ptr<Subscriber> subscriber;
  Status st;
  // A cluster may be electing the stream's leader.
  for (int i = 0; i < 50; ++i) {
    if ((st = Subscriber::Open(c, s, options, &subscriber)).ok()) break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(st.ok()) << st.message();
  return subscriber;
}

void Publish(Publisher& publisher, const Messages& messages, std::size_t begin, std::size_t end) {
  for (std::size_t i = begin; i < end; ++i) {
    Status st = publisher.Publish(messages[i]);
    ASSERT_TRUE(st.ok()) << i << ": " << st.message();
  }
}

void PublishAll(Publisher& publisher, const Messages& messages) {
  Publish(publisher, messages, 0, messages.size());
  Status st = publisher.Flush();
  ASSERT_TRUE(st.ok()) << st.message();
}

// What a local Assembler makes of the stream: each volume's bytes.
std::vector<std::string> AssembleLocally(const Messages& messages) {
  common_dto::stream::Assembler assembler;
  std::vector<std::string> out;
  for (const RayStreamMessage& m : messages) {
    EXPECT_TRUE(assembler.Add(m).ok());
    for (auto& v : assembler.TakeVolumes()) out.push_back(SerializeDeterministic(v.volume));
  }
  return out;
}

// Polls until `count` volumes arrived or nothing more comes for `quiet`.
struct Received {
  std::vector<std::string> volumes;
  std::vector<Status> problems;
};
void Receive(Subscriber& subscriber, std::size_t count, Received* got,
             std::chrono::milliseconds quiet = 10s) {
  Handlers handlers;
  handlers.on_volume = [&](common_dto::stream::AssembledVolume&& v) {
    EXPECT_TRUE(v.complete);
    got->volumes.push_back(SerializeDeterministic(v.volume));
    return Status::Ok();
  };
  handlers.on_problem = [&](const Status& st) { got->problems.push_back(st); };
  auto last = std::chrono::steady_clock::now();
  while (got->volumes.size() < count && std::chrono::steady_clock::now() - last < quiet) {
    const std::size_t before = got->volumes.size();
    Status st = subscriber.Poll(200ms, handlers);
    ASSERT_TRUE(st.ok()) << st.message();
    if (got->volumes.size() != before) last = std::chrono::steady_clock::now();
  }
}

// Receives `expected` volumes however long they take to come (sanitized
// builds are slow), then waits a little more to see that nothing else does.
void ReceiveExactly(Subscriber& subscriber, std::size_t expected, Received* got) {
  Receive(subscriber, expected, got, 60s);
  Receive(subscriber, expected + 1, got, 1500ms);
}

PublisherOptions Patient(std::chrono::milliseconds ack_timeout, int retries) {
  PublisherOptions po;
  po.ack_timeout = ack_timeout;
  po.retries = retries;
  return po;
}

Messages VolumeStream(std::int64_t id, int sweeps = 2, int rays = 36, int gates = 20) {
  Volume volume = MakeVolume(sweeps, rays, gates);
  volume.mutable_uuid()->set_least_significant_bits(id);
  return Split(volume);
}

// The demo's volume (D) and a benchmark volume (S).
Volume SyntheticVolume(const common_dto::synthetic::VolumeLayout& layout) {
  Volume volume;
  common_dto::synthetic::MakeVolume(layout, &volume);
  return volume;
}
Messages SyntheticStream(const common_dto::synthetic::VolumeLayout& layout) {
  return Split(SyntheticVolume(layout));
}

std::uint64_t StoredMessages(const std::string& url) {
  natsConnection* nc = nullptr;
  jsCtx* js = nullptr;
  jsStreamInfo* si = nullptr;
  std::uint64_t n = 0;
  if (natsConnection_ConnectTo(&nc, url.c_str()) == NATS_OK &&
      natsConnection_JetStream(&js, nc, nullptr) == NATS_OK &&
      js_GetStreamInfo(&si, js, "RAYS", nullptr, nullptr) == NATS_OK) {
    n = si->State.Msgs;
  }
  if (si) jsStreamInfo_Destroy(si);
  if (js) jsCtx_Destroy(js);
  if (nc) natsConnection_Destroy(nc);
  return n;
}

// Claims handed out by durable consumer `durable` and not acknowledged.
std::int64_t PendingClaims(const std::string& url, const std::string& durable) {
  natsConnection* nc = nullptr;
  jsCtx* js = nullptr;
  jsConsumerInfo* ci = nullptr;
  std::int64_t n = -1;
  if (natsConnection_ConnectTo(&nc, url.c_str()) == NATS_OK &&
      natsConnection_JetStream(&js, nc, nullptr) == NATS_OK &&
      js_GetConsumerInfo(&ci, js, "RAYS", durable.c_str(), nullptr, nullptr) == NATS_OK) {
    n = ci->NumAckPending;
  }
  if (ci) jsConsumerInfo_Destroy(ci);
  if (js) jsCtx_Destroy(js);
  if (nc) natsConnection_Destroy(nc);
  return n;
}

// Starts the tool with `args`, its output going to `log`.
pid_t SpawnTool(const std::vector<std::string>& args, const std::string& log) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::freopen(log.c_str(), "a", stderr);
    std::vector<char*> argv{const_cast<char*>(COMMON_DTO_CLI)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(COMMON_DTO_CLI, argv.data());
    std::_Exit(127);
  }
  return pid;
}

int WaitTool(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(NatsTransport, SubjectsAndIdentities) {
  const Messages m = VolumeStream(7, 1, 1, 2);
  ASSERT_EQ(Kinds(m), "VSRPPEsv");
  EXPECT_EQ(common_dto::nats::KindToken(m[0]), "volume");
  EXPECT_EQ(common_dto::nats::KindToken(m[2]), "rays");
  EXPECT_EQ(common_dto::nats::KindToken(m[3]), "rays");
  EXPECT_EQ(common_dto::nats::KindToken(m[6]), "sweepend");
  EXPECT_EQ(common_dto::nats::MessageIdentity(m[0]), "01234567-89ab-cdef-0000-000000000007.vh");
  const auto& uuid = m[1].sweep_header().sweep_uuid();
  const std::string sweep = common_dto::FormatUuid(uuid);
  EXPECT_EQ(common_dto::nats::MessageIdentity(m[1]), sweep + ".sh");
  EXPECT_EQ(common_dto::nats::MessageIdentity(m[3]), sweep + ".r.0");
  EXPECT_EQ(common_dto::nats::MessageIdentity(m[5]), sweep + ".r.0");
  EXPECT_EQ(common_dto::nats::MessageIdentity(m[7]), "01234567-89ab-cdef-0000-000000000007.ve");
  EXPECT_EQ(common_dto::nats::RaysIdentity(uuid, 16, 31), sweep + ".r.16-31");
  EXPECT_EQ(common_dto::nats::PieceIdentity(sweep + ".r.3", 2, 12), sweep + ".r.3.2of12");
  EXPECT_EQ(common_dto::nats::InstrumentToken("Test radar.1>*"), "Test_radar_1__");
  EXPECT_EQ(common_dto::nats::InstrumentToken(""), "unnamed");
}

TEST(NatsTransport, PieceIdentitiesParse) {
  struct Case {
    const char* id;
    bool piece;
    const char* whole;
    std::size_t k, n;
  };
  const Case cases[] = {
      {"s.r.3.2of12", true, "s.r.3", 2, 12},
      {"s.r.3-7.1of1", true, "s.r.3-7", 1, 1},
      {"v.vh.12of12", true, "v.vh", 12, 12},
      {"s.r.3", false},
      {"s.r.3.13of12", false},  // beyond the count
      {"s.r.3.0of2", false},    // pieces count from 1
      {"s.r.3.01of2", false},
      {"s.r.3.1of", false},
      {"s.r.3.of2", false},
      {"s.r.3.1of2x", false},
      {"1of2", false},
  };
  for (const Case& c : cases) {
    std::string_view whole;
    std::size_t k = 0, n = 0;
    ASSERT_EQ(common_dto::nats::ParsePieceIdentity(c.id, &whole, &k, &n), c.piece) << c.id;
    if (!c.piece) continue;
    EXPECT_EQ(whole, c.whole) << c.id;
    EXPECT_EQ(k, c.k) << c.id;
    EXPECT_EQ(n, c.n) << c.id;
  }
}

// The demo-sized and a benchmark volume arrive as local reassembly makes
// them, the one published message by message, the other split on the fly;
// publishing everything again (a retry) stores and delivers nothing twice.
TEST(NatsTransport, VolumesRoundTripExactlyAndRepublishingStoresNothingTwice) {
  NatsServer server;
  const ConnectionOptions c = Connect({server.url()});
  auto publisher = OpenPublisher(c, CreateStream());
  const Volume demo_volume = SyntheticVolume(common_dto::synthetic::VolumeD());
  const Volume bench_volume = SyntheticVolume(common_dto::synthetic::VolumeS());
  const Messages demo = Split(demo_volume);
  const Messages bench = Split(bench_volume);
  PublishAll(*publisher, demo);
  const std::uint64_t demo_sent = publisher->stats().sent;
  // A header and an end per volume and sweep, a message per ray.
  const std::uint64_t demo_rays = static_cast<std::uint64_t>(std::count_if(
      demo.begin(), demo.end(), [](const RayStreamMessage& m) { return m.has_ray_end(); }));
  EXPECT_EQ(demo_sent, 2 + 2 * static_cast<std::uint64_t>(demo_volume.sweep_size()) + demo_rays);
  ASSERT_TRUE(publisher->PublishVolume(bench_volume).ok());
  ASSERT_TRUE(publisher->Flush().ok());
  const std::uint64_t sent = publisher->stats().sent;
  EXPECT_EQ(publisher->stats().messages, demo.size() + bench.size());
  ASSERT_TRUE(publisher->PublishVolume(demo_volume).ok());
  ASSERT_TRUE(publisher->Flush().ok());
  EXPECT_EQ(publisher->stats().duplicates, demo_sent);
  EXPECT_EQ(publisher->stats().sent, sent + demo_sent);
  EXPECT_EQ(StoredMessages(server.url()), sent);

  auto subscriber = OpenSubscriber(c, "archive");
  Received got;
  ReceiveExactly(*subscriber, 2, &got);
  ASSERT_EQ(got.volumes.size(), 2u);
  EXPECT_TRUE(got.volumes[0] == AssembleLocally(demo).at(0));
  EXPECT_TRUE(got.volumes[1] == AssembleLocally(bench).at(0));
  EXPECT_TRUE(got.problems.empty());
  EXPECT_EQ(subscriber->stats().messages, sent);
}

// Rays alone, batched by count or by bytes, and cut into pieces by a small
// max_payload: the same volume, in exactly the messages each way calls for.
TEST(NatsTransport, RaysBatchedOrCutArriveTheSame) {
  NatsServer server("max_payload: 8192");
  const ConnectionOptions c = Connect({server.url()});
  struct Case {
    const char* name;
    std::size_t rays, bytes;
    int gates;
    std::uint64_t sent, pieces;  // for 2 sweeps of 36 rays, 2 moments
  };
  // Rays of 20 gates are ~400 bytes of frames (4-byte samples), of 900
  // gates ~7.3 KB, of 1500 gates ~12.1 KB (two pieces each).
  const Case cases[] = {
      {"one per message", 1, 0, 20, 6 + 72, 0},
      {"16 per message", 16, 0, 20, 6 + 2 * 3, 0},
      {"by bytes", 1000, 1000, 20, 6 + 2 * 12, 0},  // 3 rays (>1000 bytes) each
      {"bounded by max_payload", 1000, 0, 900, 6 + 72, 0},
      {"cut into pieces", 1, 0, 1500, 6 + 72 * 2, 72 * 2},
  };
  std::int64_t id = 20;
  for (const Case& k : cases) {
    PublisherOptions po;
    po.rays_per_message = k.rays;
    po.bytes_per_message = k.bytes;
    StreamOptions stream = CreateStream();
    stream.name = "RAYS" + std::to_string(id);
    stream.subject_prefix = "rays" + std::to_string(id);
    auto publisher = OpenPublisher(c, stream, po);
    const Messages m = VolumeStream(id++, 2, 36, k.gates);
    PublishAll(*publisher, m);
    EXPECT_EQ(publisher->stats().sent, k.sent) << k.name;
    EXPECT_EQ(publisher->stats().pieces, k.pieces) << k.name;
    auto subscriber = OpenSubscriber(c, "archive", {}, stream);
    Received got;
    Receive(*subscriber, 1, &got);
    ASSERT_EQ(got.volumes.size(), 1u) << k.name;
    EXPECT_TRUE(got.volumes[0] == AssembleLocally(m).at(0)) << k.name;
    EXPECT_TRUE(got.problems.empty()) << k.name;
  }
}

// A live stream: the subscriber reads while the publisher is still sending.
TEST(NatsTransport, ReceivesWhilePublishing) {
  NatsServer server;
  const ConnectionOptions c = Connect({server.url()});
  auto publisher = OpenPublisher(c, CreateStream());
  auto subscriber = OpenSubscriber(c, "live");
  const Messages m = SyntheticStream(common_dto::synthetic::VolumeS());
  std::thread publish([&] { PublishAll(*publisher, m); });
  Received got;
  Receive(*subscriber, 1, &got);
  publish.join();
  ASSERT_EQ(got.volumes.size(), 1u);
  EXPECT_TRUE(got.volumes[0] == AssembleLocally(m).at(0));
}

// Two durable consumers each get every volume; two subscribers on one
// durable consumer share them, each volume going to exactly one.
TEST(NatsTransport, FanOutAndSharing) {
  NatsServer server;
  const ConnectionOptions c = Connect({server.url()});
  auto publisher = OpenPublisher(c, CreateStream());
  std::set<std::string> all;
  for (int v = 0; v < 6; ++v) {
    const Messages m = VolumeStream(100 + v, 1, 8, 4);
    PublishAll(*publisher, m);
    all.insert(AssembleLocally(m).at(0));
  }
  for (const char* durable : {"archive", "display"}) {
    auto subscriber = OpenSubscriber(c, durable);
    Received got;
    Receive(*subscriber, 6, &got);
    EXPECT_EQ(std::set<std::string>(got.volumes.begin(), got.volumes.end()), all) << durable;
  }
  SubscriberOptions one_at_a_time;
  one_at_a_time.max_volumes = 1;
  auto a = OpenSubscriber(c, "workers", one_at_a_time);
  auto b = OpenSubscriber(c, "workers", one_at_a_time);
  Received got_a, got_b;
  while (got_a.volumes.size() + got_b.volumes.size() < 6) {
    const std::size_t before = got_a.volumes.size() + got_b.volumes.size();
    Receive(*a, got_a.volumes.size() + 1, &got_a, 5s);
    Receive(*b, got_b.volumes.size() + 1, &got_b, 5s);
    if (got_a.volumes.size() + got_b.volumes.size() == before) break;
  }
  EXPECT_FALSE(got_a.volumes.empty());
  EXPECT_FALSE(got_b.volumes.empty());
  std::multiset<std::string> both(got_a.volumes.begin(), got_a.volumes.end());
  both.insert(got_b.volumes.begin(), got_b.volumes.end());
  EXPECT_EQ(both, std::multiset<std::string>(all.begin(), all.end()));
}

// A ray repeated in the stream after the duplicate window is skipped when
// it is the same, and reported when it differs.
TEST(NatsTransport, RepeatsAfterTheDuplicateWindow) {
  NatsServer server;
  const ConnectionOptions c = Connect({server.url()});
  StreamOptions s = CreateStream();
  s.duplicate_window = 1s;
  auto publisher = OpenPublisher(c, s);
  const Messages m = VolumeStream(3, 1, 4, 4);  // V S (R P P E)x4 s v
  Publish(*publisher, m, 0, 18);
  ASSERT_TRUE(publisher->Flush().ok());
  std::this_thread::sleep_for(1500ms);
  Publish(*publisher, m, 2, 6);  // ray 0 again, the same
  Messages changed(m.begin() + 6, m.begin() + 10);  // ray 1, other samples
  changed[1].mutable_parameter_data()->mutable_data()->set_data("changed");
  Publish(*publisher, changed, 0, changed.size());
  Publish(*publisher, m, 18, m.size());
  ASSERT_TRUE(publisher->Flush().ok());
  EXPECT_EQ(publisher->stats().sent, 2 + 2 + 4 + 2u);
  EXPECT_EQ(publisher->stats().duplicates, 0u);

  auto subscriber = OpenSubscriber(c, "archive");
  Received got;
  Receive(*subscriber, 1, &got);
  ASSERT_EQ(got.volumes.size(), 1u);
  EXPECT_TRUE(got.volumes[0] == AssembleLocally(m).at(0));
  EXPECT_EQ(subscriber->stats().repeats, 1u);
  // The changed ray's RayHeader, two ParameterData and RayEnd take places
  // already taken.
  ASSERT_EQ(got.problems.size(), 4u);
  for (const Status& st : got.problems) EXPECT_EQ(st.code(), ErrorCode::kProtocol) << st.message();
}

// `message` (a VolumeHeader) encoded with the entries of its first sweep
// configuration's data_moments in reverse key order: what a producer whose
// runtime orders map entries otherwise writes. Built field by field: the
// parser appends repeated elements and map entries in wire order and merges
// the rest.
std::string WithMomentsReversed(const RayStreamMessage& message) {
  auto field = [](int number, const std::string& bytes) {
    std::string out;
    google::protobuf::io::StringOutputStream stream(&out);
    google::protobuf::io::CodedOutputStream coded(&stream);
    coded.WriteTag(static_cast<std::uint32_t>(number << 3 | 2));
    coded.WriteVarint32(static_cast<std::uint32_t>(bytes.size()));
    coded.WriteRaw(bytes.data(), static_cast<int>(bytes.size()));
    coded.Trim();
    return out;
  };
  kyt::pb::stream::VolumeHeader header = message.volume_header();
  kyt::pb::common::VolumeConfig config = header.volume_config();
  kyt::pb::common::SweepConfig first = config.sweep_config(0);
  std::map<std::string, kyt::pb::common::DataDescriptor> moments(first.data_moments().begin(),
                                                                 first.data_moments().end());
  first.clear_data_moments();
  std::string first_bytes;
  for (auto it = moments.rbegin(); it != moments.rend(); ++it) {
    kyt::pb::common::SweepConfig one;
    (*one.mutable_data_moments())[it->first] = it->second;
    first_bytes += one.SerializeAsString();
  }
  first_bytes += first.SerializeAsString();
  config.mutable_sweep_config()->DeleteSubrange(0, 1);
  header.clear_volume_config();
  const std::string header_bytes = field(3, field(3, first_bytes) + config.SerializeAsString()) +
                                   header.SerializeAsString();
  return field(1, header_bytes);
}

// A restarted producer publishes the volume header again after the
// duplicate window, its map entries in another order: the same header, a
// repeat, not a conflict.
TEST(NatsTransport, HeaderAgainWithMapEntriesInAnotherOrderIsARepeat) {
  NatsServer server;
  const ConnectionOptions c = Connect({server.url()});
  StreamOptions s = CreateStream();
  s.duplicate_window = 1s;
  auto publisher = OpenPublisher(c, s);
  const Messages m = VolumeStream(12, 1, 4, 4);
  const std::string reordered = WithMomentsReversed(m[0]);
  RayStreamMessage parsed;
  ASSERT_TRUE(parsed.ParseFromString(reordered));
  ASSERT_EQ(SerializeDeterministic(parsed), SerializeDeterministic(m[0]));
  ASSERT_NE(reordered, m[0].SerializeAsString());
  ASSERT_EQ(m[0].volume_header().volume_config().sweep_config(0).data_moments().size(), 2u);
  Publish(*publisher, m, 0, m.size() - 1);
  ASSERT_TRUE(publisher->Flush().ok());
  std::this_thread::sleep_for(1500ms);
  {
    std::string frame;
    google::protobuf::io::StringOutputStream out(&frame);
    auto writer = common_dto::stream::DelimitedWriter::ToZeroCopyStream(&out);
    ASSERT_TRUE(writer.WriteSerialized(reordered).ok());
    ASSERT_TRUE(writer.Close().ok());
    const std::string uuid = common_dto::FormatUuid(m[0].volume_header().volume_uuid());
    const std::string subject = "rays." + common_dto::nats::InstrumentToken(m[0].volume_header().instrument().name()) +
                                "." + uuid + ".volume";
    natsConnection* nc = nullptr;
    jsCtx* js = nullptr;
    natsMsg* msg = nullptr;
    ASSERT_EQ(natsConnection_ConnectTo(&nc, server.url().c_str()), NATS_OK);
    ASSERT_EQ(natsConnection_JetStream(&js, nc, nullptr), NATS_OK);
    ASSERT_EQ(natsMsg_Create(&msg, subject.c_str(), nullptr, frame.data(), static_cast<int>(frame.size())), NATS_OK);
    ASSERT_EQ(natsMsgHeader_Set(msg, "Nats-Msg-Id", (uuid + ".vh").c_str()), NATS_OK);
    EXPECT_EQ(js_PublishMsg(nullptr, js, msg, nullptr, nullptr), NATS_OK);
    natsMsg_Destroy(msg);
    jsCtx_Destroy(js);
    natsConnection_Destroy(nc);
  }
  Publish(*publisher, m, m.size() - 1, m.size());
  ASSERT_TRUE(publisher->Flush().ok());

  auto subscriber = OpenSubscriber(c, "archive");
  Received got;
  ReceiveExactly(*subscriber, 1, &got);
  ASSERT_EQ(got.volumes.size(), 1u);
  EXPECT_TRUE(got.volumes[0] == AssembleLocally(m).at(0));
  EXPECT_TRUE(got.problems.empty()) << got.problems[0].message();
  EXPECT_EQ(subscriber->stats().repeats, 1u);
  EXPECT_EQ(subscriber->stats().reclaimed, 1u);  // the second header, a claim of a volume handed over
}

// The server killed in the middle of a stream and started again (file
// storage): the publisher reconnects and publishes again what was not
// acknowledged; nothing is lost and nothing stored twice.
TEST(NatsTransport, ServerRestartMidStreamLosesNothing) {
  NatsServer server;
  const ConnectionOptions c = Connect({server.url()});
  auto publisher = OpenPublisher(c, CreateStream(), Patient(1000ms, 10));
  const Messages m = VolumeStream(4, 2, 100, 50);
  Publish(*publisher, m, 0, m.size() / 2);
  server.Kill();
  server.Start();
  Publish(*publisher, m, m.size() / 2, m.size());
  Status st = publisher->Flush();
  ASSERT_TRUE(st.ok()) << st.message();
  EXPECT_EQ(StoredMessages(server.url()), 2 + 2 * 2 + 2 * 100u);  // headers, ends, rays

  auto subscriber = OpenSubscriber(c, "archive");
  Received got;
  Receive(*subscriber, 1, &got);
  ASSERT_EQ(got.volumes.size(), 1u);
  EXPECT_TRUE(got.volumes[0] == AssembleLocally(m).at(0));
}

// Acknowledgements lost (the server stopped past the timeout): the
// publisher sends again and the server drops the repeats.
TEST(NatsTransport, RetryAfterLostAcknowledgementStoresOnce) {
  NatsServer server;
  const ConnectionOptions c = Connect({server.url()});
  auto publisher = OpenPublisher(c, CreateStream(), Patient(300ms, 20));
  const Messages m = VolumeStream(5, 1, 20, 10);
  Publish(*publisher, m, 0, 2);  // the headers
  server.Pause();
  std::thread resume([&] {
    std::this_thread::sleep_for(700ms);
    server.Resume();
  });
  Publish(*publisher, m, 2, m.size());  // waits at the sweep's end
  resume.join();
  Status st = publisher->Flush();
  ASSERT_TRUE(st.ok()) << st.message();
  EXPECT_GT(publisher->stats().republished, 0u);
  EXPECT_GT(publisher->stats().duplicates, 0u);
  EXPECT_EQ(StoredMessages(server.url()), 2 + 2 + 20u);  // headers, ends, rays
  auto subscriber = OpenSubscriber(c, "archive");
  Received got;
  ReceiveExactly(*subscriber, 1, &got);
  ASSERT_EQ(got.volumes.size(), 1u);
  EXPECT_TRUE(got.volumes[0] == AssembleLocally(m).at(0));
}

// The tool's subscriber killed (SIGKILL) in the middle of a volume and
// started again: the volume arrives once, complete, as 'common-dto
// assemble' writes it.
TEST(NatsTransport, SubscriberKilledMidVolumeGetsItOnceAfterRestart) {
  NatsServer server;
  auto publisher = OpenPublisher(Connect({server.url()}), CreateStream());
  const Messages m = VolumeStream(8, 2, 100, 50);
  Publish(*publisher, m, 0, m.size() / 2);
  ASSERT_TRUE(publisher->Flush().ok());
  const std::string dir = server.dir(), out = dir + "/out", log = dir + "/tool.log";
  const std::vector<std::string> subscribe{"-q", "subscribe", "-s", server.url(), "--durable", "archive",
                                           "--ack-wait", "1", "--count", "1", out};
  const pid_t first = SpawnTool(subscribe, log);
  for (int i = 0; i < 200 && PendingClaims(server.url(), "archive") != 1; ++i) std::this_thread::sleep_for(25ms);
  ASSERT_EQ(PendingClaims(server.url(), "archive"), 1);
  std::this_thread::sleep_for(200ms);  // reading the first half
  ::kill(first, SIGKILL);
  WaitTool(first);
  Publish(*publisher, m, m.size() / 2, m.size());
  ASSERT_TRUE(publisher->Flush().ok());

  EXPECT_EQ(WaitTool(SpawnTool(subscribe, log)), 0) << ReadFile(log);
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(out)) files.push_back(entry.path());
  ASSERT_EQ(files.size(), 1u) << ReadFile(log);
  {
    auto writer = common_dto::stream::DelimitedWriter::ToFile(dir + "/volume.rays");
    for (const RayStreamMessage& message : m) ASSERT_TRUE(writer.Write(message).ok());
    ASSERT_TRUE(writer.Close().ok());
  }
  ASSERT_EQ(WaitTool(SpawnTool({"-q", "assemble", dir + "/volume.rays", dir + "/assembled.pb"}, log)), 0);
  EXPECT_TRUE(ReadFile(files[0]) == ReadFile(dir + "/assembled.pb"));
  // Nothing comes a second time, even after the claim's ack wait.
  auto again = OpenSubscriber(Connect({server.url()}), "archive");
  Received got;
  Receive(*again, 1, &got, 1500ms);
  EXPECT_TRUE(got.volumes.empty());
}

// A three-node cluster with the stream replicated three times: the node
// both clients are connected to is killed in the middle of a volume, and
// publishing and receiving go on through the other two.
TEST(NatsTransport, ClusterSurvivesTheLossOfANode) {
  const int routes[] = {FreePort(), FreePort(), FreePort()};
  std::string route_list;
  for (int port : routes) route_list += (route_list.empty() ? "" : ", ") + ("nats://127.0.0.1:" + std::to_string(port));
  std::vector<std::unique_ptr<NatsServer>> nodes;
  for (int i = 0; i < 3; ++i) {
    nodes.push_back(std::make_unique<NatsServer>(
        "cluster { name: radar, listen: 127.0.0.1:" + std::to_string(routes[i]) + ", routes: [" + route_list + "] }",
        "n" + std::to_string(i)));
  }
  const ConnectionOptions c = Connect({nodes[0]->url(), nodes[1]->url(), nodes[2]->url()});
  // Leader elections after the loss take seconds.
  auto publisher = OpenPublisher(c, CreateStream(3), Patient(1000ms, 60));
  ASSERT_TRUE(publisher);
  const Messages m = VolumeStream(9, 2, 100, 50);
  Publish(*publisher, m, 0, m.size() / 2);
  ASSERT_TRUE(publisher->Flush().ok());
  auto subscriber = OpenSubscriber(c, "archive");
  ASSERT_TRUE(subscriber);
  Received got;
  Receive(*subscriber, 1, &got, 1s);  // claims the volume, reads the first half
  EXPECT_EQ(subscriber->open_volumes(), 1u);

  nodes[0]->Kill();
  Publish(*publisher, m, m.size() / 2, m.size());
  Status st = publisher->Flush();
  ASSERT_TRUE(st.ok()) << st.message();
  // The meta and stream leaders are elected again first (slow under
  // sanitizers).
  Receive(*subscriber, 1, &got, 45s);
  ASSERT_EQ(got.volumes.size(), 1u) << subscriber->open_volumes() << " open, " << subscriber->stats().messages
                                    << " of " << m.size() << " messages, " << got.problems.size() << " problems";
  EXPECT_TRUE(got.volumes[0] == AssembleLocally(m).at(0));
}

// Sweep by sweep: a handler that fails on the second sweep gives the
// volume back; read again, it resumes after the sweep recorded as handed
// over, so every sweep comes exactly once.
TEST(NatsTransport, SweepsHandedOverAreNotRepeated) {
  NatsServer server;
  const ConnectionOptions c = Connect({server.url()});
  auto publisher = OpenPublisher(c, CreateStream());
  const Messages m = VolumeStream(10, 3, 8, 4);
  PublishAll(*publisher, m);
  SubscriberOptions so;
  so.assembler.delivery = common_dto::stream::DeliveryMode::kSweepBySweep;
  // The claim given back comes again at once; should the give-back be lost
  // on a loaded machine, it comes after ack_wait.
  so.ack_wait = 3s;
  auto subscriber = OpenSubscriber(c, "sweeps", so);
  std::vector<std::size_t> positions;
  std::size_t volumes = 0;
  bool fail_once = true;
  Handlers handlers;
  handlers.on_sweep = [&](common_dto::stream::AssembledSweep&& sweep) {
    if (sweep.position == 1 && std::exchange(fail_once, false)) {
      return Status(ErrorCode::kIo, "disk full");
    }
    positions.push_back(sweep.position);
    return Status::Ok();
  };
  handlers.on_volume = [&](common_dto::stream::AssembledVolume&&) {
    ++volumes;
    return Status::Ok();
  };
  EXPECT_EQ(subscriber->Poll(5s, handlers).code(), ErrorCode::kIo);
  for (int i = 0; i < 100 && volumes == 0; ++i) ASSERT_TRUE(subscriber->Poll(200ms, handlers).ok());
  const auto stats = subscriber->stats();
  EXPECT_EQ(positions, (std::vector<std::size_t>{0, 1, 2}))
      << subscriber->open_volumes() << " open, " << stats.messages << " messages, " << stats.sweeps << " sweeps";
  EXPECT_EQ(volumes, 1u);
}

TEST(NatsTransport, WrongPasswordIsRefused) {
  NatsServer server("authorization { user: radar, password: s3cret }");
  ConnectionOptions c = Connect({server.url()});
  c.user = "radar";
  c.password = "wrong";
  std::unique_ptr<Publisher> publisher;
  Status st = Publisher::Open(c, CreateStream(), {}, &publisher);
  EXPECT_EQ(st.code(), ErrorCode::kDenied);
  EXPECT_NE(st.message().find("Authorization Violation"), std::string::npos) << st.message();
  EXPECT_NE(st.message().find(server.url()), std::string::npos) << st.message();
  c.password = "s3cret";
  ASSERT_TRUE(Publisher::Open(c, CreateStream(), {}, &publisher).ok());
  EXPECT_TRUE(publisher->Close().ok());
}

// Rays above max_payload travel in pieces; published again after the
// duplicate window, the joined ray is a repeat.
TEST(NatsTransport, MessagesAboveMaxPayloadTravelInPieces) {
  NatsServer server("max_payload: 4096");
  const ConnectionOptions c = Connect({server.url()});
  StreamOptions s = CreateStream();
  s.duplicate_window = 1s;
  auto publisher = OpenPublisher(c, s);
  const Messages m = VolumeStream(6, 1, 3, 1000);
  std::size_t ray_bytes = 0;  // ray 0's frames: above 4096, below two pieces
  for (std::size_t i = 2; i < 6; ++i) ray_bytes += m[i].ByteSizeLong() + 2;
  ASSERT_GT(ray_bytes, 4096u);
  ASSERT_LT(ray_bytes, 2 * 3900u);
  Publish(*publisher, m, 0, m.size() - 2);
  ASSERT_TRUE(publisher->Flush().ok());
  const auto stats = publisher->stats();
  EXPECT_EQ(stats.pieces, 3 * 2u);
  EXPECT_EQ(stats.sent, 2 + stats.pieces);
  std::this_thread::sleep_for(1500ms);
  Publish(*publisher, m, 2, 6);  // ray 0 again, after the window
  Publish(*publisher, m, m.size() - 2, m.size());
  ASSERT_TRUE(publisher->Flush().ok());

  auto subscriber = OpenSubscriber(c, "archive");
  Received got;
  ReceiveExactly(*subscriber, 1, &got);
  ASSERT_EQ(got.volumes.size(), 1u);
  EXPECT_TRUE(got.volumes[0] == AssembleLocally(m).at(0));
  EXPECT_TRUE(got.problems.empty());
  EXPECT_EQ(subscriber->stats().repeats, 1u);  // the joined ray, once
}

// Close() answers for every message still waiting for its acknowledgement.
TEST(NatsTransport, CloseReportsWhatWasNotStored) {
  NatsServer server;
  const ConnectionOptions c = Connect({server.url()});
  std::unique_ptr<Publisher> publisher;
  ASSERT_TRUE(Publisher::Open(c, CreateStream(), Patient(200ms, 1), &publisher).ok());
  const Messages m = VolumeStream(11, 1, 10, 10);
  Publish(*publisher, m, 0, 2);
  server.Pause();
  Publish(*publisher, m, 2, 2 + 4 * 5);  // five rays, not acknowledged
  Status st = publisher->Close();
  server.Resume();
  EXPECT_EQ(st.code(), ErrorCode::kUnavailable) << st.message();
  EXPECT_NE(st.message().find("retries exhausted"), std::string::npos) << st.message();
  EXPECT_EQ(publisher->Publish(m[22]).code(), ErrorCode::kInvalidArgument);
  EXPECT_EQ(publisher->Close().code(), ErrorCode::kInvalidArgument);
}

}  // namespace
}  // namespace common_dto_test
