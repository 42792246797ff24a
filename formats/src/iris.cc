// IRIS/Sigmet RAW product files: the product and ingest headers, the
// records of each sweep, the compressed rays and the data types (see iris.h).
#include "common_dto/formats/iris.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "odim_internal.h"
#include "quantities.h"

namespace common_dto {
namespace formats {

using kyt::pb::common::DataBuffer;
using kyt::pb::common::DataDescriptor;
using kyt::pb::common::Instrument;
using kyt::pb::common::Ray;
using kyt::pb::common::RayConfig;
using kyt::pb::common::Sweep;
using kyt::pb::common::SweepConfig;
using kyt::pb::common::Volume;

namespace {

constexpr std::size_t kRecordBytes = 6144;
constexpr std::size_t kBlockHeaderBytes = 12;  // raw_prod_bhdr
constexpr std::size_t kDataHeaderBytes = 76;   // ingest_data_header
constexpr std::size_t kRayHeaderBytes = 12;    // ray_header
constexpr int kProductHdrId = 27;
constexpr int kProductConfigurationId = 26;
constexpr int kIngestHeaderId = 23;
constexpr int kRawProductType = 15;
constexpr int kExtendedHeaderType = 0;  // DB_XHDR
// A ray holds at most 32767 bins (a SINT2) of at most 2 bytes; what a
// compressed ray expands to beyond that is not kept.
constexpr std::size_t kMaxRayBytes = kRayHeaderBytes + 2 * 32768 + 64;
constexpr std::int64_t kMaxBufferBytes = 0x7fffffff;  // DataBuffer.uncompressed_size is int32

// Where the structures are.
constexpr std::size_t kProductConfig = 12;
constexpr std::size_t kIngestHeader = kRecordBytes;
constexpr std::size_t kIngestHeaderBytes = 4884;
constexpr std::size_t kIngestConfig = kIngestHeader + 12;
constexpr std::size_t kTaskConfig = kIngestConfig + 480;
constexpr std::size_t kTaskDsp = kTaskConfig + 132;
constexpr std::size_t kTaskRange = kTaskConfig + 772;
constexpr std::size_t kTaskScan = kTaskConfig + 932;
constexpr std::size_t kTaskMisc = kTaskConfig + 1252;
constexpr std::size_t kTaskEnd = kTaskConfig + 1572;
constexpr std::size_t kFirstDataRecord = 2 * kRecordBytes;

// Little-endian fields of a byte string; a field past the end reads as 0
// (callers check the structure sizes first).
class Fields {
 public:
  explicit Fields(std::string_view bytes) : b_(bytes) {}
  std::uint16_t U16(std::size_t at) const {
    return static_cast<std::uint16_t>(Byte(at) | Byte(at + 1) << 8);
  }
  std::int16_t S16(std::size_t at) const { return static_cast<std::int16_t>(U16(at)); }
  std::uint32_t U32(std::size_t at) const {
    return U16(at) | static_cast<std::uint32_t>(U16(at + 2)) << 16;
  }
  std::int32_t S32(std::size_t at) const { return static_cast<std::int32_t>(U32(at)); }
  // Text of a fixed-size field: up to its first NUL, trailing blanks
  // dropped, bytes outside printable ASCII as '?'.
  std::string Text(std::size_t at, std::size_t n) const {
    std::string t;
    for (std::size_t i = at; i < at + n && i < b_.size() && b_[i] != '\0'; ++i) {
      const unsigned char c = static_cast<unsigned char>(b_[i]);
      t += c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?';
    }
    while (!t.empty() && t.back() == ' ') t.pop_back();
    return t;
  }
  std::size_t size() const { return b_.size(); }

