// The IRIS RAW reader on arbitrary bytes. A RAW file starts with two
// 6144-byte header records, more than an input of libFuzzer's default size
// holds, so an input that is not a whole file is laid out as one: its first
// 28 bytes patch the task's data mask, range, PRF, wavelength, multi-PRF and
// scan modes into fixed headers, the rest are the data records (raw_prod_bhdr,
// ingest_data_headers, compressed rays). Nothing may crash, and declared
// sizes must not drive memory (fuzz/run.sh sets an allocation limit).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "common_dto/formats/iris.h"
#include "fuzz_support.h"

namespace cf = common_dto::formats;

namespace {

constexpr std::size_t kRecord = 6144;
constexpr std::size_t kTaskConfig = kRecord + 12 + 480;
constexpr std::size_t kPatch = 28;

void Put16(std::string* b, std::size_t at, std::uint16_t v) {
  (*b)[at] = static_cast<char>(v & 0xff);
  (*b)[at + 1] = static_cast<char>(v >> 8);
}

std::string Laid(const std::uint8_t* data, std::size_t size) {
  std::string b(2 * kRecord, '\0');
  Put16(&b, 0, 27);
  Put16(&b, 12, 26);
  Put16(&b, 24, 15);
  Put16(&b, kRecord, 23);
  const char* p = reinterpret_cast<const char*>(data);
  // Mask words 0 and 1 (the extended header type sits between them).
  std::memcpy(&b[kTaskConfig + 132 + 4], p, 4);
  std::memcpy(&b[kTaskConfig + 132 + 12], p + 4, 4);
  std::memcpy(&b[kTaskConfig + 772], p + 8, 4);        // first bin
  std::memcpy(&b[kTaskConfig + 772 + 16], p + 12, 4);  // bin step
  std::memcpy(&b[kTaskConfig + 132 + 136], p + 16, 4); // PRF
  std::memcpy(&b[kTaskConfig + 1252], p + 20, 4);      // wavelength
  std::memcpy(&b[kTaskConfig + 132 + 144], p + 24, 2); // multi-PRF mode
  std::memcpy(&b[kTaskConfig + 932], p + 26, 2);       // scan mode
  b.append(p + kPatch, size - kPatch);
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  common_dto_fuzz::QuietRuntime();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  if (!cf::LooksLikeIris(bytes)) {
    if (size < kPatch) return 0;
    bytes = Laid(data, size);
  }
  kyt::pb::common::Volume volume;
  cf::Notes notes;
  const common_dto::Status s = cf::ReadIrisBytes(bytes, {}, &volume, &notes);
  // What was read is a valid message: every string of the volume is UTF-8.
  std::string out;
  FUZZ_CHECK(volume.SerializeToString(&out), "the volume does not serialize");
  (void)s;
  return 0;
}
