// Any bytes that parse as a RayStreamMessage: round trip through the binary
// form and through a framed stream, the UTF-8 check agrees with the parser,
// and the assembler takes the message inside a volume and sweep made up
// around it without crashing, leaking or breaking its bookkeeping.
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <cstddef>
#include <cstdint>

#include "common_dto/stream/assembler.h"
#include "common_dto/stream/framing.h"
#include "fuzz_support.h"
#include "ray_stream_message.pb.h"

using common_dto::stream::Assembler;
using common_dto::stream::AssemblerOptions;
using kyt::pb::stream::RayStreamMessage;

namespace {

void Feed(Assembler* assembler, const RayStreamMessage& message) { (void)assembler->Add(message); }


// One frame out and back in gives the same bytes.
void CheckFramedCopy(const RayStreamMessage& message, const std::string& bytes) {
  std::string framed;
  {
    google::protobuf::io::StringOutputStream out(&framed);
    common_dto::stream::WriterOptions options;
    options.deterministic = true;
    auto writer = common_dto::stream::DelimitedWriter::ToZeroCopyStream(&out, options);
    const auto written = writer.Write(message);
    FUZZ_CHECK(written.ok(), written.message());
    FUZZ_CHECK(writer.Close().ok(), "close failed");
  }
  google::protobuf::io::ArrayInputStream in(framed.data(), static_cast<int>(framed.size()));
  auto reader = common_dto::stream::DelimitedReader::FromZeroCopyStream(&in);
  RayStreamMessage read;
  const auto first = reader.Read(&read);
  FUZZ_CHECK(first.has_message(), first.error());
  FUZZ_CHECK(common_dto_fuzz::Serialize(read) == bytes, "the framed copy differs");
  FUZZ_CHECK(reader.Read(&read).is_end_of_stream(), "more than one frame read back");
}

// The volume, sweep and ray a message names (zero where it names none).
void Locate(const RayStreamMessage& message, kyt::pb::common::UUID* volume_uuid,
            kyt::pb::common::UUID* sweep_uuid, std::int32_t* ray_index) {
  switch (message.payload_case()) {
    case RayStreamMessage::kSweepHeader:
      *volume_uuid = message.sweep_header().volume_uuid();
      break;
    case RayStreamMessage::kRayHeader:
      *sweep_uuid = message.ray_header().sweep_uuid();
      *ray_index = message.ray_header().ray_index();
      break;
    case RayStreamMessage::kParameterData:
      *sweep_uuid = message.parameter_data().sweep_uuid();
      *ray_index = message.parameter_data().ray_index();
      break;
    case RayStreamMessage::kRayEnd:
      *sweep_uuid = message.ray_end().sweep_uuid();
      *ray_index = message.ray_end().ray_index();
      break;
    case RayStreamMessage::kSweepEnd:
      *sweep_uuid = message.sweep_end().sweep_uuid();
      break;
    case RayStreamMessage::kVolumeEnd:
      *volume_uuid = message.volume_end().volume_uuid();
      break;
    default:
      break;
  }
}

// The assembler, with the message's volume and sweep opened first so that
// ray-level payloads reach the building of the sweep, and the ray and sweep
// around it completed after it.
void CheckAssembler(const RayStreamMessage& message, std::size_t size) {
  AssemblerOptions options;
  options.max_buffer_size = 1 << 16;
  options.max_buffered_bytes = 1 << 18;
  options.fill = common_dto::stream::FillValue{};
  options.output_compression = size % 3 == 0
                                   ? common_dto::Compression::kNone
                                   : (size % 3 == 1 ? common_dto::Compression::kLz4Frame
                                                    : common_dto::Compression::kLz4Block);
  Assembler assembler(options);
  kyt::pb::common::UUID sweep_uuid, volume_uuid;
  std::int32_t ray_index = 0;
  Locate(message, &volume_uuid, &sweep_uuid, &ray_index);
  if (message.payload_case() != RayStreamMessage::kVolumeHeader) {
    RayStreamMessage m;
    *m.mutable_volume_header()->mutable_volume_uuid() = volume_uuid;
    Feed(&assembler, m);
    if (message.payload_case() != RayStreamMessage::kSweepHeader &&
        message.payload_case() != RayStreamMessage::kVolumeEnd) {
      m.Clear();
      *m.mutable_sweep_header()->mutable_sweep_uuid() = sweep_uuid;
      *m.mutable_sweep_header()->mutable_volume_uuid() = volume_uuid;
      Feed(&assembler, m);
    }
  }
  if (size % 2 == 0) {
    (void)assembler.Add(RayStreamMessage(message));
  } else {
    (void)assembler.Add(message);
  }
  // Complete the ray and sweep around it.
  RayStreamMessage m;
  m.mutable_ray_header()->set_ray_index(ray_index);
  *m.mutable_ray_header()->mutable_sweep_uuid() = sweep_uuid;
  Feed(&assembler, m);
  m.Clear();
  m.mutable_ray_end()->set_ray_index(ray_index);
  *m.mutable_ray_end()->mutable_sweep_uuid() = sweep_uuid;
  Feed(&assembler, m);
  m.Clear();
  *m.mutable_sweep_end()->mutable_sweep_uuid() = sweep_uuid;
  Feed(&assembler, m);
  assembler.Finish();
  FUZZ_CHECK(assembler.open_volumes() == 0 && assembler.open_sweeps() == 0,
             "Finish() left something open");
  FUZZ_CHECK(assembler.buffered_bytes() == 0, "bytes still counted after Finish()");
  for (const auto& volume : assembler.TakeVolumes()) {
    FUZZ_CHECK(volume.complete == volume.missing.empty(), "complete disagrees with missing");
    (void)common_dto_fuzz::Serialize(volume.volume);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  common_dto_fuzz::QuietRuntime();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  RayStreamMessage message;
  if (!message.ParseFromArray(data, static_cast<int>(size))) return 0;
  const std::string bytes = common_dto_fuzz::Serialize(message);
  RayStreamMessage again;
  FUZZ_CHECK(again.ParseFromString(bytes), "the re-serialized message does not parse");
  FUZZ_CHECK(common_dto_fuzz::Serialize(again) == bytes, "a second round trip changed the bytes");

  // The parser has checked every string; the library's check must agree.
  const common_dto::Status utf8 = common_dto::CheckUtf8(message);
  FUZZ_CHECK(utf8.ok(), utf8.message());

  CheckFramedCopy(message, bytes);
  CheckAssembler(message, size);
  return 0;
}