 private:
  unsigned Byte(std::size_t at) const {
    return at < b_.size() ? static_cast<unsigned char>(b_[at]) : 0u;
  }
  std::string_view b_;
};

// Binary angles: the full circle is 2^16 (BIN2) or 2^32 (BIN4).
double Bin2(std::uint16_t v) { return v * (360.0 / 65536.0); }
double Bin4(std::uint32_t v) { return v * (360.0 / 4294967296.0); }
double SignedDeg(double deg) { return deg > 180.0 ? deg - 360.0 : deg; }

// A ymds_time: seconds since 1970, and whether the file flags it as UTC.
struct Time {
  double epoch = 0;
  bool utc = false;
};

std::optional<Time> ReadTime(const Fields& f, std::size_t at) {
  const std::int32_t seconds = f.S32(at);
  const std::uint16_t ms = f.U16(at + 4);
  std::int64_t day = 0;
  if (seconds < 0 || seconds > 86400 ||
      !CivilToEpoch(f.S16(at + 6), f.S16(at + 8), f.S16(at + 10), 0, 0, 0, &day)) {
    return std::nullopt;
  }
  return Time{static_cast<double>(day + seconds) + (ms & 0x3ff) / 1000.0, (ms & 0x800) != 0};
}

// ---- Data types -------------------------------------------------------------

enum class Coding {
  kLinear,    // value = offset + step * N
  kVelocity,  // 1-byte velocity: Nyquist * (N - 128) / 127
  kWidth,     // 1-byte width: Nyquist * N / 256
  kKdp,       // 1-byte KDP: logarithmic, by wavelength
  kSqrt,      // 1-byte RhoHV, SQI: sqrt((N - 1) / 253)
  kCodes,     // not converted here: codes kept without a scale
};

struct TypeInfo {
  int code;
  const char* name;
  int bytes;
  Coding coding;
  double step, offset;
};

constexpr double kDb2Step = 0.01, kDb2Offset = -327.68;  // (N - 32768) / 100
const TypeInfo kTypes[] = {
    {1, "DB_DBT", 1, Coding::kLinear, 0.5, -32.0},
    {2, "DB_DBZ", 1, Coding::kLinear, 0.5, -32.0},
    {3, "DB_VEL", 1, Coding::kVelocity, 0, 0},
    {4, "DB_WIDTH", 1, Coding::kWidth, 0, 0},
    {5, "DB_ZDR", 1, Coding::kLinear, 1.0 / 16.0, -8.0},
    {7, "DB_DBZC", 1, Coding::kLinear, 0.5, -32.0},
    {8, "DB_DBT2", 2, Coding::kLinear, kDb2Step, kDb2Offset},
    {9, "DB_DBZ2", 2, Coding::kLinear, kDb2Step, kDb2Offset},
    {10, "DB_VEL2", 2, Coding::kLinear, kDb2Step, kDb2Offset},
    {11, "DB_WIDTH2", 2, Coding::kLinear, 0.01, 0.0},
    {12, "DB_ZDR2", 2, Coding::kLinear, kDb2Step, kDb2Offset},
    {14, "DB_KDP", 1, Coding::kKdp, 0, 0},
    {15, "DB_KDP2", 2, Coding::kLinear, kDb2Step, kDb2Offset},
    {16, "DB_PHIDP", 1, Coding::kLinear, 180.0 / 254.0, -180.0 / 254.0},
    {17, "DB_VELC", 1, Coding::kLinear, 150.0 / 253.0, -75.0 - 150.0 / 253.0},
    {18, "DB_SQI", 1, Coding::kSqrt, 0, 0},
    {19, "DB_RHOHV", 1, Coding::kSqrt, 0, 0},
    {20, "DB_RHOHV2", 2, Coding::kLinear, 1.0 / 65533.0, -1.0 / 65533.0},
    {21, "DB_DBZC2", 2, Coding::kLinear, kDb2Step, kDb2Offset},
    {22, "DB_VELC2", 2, Coding::kLinear, kDb2Step, kDb2Offset},
    {23, "DB_SQI2", 2, Coding::kLinear, 1.0 / 65533.0, -1.0 / 65533.0},
    {24, "DB_PHIDP2", 2, Coding::kLinear, 360.0 / 65534.0, -360.0 / 65534.0},
    {25, "DB_LDRH", 1, Coding::kLinear, 0.2, -45.2},
    {26, "DB_LDRH2", 2, Coding::kLinear, kDb2Step, kDb2Offset},
    {27, "DB_LDRV", 1, Coding::kLinear, 0.2, -45.2},
    {28, "DB_LDRV2", 2, Coding::kLinear, kDb2Step, kDb2Offset},
    {61, "DB_DBTV8", 1, Coding::kLinear, 0.5, -32.0},
    {62, "DB_DBTV16", 2, Coding::kLinear, kDb2Step, kDb2Offset},
    {63, "DB_DBZV8", 1, Coding::kLinear, 0.5, -32.0},
    {64, "DB_DBZV16", 2, Coding::kLinear, kDb2Step, kDb2Offset},
    {57, "DB_ZDRC", 1, Coding::kLinear, 1.0 / 16.0, -8.0},
    {58, "DB_ZDRC2", 2, Coding::kLinear, kDb2Step, kDb2Offset},
    // Named, their width from the bits per bin of their data headers.
    {6, "DB_ORAIN", 0, Coding::kCodes, 0, 0},        {13, "DB_RAINRATE2", 0, Coding::kCodes, 0, 0},
    {29, "DB_FLAGS", 0, Coding::kCodes, 0, 0},       {30, "DB_FLAGS2", 0, Coding::kCodes, 0, 0},
    {31, "DB_FLOAT32", 0, Coding::kCodes, 0, 0},     {32, "DB_HEIGHT", 0, Coding::kCodes, 0, 0},
    {33, "DB_VIL2", 0, Coding::kCodes, 0, 0},        {34, "DB_RAW", 0, Coding::kCodes, 0, 0},
    {35, "DB_SHEAR", 0, Coding::kCodes, 0, 0},       {36, "DB_DIVERGE2", 0, Coding::kCodes, 0, 0},
    {37, "DB_FLIQUID2", 0, Coding::kCodes, 0, 0},    {38, "DB_USER", 0, Coding::kCodes, 0, 0},
    {39, "DB_OTHER", 0, Coding::kCodes, 0, 0},       {40, "DB_DEFORM2", 0, Coding::kCodes, 0, 0},
    {41, "DB_VVEL2", 0, Coding::kCodes, 0, 0},       {42, "DB_HVEL2", 0, Coding::kCodes, 0, 0},
    {43, "DB_HDIR2", 0, Coding::kCodes, 0, 0},       {44, "DB_AXDIL2", 0, Coding::kCodes, 0, 0},
    {45, "DB_TIME2", 0, Coding::kCodes, 0, 0},       {46, "DB_RHOH", 0, Coding::kCodes, 0, 0},
    {47, "DB_RHOH2", 0, Coding::kCodes, 0, 0},       {48, "DB_RHOV", 0, Coding::kCodes, 0, 0},
    {49, "DB_RHOV2", 0, Coding::kCodes, 0, 0},       {50, "DB_PHIH", 0, Coding::kCodes, 0, 0},
    {51, "DB_PHIH2", 0, Coding::kCodes, 0, 0},       {52, "DB_PHIV", 0, Coding::kCodes, 0, 0},
    {53, "DB_PHIV2", 0, Coding::kCodes, 0, 0},       {54, "DB_USER2", 0, Coding::kCodes, 0, 0},
    {55, "DB_HCLASS", 0, Coding::kCodes, 0, 0},      {56, "DB_HCLASS2", 0, Coding::kCodes, 0, 0},
    {59, "DB_TEMPERATURE16", 0, Coding::kCodes, 0, 0}, {60, "DB_VIR16", 0, Coding::kCodes, 0, 0},
    {65, "DB_SNR8", 0, Coding::kCodes, 0, 0},        {66, "DB_SNR16", 0, Coding::kCodes, 0, 0},
    {67, "DB_ALBEDO8", 0, Coding::kCodes, 0, 0},     {68, "DB_ALBEDO16", 0, Coding::kCodes, 0, 0},
    {69, "DB_VILD16", 0, Coding::kCodes, 0, 0},      {70, "DB_TURB16", 0, Coding::kCodes, 0, 0},
};

const TypeInfo* FindType(int code) {
  for (const TypeInfo& t : kTypes) {
    if (t.code == code) return &t;
  }
  return nullptr;
}

// ---- Headers ------------------------------------------------------------------

// What the ingest header tells about every sweep.
struct Task {
  std::vector<int> types;  // of the DSP data mask, in mask order
  double prf_hz = 0, pulse_width_us = 0, wavelength_cm = 0, nyquist = 0;
  double first_bin_cm = 0, bin_step_cm = 0, angular_resolution = 0;
  int scan_mode = 0;
  std::string task_name;
  std::optional<Time> volume_start;
};

Status FileError(ErrorCode code, const std::string& field, const std::string& what) {
  Location location;
  location.field = field;
  return Status(code, field.empty() ? what : field + ": " + what, location);
}

// The data types of the DSP data mask: bit j of word i is type 32 i + j
// (the second UINT4 of the mask is the extended header type, not a word).
std::vector<int> MaskTypes(const Fields& f) {
  const std::size_t mask = kTaskDsp + 4;
  const std::uint32_t words[5] = {f.U32(mask), f.U32(mask + 8), f.U32(mask + 12),
                                  f.U32(mask + 16), f.U32(mask + 20)};
  std::vector<int> types;
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 32; ++j) {
      if (words[i] >> j & 1u) types.push_back(32 * i + j);
    }
  }
  return types;
}

void ReadInstrument(const Fields& f, Volume* volume) {
  Instrument* in = volume->mutable_instrument();
  in->set_instrument_type(Instrument::INSTR_RADAR);
  in->set_name(f.Text(kIngestConfig + 150, 16));
  const std::string version = f.Text(kIngestConfig + 124, 8);
  in->set_software_name(version.empty() ? "IRIS" : "IRIS " + version);
  auto* loc = in->mutable_location();
  loc->mutable_lat_lon()->set_latitude_deg(SignedDeg(Bin4(f.U32(kIngestConfig + 168))));
  loc->mutable_lat_lon()->set_longitude_deg(SignedDeg(Bin4(f.U32(kIngestConfig + 172))));
  loc->set_altitude_m(f.S16(kIngestConfig + 176) + f.S16(kIngestConfig + 178));
  const double h = Bin4(f.U32(kTaskMisc + 64)), v = Bin4(f.U32(kTaskMisc + 68));
  auto* radar = in->mutable_radar_properties();
  if (h > 0) radar->set_horz_beam_width_deg(h);
  if (v > 0) radar->set_vert_beam_width_deg(v);
}

Status ReadHeaders(const Fields& f, Volume* volume, Task* task, Notes* notes) {
  if (f.size() < 2 || f.S16(0) != kProductHdrId) {
    return FileError(ErrorCode::kMalformed, "product_hdr", "not an IRIS product file");
  }
  if (f.size() < kIngestHeader + kIngestHeaderBytes) {
    return FileError(ErrorCode::kMalformed, "ingest_header", "the file ends inside the headers");
  }
  const int product = f.U16(kProductConfig + 12);
  if (product != kRawProductType) {
    return FileError(ErrorCode::kUnsupported, "product_configuration",
                     "IRIS product type " + std::to_string(product) + " is not converted (only RAW)");
  }
  if (f.S16(kIngestHeader) != kIngestHeaderId) {
    return FileError(ErrorCode::kMalformed, "ingest_header", "no ingest_header in the second record");
  }
  task->types = MaskTypes(f);
  if (task->types.empty()) {
    return FileError(ErrorCode::kInvalidArgument, "task_dsp_info", "the DSP data mask names no data type");
  }
  task->prf_hz = f.S32(kTaskDsp + 136);
  task->pulse_width_us = f.S32(kTaskDsp + 140) / 100.0;
  task->wavelength_cm = f.S32(kTaskMisc) / 100.0;
  task->first_bin_cm = f.S32(kTaskRange);
  task->bin_step_cm = f.S32(kTaskRange + 16);
  task->scan_mode = f.U16(kTaskScan);
  task->angular_resolution = f.S16(kTaskScan + 2) / 1000.0;
  task->task_name = f.Text(kTaskEnd + 4, 12);
  task->volume_start = ReadTime(f, kIngestConfig + 88);
  // Dual-PRF modes 2:3, 3:4 and 4:5 extend the interval by 2, 3 and 4.
  const int multi_prf = f.U16(kTaskDsp + 144);
  if (task->prf_hz > 0 && task->wavelength_cm > 0 && multi_prf >= 0 && multi_prf <= 3) {
    task->nyquist = task->wavelength_cm / 100.0 * task->prf_hz / 4.0 * (multi_prf + 1);
  }
  if (task->bin_step_cm <= 0) {
    return FileError(ErrorCode::kInvalidArgument, "task_range_info",
                     "step between output bins is " + std::to_string(task->bin_step_cm) + " cm");
  }
  if (task->first_bin_cm == 0) {
    notes->push_back({NoteKind::kAssumed, "task_range_info", "",
                      "range of the first bin is 0: taken as the start of the first gate"});
  }
  ReadInstrument(f, volume);
  return Status::Ok();
}

// ---- Rays ---------------------------------------------------------------------

enum class RayEnd { kComplete, kCut, kBadCode };

// Expands the compressed ray starting at byte *pos of `data` into *out:
// a word with the top bit set is followed by that many (low 15 bits) data
// words, 1 ends the ray, any other word stands for that many zero words.
// At most kMaxRayBytes are kept; *pos ends after the ray.
RayEnd ExpandRay(std::string_view data, std::size_t* pos, std::string* out) {
  out->clear();
  const Fields f(data);
  while (*pos + 2 <= data.size()) {
    const std::uint16_t code = f.U16(*pos);
    *pos += 2;
    if (code == 1) return RayEnd::kComplete;
    if (code == 0) return RayEnd::kBadCode;
    const std::size_t n = 2 * static_cast<std::size_t>(code & 0x7fff);
    const std::size_t keep = std::min(n, kMaxRayBytes - out->size());
    if ((code & 0x8000) == 0) {
      out->append(keep, '\0');
      continue;
    }
    if (*pos + n > data.size()) return RayEnd::kCut;
    out->append(data.substr(*pos, keep));
    *pos += n;
  }
  return RayEnd::kCut;
}

// One stored ray: its header and, per data type, its expanded bytes
// (empty when the type has no data for it).
struct RayData {
  double az0 = 0, el0 = 0, az1 = 0, el1 = 0, seconds = 0;
  std::vector<std::string> data;
};

// The sweep's stored data as read: its data headers' values and rays.
struct SweepData {
  int number = 0;
  std::optional<Time> start;
  double fixed_angle = 0;
  int rays_declared = 0, rays_per_sweep = 0, missing = 0;
  std::vector<int> bits;  // per type
  std::vector<RayData> rays;
};

// The ray's header from the first data type holding data for it, its time
// from the extended header when there is one; false when no type holds data
// (a slot where no ray was stored).
bool RayHeader(const std::vector<std::string>& data, const std::vector<int>& types, RayData* ray) {
  std::size_t k = 0;
  while (k < data.size() && data[k].size() < kRayHeaderBytes) ++k;
  if (k == data.size()) return false;
  const Fields h(data[k]);
  ray->az0 = Bin2(h.U16(0));
  ray->el0 = SignedDeg(Bin2(h.U16(2)));
  ray->az1 = Bin2(h.U16(4));
  ray->el1 = SignedDeg(Bin2(h.U16(6)));
  ray->seconds = h.U16(10);
  // The extended header's time is in milliseconds from the sweep start.
  for (std::size_t t = 0; t < types.size(); ++t) {
    if (types[t] == kExtendedHeaderType && data[t].size() >= kRayHeaderBytes + 4) {
      ray->seconds = Fields(data[t]).S32(kRayHeaderBytes) / 1000.0;
    }
  }
  return true;
}

// The ingest_data_headers at the start of a sweep's data.
Status ReadDataHeaders(const Fields& f, const Task& task, const std::string& where, SweepData* sweep) {
  const std::size_t n = task.types.size();
  if (f.size() < n * kDataHeaderBytes) {
    return FileError(ErrorCode::kMalformed, where, "the data ends inside the ingest_data_headers");
  }
  sweep->start = ReadTime(f, 12);
  sweep->rays_per_sweep = f.S16(26);
  sweep->rays_declared = f.S16(32);
  sweep->fixed_angle = SignedDeg(Bin2(f.U16(34)));
  for (std::size_t k = 0; k < n; ++k) {
    const std::size_t at = k * kDataHeaderBytes;
    const int type = f.U16(at + 38), bits = f.S16(at + 36);
    if (type != task.types[k]) {
      return FileError(ErrorCode::kInvalidArgument, where,
                       "ingest_data_header " + std::to_string(k + 1) + " holds data type " +
                           std::to_string(type) + ", the DSP data mask says " +
                           std::to_string(task.types[k]));
    }
    const TypeInfo* info = FindType(type);
    if (info != nullptr && info->bytes != 0 && bits != 8 * info->bytes) {
      return FileError(ErrorCode::kInvalidArgument, where,
                       std::string(info->name) + " with " + std::to_string(bits) + " bits per bin");
    }
    sweep->bits.push_back(bits);
  }
  return Status::Ok();
}

// The rays of a sweep's data after its headers. Stops at the end of the
// data or at the zero padding after the last ray. *budget: bytes the rays
// may still expand to.
Status ReadRays(std::string_view data, const Task& task, const std::string& where,
                std::int64_t* budget, SweepData* sweep) {
  const std::size_t n = task.types.size();
  std::size_t pos = n * kDataHeaderBytes;
  while (pos + 2 <= data.size() && Fields(data).U16(pos) != 0) {
    RayData ray;
    ray.data.resize(n);
    for (std::size_t k = 0; k < n; ++k) {
      const RayEnd end = ExpandRay(data, &pos, &ray.data[k]);
      *budget -= static_cast<std::int64_t>(ray.data[k].size());
      if (end == RayEnd::kCut) {
        return FileError(ErrorCode::kMalformed, where,
                         "the data ends inside ray slot " + std::to_string(sweep->rays.size() + sweep->missing + 1));
      }
      if (end == RayEnd::kBadCode) {
        return FileError(ErrorCode::kMalformed, where, "compression code 0 inside a ray");
      }
      if (*budget < 0) {
        return FileError(ErrorCode::kTooLarge, where, "rays expand to more than the file can hold");
      }
    }
    if (!RayHeader(ray.data, task.types, &ray)) {
      ++sweep->missing;  // an empty slot: no ray was stored there
      continue;
    }
    sweep->rays.push_back(std::move(ray));
  }
  return Status::Ok();
}

// ---- Moments ------------------------------------------------------------------

struct Moment {
  std::string name, native;
  int storage = DataBuffer::UINT8;
  int width = 1;
  DataDescriptor descriptor;
};

// The value of 1-byte code `n` of a non-linear type; NaN for the codes that
// hold no value (0: no data, 255: area not scanned for RhoHV, SQI).
float Decode(Coding coding, unsigned n, double wavelength_cm) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  if (n == 0 || n == 255) return nan;
  if (coding == Coding::kSqrt) return static_cast<float>(std::sqrt((n - 1) / 253.0));
  if (n == 128) return 0.0f;
  const double v = n > 128 ? 0.25 * std::pow(600.0, (n - 129) / 126.0)
                           : -0.25 * std::pow(600.0, (127.0 - n) / 126.0);
  return static_cast<float>(v / wavelength_cm);
}

