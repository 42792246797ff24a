// Ray streams through NATS JetStream: rays per second from the first
// publish to the assembled volume, through a nats-server on this machine
// (file storage) that the benchmark starts, against the engine itself: a
// plain nats.c program moving the same bytes (each ray's frames, each
// header and end) as one message each through the same server, with an
// asynchronous publisher (the same window of unacknowledged messages) and
// ordered push consumers. Both in wall-clock time: the publisher and every
// subscriber run in threads of their own, the server in its own process.
//
//   Nats/M/publish_to_volume      one durable subscriber   baseline: one consumer
//   Nats/M/publish_to_volume_16   the same, 16 rays per NATS message
//                                 (PublisherOptions::rays_per_message)
//   Nats/M/fan_out_3              three durable subscribers, each assembling
//                                 the volume               baseline: three consumers
//
// Splitting the volume is timed on our side (the publisher encodes each ray
// straight from the volume), not for the baseline, which gets the bytes
// ready. Connecting, creating the stream and the consumers are not timed;
// each iteration uses a stream of its own, deleted afterwards.
#include <nats/nats.h>

#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "common_dto/nats/publisher.h"
#include "common_dto/nats/subscriber.h"
#include "common_dto/stream/framing.h"
#include "common_dto/stream/splitter.h"
#include "nats_server.h"

