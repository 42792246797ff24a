#include "stream_path.h"

#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <new>

#include "common_dto/model/uuid.h"

namespace common_dto_bench {

using common_dto::stream::DelimitedReader;
using common_dto::stream::DelimitedWriter;
using common_dto::stream::ReadResult;
using common_dto::Status;

MemoryOutputStream::~MemoryOutputStream() { std::free(data_); }

bool MemoryOutputStream::Next(void** data, int* size) {
  if (size_ == capacity_) {
    const std::size_t grown = capacity_ == 0 ? 64 * 1024 : capacity_ * 2;
    char* p = static_cast<char*>(std::realloc(data_, grown));
    if (p == nullptr) throw std::bad_alloc();
    data_ = p;
    capacity_ = grown;
  }
  const std::size_t n = std::min<std::size_t>(capacity_ - size_, INT_MAX);
  *data = data_ + size_;
  *size = static_cast<int>(n);
  size_ += n;
  return true;
}

void MemoryOutputStream::BackUp(int count) { size_ -= static_cast<std::size_t>(count); }

namespace {

std::atomic<bool> g_counting{false};
std::atomic<std::uint64_t> g_allocations{0};

common_dto::stream::AssemblerOptions Options(common_dto::stream::DeliveryMode mode) {
  common_dto::stream::AssemblerOptions options;
  options.delivery = mode;
  return options;
}

// The first byte of a RayStreamMessage holding a RayHeader, ParameterData
// or RayEnd (the payload's tag).
bool IsRayLevel(std::string_view message) {
  if (message.empty()) return false;
  const auto tag = static_cast<unsigned char>(message[0]);
  return tag == (3 << 3 | 2) || tag == (4 << 3 | 2) || tag == (5 << 3 | 2);
}

}  // namespace

void CountAllocations(bool on) { g_counting.store(on, std::memory_order_relaxed); }
std::uint64_t CountedAllocations() { return g_allocations.load(std::memory_order_relaxed); }

StreamPath::StreamPath(common_dto::stream::DeliveryMode mode)
    : assembler_(Options(mode)),
      writer_(std::make_unique<DelimitedWriter>(DelimitedWriter::ToZeroCopyStream(&wire_))) {}

StreamPath::~StreamPath() = default;

Status StreamPath::Stream(const kyt::pb::common::Volume& volume) {
  return Split(volume, common_dto::stream::VolumePart());
}

Status StreamPath::StreamSweep(const kyt::pb::common::Volume& one_sweep, int position,
                               int sweep_count) {
  common_dto::stream::VolumePart part;
  part.first_sweep = position;
  part.first = position == 0;
  part.last = position + 1 == sweep_count;
  return Split(one_sweep, part);
}

Status StreamPath::Split(const kyt::pb::common::Volume& volume,
                         const common_dto::stream::VolumePart& part) {
  // The producer's allocations between two drains belong to what the
  // drain finds: one ray's messages, or one header or end marker.
  std::uint64_t since = CountedAllocations();
  Status status = common_dto::stream::SplitVolumePart(
      volume, part, common_dto::stream::SplitOptions(), writer_.get(), nullptr, [&] {
        const std::uint64_t produced = CountedAllocations() - since;
        const bool ray = IsRayLevel(FirstMessage());
        (ray ? allocations_.producer_rays : allocations_.producer_other) += produced;
        Status drained = Drain();
        since = CountedAllocations();
        return drained;
      });
  allocations_.producer_other += CountedAllocations() - since;
  return status;
}

std::string_view StreamPath::FirstMessage() const {
  // The length prefix, then the message (at least its first byte).
  std::size_t i = 0;
  while (i < wire_.size() && (static_cast<unsigned char>(wire_.data()[i]) & 0x80) != 0) ++i;
  return i + 1 < wire_.size() ? std::string_view(wire_.data() + i + 1, 1) : std::string_view();
}

Status StreamPath::Drain() {
  max_buffered_ = std::max(max_buffered_, wire_.size());
  frame_bytes_ += wire_.size();
  google::protobuf::io::ArrayInputStream in(wire_.data(), static_cast<int>(wire_.size()));
  DelimitedReader reader = DelimitedReader::FromZeroCopyStream(&in);  // The harness's.
  std::string_view bytes;
  ReadResult r;
  Status status;
  while (status.ok() && (r = reader.ReadBytes(&bytes))) {
    ++messages_;
    const std::uint64_t before = CountedAllocations();
    status = assembler_.AddSerialized(bytes);
    (IsRayLevel(bytes) ? allocations_.receiver_rays : allocations_.receiver_other) +=
        CountedAllocations() - before;
  }
  if (!status.ok()) return status;
  if (r.is_error()) return r.status();
  wire_.Clear();
  return Status::Ok();
}

}  // namespace common_dto_bench

// Counts allocations while asked to (see CountAllocations); otherwise the
// plain operator new.
void* operator new(std::size_t size) {
  if (common_dto_bench::g_counting.load(std::memory_order_relaxed)) {
    common_dto_bench::g_allocations.fetch_add(1, std::memory_order_relaxed);
  }
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
