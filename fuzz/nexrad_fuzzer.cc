// The NEXRAD Level II reader on arbitrary bytes: whole files (bzip2 LDM
// records, plain messages, gzip) and the same bytes cut into real-time
// chunks at places the first byte chooses. Neither may crash, and memory
// must stay bounded by the input whatever sizes the records and messages
// declare (fuzz/run.sh sets an allocation limit). Every sweep read must
// divide into its rays.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common_dto/formats/nexrad.h"
#include "fuzz_support.h"

namespace formats = common_dto::formats;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  common_dto_fuzz::QuietRuntime();
  return 0;
}

namespace {

void CheckSweeps(const kyt::pb::common::Volume& volume) {
  for (const auto& sweep : volume.sweep()) {
    for (const auto& [name, buffer] : sweep.sweep_moments()) {
      if (sweep.rays_size() == 0 || buffer.data().size() % sweep.rays_size() != 0) {
        common_dto_fuzz::Die(__FILE__, __LINE__, "samples divide into rays", name);
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  kyt::pb::common::Volume volume;
  formats::Notes notes;
  (void)formats::ReadNexradBytes(bytes, formats::ReadOptions{}, &volume, &notes);
  CheckSweeps(volume);
  if (size < 2) return 0;
  // Chunks: the first byte is the chunk length in units of 16 bytes.
  const std::size_t step = 16 * (1 + static_cast<unsigned char>(bytes[0]));
  formats::NexradChunkReader reader;
  std::string_view rest = bytes.substr(1);
  while (!rest.empty()) {
    const std::string_view chunk = rest.substr(0, step);
    rest.remove_prefix(chunk.size());
    if (!reader.Feed(chunk, rest.empty()).ok()) break;
    kyt::pb::common::Volume part;
    reader.TakeSweeps(&part, &notes);
    CheckSweeps(part);
  }
  return 0;
}
