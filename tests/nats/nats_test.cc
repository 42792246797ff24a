// The NATS transport against a real nats-server with JetStream: round trips
// equal to local reassembly, fan-out and sharing, repeats, crashes of the
// subscriber and the server, lost acknowledgements, a three-node cluster,
// refused credentials and oversized messages.
#include <google/protobuf/unknown_field_set.h>
#include <gtest/gtest.h>
#include <nats/nats.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <numeric>
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

std::unique_ptr<Publisher> OpenPublisher(const ConnectionOptions& c, const StreamOptions& s,
                                         PublisherOptions options = {}) {
  std::unique_ptr<Publisher> publisher;
  Status st;
  // A fresh cluster elects its JetStream leader first.
  for (int i = 0; i < 100; ++i) {
    if ((st = Publisher::Open(c, s, options, &publisher)).ok()) break;
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_TRUE(st.ok()) << st.message();
  return publisher;
}

std::unique_ptr<Subscriber> OpenSubscriber(const ConnectionOptions& c, const std::string& durable,
                                           SubscriberOptions options = {}) {
  options.durable = durable;
  std::unique_ptr<Subscriber> subscriber;
  Status st;
  // A cluster may be electing the stream's leader.
  for (int i = 0; i < 50; ++i) {
    if ((st = Subscriber::Open(c, StreamOptions{}, options, &subscriber)).ok()) break;
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
Messages SyntheticStream(const common_dto::synthetic::VolumeLayout& layout) {
  Volume volume;
  common_dto::synthetic::MakeVolume(layout, &volume);
  return Split(volume);
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

// `bytes` of a message of `type` encoded again with the entries of every
// map, at any depth, in reverse order: the same message as another producer
// may write it.
std::string ReverseMaps(const std::string& bytes, const google::protobuf::Descriptor* type) {
  using google::protobuf::UnknownField;
  google::protobuf::UnknownFieldSet in, out;
  EXPECT_TRUE(in.ParseFromString(bytes));
  std::vector<int> order(static_cast<std::size_t>(in.field_count()));
  std::iota(order.begin(), order.end(), 0);
  std::map<int, std::vector<int>> entries;  // map field number -> positions
  for (int i = 0; i < in.field_count(); ++i) {
    const auto* field = type->FindFieldByNumber(in.field(i).number());
    if (field != nullptr && field->is_map()) entries[field->number()].push_back(i);
  }
  for (const auto& [number, at] : entries) {
    for (std::size_t k = 0; k < at.size(); ++k) order[static_cast<std::size_t>(at[k])] = at[at.size() - 1 - k];
  }
  for (int i : order) {
    const UnknownField& f = in.field(i);
    const auto* field = type->FindFieldByNumber(f.number());
    switch (f.type()) {
      case UnknownField::TYPE_VARINT: out.AddVarint(f.number(), f.varint()); break;
      case UnknownField::TYPE_FIXED32: out.AddFixed32(f.number(), f.fixed32()); break;
      case UnknownField::TYPE_FIXED64: out.AddFixed64(f.number(), f.fixed64()); break;
      case UnknownField::TYPE_LENGTH_DELIMITED:
        if (field != nullptr && field->type() == google::protobuf::FieldDescriptor::TYPE_MESSAGE) {
          out.AddLengthDelimited(f.number(), ReverseMaps(f.length_delimited(), field->message_type()));
        } else {
          out.AddLengthDelimited(f.number(), f.length_delimited());
        }
        break;
      default: ADD_FAILURE() << "group in " << type->full_name();
    }
  }
  std::string result;
  out.SerializeToString(&result);
  return result;
}

TEST(NatsTransport, SubjectsAndIdentities) {
  const Messages m = VolumeStream(7, 1, 1, 2);
  ASSERT_EQ(Kinds(m), "VSRPPEsv");
  EXPECT_EQ(common_dto::nats::KindToken(m[0]), "volume");
  EXPECT_EQ(common_dto::nats::KindToken(m[3]), "data");
  EXPECT_EQ(common_dto::nats::MessageIdentity(m[0]), "01234567-89ab-cdef-0000-000000000007.vh");
  const std::string sweep = common_dto::FormatUuid(m[1].sweep_header().sweep_uuid());
  EXPECT_EQ(common_dto::nats::MessageIdentity(m[3]), sweep + ".pd.0.DBZ");
  EXPECT_EQ(common_dto::nats::MessageIdentity(m[5]), sweep + ".re.0");
  RayStreamMessage odd = m[3];
  odd.mutable_parameter_data()->mutable_data_type()->set_short_name("a b%\n");
  EXPECT_EQ(common_dto::nats::MessageIdentity(odd), sweep + ".pd.0.a%20b%25%0A");
  EXPECT_EQ(common_dto::nats::InstrumentToken("Test radar.1>*"), "Test_radar_1__");
  EXPECT_EQ(common_dto::nats::InstrumentToken(""), "unnamed");
}

// The demo-sized and a benchmark volume arrive as local reassembly makes
// them; publishing everything again (a retry) stores and delivers nothing twice.
TEST(NatsTransport, VolumesRoundTripExactlyAndRepublishingStoresNothingTwice) {
  NatsServer server;
  const ConnectionOptions c = Connect({server.url()});
  auto publisher = OpenPublisher(c, CreateStream());
  const Messages demo = SyntheticStream(common_dto::synthetic::VolumeD());
  const Messages bench = SyntheticStream(common_dto::synthetic::VolumeS());
  PublishAll(*publisher, demo);
  PublishAll(*publisher, bench);
  PublishAll(*publisher, demo);
  EXPECT_EQ(publisher->stats().duplicates, demo.size());
  EXPECT_EQ(StoredMessages(server.url()), demo.size() + bench.size());

  auto subscriber = OpenSubscriber(c, "archive");
  Received got;
  ReceiveExactly(*subscriber, 2, &got);
  ASSERT_EQ(got.volumes.size(), 2u);
  EXPECT_TRUE(got.volumes[0] == AssembleLocally(demo).at(0));
  EXPECT_TRUE(got.volumes[1] == AssembleLocally(bench).at(0));
  EXPECT_TRUE(got.problems.empty());
  EXPECT_EQ(subscriber->stats().messages, demo.size() + bench.size());
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

// A message repeated in the stream after the duplicate window is skipped
// when it is the same bytes, and reported when it differs.
TEST(NatsTransport, RepeatsAfterTheDuplicateWindow) {
  NatsServer server;
  const ConnectionOptions c = Connect({server.url()});
  StreamOptions s = CreateStream();
  s.duplicate_window = 1s;
  auto publisher = OpenPublisher(c, s);
  const Messages m = VolumeStream(3, 1, 4, 4);  // V S (R P P E)x4 s v
  Publish(*publisher, m, 0, 8);
  ASSERT_TRUE(publisher->Flush().ok());
  std::this_thread::sleep_for(1500ms);
  RayStreamMessage changed = m[3];
  changed.mutable_parameter_data()->mutable_data()->set_data("changed");
  ASSERT_TRUE(publisher->Publish(m[4]).ok());
  ASSERT_TRUE(publisher->Publish(changed).ok());
  Publish(*publisher, m, 8, m.size());
  ASSERT_TRUE(publisher->Flush().ok());

  auto subscriber = OpenSubscriber(c, "archive");
  Received got;
  Receive(*subscriber, 1, &got);
  ASSERT_EQ(got.volumes.size(), 1u);
  EXPECT_TRUE(got.volumes[0] == AssembleLocally(m).at(0));
  EXPECT_EQ(subscriber->stats().repeats, 1u);
  ASSERT_EQ(got.problems.size(), 1u);
  EXPECT_EQ(got.problems[0].code(), ErrorCode::kProtocol);
}

// A producer restarted in the middle of a volume sends it again from the
// start, after the duplicate window, written as another producer may write
// it (map entries in another order): the first half are repeats, the volume
// arrives once and nothing is reported.
TEST(NatsTransport, AVolumeSentAgainWithMapsInAnotherOrderIsARepeat) {
  NatsServer server;
  const ConnectionOptions c = Connect({server.url()});
  StreamOptions s = CreateStream();
  s.duplicate_window = 1s;
  const Messages m = SyntheticStream(common_dto::synthetic::VolumeD());
  {
    auto first = OpenPublisher(c, s);
    Publish(*first, m, 0, m.size() / 2);
    ASSERT_TRUE(first->Flush().ok());
  }
  std::this_thread::sleep_for(1500ms);
  // The second producer: its own connection, plain JetStream publishes.
  natsConnection* nc = nullptr;
  jsCtx* js = nullptr;
  ASSERT_EQ(natsConnection_ConnectTo(&nc, server.url().c_str()), NATS_OK);
  ASSERT_EQ(natsConnection_JetStream(&js, nc, nullptr), NATS_OK);
  const auto& header = m[0].volume_header();
  const std::string base = "rays." + common_dto::nats::InstrumentToken(header.instrument().name()) + "." +
                           common_dto::FormatUuid(header.volume_uuid()) + ".";
  std::size_t reordered = 0;
  for (const RayStreamMessage& message : m) {
    const std::string canonical = SerializeDeterministic(message);
    const std::string bytes = ReverseMaps(canonical, message.GetDescriptor());
    reordered += bytes != canonical;
    const std::string subject = base + std::string(common_dto::nats::KindToken(message));
    natsMsg* msg = nullptr;
    ASSERT_EQ(natsMsg_Create(&msg, subject.c_str(), nullptr, bytes.data(), static_cast<int>(bytes.size())), NATS_OK);
    natsMsgHeader_Set(msg, "Nats-Msg-Id", common_dto::nats::MessageIdentity(message).c_str());
    jsPubAck* ack = nullptr;
    EXPECT_EQ(js_PublishMsg(&ack, js, msg, nullptr, nullptr), NATS_OK);
    if (ack != nullptr) jsPubAck_Destroy(ack);
    natsMsg_Destroy(msg);
  }
  jsCtx_Destroy(js);
  natsConnection_Destroy(nc);
  EXPECT_GT(reordered, 0u);  // the headers' configurations hold maps
  EXPECT_EQ(StoredMessages(server.url()), m.size() / 2 + m.size());

  auto subscriber = OpenSubscriber(c, "archive");
  Received got;
  ReceiveExactly(*subscriber, 1, &got);
  ASSERT_EQ(got.volumes.size(), 1u);
  EXPECT_TRUE(got.volumes[0] == AssembleLocally(m).at(0));
  for (const Status& problem : got.problems) ADD_FAILURE() << problem.message();
  EXPECT_EQ(subscriber->stats().repeats, m.size() / 2);
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
  EXPECT_EQ(StoredMessages(server.url()), m.size());

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
  EXPECT_EQ(StoredMessages(server.url()), m.size());
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
  EXPECT_TRUE(Publisher::Open(c, CreateStream(), {}, &publisher).ok());
}

TEST(NatsTransport, MessageAboveMaxPayloadIsRefused) {
  NatsServer server("max_payload: 4096");
  auto publisher = OpenPublisher(Connect({server.url()}), CreateStream());
  const Messages m = VolumeStream(6, 1, 2, 2000);  // 4000-byte rays
  ASSERT_TRUE(publisher->Publish(m[0]).ok());
  ASSERT_TRUE(publisher->Publish(m[1]).ok());
  ASSERT_TRUE(publisher->Publish(m[2]).ok());
  Status st = publisher->Publish(m[3]);
  EXPECT_EQ(st.code(), ErrorCode::kTooLarge);
  const std::string size = std::to_string(m[3].ByteSizeLong());
  EXPECT_NE(st.message().find("above the server's max_payload of 4096 bytes"), std::string::npos) << st.message();
  EXPECT_TRUE(publisher->Flush().ok());
}

}  // namespace
}  // namespace common_dto_test
