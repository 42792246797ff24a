// The whole ray stream path as the benchmarks run it, in one thread:
//
//   split and frame (SplitVolume into a DelimitedWriter over a buffer in
//   memory) -> read (DelimitedReader::ReadBytes over that buffer) ->
//   reassemble (Assembler::AddSerialized)
//
// The buffer is drained after every ray (and after every header and end
// marker), as a receiver reading a socket would see it, so it never holds
// more than one ray's frames and an L volume streams in bounded memory.
//
// A volume can be fed whole (Stream) or one sweep at a time (StreamSweep),
// for volumes too large for one message: each sweep then travels as a
// one-sweep Volume holding the volume's uuid and configuration, split with
// SplitVolumePart(), so that the path keeps one stream.
//
// Allocations (operator new) are counted for each side while the path
// runs: the producer (split, frame, write) and the receiver (read,
// reassemble), for ray-level messages and for the others apart; the
// harness's own are not counted.
#pragma once

#include <google/protobuf/io/zero_copy_stream.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common_dto/stream/assembler.h"
#include "common_dto/stream/framing.h"
#include "common_dto/stream/splitter.h"
#include "volume.pb.h"

namespace common_dto_bench {

// A growable in-memory output stream that, unlike StringOutputStream, does
// not zero the space it hands out (with libstdc++ growing a std::string
// writes every byte once more). Clear() keeps the capacity.
class MemoryOutputStream : public google::protobuf::io::ZeroCopyOutputStream {
 public:
  MemoryOutputStream() = default;
  ~MemoryOutputStream() override;
  MemoryOutputStream(const MemoryOutputStream&) = delete;
  MemoryOutputStream& operator=(const MemoryOutputStream&) = delete;

  bool Next(void** data, int* size) override;
  void BackUp(int count) override;
  std::int64_t ByteCount() const override { return total_ + static_cast<std::int64_t>(size_); }

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  void Clear() {
    total_ += static_cast<std::int64_t>(size_);
    size_ = 0;
  }

 private:
  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::int64_t total_ = 0;
};

// Allocations counted on each side of the path: for the ray-level
// messages (RayHeader, ParameterData, RayEnd) and for the others (headers
// and end markers).
struct Allocations {
  std::uint64_t producer_rays = 0;
  std::uint64_t producer_other = 0;
  std::uint64_t receiver_rays = 0;
  std::uint64_t receiver_other = 0;
};

class StreamPath {
 public:
  explicit StreamPath(common_dto::stream::DeliveryMode mode);
  ~StreamPath();

  // Streams the whole of `volume`.
  common_dto::Status Stream(const kyt::pb::common::Volume& volume);

  // Streams `one_sweep`, a Volume holding only sweep `position` (of
  // `sweep_count`) of a larger volume, with that volume's uuid, instrument
  // and configuration.
  common_dto::Status StreamSweep(const kyt::pb::common::Volume& one_sweep, int position,
                                 int sweep_count);

  common_dto::stream::Assembler& assembler() { return assembler_; }

  // Messages and frame bytes that went through the path so far.
  std::uint64_t messages() const { return messages_; }
  std::uint64_t frame_bytes() const { return frame_bytes_; }
  // Largest number of bytes the in-memory buffer held at once.
  std::size_t max_buffered() const { return max_buffered_; }
  // Allocations on each side so far (counted only while
  // CountAllocations(true) is in effect).
  const Allocations& allocations() const { return allocations_; }

 private:
  common_dto::Status Split(const kyt::pb::common::Volume& volume,
                           const common_dto::stream::VolumePart& part);
  common_dto::Status Drain();
  // The first byte of the first message in the buffer, if any.
  std::string_view FirstMessage() const;

  common_dto::stream::Assembler assembler_;
  MemoryOutputStream wire_;
  std::unique_ptr<common_dto::stream::DelimitedWriter> writer_;
  std::uint64_t messages_ = 0;
  std::uint64_t frame_bytes_ = 0;
  std::size_t max_buffered_ = 0;
  Allocations allocations_;
};

// Turns the counting of operator new on or off for the whole process.
void CountAllocations(bool on);
// Allocations counted so far.
std::uint64_t CountedAllocations();

}  // namespace common_dto_bench
