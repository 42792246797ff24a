// Concurrent use of the generated classes and the stream library: many
// threads read the same messages, default instances and descriptors while
// others build, serialize and parse their own messages and several
// assemblers run on separate streams. Run under ThreadSanitizer this finds
// data races; in a normal build it checks that every thread sees the same
// results as a single thread.
#include <google/protobuf/descriptor.h>
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/json_util.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../stream/stream_testing.h"
#include "instrument_data.pb.h"

namespace common_dto_test {
namespace {

using common_dto::stream::Assembler;
using common_dto::stream::AssemblerOptions;
using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::FieldDescriptor;
using kyt::pb::common::InstrumentData;

// Lets all threads start at once, so that first uses (descriptor building,
// lazy initialisation in the runtime) happen concurrently.
class StartLine {
 public:
  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return open_; });
  }
  void Open() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Every field of `type` and of the types it reaches, by name and number.
std::size_t WalkDescriptors(const Descriptor* type, std::vector<const Descriptor*>* seen) {
  for (const Descriptor* d : *seen) {
    if (d == type) return 0;
  }
  seen->push_back(type);
  std::size_t fields = 0;
  for (int i = 0; i < type->field_count(); ++i) {
    const FieldDescriptor* field = type->field(i);
    if (type->FindFieldByNumber(field->number()) != field) return 0;
    if (type->FindFieldByName(field->name()) != field) return 0;
    ++fields;
    if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
      fields += WalkDescriptors(field->message_type(), seen);
    } else if (field->cpp_type() == FieldDescriptor::CPPTYPE_ENUM) {
      fields += static_cast<std::size_t>(field->enum_type()->value_count());
    }
  }
  return fields;
}

// What every thread shares: a message only read once the threads start,
// its serialized and text forms, the start line and the failure count.
struct Context {
  InstrumentData message;
  std::string bytes;
  std::string text;
  StartLine start;
  std::atomic<int> failures{0};
  void Expect(bool ok) {
    if (!ok) failures.fetch_add(1);
  }
};

constexpr int kRounds = 20;

// Serializes, sizes, prints and reflects over the shared message, and walks
// the generated pool.
void ReadShared(Context& ctx) {
  ctx.start.Wait();
  for (int round = 0; round < kRounds; ++round) {
    std::string bytes;
    ctx.Expect(ctx.message.SerializeToString(&bytes) && bytes.size() == ctx.bytes.size());
    ctx.Expect(SerializeDeterministic(ctx.message) == ctx.bytes);
    ctx.Expect(ctx.message.ByteSizeLong() == ctx.bytes.size());
    ctx.Expect(ctx.message.volume().sweep(1).rays(3).index() == 3);
    ctx.Expect(ctx.message.volume().sweep(0).rays(0).ShortDebugString() == ctx.text);
    // Default instances and their descriptors.
    ctx.Expect(kyt::pb::common::Volume::default_instance().sweep_size() == 0);
    ctx.Expect(!kyt::pb::stream::RayStreamMessage::default_instance().has_volume_header());
    ctx.Expect(kyt::pb::common::Ray::default_instance().GetDescriptor()->field_count() > 0);
    // The pool: lookups by name and walks over whole message trees.
    const DescriptorPool* pool = DescriptorPool::generated_pool();
    for (const char* name : {"kyt.pb.common.InstrumentData", "kyt.pb.stream.RayStreamMessage",
                             "kyt.pb.common.Product", "kyt.pb.common.VolumeConfig"}) {
      const Descriptor* type = pool->FindMessageTypeByName(name);
      ctx.Expect(type != nullptr);
      if (type == nullptr) continue;
      std::vector<const Descriptor*> seen;
      ctx.Expect(WalkDescriptors(type, &seen) > 0);
    }
    ctx.Expect(kyt::pb::common::DataType_Name(kyt::pb::common::REFLECTIVITY_DBZ) ==
           "REFLECTIVITY_DBZ");
    // Reflection over the shared message.
    std::vector<const FieldDescriptor*> fields;
    ctx.message.volume().GetReflection()->ListFields(ctx.message.volume(), &fields);
    ctx.Expect(fields.size() == 4);
  }
}

