// The NATS transport against a real nats-server with JetStream: round trips
// equal to local reassembly (rays alone, batched, cut into pieces), fan-out
// and sharing, repeats, crashes of the subscriber and the server, lost
// acknowledgements, a three-node cluster, refused credentials and rays
// above max_payload.
#include <gtest/gtest.h>
#include <nats/nats.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "common_dto/nats/publisher.h"
#include "common_dto/nats/subjects.h"
#include "common_dto/nats/subscriber.h"
#include "common_dto/stream/assembler.h"
#include "common_dto/stream/framing.h"
#include "common_dto/synthetic/volumes.h"
#include "instrument_data.pb.h"
#include "nats_server.h"
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

StreamOptions CreateStream(int replicas = 1, std::chrono::seconds duplicate_window = 120s) {
  StreamOptions s;
  s.create = true;
  s.replicas = replicas;
  s.duplicate_window = duplicate_window;
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

// Opens with `open` (Publisher::Open or Subscriber::Open), trying again for
// a while: a fresh cluster elects its leaders first.
template <typename T, typename Open>
std::unique_ptr<T> OpenRetrying(Open&& open) {
  std::unique_ptr<T> out;
  Status st;
  for (int i = 0; i < 100 && !(st = open(&out)).ok(); ++i) std::this_thread::sleep_for(100ms);
  EXPECT_TRUE(st.ok()) << st.message();
  return out;
}

PublisherPtr OpenPublisher(const ConnectionOptions& c, const StreamOptions& s, PublisherOptions options = {}) {
  return PublisherPtr(OpenRetrying<Publisher>([&](auto* out) { return Publisher::Open(c, s, options, out); }).release());
}

std::unique_ptr<Subscriber> OpenSubscriber(const ConnectionOptions& c, const std::string& durable,
                                           SubscriberOptions options = {}, const StreamOptions& s = {}) {
  options.durable = durable;
  return OpenRetrying<Subscriber>([&](auto* out) { return Subscriber::Open(c, s, options, out); });
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

// What a local Assembler makes of the stream of one volume.
std::string Assembled(const Messages& messages) {
  common_dto::stream::Assembler assembler;
  for (const RayStreamMessage& m : messages) EXPECT_TRUE(assembler.Add(m).ok());
  auto volumes = assembler.TakeVolumes();
  return volumes.size() == 1 ? SerializeDeterministic(volumes[0].volume) : "";
}

// Polls until `count` volumes arrived or nothing more comes for `quiet`.
struct Received {
  std::vector<std::string> volumes;
  std::vector<Status> problems;
};
void Receive(Subscriber& subscriber, std::size_t count, Received* got, std::chrono::milliseconds quiet = 10s) {
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

// Runs `request` on a JetStream context of a connection of its own.
template <typename Request>
void WithJetStream(const std::string& url, Request&& request) {
  natsConnection* nc = nullptr;
  jsCtx* js = nullptr;
  if (natsConnection_ConnectTo(&nc, url.c_str()) == NATS_OK && natsConnection_JetStream(&js, nc, nullptr) == NATS_OK) {
    request(js);
  }
  if (js) jsCtx_Destroy(js);
  if (nc) natsConnection_Destroy(nc);
}

std::uint64_t StoredMessages(const std::string& url, const std::string& stream = "RAYS") {
  std::uint64_t n = 0;
  WithJetStream(url, [&](jsCtx* js) {
    jsStreamInfo* si = nullptr;
    if (js_GetStreamInfo(&si, js, stream.c_str(), nullptr, nullptr) != NATS_OK) return;
    n = si->State.Msgs;
    jsStreamInfo_Destroy(si);
  });
  return n;
}

// The Nats-Msg-Id of every message of `stream`, in stream order.
std::vector<std::string> StreamOrder(const std::string& url, const std::string& stream = "RAYS") {
  std::vector<std::string> ids;
  const std::uint64_t count = StoredMessages(url, stream);
  WithJetStream(url, [&](jsCtx* js) {
    for (std::uint64_t seq = 1; seq <= count; ++seq) {
      natsMsg* msg = nullptr;
      if (js_GetMsg(&msg, js, stream.c_str(), seq, nullptr, nullptr) != NATS_OK) continue;
      const char* id = "";
      natsMsgHeader_Get(msg, "Nats-Msg-Id", &id);
      ids.emplace_back(id);
      natsMsg_Destroy(msg);
    }
  });
  return ids;
}

// Checks the order the Assembler needs whatever was retried: each sweep's
// header before its rays, its end after them. Returns the most sweeps open
// at once, and whether a ray came after a later sweep's header.
std::pair<std::size_t, bool> CheckSweepOrder(const std::vector<std::string>& ids) {
  std::map<std::string, int> state;  // sweep -> 1 open, 2 ended
  std::size_t open = 0, most = 0;
  bool overtaken = false;
  std::string newest;  // the sweep whose header came last
  for (const std::string& id : ids) {
    const std::string sweep = id.substr(0, id.find('.'));
    const std::string kind = id.substr(sweep.size());
    if (kind.rfind(".sh", 0) == 0) {
      EXPECT_EQ(state[sweep], 0) << id;
      state[sweep] = 1;
      most = std::max(most, ++open);
      newest = sweep;
    } else if (kind.rfind(".r.", 0) == 0) {
      EXPECT_EQ(state[sweep], 1) << "ray outside its sweep: " << id;
      overtaken = overtaken || sweep != newest;
    } else if (kind.rfind(".se", 0) == 0) {
      EXPECT_EQ(state[sweep], 1) << id;
      state[sweep] = 2;
      --open;
    }
  }
  EXPECT_EQ(open, 0u);
  return {most, overtaken};
}

// Claims handed out by durable consumer `durable` and not acknowledged.
std::int64_t PendingClaims(const std::string& url, const std::string& durable) {
  std::int64_t n = -1;
  WithJetStream(url, [&](jsCtx* js) {
    jsConsumerInfo* ci = nullptr;
    if (js_GetConsumerInfo(&ci, js, "RAYS", durable.c_str(), nullptr, nullptr) != NATS_OK) return;
    n = ci->NumAckPending;
    jsConsumerInfo_Destroy(ci);
  });
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

// The identities and subject tokens other consumers of the stream rely on.
TEST(NatsTransport, IdentitiesAndSubjectTokens) {
  namespace nats = common_dto::nats;
  const Messages m = VolumeStream(7, 1, 1, 2);
  ASSERT_EQ(Kinds(m), "VSRPPEsv");
  const std::string volume = "01234567-89ab-cdef-0000-000000000007";
  const std::string sweep = common_dto::FormatUuid(m[1].sweep_header().sweep_uuid());
  const std::pair<const char*, std::string> expected[] = {
      {"volume", volume + ".vh"}, {"sweep", sweep + ".sh"},    {"rays", sweep + ".r.0"},   {"rays", sweep + ".r.0"},
      {"rays", sweep + ".r.0"},   {"rays", sweep + ".r.0"},    {"sweepend", sweep + ".se"}, {"volumeend", volume + ".ve"}};
  for (std::size_t i = 0; i < m.size(); ++i) {
    EXPECT_EQ(nats::KindToken(m[i]), expected[i].first) << i;
    EXPECT_EQ(nats::MessageIdentity(m[i]), expected[i].second) << i;
  }
  EXPECT_EQ(nats::RaysIdentity(m[1].sweep_header().sweep_uuid(), 16, 31), sweep + ".r.16-31");
  EXPECT_EQ(nats::PieceIdentity(sweep + ".r.3", 2, 12), sweep + ".r.3.2of12");
  EXPECT_EQ(nats::InstrumentToken("Test radar.1>*"), "Test_radar_1__");
  EXPECT_EQ(nats::InstrumentToken(""), "unnamed");
  // A piece's identity, and what is not one (k counts from 1, up to n).
  const std::tuple<const char*, const char*, std::size_t, std::size_t> pieces[] = {
      {"s.r.3.2of12", "s.r.3", 2, 12}, {"s.r.3-7.1of1", "s.r.3-7", 1, 1}, {"v.vh.12of12", "v.vh", 12, 12},
      {"s.r.3", nullptr, 0, 0},        {"s.r.3.13of12", nullptr, 0, 0},  {"s.r.3.0of2", nullptr, 0, 0},
      {"s.r.3.01of2", nullptr, 0, 0},  {"s.r.3.1of", nullptr, 0, 0},    {"s.r.3.of2", nullptr, 0, 0},
      {"s.r.3.1of2x", nullptr, 0, 0},  {"1of2", nullptr, 0, 0}};
  for (const auto& [id, whole, k, n] : pieces) {
    std::string_view got_whole;
    std::size_t got_k = 0, got_n = 0;
    ASSERT_EQ(nats::ParsePieceIdentity(id, &got_whole, &got_k, &got_n), whole != nullptr) << id;
    if (whole == nullptr) continue;
    EXPECT_EQ(std::make_tuple(std::string(got_whole), got_k, got_n), std::make_tuple(std::string(whole), k, n)) << id;
  }
}

// Whole volumes received live while they are published: message by message
// or split on the fly, rays alone, batched by count or by bytes, bounded by
// the stream's largest message or cut into pieces. Each arrives as local
// reassembly makes it, in exactly the messages each way calls for, and
// publishing everything again (a retry) stores nothing twice.
TEST(NatsTransport, VolumesRoundTripExactlyInTheMessagesTheyCallFor) {
  NatsServer server;
  const ConnectionOptions c = Connect({server.url()});
  Volume demo, bench;
  common_dto::synthetic::MakeVolume(common_dto::synthetic::VolumeD(), &demo);
  common_dto::synthetic::MakeVolume(common_dto::synthetic::VolumeS(), &bench);
  auto per_ray = [](const Volume& v) {  // each header and end alone, and each ray (R P.. E)
    const std::string kinds = Kinds(Split(v));
    return static_cast<std::uint64_t>(std::count_if(kinds.begin(), kinds.end(), [](char k) { return k != 'R' && k != 'P'; }));
  };
  struct Case {
    const char* name;
    Volume volume;
    bool split_on_the_fly;
    std::size_t rays, bytes;
    std::int32_t largest;  // the stream's largest message; -1: the server's
    std::uint64_t sent, pieces;
  };
  // VolumeStream's rays of 20 gates are ~400 bytes of frames (4-byte
  // samples), of 900 gates ~7.3 KB, of 1500 gates ~12.1 KB (two pieces).
  const Case cases[] = {
      {"the demo volume, message by message", demo, false, 1, 0, -1, per_ray(demo), 0},
      {"a benchmark volume, split on the fly", bench, true, 1, 0, -1, per_ray(bench), 0},
      {"16 per message", MakeVolume(2, 36, 20), false, 16, 0, -1, 6 + 2 * 3, 0},
      {"by bytes", MakeVolume(2, 36, 20), true, 1000, 1000, -1, 6 + 2 * 12, 0},  // 3 rays (>1000 bytes) each
      {"bounded by the largest message", MakeVolume(2, 36, 900), false, 1000, 0, 8192, 6 + 72, 0},
      {"cut into pieces", MakeVolume(2, 36, 1500), true, 1, 0, 8192, 6 + 72 * 2, 72 * 2},
  };
  int id = 0;
  for (const Case& k : cases) {
    PublisherOptions po;
    po.rays_per_message = k.rays;
    po.bytes_per_message = k.bytes;
    StreamOptions stream = CreateStream();
    stream.name = "RAYS" + std::to_string(++id);
    stream.subject_prefix = "rays" + std::to_string(id);
    stream.max_message_size = k.largest;
    auto publisher = OpenPublisher(c, stream, po);
    auto subscriber = OpenSubscriber(c, "archive", {}, stream);
    const Messages m = Split(k.volume);
    auto publish = [&] {
      if (k.split_on_the_fly) {
        ASSERT_TRUE(publisher->PublishVolume(k.volume).ok());
      } else {
        PublishAll(*publisher, m);
      }
      ASSERT_TRUE(publisher->Flush().ok());
    };
    std::thread live([&] { publish(); });
    Received got;
    Receive(*subscriber, 1, &got);
    live.join();
    EXPECT_EQ(publisher->stats().sent, k.sent) << k.name;
    EXPECT_EQ(publisher->stats().pieces, k.pieces) << k.name;
    publish();
    EXPECT_EQ(publisher->stats().duplicates, k.sent) << k.name;
    EXPECT_EQ(StoredMessages(server.url(), stream.name), k.sent) << k.name;
    ASSERT_EQ(got.volumes.size(), 1u) << k.name;
    EXPECT_TRUE(got.volumes[0] == Assembled(m)) << k.name;
    EXPECT_TRUE(got.problems.empty()) << k.name;
    EXPECT_EQ(subscriber->stats().messages, k.sent) << k.name;
  }
}

// Two durable consumers each get every volume; two subscribers on one
// durable consumer share them, each volume going to exactly one.
TEST(NatsTransport, FanOutAndSharing) {
  NatsServer server;
  const ConnectionOptions c = Connect({server.url()});
  auto publisher = OpenPublisher(c, CreateStream());
  std::multiset<std::string> all;
  for (int v = 0; v < 6; ++v) {
    const Messages m = VolumeStream(100 + v, 1, 8, 4);
    PublishAll(*publisher, m);
    all.insert(Assembled(m));
  }
  for (const char* durable : {"archive", "display"}) {
    auto subscriber = OpenSubscriber(c, durable);
    Received got;
    Receive(*subscriber, 6, &got);
    EXPECT_EQ(std::multiset<std::string>(got.volumes.begin(), got.volumes.end()), all) << durable;
  }
  SubscriberOptions one_at_a_time;
  one_at_a_time.max_volumes = 1;
  auto a = OpenSubscriber(c, "workers", one_at_a_time);
  auto b = OpenSubscriber(c, "workers", one_at_a_time);
  Received got_a, got_b;
  for (int round = 0; round < 24 && got_a.volumes.size() + got_b.volumes.size() < 6; ++round) {
    Receive(*a, got_a.volumes.size() + 1, &got_a, 2s);
    Receive(*b, got_b.volumes.size() + 1, &got_b, 2s);
  }
  EXPECT_FALSE(got_a.volumes.empty());
  EXPECT_FALSE(got_b.volumes.empty());
  got_a.volumes.insert(got_a.volumes.end(), got_b.volumes.begin(), got_b.volumes.end());
  EXPECT_EQ(std::multiset<std::string>(got_a.volumes.begin(), got_a.volumes.end()), all);
}

// `message` (a VolumeHeader with two data moments in its first sweep
// configuration) as a producer whose runtime writes map entries in another
// order encodes it: the two entries swapped in place, which changes no
// length around them.
std::string WithMomentsSwapped(const RayStreamMessage& message) {
  const auto& moments = message.volume_header().volume_config().sweep_config(0).data_moments();
  if (moments.size() != 2) return "";
  std::string entries[2];  // each as the map field encodes it, in key order
  int i = 0;
  for (const auto& [name, descriptor] : std::map<std::string, kyt::pb::common::DataDescriptor>(moments.begin(), moments.end())) {
    kyt::pb::common::SweepConfig one;
    (*one.mutable_data_moments())[name] = descriptor;
    entries[i++] = SerializeDeterministic(one);
  }
  std::string bytes = SerializeDeterministic(message);
  const std::size_t at = bytes.find(entries[0] + entries[1]);
  EXPECT_NE(at, std::string::npos);
  return bytes.replace(at, entries[0].size() + entries[1].size(), entries[1] + entries[0]);
}

// Messages stored again after the duplicate window (a restarted producer):
// the same ray is skipped; a changed ray is reported, its four messages
// taking places already taken; the volume header with its map entries in
// another order is a repeat (and a claim of a volume handed over); a ray
// above the server's max_payload travels in pieces and, published again, is
// one repeat once joined.
TEST(NatsTransport, RepeatsAfterTheDuplicateWindow) {
  NatsServer server("max_payload: 4096");
  const ConnectionOptions c = Connect({server.url()});
  auto publisher = OpenPublisher(c, CreateStream(1, 1s));
  const Messages small = VolumeStream(3, 1, 4, 4);   // V S (R P P E)x4 s v
  const Messages large = VolumeStream(6, 1, 3, 1000);  // rays of two pieces each
  const std::string reordered = WithMomentsSwapped(small[0]);
  ASSERT_NE(reordered, SerializeDeterministic(small[0]));
  Publish(*publisher, small, 0, 18);
  Publish(*publisher, large, 0, large.size() - 2);
  ASSERT_TRUE(publisher->Flush().ok());
  EXPECT_EQ(publisher->stats().pieces, 3 * 2u);
  EXPECT_EQ(publisher->stats().sent, 2 + 4 + 2 + 3 * 2u);
  std::this_thread::sleep_for(1500ms);
  Publish(*publisher, small, 2, 6);                   // ray 0 again, the same
  Messages changed(small.begin() + 6, small.begin() + 10);  // ray 1, other samples
  changed[1].mutable_parameter_data()->mutable_data()->set_data("changed");
  Publish(*publisher, changed, 0, changed.size());
  Publish(*publisher, large, 2, 6);                   // the large ray 0 again
  WithJetStream(server.url(), [&](jsCtx* js) {
    std::string frame;
    google::protobuf::io::StringOutputStream out(&frame);
    auto writer = common_dto::stream::DelimitedWriter::ToZeroCopyStream(&out);
    ASSERT_TRUE(writer.WriteSerialized(reordered).ok());
    ASSERT_TRUE(writer.Close().ok());
    const std::string uuid = common_dto::FormatUuid(small[0].volume_header().volume_uuid());
    const std::string subject =
        "rays." + common_dto::nats::InstrumentToken(small[0].volume_header().instrument().name()) + "." + uuid + ".volume";
    const std::string id = uuid + ".vh";
    jsPubOptions po;
    jsPubOptions_Init(&po);
    po.MsgId = id.c_str();
    EXPECT_EQ(js_Publish(nullptr, js, subject.c_str(), frame.data(), static_cast<int>(frame.size()), &po, nullptr), NATS_OK);
  });
  Publish(*publisher, small, 18, small.size());
  Publish(*publisher, large, large.size() - 2, large.size());
  ASSERT_TRUE(publisher->Flush().ok());
  EXPECT_EQ(publisher->stats().duplicates, 0u);

  auto subscriber = OpenSubscriber(c, "archive");
  Received got;
  ReceiveExactly(*subscriber, 2, &got);
  ASSERT_EQ(got.volumes.size(), 2u);
  EXPECT_EQ(std::set<std::string>(got.volumes.begin(), got.volumes.end()),
            (std::set<std::string>{Assembled(small), Assembled(large)}));
  EXPECT_EQ(subscriber->stats().repeats, 3u);    // ray 0, the header, the large ray joined
  EXPECT_EQ(subscriber->stats().reclaimed, 1u);  // the second header
  ASSERT_EQ(got.problems.size(), 4u);
  for (const Status& st : got.problems) EXPECT_EQ(st.code(), ErrorCode::kProtocol) << st.message();
}

// Publishing never waits for a sweep's acknowledgements in the normal course,
// yet the stream keeps each sweep's header before its rays and its end after
// them, also when acknowledgements are lost and messages sent again: whole
// volumes (the headers overtake the rays kept back), many small sweeps (the
// ends held back are bounded), a replayed stream with lookahead, and a whole
// volume through a server paused while it is published.
TEST(NatsTransport, SweepsStayInOrderWithoutWaitingForThem) {
  NatsServer server;
  const ConnectionOptions c = Connect({server.url()});
  auto make = [](std::int64_t id, int sweeps, int rays) {
    Volume volume = MakeVolume(sweeps, rays, 20);
    volume.mutable_uuid()->set_least_significant_bits(id);
    return volume;
  };
  struct Case {
    const char* name;
    Volume volume;
    bool whole, lookahead, pause;
    std::size_t most_open;  // sweeps open at once, at most
    bool overtaken;         // a header came before the previous sweep ended
  };
  const Case cases[] = {
      {"a whole volume", make(1, 4, 200), true, false, false, 3, true},
      {"many small sweeps", make(2, 30, 3), true, false, false, 10, true},
      {"a replay with lookahead", make(3, 4, 200), false, true, false, 3, true},
      {"message by message", make(4, 4, 50), false, false, false, 2, false},
      {"through a paused server", make(5, 4, 200), true, false, true, 3, false},
  };
  int n = 0;
  for (const Case& k : cases) {
    StreamOptions stream = CreateStream();
    stream.name = "ORDER" + std::to_string(++n);
    stream.subject_prefix = "order" + std::to_string(n);
    PublisherOptions po = Patient(300ms, 20);
    po.lookahead = k.lookahead;
    po.max_pending = k.pause ? 8 : 64;  // a lookahead shorter than the sweeps; slow enough to be paused
    auto publisher = OpenPublisher(c, stream, po);
    std::thread pause;
    if (k.pause) {
      pause = std::thread([&] {
        std::this_thread::sleep_for(5ms);
        server.Pause();
        std::this_thread::sleep_for(700ms);
        server.Resume();
      });
    }
    const Messages m = Split(k.volume);
    if (k.whole) {
      Status st = publisher->PublishVolume(k.volume);
      ASSERT_TRUE(st.ok()) << k.name << ": " << st.message();
      ASSERT_TRUE(publisher->Flush().ok()) << k.name;
    } else {
      PublishAll(*publisher, m);
    }
    if (pause.joinable()) pause.join();
    if (k.pause) {
      EXPECT_GT(publisher->stats().republished, 0u) << k.name;
    }
    const std::vector<std::string> ids = StreamOrder(server.url(), stream.name);
    ASSERT_EQ(ids.size(), publisher->stats().sent) << k.name;  // nothing stored twice
    const auto [most, overtaken] = CheckSweepOrder(ids);
    EXPECT_LE(most, k.most_open) << k.name;
    if (k.overtaken) {
      EXPECT_TRUE(overtaken) << k.name;
    }
    auto subscriber = OpenSubscriber(c, "archive", {}, stream);
    Received got;
    Receive(*subscriber, 1, &got);
    ASSERT_EQ(got.volumes.size(), 1u) << k.name;
    EXPECT_TRUE(got.volumes[0] == Assembled(m)) << k.name;
    EXPECT_TRUE(got.problems.empty()) << k.name;
  }
}

// The publisher through a server that stops answering and one that dies.
// Paused past the acknowledgement timeout: a publisher with few retries
// answers in Close() for every message not stored, and is closed; one with
// enough sends again, and the server, back, drops the repeats. Killed and
// started again (file storage): the publisher reconnects and publishes
// again what was not acknowledged. Nothing is lost, nothing stored twice.
TEST(NatsTransport, PublisherThroughLostAcknowledgementsAndARestart) {
  NatsServer server;
  const ConnectionOptions c = Connect({server.url()});
  StreamOptions other = CreateStream();
  other.name = "OTHER";
  other.subject_prefix = "other";
  std::unique_ptr<Publisher> hasty;
  ASSERT_TRUE(Publisher::Open(c, other, Patient(200ms, 1), &hasty).ok());
  auto patient = OpenPublisher(c, CreateStream(), Patient(300ms, 20));
  const Messages m = VolumeStream(5, 2, 100, 50);
  PublishAll(*hasty, Messages(m.begin(), m.begin() + 2));  // the headers, stored
  PublishAll(*patient, Messages(m.begin(), m.begin() + 2));
  server.Pause();
  Publish(*hasty, m, 2, 2 + 4 * 5);  // five rays, not acknowledged
  Status st = hasty->Close();
  EXPECT_EQ(st.code(), ErrorCode::kUnavailable) << st.message();
  EXPECT_NE(st.message().find("retries exhausted"), std::string::npos) << st.message();
  EXPECT_EQ(hasty->Publish(m[22]).code(), ErrorCode::kInvalidArgument);
  EXPECT_EQ(hasty->Close().code(), ErrorCode::kInvalidArgument);

  std::thread resume([&] {
    std::this_thread::sleep_for(700ms);
    server.Resume();
  });
  Publish(*patient, m, 2, m.size() / 2 + 10);  // its rays wait for the second sweep's header
  resume.join();
  EXPECT_GT(patient->stats().republished, 0u);
  EXPECT_GT(patient->stats().duplicates, 0u);
  server.Kill();
  server.Start();
  Publish(*patient, m, m.size() / 2 + 10, m.size());
  st = patient->Flush();
  ASSERT_TRUE(st.ok()) << st.message();
  EXPECT_EQ(StoredMessages(server.url()), 2 + 2 * 2 + 2 * 100u);  // headers, ends, rays
  auto subscriber = OpenSubscriber(c, "archive");
  Received got;
  ReceiveExactly(*subscriber, 1, &got);
  ASSERT_EQ(got.volumes.size(), 1u);
  EXPECT_TRUE(got.volumes[0] == Assembled(m));
}

// The tool's subscriber killed (SIGKILL) in the middle of a volume and
// started again: the volume arrives once, complete, in the file it writes.
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
  kyt::pb::common::InstrumentData written;
  ASSERT_TRUE(written.ParseFromString(ReadFile(files[0])));
  EXPECT_TRUE(SerializeDeterministic(written.volume()) == Assembled(m));
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
  EXPECT_TRUE(got.volumes[0] == Assembled(m));
}

// Sweep by sweep: a handler that fails on the second sweep gives the
// volume back; read again, it resumes after the sweep recorded as handed
// over, so every sweep comes exactly once.
TEST(NatsTransport, SweepsHandedOverAreNotRepeated) {
  NatsServer server;
  const ConnectionOptions c = Connect({server.url()});
  auto publisher = OpenPublisher(c, CreateStream());
  PublishAll(*publisher, VolumeStream(10, 3, 8, 4));
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
    if (sweep.position == 1 && std::exchange(fail_once, false)) return Status(ErrorCode::kIo, "disk full");
    positions.push_back(sweep.position);
    return Status::Ok();
  };
  handlers.on_volume = [&](common_dto::stream::AssembledVolume&&) {
    ++volumes;
    return Status::Ok();
  };
  EXPECT_EQ(subscriber->Poll(5s, handlers).code(), ErrorCode::kIo);
  for (int i = 0; i < 100 && volumes == 0; ++i) ASSERT_TRUE(subscriber->Poll(200ms, handlers).ok());
  EXPECT_EQ(positions, (std::vector<std::size_t>{0, 1, 2})) << subscriber->stats().messages << " messages";
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

}  // namespace
}  // namespace common_dto_test