// Code 0, "no data available", is both a gate not scanned and one below the
// thresholds: IRIS does not tell them apart.
void SetLinear(double step, double offset, DataDescriptor* d) {
  auto* scale = d->mutable_scale();
  scale->set_type(DataDescriptor::DataScale::LINEAR);
  auto* lin = scale->mutable_linear_scale();
  lin->set_step(step);
  lin->set_offset(offset);
  lin->set_under_threshold(0);
  lin->set_not_scanned(0);
}

// How type `type` (`bits` per bin) becomes a moment: storage, scale, name.
// False when its samples cannot be carried (a note says why).
bool MomentOf(int type, int bits, const Task& task, const std::string& where, Moment* m,
              Notes* notes) {
  const TypeInfo* info = FindType(type);
  m->native = info != nullptr ? info->name : "DB_TYPE" + std::to_string(type);
  const char* quantity = QuantityOfNativeName("iris", m->native);
  m->name = quantity != nullptr ? quantity : m->native;
  m->descriptor = DescriptorFor(m->name);
  m->descriptor.set_description(m->native);
  if (quantity == nullptr) {
    notes->push_back({NoteKind::kUnknownName, where, m->name, "IRIS data type kept under its name"});
  }
  const Coding coding = info != nullptr ? info->coding : Coding::kCodes;
  m->width = coding != Coding::kCodes ? info->bytes : bits / 8;
  if (coding == Coding::kCodes && bits != 8 && bits != 16) {
    notes->push_back({NoteKind::kNotCarried, where, m->name,
                      std::to_string(bits) + " bits per bin; not carried"});
    return false;
  }
  m->storage = m->width == 1 ? DataBuffer::UINT8 : DataBuffer::UINT16;
  if (coding == Coding::kCodes) {
    notes->push_back({NoteKind::kNotCarried, where, m->name,
                      "conversion unknown: stored codes kept without a scale"});
  } else if (coding == Coding::kLinear) {
    SetLinear(info->step, info->offset, &m->descriptor);
  } else if ((coding == Coding::kVelocity || coding == Coding::kWidth) && task.nyquist > 0) {
    const double nyq = task.nyquist;
    if (coding == Coding::kVelocity) SetLinear(nyq / 127.0, -128.0 * nyq / 127.0, &m->descriptor);
    else SetLinear(nyq / 256.0, 0.0, &m->descriptor);
  } else if (coding == Coding::kSqrt || (coding == Coding::kKdp && task.wavelength_cm > 0)) {
    m->storage = DataBuffer::FLOAT;
    notes->push_back({NoteKind::kConverted, where, m->name,
                      "1-byte codes of a non-linear scale decoded to floats (NaN for no data)"});
  } else {
    notes->push_back({NoteKind::kNotCarried, where, m->name,
                      "no Nyquist velocity or wavelength (PRF, wavelength or multi-PRF mode missing "
                      "or unknown): stored codes kept without a scale"});
  }
  return true;
}

