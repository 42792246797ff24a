// Hostile inputs against the stream reader and the assembler: huge
// declared lengths, decompression bombs, floods of sweeps, rays and
// moments, and deeply nested groups must each end in a clear error, with
// memory bounded by the limits rather than by what the input claims (the
// tool on such files: tests/tools/hostile_files_test.cc). The largest single allocation of the process is watched
// through a replaced operator new, or the sanitizer's allocation hook.
#include <lz4frame.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <new>
#include <utility>
#include <vector>

#include "sanitized.h"
#include "stream_testing.h"

namespace {
std::atomic<std::size_t> g_largest_allocation{0};
std::atomic<std::size_t> g_allocations{0};

void NoteAllocation(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  std::size_t seen = g_largest_allocation.load(std::memory_order_relaxed);
  while (size > seen && !g_largest_allocation.compare_exchange_weak(seen, size)) {
  }
}
}  // namespace

#ifdef COMMON_DTO_SANITIZED
// The sanitizer runtime owns operator new; its allocator reports each
// allocation to a hook instead. Declared here rather than through
// <sanitizer/allocator_interface.h>, which GCC does not ship: both GCC's
// libsanitizer and compiler-rt export this function.
extern "C" int __sanitizer_install_malloc_and_free_hooks(
    void (*malloc_hook)(const volatile void*, std::size_t),
    void (*free_hook)(const volatile void*));
namespace {
void MallocHook(const volatile void*, std::size_t size) { NoteAllocation(size); }
void FreeHook(const volatile void*) {}
[[maybe_unused]] const int g_hooks_installed =
    __sanitizer_install_malloc_and_free_hooks(MallocHook, FreeHook);
}  // namespace
#else
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"  // new is malloc here
#endif

