// Ray streams through NATS JetStream: rays per second from the first
// publish to the assembled volume, through a nats-server on this machine
// (file storage) that the benchmark starts, against the file path (write
// the stream to a file, read it back, reassemble). Both in wall-clock time:
// the publisher and the subscriber run in threads of their own, the server
// in its own process.
//
//   Nats/M/publish_to_volume   baseline: file_path
//
// Splitting the volume is not timed; connecting, creating the stream and
// the consumer are not either (each iteration uses a stream of its own, so
// that the duplicate window does not drop the repeat).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "bench_util.h"
#include "common_dto/nats/publisher.h"
#include "common_dto/nats/subscriber.h"
#include "common_dto/stream/assembler.h"
#include "common_dto/stream/framing.h"
#include "common_dto/stream/splitter.h"
#include "nats_server.h"

namespace common_dto_bench {
namespace {

using common_dto::Status;
using kyt::pb::stream::RayStreamMessage;
using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double ThroughNats(const common_dto_test::NatsServer& server, const std::vector<RayStreamMessage>& messages,
                   int round) {
  common_dto::nats::ConnectionOptions c;
  c.servers = {server.url()};
  common_dto::nats::StreamOptions s;
  s.name = "BENCH" + std::to_string(round);
  s.subject_prefix = "bench" + std::to_string(round);
  s.create = true;
  std::unique_ptr<common_dto::nats::Publisher> publisher;
  Check(common_dto::nats::Publisher::Open(c, s, {}, &publisher).ok(), "connecting the publisher");
  common_dto::nats::SubscriberOptions so;
  so.durable = "bench";
  std::unique_ptr<common_dto::nats::Subscriber> subscriber;
  Check(common_dto::nats::Subscriber::Open(c, s, so, &subscriber).ok(), "connecting the subscriber");

  const Clock::time_point start = Clock::now();
  std::thread publish([&] {
    for (const RayStreamMessage& m : messages) Check(publisher->Publish(m).ok(), "publishing");
    Check(publisher->Flush().ok(), "waiting for acknowledgements");
  });
  bool done = false;
  common_dto::nats::Handlers handlers;
  handlers.on_volume = [&](common_dto::stream::AssembledVolume&& v) {
    Check(v.complete, "the volume arrived complete");
    done = true;
    return Status::Ok();
  };
  handlers.on_problem = [](const Status& st) { Check(false, st.message()); };
  while (!done) Check(subscriber->Poll(std::chrono::milliseconds(200), handlers).ok(), "receiving");
  const double seconds = Since(start);
  publish.join();
  return seconds;
}

double ThroughFile(const std::vector<RayStreamMessage>& messages, const std::string& path) {
  const Clock::time_point start = Clock::now();
  {
    auto writer = common_dto::stream::DelimitedWriter::ToFile(path);
    for (const RayStreamMessage& m : messages) Check(writer.Write(m).ok(), "writing the stream");
    Check(writer.Close().ok(), "closing the stream");
  }
  auto reader = common_dto::stream::DelimitedReader::FromFile(path);
  common_dto::stream::Assembler assembler;
  RayStreamMessage message;
  std::size_t volumes = 0;
  while (reader.Read(&message)) {
    Check(assembler.Add(std::move(message)).ok(), "reassembling");
    volumes += assembler.TakeVolumes().size();
  }
  Check(volumes == 1, "one volume from the file");
  return Since(start);
}

void NatsPublishToVolume(benchmark::State& state) {
  if (!std::filesystem::exists(COMMON_DTO_NATS_SERVER)) {
    state.SkipWithError("nats-server is not installed");
    return;
  }
  const Reference& ref = GetReference("M");
  std::vector<RayStreamMessage> messages;
  Check(common_dto::stream::SplitVolume(ref.volume, {}, &messages).ok(), "splitting M");
  common_dto_test::NatsServer server;
  const std::string path = server.dir() + "/volume.rays";
  int round = 0;
  RunPaired(
      state, {double(ref.layout->sample_bytes()), double(ref.layout->ray_count()), "file_path"},
      [&] { return ThroughNats(server, messages, round++); }, [&] { return ThroughFile(messages, path); });
  state.counters["messages"] = double(messages.size());
}

[[maybe_unused]] const bool registered = [] {
  benchmark::RegisterBenchmark("Nats/M/publish_to_volume", NatsPublishToVolume)
      ->UseManualTime()
      ->Iterations(3)
      ->Unit(benchmark::kMillisecond);
  return true;
}();

}  // namespace
}  // namespace common_dto_bench
