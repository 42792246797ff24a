// The split path on arbitrary bytes: an InstrumentData holding a volume is
// split into a ray stream (each ray's buffers compressed as the first byte
// chooses), which must read back through the reader and reassemble into a
// volume of as many sweeps. Declared buffer sizes must not drive memory
// (fuzz/run.sh sets an allocation limit).
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "common_dto/stream/assembler.h"
#include "common_dto/stream/framing.h"
#include "common_dto/stream/splitter.h"
#include "fuzz_support.h"
#include "instrument_data.pb.h"

namespace stream = common_dto::stream;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  common_dto_fuzz::QuietRuntime();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  kyt::pb::common::InstrumentData input;
  if (!input.ParseFromArray(data + 1, static_cast<int>(size - 1)) || !input.has_volume()) return 0;
  const common_dto::Compression kinds[] = {common_dto::Compression::kNone,
                                           common_dto::Compression::kLz4Frame,
                                           common_dto::Compression::kLz4Block};
  stream::SplitOptions options;
  options.ray_compression = kinds[data[0] % 3];

  std::string bytes;
  common_dto::Status split;
  {
    google::protobuf::io::StringOutputStream out(&bytes);
    stream::DelimitedWriter writer = stream::DelimitedWriter::ToZeroCopyStream(&out);
    stream::SplitReport report;
    split = stream::SplitVolume(
        input.volume(), options,
        [&](kyt::pb::stream::RayStreamMessage&& m) { return writer.Write(m); }, &report);
    FUZZ_CHECK(writer.Close().ok(), "closing a string writer failed");
  }
  if (!split.ok()) {
    FUZZ_CHECK(!split.message().empty(), "an error without a description");
    return 0;
  }
  stream::DelimitedReader reader = stream::DelimitedReader::FromBytes(bytes);
  stream::Assembler assembler;
  kyt::pb::stream::RayStreamMessage message;
  stream::ReadResult r;
  while ((r = reader.Read(&message))) static_cast<void>(assembler.Add(std::move(message)));
  FUZZ_CHECK(r.is_end_of_stream(), "the split stream does not read back: " + r.error());
  assembler.Finish();
  const auto volumes = assembler.TakeVolumes();
  FUZZ_CHECK(volumes.size() == 1, "not one volume");
  FUZZ_CHECK(volumes[0].volume.sweep_size() == input.volume().sweep_size(),
             "the sweeps do not reassemble");
  return 0;
}