// Builds, converts and parses messages of its own, and copies the shared one.
void WriteOwn(Context& ctx, int t) {
  ctx.start.Wait();
  for (int round = 0; round < kRounds; ++round) {
    InstrumentData own;
    *own.mutable_volume() = MakeVolume(1, 3 + t, 4);
    own.mutable_volume()->mutable_uuid()->set_most_significant_bits(t * 1000 + round);
    const std::string bytes = SerializeDeterministic(own);
    InstrumentData parsed;
    ctx.Expect(parsed.ParseFromString(bytes) && SerializeDeterministic(parsed) == bytes);
    std::string text, json;
    ctx.Expect(google::protobuf::TextFormat::PrintToString(own, &text));
    InstrumentData from_text;
    ctx.Expect(google::protobuf::TextFormat::ParseFromString(text, &from_text) &&
           SerializeDeterministic(from_text) == bytes);
    ctx.Expect(google::protobuf::util::MessageToJsonString(own, &json).ok());
    InstrumentData from_json;
    ctx.Expect(google::protobuf::util::JsonStringToMessage(json, &from_json).ok() &&
           SerializeDeterministic(from_json) == bytes);
    InstrumentData merged(ctx.message);  // Copying reads the shared message.
    merged.MergeFrom(own);
    ctx.Expect(merged.volume().sweep_size() == ctx.message.volume().sweep_size() + 1);
  }
}

// Reassembles a stream of its own, whole and sweep by sweep.
void AssembleOwn(Context& ctx, int t) {
  Volume volume = MakeVolume(2, 4 + t, 3);
  volume.mutable_uuid()->set_least_significant_bits(t + 1);
  const std::string expected = SerializeDeterministic(volume);
  const std::vector<RayStreamMessage> stream = Split(volume);
  ctx.start.Wait();
  for (int round = 0; round < kRounds / 2; ++round) {
    AssemblerOptions options;
    if (round % 2 == 1) options.output_compression = common_dto::Compression::kNone;
    options.delivery = round % 3 == 2 ? common_dto::stream::DeliveryMode::kSweepBySweep
                                      : common_dto::stream::DeliveryMode::kWholeVolumes;
    Assembler assembler(options);
    for (const RayStreamMessage& message : stream) ctx.Expect(assembler.Add(message).ok());
    auto volumes = assembler.TakeVolumes();
    ctx.Expect(volumes.size() == 1 && volumes[0].complete);
    if (options.delivery == common_dto::stream::DeliveryMode::kWholeVolumes) {
      ctx.Expect(volumes.size() == 1 && SerializeDeterministic(volumes[0].volume) == expected);
    } else {
      ctx.Expect(assembler.TakeSweeps().size() == 2);
    }
  }
}

TEST(Threads, SharedReadsAlongsideOwnWritesAndAssemblers) {
  constexpr int kReaders = 4, kWriters = 3, kAssemblers = 3;
  Context ctx;
  *ctx.message.mutable_volume() = MakeVolume(2, 6, 5);
  ctx.bytes = SerializeDeterministic(ctx.message);
  ctx.text = ctx.message.volume().sweep(0).rays(0).ShortDebugString();

  std::vector<std::thread> threads;
  for (int t = 0; t < kReaders; ++t) threads.emplace_back([&ctx] { ReadShared(ctx); });
  for (int t = 0; t < kWriters; ++t) threads.emplace_back([&ctx, t] { WriteOwn(ctx, t); });
  for (int t = 0; t < kAssemblers; ++t) threads.emplace_back([&ctx, t] { AssembleOwn(ctx, t); });
  ctx.start.Open();
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(ctx.failures.load(), 0) << "some thread saw a result that differs from the "
                                       "single-threaded one";
}

}  // namespace
}  // namespace common_dto_test