void* operator new(std::size_t size) {
  NoteAllocation(size);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace common_dto_test {
namespace {

using common_dto::Compression;
using common_dto::stream::Assembler;
using common_dto::stream::AssemblerOptions;
using common_dto::stream::DeliveryMode;
using google::protobuf::io::ArrayInputStream;

#ifdef COMMON_DTO_SANITIZED
constexpr int kMany = 1 << 17;  // Sanitizers make each message ~10x slower.
#else
constexpr int kMany = 1 << 20;
#endif

constexpr std::size_t kMiB = std::size_t{1} << 20;

// Reads `bytes` to the end through a stream and returns the error (empty
// at a clean end).
std::string ReadError(const std::string& bytes) {
  ArrayInputStream in(bytes.data(), static_cast<int>(bytes.size()));
  DelimitedReader reader = DelimitedReader::FromZeroCopyStream(&in);
  ReadResult last;
  ReadAll(reader, &last);
  return last.error();
}

void ResetLargest() { g_largest_allocation.store(0); }
std::size_t Largest() { return g_largest_allocation.load(); }

TEST(Limits, ReaderRefusesHugeLengthsBeforeAllocating) {
  ResetLargest();
  EXPECT_EQ(ReadError(Varint(std::uint64_t{1} << 63) + "xyz"),
            "message 0 at byte offset 0: length 9223372036854775808 exceeds the maximum message "
            "size 268435456");
  // Under the limit, but the input ends long before: a 200 MiB frame that
  // claims a 190 MiB sample buffer and holds 8 bytes of it.
  const std::string payload = "\x22" + Varint(190 * kMiB + 16) + "\x22" + Varint(190 * kMiB) +
                              "\x2a" + Varint(190 * kMiB) + "12345678";
  const std::string error = ReadError(Varint(200 * kMiB) + payload);
  EXPECT_NE(error.find("truncated: length 209715200 runs past the end of the input"),
            std::string::npos)
      << error;
  EXPECT_LT(Largest(), 64 * kMiB) << "a 30-byte input made the reader allocate " << Largest()
                                  << " bytes at once";
}

// Unknown field 15 as a group: start-group tags 100000 deep, closed and
// unclosed. The runtime's parser stops at its recursion limit, and the
// diagnosis of the frame names the depth; nothing overflows the stack.
TEST(Limits, DeeplyNestedGroupsAreRefused) {
  const std::string closed = std::string(100000, '\x7b') + std::string(100000, '\x7c');
  const std::string unclosed(100000, '\x7b');
  for (const std::string* body : {&closed, &unclosed}) {
    const std::string frame = Varint(body->size()) + *body;
    auto reader = DelimitedReader::FromBytes(frame);
    RayStreamMessage message;
    EXPECT_EQ(reader.Read(&message).error(),
              "message 0 at byte offset 0: unparsable kyt.pb.stream.RayStreamMessage (length " +
                  std::to_string(body->size()) +
                  "): groups nested deeper than 100 levels in field number 15 of "
                  "kyt.pb.stream.RayStreamMessage");
  }
}

RayStreamMessage VolumeHeaderMessage(std::int64_t id) {
  RayStreamMessage m;
  m.mutable_volume_header()->mutable_volume_uuid()->set_least_significant_bits(id);
  return m;
}

RayStreamMessage SweepHeaderMessage(std::int64_t sweep, std::int64_t volume) {
  RayStreamMessage m;
  m.mutable_sweep_header()->mutable_sweep_uuid()->set_most_significant_bits(sweep);
  m.mutable_sweep_header()->mutable_volume_uuid()->set_least_significant_bits(volume);
  return m;
}

RayStreamMessage SweepEndMessage(std::int64_t sweep) {
  RayStreamMessage m;
  m.mutable_sweep_end()->mutable_sweep_uuid()->set_most_significant_bits(sweep);
  return m;
}

RayStreamMessage VolumeEndMessage(std::int64_t id) {
  RayStreamMessage m;
  m.mutable_volume_end()->mutable_volume_uuid()->set_least_significant_bits(id);
  return m;
}

// A RayHeader or RayEnd of ray `ray` of sweep 1.
RayStreamMessage RayHeaderMessage(int ray) {
  RayStreamMessage m;
  m.mutable_ray_header()->mutable_sweep_uuid()->set_most_significant_bits(1);
  m.mutable_ray_header()->set_ray_index(ray);
  return m;
}
RayStreamMessage RayEndMessage(int ray) {
  RayStreamMessage m;
  m.mutable_ray_end()->mutable_sweep_uuid()->set_most_significant_bits(1);
  m.mutable_ray_end()->set_ray_index(ray);
  return m;
}

// An assembler with volume 1 and its sweep 1 open.
Assembler WithOpenSweep(AssemblerOptions options = {}) {
  Assembler assembler(std::move(options));
  EXPECT_TRUE(assembler.Add(VolumeHeaderMessage(1)).ok());
  EXPECT_TRUE(assembler.Add(SweepHeaderMessage(1, 1)).ok());
  return assembler;
}

RayStreamMessage Data(std::int64_t sweep, int ray, const std::string& moment, DataBuffer buffer) {
  RayStreamMessage m;
  auto* p = m.mutable_parameter_data();
  p->mutable_sweep_uuid()->set_most_significant_bits(sweep);
  p->set_ray_index(ray);
  p->mutable_data_type()->set_short_name(moment);
  *p->mutable_data() = std::move(buffer);
  return m;
}

// Allocations made by `step`.
template <typename Step>
std::size_t AllocationsOf(Step step) {
  const std::size_t before = g_allocations.load();
  step();
  return g_allocations.load() - before;
}

// What streaming a two-sweep volume of `rays` rays per sweep allocates:
// writing it (split into frames), and receiving its second sweep (frames
// read in place) beyond what copying that sweep's rays allocates, which the
// delivered volume needs for its own ray records.
struct StreamAllocations {
  std::size_t written = 0;
  std::size_t received = 0;
  std::size_t delivered_rays = 0;
};

StreamAllocations Stream(int rays) {
  const Volume volume = MakeVolume(2, rays, 16);
  StreamAllocations out;
  std::string frames;
  {
    google::protobuf::io::StringOutputStream sink(&frames);
    auto writer = common_dto::stream::DelimitedWriter::ToZeroCopyStream(&sink);
    frames.reserve(1 << 20);  // Its growth is the sink's, not the writer's.
    out.written = AllocationsOf([&] {
      EXPECT_TRUE(common_dto::stream::SplitVolume(volume, {}, &writer).ok());
    });
  }
  Assembler assembler;
  auto reader = DelimitedReader::FromBytes(frames);
  std::string_view bytes;
  // V S (RPPE)x`rays` s S (RPPE)x`rays` s v: counted from the second sweep's
  // first RayHeader to its SweepEnd.
  for (int i = 0; reader.ReadBytes(&bytes); ++i) {
    const std::size_t n = AllocationsOf([&] { EXPECT_TRUE(assembler.AddSerialized(bytes).ok()); });
    if (i >= 4 * rays + 4 && i <= 8 * rays + 4) out.received += n;
  }
  const auto volumes = assembler.TakeVolumes();
  EXPECT_EQ(volumes.size(), 1u);
  kyt::pb::common::Sweep copy;
  out.delivered_rays = AllocationsOf([&] { *copy.mutable_rays() = volumes.at(0).volume.sweep(1).rays(); });
  return out;
}

TEST(Limits, SteadyStreamsAllocateNothingPerRay) {
  // Twice the rays: the writer allocates nothing more, the receiver
  // nothing beyond the delivered rays' own records.
  Stream(40);  // Once first: the runtime's and the UTF-8 check's first-use set-up.
  const StreamAllocations few = Stream(40);
  const StreamAllocations many = Stream(80);
  EXPECT_EQ(many.written, few.written);
  EXPECT_GT(many.delivered_rays, few.delivered_rays);
  EXPECT_EQ(many.received - few.received, many.delivered_rays - few.delivered_rays)
      << "received " << few.received << " and " << many.received << ", rays copied in "
      << few.delivered_rays << " and " << many.delivered_rays;
}

// Buffers that declare, or decode to, more than max_buffer_size: an LZ4
// block that claims 2 GiB - 1, an LZ4 frame whose header claims 1 TiB, and
// one without a declared size, 8 MiB of zeros in ~33 KiB. None is decoded
// further than the limit, and nothing of them is held.
TEST(Limits, AssemblerRefusesDecompressionBombs) {
  LZ4F_preferences_t prefs{};
  prefs.frameInfo.contentSize = std::uint64_t{1} << 40;
  std::string lying(LZ4F_HEADER_SIZE_MAX, '\0');
  LZ4F_cctx* cctx = nullptr;
  ASSERT_FALSE(LZ4F_isError(LZ4F_createCompressionContext(&cctx, LZ4F_VERSION)));
  const std::size_t n = LZ4F_compressBegin(cctx, &lying[0], lying.size(), &prefs);
  LZ4F_freeCompressionContext(cctx);
  ASSERT_FALSE(LZ4F_isError(n));
  lying.resize(n);
  const std::string zeros(8 * kMiB, '\0');
  std::string bomb(LZ4F_compressFrameBound(zeros.size(), nullptr), '\0');
  bomb.resize(LZ4F_compressFrame(&bomb[0], bomb.size(), zeros.data(), zeros.size(), nullptr));
  struct Case {
    std::string data;
    std::int32_t uncompressed_size;
    std::string error;
  };
  const std::vector<Case> cases = {
      {std::string(16, '\0'), 2147483647,
       "LZ4 block declares 2147483647 bytes, more than the limit of 1048576"},
      {lying, 0, "LZ4 frame declares 1099511627776 bytes, more than the limit of 1048576"},
      {bomb, 0, "LZ4 frame decodes to more than the limit of 1048576 bytes"},
  };
  AssemblerOptions options;
  options.max_buffer_size = kMiB;
  Assembler assembler = WithOpenSweep(options);
  const std::uint64_t headers_only = assembler.buffered_bytes();
  for (std::size_t i = 0; i < cases.size(); ++i) {
    RayStreamMessage data = Data(1, static_cast<int>(i), "DBZ", {});
    DataBuffer* buffer = data.mutable_parameter_data()->mutable_data();
    buffer->set_compression(DataBuffer::LZ4);
    buffer->set_uncompressed_size(cases[i].uncompressed_size);
    buffer->set_data(cases[i].data);
    ResetLargest();
    const common_dto::Status s = assembler.Add(data);
    EXPECT_NE(s.message().find(cases[i].error), std::string::npos) << s.message();
    EXPECT_LE(Largest(), 2 * kMiB) << "decoding allocated " << Largest() << " bytes at once";
  }
  EXPECT_GE(Largest(), 64 * 1024) << "the allocation watch saw nothing of the decoding";
  EXPECT_EQ(assembler.buffered_bytes(), headers_only) << "refused samples are not held";
}

// Floods of what the assembler opens, each refused beyond its limit (the
// default, or the caller's) with the limit's words: volumes and sweeps that
// never end, rays in one sweep, moments in one sweep, rays without samples
// (a RayEnd alone), which count like samples against max_buffered_bytes,
// and the samples themselves. Once a flood is refused, all that follows is.
TEST(Limits, FloodsAreRefusedBeyondEachLimit) {
  DataBuffer samples;
  samples.set_type(DataBuffer::UINT8);
  samples.set_data(std::string(4096, 'x'));
  AssemblerOptions small;
  small.max_buffered_bytes = kMiB;
  AssemblerOptions few;
  few.max_open_volumes = 4;
  few.max_rays_per_sweep = 1000;
  struct Flood {
    const char* what;
    int count;
    std::function<RayStreamMessage(int)> message;
    AssemblerOptions options;
    int accepted;  // -1: not known exactly (fewer than count, as a refusal shows).
    std::string last_error;
    std::uint64_t min_buffered = 0;  // Held at the end, at least.
  };
  const Flood floods[] = {
      {"volumes", 100, [](int i) { return VolumeHeaderMessage(i + 2); }, few, 3,
       ": more than 4 open volumes"},
      {"sweeps", kMany, [](int i) { return SweepHeaderMessage(i + 2, 1); }, {}, 255,
       ": more than 256 open sweeps"},
      {"rays", kMany, RayHeaderMessage, {}, 65536, ": more than 65536 rays in one sweep"},
      {"fewer rays", 2000, RayHeaderMessage, few, 1000, ": more than 1000 rays in one sweep"},
      {"moments", 100, [&](int i) { return Data(1, 0, "M" + std::to_string(i), samples); }, {}, 64,
       "moment 'M99': more than 64 moments in one sweep"},
      {"rays without samples", 65536, RayEndMessage, small, -1, " ray 65535: holding "},
      // Filled to within one ray (its samples and bookkeeping) of the limit.
      {"samples", 1000, [&](int i) { return Data(1, i, "DBZ", samples); }, small, -1,
       " ray 999 moment 'DBZ': holding ", kMiB - 2 * 4096},
  };
  for (const Flood& f : floods) {
    Assembler assembler = WithOpenSweep(f.options);
    int accepted = 0;
    common_dto::Status last;
    for (int i = 0; i < f.count; ++i) {
      const common_dto::Status s = assembler.Add(f.message(i));
      EXPECT_TRUE(!s.ok() || last.ok()) << f.what << ": message " << i << " taken after a refusal";
      s.ok() ? ++accepted : (last = s, 0);
    }
    if (f.accepted >= 0) {
      EXPECT_EQ(accepted, f.accepted) << f.what;
    }
    EXPECT_EQ(last.code(), common_dto::ErrorCode::kLimit) << f.what;
    EXPECT_NE(last.message().find(f.last_error), std::string::npos) << f.what << ": " << last.message();
    EXPECT_LE(assembler.buffered_bytes(), f.options.max_buffered_bytes) << f.what;
    EXPECT_GE(assembler.buffered_bytes(), f.min_buffered) << f.what;
  }
}

// A million tiny sweeps that do end, in a volume that never does.
// Delivered one by one they do not pile up, and only the last
// `remembered_closed` sweep UUIDs are remembered. Kept whole they stay with
// their volume, so they count until the limit refuses more; the volume
// still hands back every sweep accepted.
TEST(Limits, EndedSweepsOfAnOpenVolume) {
  for (const auto mode : {DeliveryMode::kSweepBySweep, DeliveryMode::kWholeVolumes}) {
    AssemblerOptions options;
    options.delivery = mode;
    options.max_buffered_bytes = 16 * kMiB;
    Assembler assembler(options);
    ASSERT_TRUE(assembler.Add(VolumeHeaderMessage(1)).ok());
    int accepted = 0;
    std::size_t delivered = 0;
    std::string last;
    for (int i = 1; i <= kMany; ++i) {
      auto s = assembler.Add(SweepHeaderMessage(i, 1));
      if (s.ok()) s = assembler.Add(SweepEndMessage(i));
      s.ok() ? ++accepted : (last = s.message(), 0);
      ASSERT_LE(assembler.buffered_bytes(), options.max_buffered_bytes) << i;
      if (i % 4096 == 0) delivered += assembler.TakeSweeps().size();
    }
    delivered += assembler.TakeSweeps().size();
    if (mode == DeliveryMode::kSweepBySweep) {
      EXPECT_EQ(delivered, static_cast<std::size_t>(kMany));
      EXPECT_EQ(assembler.open_sweeps(), 0u);
      EXPECT_NE(assembler.Add(SweepEndMessage(kMany)).message().find("already closed"),
                std::string::npos);
      EXPECT_NE(assembler.Add(SweepEndMessage(1)).message().find("unknown sweep"),
                std::string::npos);
      continue;
    }
    EXPECT_GT(accepted, 1000);
    EXPECT_NE(last.find(": holding "), std::string::npos) << last;
    EXPECT_NE(last.find(" more bytes would exceed the limit of 16777216 buffered bytes"),
              std::string::npos)
        << last;
    ASSERT_TRUE(assembler.Add(VolumeEndMessage(1)).ok());
    const auto volumes = assembler.TakeVolumes();
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].volume.sweep_size(), accepted);
    EXPECT_EQ(assembler.buffered_bytes(), 0u);
  }
}

// Padding is held like samples: one long ray among many empty ones cannot
// make the assembled sweep outgrow the limit.
TEST(Limits, PaddingCountsLikeSamples) {
  AssemblerOptions options;
  options.max_buffered_bytes = 4 * kMiB;
  options.fill = common_dto::stream::FillValue{};
  Assembler assembler = WithOpenSweep(options);
  DataBuffer samples;
  samples.set_type(DataBuffer::UINT8);
  samples.set_data(std::string(64 * 1024, 'x'));
  ASSERT_TRUE(assembler.Add(Data(1, 0, "DBZ", samples)).ok());
  for (int i = 0; i < 1000; ++i) {  // 1000 rays of 64 KiB would be 64 MiB.
    ASSERT_TRUE(assembler.Add(RayHeaderMessage(i)).ok()) << i;
    ASSERT_TRUE(assembler.Add(RayEndMessage(i)).ok()) << i;
  }
  ResetLargest();
  const auto s = assembler.Add(SweepEndMessage(1));
  EXPECT_EQ(s.message(),
            "sweep 00000000-0000-0001-0000-000000000000 moment 'DBZ': padding its rays with "
            "65470464 bytes would exceed the limit of 4194304 buffered bytes; the moment is "
            "left out");
  EXPECT_LT(Largest(), 4 * kMiB);
  EXPECT_LE(assembler.buffered_bytes(), options.max_buffered_bytes);
}

// Assembling LZ4 rays into an LZ4 frame sweep holds the decoded samples
// once: compressing them touches memory for its output, not for the
// compressor's worst-case bound (which would double the peak).
TEST(Limits, CompressingTheAssembledSweepHoldsItsSamplesOnce) {
#ifdef COMMON_DTO_SANITIZED
  GTEST_SKIP() << "the sanitizer's allocator keeps its own memory: resident sizes say nothing here";
#endif
  constexpr std::size_t kRay = 16 * kMiB;
  constexpr int kRays = 5;
  AssemblerOptions options;
  options.output_compression = Compression::kLz4Frame;
  Assembler assembler = WithOpenSweep(options);
  DataBuffer ray;
  ray.set_type(DataBuffer::UINT8);
  ASSERT_TRUE(common_dto::SetSamples(std::string(kRay, '\0'), Compression::kLz4Frame, &ray).ok());
  // Rays' samples come from and go back to the system, as rays of hundreds
  // of MiB do (glibc's heap would keep freed 16 MiB blocks resident).
  ASSERT_EQ(::mallopt(M_MMAP_THRESHOLD, 1 << 20), 1);
  // From here on, what the process holds beyond this is the decoded samples
  // and what assembling them costs.
  if (!ResetPeakResident()) GTEST_SKIP() << "no /proc/self/clear_refs";
  const std::uint64_t before = ResidentKiB("VmRSS");
  for (int i = 0; i < kRays; ++i) {
    ASSERT_TRUE(assembler.Add(RayHeaderMessage(i)).ok()) << i;
    ASSERT_TRUE(assembler.Add(Data(1, i, "DBZ", ray)).ok()) << i;
    ASSERT_TRUE(assembler.Add(RayEndMessage(i)).ok()) << i;
  }
  ASSERT_TRUE(assembler.Add(SweepEndMessage(1)).ok());
  const std::uint64_t peak = ResidentKiB("VmHWM") - before;
  ASSERT_TRUE(assembler.Add(VolumeEndMessage(1)).ok());
  const auto volumes = assembler.TakeVolumes();
  ASSERT_EQ(volumes.size(), 1u);
  const DataBuffer& dbz = volumes[0].volume.sweep(0).sweep_moments().at("DBZ");
  EXPECT_EQ(dbz.compression(), DataBuffer::LZ4);
  EXPECT_EQ(dbz.uncompressed_size(), static_cast<std::int32_t>(kRays * kRay));
  const std::uint64_t decoded = kRays * kRay / 1024;
  EXPECT_LT(peak, decoded * 13 / 10) << "assembling " << decoded << " KiB peaked at " << peak
                                     << " KiB more";
}


}  // namespace
}  // namespace common_dto_test