// The gates a ray holds: its header's bin count, at most what its data
// holds.
int RayGates(const std::string& data, int width) {
  if (data.size() < kRayHeaderBytes) return 0;
  const int declared = std::max<int>(0, Fields(data).S16(8));
  const int held = static_cast<int>((data.size() - kRayHeaderBytes) / static_cast<std::size_t>(width));
  return std::min(declared, held);
}

// The samples of moment `k` as rays x gates, shorter rays filled with the
// not_scanned code 0 (NaN for floats).
std::string Samples(const SweepData& sweep, std::size_t k, const Moment& m, int gates,
                    double wavelength_cm, const TypeInfo* info) {
  const bool floats = m.storage == DataBuffer::FLOAT;
  const std::size_t out_width = floats ? 4 : static_cast<std::size_t>(m.width);
  const std::size_t row = out_width * static_cast<std::size_t>(gates);
  std::string out(row * sweep.rays.size(), '\0');
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (std::size_t r = 0; r < sweep.rays.size(); ++r) {
    const std::string& data = sweep.rays[r].data[k];
    const int have = data.size() < kRayHeaderBytes ? 0 : RayGates(data, m.width);
    char* dst = out.data() + r * row;
    for (int g = 0; g < gates; ++g) {
      if (floats) {
        const float v = g < have ? Decode(info->coding, static_cast<unsigned char>(data[kRayHeaderBytes + g]),
                                          wavelength_cm)
                                 : nan;
        std::memcpy(dst + 4 * static_cast<std::size_t>(g), &v, 4);
      } else if (g >= have) {
        std::memset(dst + out_width * static_cast<std::size_t>(g), 0, out_width);
      }
    }
    if (!floats && have > 0) std::memcpy(dst, data.data() + kRayHeaderBytes, out_width * static_cast<std::size_t>(have));
  }
  return out;
}