namespace common_dto_bench {
namespace {

using common_dto::Status;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kPending = 1024;  // unacknowledged publishes, both sides

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// M's stream cut where the publisher cuts it: each header and end alone,
// each ray's frames together.
std::vector<std::string> StreamUnits(const kyt::pb::common::Volume& volume) {
  std::string bytes;
  google::protobuf::io::StringOutputStream out(&bytes);
  auto writer = common_dto::stream::DelimitedWriter::ToZeroCopyStream(&out);
  std::vector<std::string> units;
  Check(common_dto::stream::SplitVolume(volume, {}, &writer, nullptr,
                                        [&] {
                                          units.push_back(bytes);
                                          bytes.clear();
                                          return Status::Ok();
                                        })
            .ok(),
        "splitting M");
  return units;
}

void DeleteStream(const std::string& url, const std::string& name) {
  natsConnection* nc = nullptr;
  jsCtx* js = nullptr;
  if (natsConnection_ConnectTo(&nc, url.c_str()) == NATS_OK && natsConnection_JetStream(&js, nc, nullptr) == NATS_OK) {
    js_DeleteStream(js, name.c_str(), nullptr, nullptr);
  }
  if (js != nullptr) jsCtx_Destroy(js);
  if (nc != nullptr) natsConnection_Destroy(nc);
}

// Our transport: the volume published once, `subscribers` durable
// consumers each assembling it.
double ThroughTransport(const common_dto_test::NatsServer& server, const kyt::pb::common::Volume& volume,
                        int subscribers, std::size_t rays_per_message, int round) {
  common_dto::nats::ConnectionOptions c;
  c.servers = {server.url()};
  common_dto::nats::StreamOptions s;
  s.name = "OURS" + std::to_string(round);
  s.subject_prefix = "ours" + std::to_string(round);
  s.create = true;
  common_dto::nats::PublisherOptions po;
  po.max_pending = kPending;
  po.rays_per_message = rays_per_message;
  std::unique_ptr<common_dto::nats::Publisher> publisher;
  Check(common_dto::nats::Publisher::Open(c, s, po, &publisher).ok(), "connecting the publisher");
  std::vector<std::unique_ptr<common_dto::nats::Subscriber>> subs(subscribers);
  for (int i = 0; i < subscribers; ++i) {
    common_dto::nats::SubscriberOptions so;
    so.durable = "bench" + std::to_string(i);
    Check(common_dto::nats::Subscriber::Open(c, s, so, &subs[i]).ok(), "connecting a subscriber");
  }
  const Clock::time_point start = Clock::now();
  std::thread publish([&] {
    Status st = publisher->PublishVolume(volume);
    Check(st.ok(), "publishing: " + st.message());
    st = publisher->Close();
    Check(st.ok(), "waiting for acknowledgements: " + st.message());
  });
  std::vector<std::thread> receive;
  for (auto& subscriber : subs) {
    receive.emplace_back([&subscriber] {
      bool done = false;
      common_dto::nats::Handlers handlers;
      handlers.on_volume = [&](common_dto::stream::AssembledVolume&& v) {
        Check(v.complete, "the volume arrived complete");
        done = true;
        return Status::Ok();
      };
      handlers.on_problem = [](const Status& st) { Check(false, st.message()); };
      while (!done) Check(subscriber->Poll(std::chrono::milliseconds(200), handlers).ok(), "receiving");
    });
  }
  for (std::thread& t : receive) t.join();
  const double seconds = Since(start);
  publish.join();
  subs.clear();
  publisher.reset();
  DeleteStream(server.url(), s.name);
  DeleteStream(server.url(), s.name + "_progress");
  return seconds;
}

// The engine alone: each unit one message, published asynchronously and
// received by `consumers` ordered push consumers.
double ThroughEngine(const common_dto_test::NatsServer& server, const std::vector<std::string>& units,
                     int consumers, int round) {
  const std::string name = "RAW" + std::to_string(round), subject = "raw" + std::to_string(round) + ".m";
  natsConnection* nc = nullptr;
  jsCtx* js = nullptr;
  Check(natsConnection_ConnectTo(&nc, server.url().c_str()) == NATS_OK, "connecting");
  jsOptions jo;
  jsOptions_Init(&jo);
  jo.PublishAsync.MaxPending = kPending;
  jo.PublishAsync.StallWait = 5000;  // as the publisher's ack_timeout
  Check(natsConnection_JetStream(&js, nc, &jo) == NATS_OK, "JetStream context");
  jsStreamConfig config;
  jsStreamConfig_Init(&config);
  const char* subjects[] = {subject.c_str()};
  config.Name = name.c_str();
  config.Subjects = subjects;
  config.SubjectsLen = 1;
  config.Storage = js_FileStorage;
  Check(js_AddStream(nullptr, js, &config, nullptr, nullptr) == NATS_OK, "creating the stream");
  // Each consumer on a connection of its own, as each Subscriber is.
  std::vector<natsConnection*> consumer_nc(consumers);
  std::vector<jsCtx*> consumer_js(consumers);
  std::vector<natsSubscription*> subs(consumers);
  for (int i = 0; i < consumers; ++i) {
    Check(natsConnection_ConnectTo(&consumer_nc[i], server.url().c_str()) == NATS_OK, "connecting");
    Check(natsConnection_JetStream(&consumer_js[i], consumer_nc[i], nullptr) == NATS_OK, "JetStream context");
    jsSubOptions so;
    jsSubOptions_Init(&so);
    so.Ordered = true;
    Check(js_SubscribeSync(&subs[i], consumer_js[i], subject.c_str(), nullptr, &so, nullptr) == NATS_OK,
          "subscribing");
    natsSubscription_SetPendingLimits(subs[i], 1 << 16, 64 << 20);  // as the subscriber
  }
  const Clock::time_point start = Clock::now();
  std::thread publish([&] {
    for (const std::string& unit : units) {
      const natsStatus s = js_PublishAsync(js, subject.c_str(), unit.data(), static_cast<int>(unit.size()), nullptr);
      Check(s == NATS_OK, std::string("publishing: ") + natsStatus_GetText(s));
    }
    const natsStatus s = js_PublishAsyncComplete(js, nullptr);
    Check(s == NATS_OK, std::string("waiting for acknowledgements: ") + natsStatus_GetText(s));
  });
  std::vector<std::thread> receive;
  for (natsSubscription* sub : subs) {
    receive.emplace_back([&units, sub] {
      for (std::size_t got = 0; got < units.size();) {
        natsMsg* msg = nullptr;
        if (natsSubscription_NextMsg(&msg, sub, 5000) != NATS_OK) Check(false, "receiving");
        ++got;
        natsMsg_Destroy(msg);
      }
    });
  }
  for (std::thread& t : receive) t.join();
  const double seconds = Since(start);
  publish.join();
  for (int i = 0; i < consumers; ++i) {
    natsSubscription_Destroy(subs[i]);
    jsCtx_Destroy(consumer_js[i]);
    natsConnection_Destroy(consumer_nc[i]);
  }
  js_DeleteStream(js, name.c_str(), nullptr, nullptr);
  jsCtx_Destroy(js);
  natsConnection_Destroy(nc);
  return seconds;
}

void NatsToVolume(benchmark::State& state, int subscribers, std::size_t rays_per_message) {
  if (!std::filesystem::exists(COMMON_DTO_NATS_SERVER)) {
    state.SkipWithError("nats-server is not installed");
    return;
  }
  const Reference& ref = GetReference("M");
  const std::vector<std::string> units = StreamUnits(ref.volume);
  common_dto_test::NatsServer server;
  int round = 0;
  const std::string baseline =
      subscribers == 1 ? "nats.c: a message per ray" : "nats.c: a message per ray, 3 consumers";
  RunPaired(
      state, {double(ref.layout->sample_bytes()), double(ref.layout->ray_count()), baseline},
      [&] { return ThroughTransport(server, ref.volume, subscribers, rays_per_message, round++); },
      [&] { return ThroughEngine(server, units, subscribers, round++); });
  state.counters["messages"] = double(units.size());
}

[[maybe_unused]] const bool registered = [] {
  benchmark::RegisterBenchmark("Nats/M/publish_to_volume", [](benchmark::State& s) { NatsToVolume(s, 1, 1); })
      ->UseManualTime()
      ->Iterations(3)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Nats/M/publish_to_volume_16", [](benchmark::State& s) { NatsToVolume(s, 1, 16); })
      ->UseManualTime()
      ->Iterations(3)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("Nats/M/fan_out_3", [](benchmark::State& s) { NatsToVolume(s, 3, 1); })
      ->UseManualTime()
      ->Iterations(3)
      ->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace
}  // namespace common_dto_bench
