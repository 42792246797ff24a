// The Rainbow 5 reader on arbitrary bytes: nothing may crash, declared
// sizes must not drive memory (fuzz/run.sh sets an allocation limit), and a
// volume read without error has moment buffers that divide into its rays.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common_dto/formats/rainbow.h"
#include "fuzz_support.h"
#include "volume.pb.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  common_dto_fuzz::QuietRuntime();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  kyt::pb::common::Volume volume;
  common_dto::formats::Notes notes;
  const common_dto::Status status = common_dto::formats::ReadRainbowBytes(
      bytes, common_dto::formats::ReadOptions{}, &volume, &notes);
  (void)common_dto::formats::LooksLikeRainbow(bytes);
  if (!status.ok()) return 0;
  for (const auto& sweep : volume.sweep()) {
    const auto rays = static_cast<std::size_t>(sweep.rays_size());
    for (const auto& [name, buffer] : sweep.sweep_moments()) {
      FUZZ_CHECK(rays == 0 ? buffer.data().empty() : buffer.data().size() % rays == 0,
                 "a moment buffer does not divide into the sweep's rays");
      FUZZ_CHECK(static_cast<std::size_t>(buffer.uncompressed_size()) == buffer.data().size(),
                 "uncompressed_size differs from the samples");
    }
  }
  return 0;
}