// ---- Sweeps -------------------------------------------------------------------

// Bytes per bin of data type `k` of the sweep; 0 for the extended header
// and for widths the model does not carry.
int SampleBytes(const Task& task, const SweepData& data, std::size_t k) {
  if (task.types[k] == kExtendedHeaderType) return 0;
  return data.bits[k] == 8 ? 1 : data.bits[k] == 16 ? 2 : 0;
}

SweepConfig::SweepType SweepTypeOf(int scan_mode) {
  switch (scan_mode) {
    case 1: case 4: return SweepConfig::PPI;  // PPI sector, PPI full
    case 2: return SweepConfig::RHI;
    case 3: return SweepConfig::MANUAL;
    default: return SweepConfig::UNKNOWN;
  }
}

// The ray acquired first: the one with the earliest time (the first of
// equals).
int FirstAcquired(const SweepData& sweep) {
  int first = 0;
  for (std::size_t r = 1; r < sweep.rays.size(); ++r) {
    if (sweep.rays[r].seconds < sweep.rays[first].seconds) first = static_cast<int>(r);
  }
  return first;
}

// The sweep's configurations at `index`: range axis, scan type, radar
// settings.
void SetConfigs(const Task& task, const SweepData& data, int index, int gates, Volume* volume) {
  auto* config = volume->mutable_volume_config();
  SweepConfig* sc = config->add_sweep_config();
  RayConfig* rc = config->add_ray_config();
  sc->set_type(SweepTypeOf(task.scan_mode));
  sc->add_ray_config_ref()->set_ray_config_index(index);
  const double step = task.bin_step_cm / 100.0;
  const double first = task.first_bin_cm == 0 ? step / 2 : task.first_bin_cm / 100.0;
  for (auto* range : {sc->mutable_range_scale()->add_range_m(), rc->mutable_range_scale()->add_range_m()}) {
    range->set_start(first);
    range->set_step(step);
    range->set_count(gates);
  }
  if (task.angular_resolution > 0) sc->set_ray_angle_res(task.angular_resolution);
  else if (data.rays_per_sweep > 0) sc->set_ray_angle_res(360.0 / data.rays_per_sweep);
  if (task.nyquist > 0) rc->set_unamb_velocity_m_p_s(task.nyquist);
  if (task.prf_hz > 0) {
    rc->mutable_pulse_sequence()->set_type(kyt::pb::common::PulseSequence::PRF);
    rc->mutable_pulse_sequence()->add_prf(task.prf_hz);
  }
  if (task.pulse_width_us > 0 || task.wavelength_cm > 0) {
    auto* pd = rc->add_pulse_definition();
    if (task.pulse_width_us > 0) pd->add_pulse_width_usec(task.pulse_width_us);
    if (task.wavelength_cm > 0) pd->add_rf_frequency_mhz(FrequencyMhz(task.wavelength_cm));
  }
}

