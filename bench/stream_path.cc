#include "stream_path.h"

#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <new>

#include "common_dto/model/uuid.h"

namespace common_dto_bench {

using common_dto::stream::DelimitedReader;
using common_dto::stream::DelimitedWriter;
using common_dto::stream::ReadResult;
using common_dto::Status;
using kyt::pb::stream::RayStreamMessage;

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

common_dto::stream::AssemblerOptions Options(common_dto::stream::DeliveryMode mode) {
  common_dto::stream::AssemblerOptions options;
  options.delivery = mode;
  return options;
}

}  // namespace

StreamPath::StreamPath(common_dto::stream::DeliveryMode mode)
    : assembler_(Options(mode)),
      writer_(std::make_unique<DelimitedWriter>(DelimitedWriter::ToZeroCopyStream(&wire_))) {}

StreamPath::~StreamPath() = default;

Status StreamPath::Stream(const kyt::pb::common::Volume& volume) {
  sweep_mode_ = false;
  const common_dto::stream::SplitOptions options;
  return common_dto::stream::SplitVolume(
      volume, options, [this](RayStreamMessage&& m) { return Sink(std::move(m)); });
}

Status StreamPath::StreamSweep(const kyt::pb::common::Volume& one_sweep, int position,
                               int sweep_count) {
  sweep_mode_ = true;
  position_ = position;
  sweep_count_ = sweep_count;
  sweep_uuid_ = common_dto::DeriveSweepUuid(one_sweep.uuid(), position);
  const common_dto::stream::SplitOptions options;
  return common_dto::stream::SplitVolume(
      one_sweep, options, [this](RayStreamMessage&& m) { return Sink(std::move(m)); });
}

Status StreamPath::Sink(RayStreamMessage&& message) {
  bool boundary = true;
  switch (message.payload_case()) {
    case RayStreamMessage::kVolumeHeader:
      if (sweep_mode_ && position_ != 0) return Status::Ok();
      break;
    case RayStreamMessage::kVolumeEnd:
      if (sweep_mode_ && position_ + 1 != sweep_count_) return Status::Ok();
      break;
    case RayStreamMessage::kSweepHeader:
      if (sweep_mode_) *message.mutable_sweep_header()->mutable_sweep_uuid() = sweep_uuid_;
      break;
    case RayStreamMessage::kSweepEnd:
      if (sweep_mode_) *message.mutable_sweep_end()->mutable_sweep_uuid() = sweep_uuid_;
      break;
    case RayStreamMessage::kRayHeader:
      if (sweep_mode_) *message.mutable_ray_header()->mutable_sweep_uuid() = sweep_uuid_;
      boundary = false;
      break;
    case RayStreamMessage::kParameterData:
      if (sweep_mode_) *message.mutable_parameter_data()->mutable_sweep_uuid() = sweep_uuid_;
      boundary = false;
      break;
    case RayStreamMessage::kRayEnd:
      if (sweep_mode_) *message.mutable_ray_end()->mutable_sweep_uuid() = sweep_uuid_;
      break;
    default:
      break;
  }
  Status status = writer_->Write(message);
  if (!status.ok()) return status;
  return boundary ? Drain() : Status::Ok();
}

Status StreamPath::Drain() {
  max_buffered_ = std::max(max_buffered_, wire_.size());
  frame_bytes_ += wire_.size();
  google::protobuf::io::ArrayInputStream in(wire_.data(), static_cast<int>(wire_.size()));
  DelimitedReader reader = DelimitedReader::FromZeroCopyStream(&in);
  ReadResult r;
  while ((r = reader.Read(&incoming_))) {
    ++messages_;
    Status status = assembler_.Add(std::move(incoming_));
    if (!status.ok()) return status;
  }
  if (r.is_error()) return r.status();
  wire_.Clear();
  return Status::Ok();
}

}  // namespace common_dto_bench