void SetRays(const SweepData& data, int index, Sweep* sweep) {
  const double start = data.start ? data.start->epoch : 0;
  for (std::size_t r = 0; r < data.rays.size(); ++r) {
    const RayData& d = data.rays[r];
    Ray* ray = sweep->add_rays();
    ray->set_index(static_cast<std::int32_t>(r));
    ray->set_ray_config_index(index);
    double span = d.az1 - d.az0;  // signed: the antenna may turn either way
    if (span > 180) span -= 360;
    if (span <= -180) span += 360;
    ray->mutable_az_range_deg()->set_start_deg(d.az0);
    ray->mutable_az_range_deg()->set_span_deg(span);
    ray->mutable_el_range_deg()->set_start_deg(d.el0);
    ray->mutable_el_range_deg()->set_span_deg(d.el1 - d.el0);
    if (data.start) *ray->mutable_aq_start_time() = FromEpochSeconds(start + d.seconds);
  }
  sweep->set_first_azimuth_gate_index(data.rays.empty() ? 0 : FirstAcquired(data));
}

// The moments of the sweep into its buffers and its SweepConfig.
Status SetMoments(const Task& task, const SweepData& data, const std::string& where, int gates,
                  std::int64_t* budget, Sweep* sweep, SweepConfig* sc, Notes* notes) {
  for (std::size_t k = 0; k < task.types.size(); ++k) {
    if (task.types[k] == kExtendedHeaderType) continue;
    Moment m;
    if (!MomentOf(task.types[k], data.bits[k], task, where, &m, notes)) continue;
    if (sweep->sweep_moments().count(m.name) != 0) {
      notes->push_back({NoteKind::kConverted, where, m.native,
                        "a second moment named " + m.name + " in the sweep: kept under its IRIS name"});
      m.name = m.native;
      m.descriptor.set_short_name(m.name);
    }
    const std::int64_t bytes = static_cast<std::int64_t>(data.rays.size()) * gates *
                               (m.storage == DataBuffer::FLOAT ? 4 : m.width);
    *budget -= bytes;
    if (bytes > kMaxBufferBytes || *budget < 0) {
      return FileError(ErrorCode::kTooLarge, where, "moment " + m.name + ": " + std::to_string(bytes) +
                                                        " bytes, more than the file can hold");
    }
    DataBuffer buffer;
    buffer.set_type(static_cast<DataBuffer::StorageType>(m.storage));
    buffer.set_endian(DataBuffer::LITTLE);  // the file's order; floats are decoded on little-endian hosts
    buffer.set_compression(DataBuffer::NONE);
    buffer.set_uncompressed_size(static_cast<std::int32_t>(bytes));
    *buffer.mutable_data() = Samples(data, k, m, gates, task.wavelength_cm, FindType(task.types[k]));
    (*sweep->mutable_sweep_moments())[m.name] = std::move(buffer);
    (*sc->mutable_data_moments())[m.name] = std::move(m.descriptor);
  }
  return Status::Ok();
}

// Notes on what the sweep's data and headers disagree about.
void NoteCounts(const SweepData& data, const Task& task, const std::string& where, Notes* notes) {
  const int found = static_cast<int>(data.rays.size()) + data.missing;
  if (found != data.rays_declared) {
    notes->push_back({NoteKind::kAssumed, where, "",
                      "sweep " + std::to_string(data.number) + ": " +
                          std::to_string(data.rays_declared) + " rays declared, " +
                          std::to_string(found) + " in the data; the data's kept"});
  }
  bool clipped = false;
  for (const RayData& ray : data.rays) {
    for (std::size_t k = 0; k < ray.data.size(); ++k) {
      const int width = SampleBytes(task, data, k);
      if (width == 0 || ray.data[k].size() < kRayHeaderBytes) continue;
      clipped |= RayGates(ray.data[k], width) < Fields(ray.data[k]).S16(8);
    }
  }
  if (clipped) {
    notes->push_back({NoteKind::kConverted, where, "",
                      "rays whose data holds fewer bins than their header says: the bins held kept"});
  }
}

// Adds sweep `data` to the volume.
Status AddSweep(const Task& task, const SweepData& data, std::int64_t* budget, Volume* volume,
                Notes* notes) {
  const int index = volume->sweep_size();
  const std::string where = "sweep " + std::to_string(data.number);
  int gates = 0;
  for (const RayData& ray : data.rays) {
    for (std::size_t k = 0; k < ray.data.size(); ++k) {
      const int width = SampleBytes(task, data, k);
      if (width > 0) gates = std::max(gates, RayGates(ray.data[k], width));
    }
  }
  Sweep* sweep = volume->add_sweep();
  sweep->mutable_description()->mutable_config()->set_sweep_config_index(index);
  sweep->mutable_description()->set_fixed_angle_deg(data.fixed_angle);
  *volume->mutable_volume_config()->add_sweep_descriptions() = sweep->description();
  sweep->set_task_name(task.task_name);
  sweep->set_index_in_task(data.number - 1);
  if (task.volume_start) *sweep->mutable_task_start() = FromEpochSeconds(task.volume_start->epoch);
  if (data.start) *sweep->mutable_input_timespan()->mutable_start() = FromEpochSeconds(data.start->epoch);
  if (data.start && !data.start->utc) {
    notes->push_back({NoteKind::kAssumed, where, "", "sweep times not flagged as UTC: taken as UTC"});
  }
  if (!data.start) {
    notes->push_back({NoteKind::kNotCarried, where, "", "sweep without a valid start time: ray times not carried"});
  }
  SetConfigs(task, data, index, gates, volume);
  SetRays(data, index, sweep);
  NoteCounts(data, task, where, notes);
  return SetMoments(task, data, where, gates, budget,
                    sweep, volume->mutable_volume_config()->mutable_sweep_config(index), notes);
}

// One sweep's records: the data after each record's raw_prod_bhdr, read
// and added to the volume. Rays read before an error are kept.
Status ReadSweep(std::string_view data, int number, const Task& task, std::int64_t* budget,
                 Volume* volume, Notes* notes) {
  const std::string where = "sweep " + std::to_string(number);
  SweepData sweep;
  sweep.number = number;
  Status s = ReadDataHeaders(Fields(data), task, where, &sweep);
  if (!s.ok()) return s;
  s = ReadRays(data, task, where, budget, &sweep);
  const Status added = AddSweep(task, sweep, budget, volume, notes);
  return s.ok() ? added : s;
}

}  // namespace

bool LooksLikeIris(const std::string& head) {
  const Fields f(head);
  return f.size() >= kProductConfig + 2 && f.S16(0) == kProductHdrId &&
         f.S16(kProductConfig) == kProductConfigurationId;
}

Status ReadIrisBytes(const std::string& bytes, const ReadOptions& options, Volume* volume,
                     Notes* notes) {
  volume->Clear();
  Notes local;
  Notes* out = notes ? notes : &local;
  const Fields f(bytes);
  Task task;
  Status s = ReadHeaders(f, volume, &task, out);
  if (!s.ok()) return s;
  std::int64_t budget = MaxSampleBytes(bytes.size());
  const std::size_t records =
      bytes.size() > kFirstDataRecord ? (bytes.size() - kFirstDataRecord + kRecordBytes - 1) / kRecordBytes : 0;
  const int declared = f.S16(kTaskScan + 6);
  std::string data;
  int number = 0;
  // Records of one sweep are consecutive and carry its number; a record
  // numbered 0 (or less) ends the data.
  for (std::size_t r = 0; r <= records; ++r) {
    const std::size_t at = kFirstDataRecord + r * kRecordBytes;
    const int next = r < records ? f.S16(at + 2) : 0;
    if (r < records && bytes.size() - at < kBlockHeaderBytes) {
      return FileError(ErrorCode::kMalformed, "record " + std::to_string(r + 2), "the file ends inside a record header");
    }
    if (next != number && number > 0) {
      s = ReadSweep(data, number, task, &budget, volume, out);
      if (!s.ok()) return s;
      if (options.progress) options.progress(static_cast<std::size_t>(volume->sweep_size()),
                                             static_cast<std::size_t>(std::max(declared, volume->sweep_size())));
      data.clear();
    }
    if (next <= 0) break;
    number = next;
    data.append(bytes, at + kBlockHeaderBytes, std::min(kRecordBytes, bytes.size() - at) - kBlockHeaderBytes);
  }
  if (volume->sweep_size() == 0) {
    return FileError(ErrorCode::kMalformed, "raw_prod_bhdr", "no sweep data in the file");
  }
  return Status::Ok();
}

}  // namespace formats
}  // namespace common_dto
