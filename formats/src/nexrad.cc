// NEXRAD Level II: volume header, LDM records, messages 31, 1 and 5, and
// the file and chunk entry points (see nexrad.h for the mapping).
#include "common_dto/formats/nexrad.h"

#include <bzlib.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "nexrad_internal.h"
#include "quantities.h"

namespace common_dto {
namespace formats {

using kyt::pb::common::Instrument;
using kyt::pb::common::Volume;

namespace nexrad {
namespace {

constexpr std::size_t kVolumeHeader = 24;
constexpr std::size_t kFrameHeader = 12;  // what precedes each message
constexpr std::size_t kMessageHeader = 16;
constexpr std::size_t kFixedFrame = 2432;  // frame of every message but 31
constexpr int kMaxBlocks = 10;             // data blocks of a message 31 radial
constexpr double kCodedAngle = 180.0 / 32768.0;

std::uint16_t U16(std::string_view b, std::size_t at) {
  return static_cast<std::uint16_t>((static_cast<unsigned char>(b[at]) << 8) |
                                    static_cast<unsigned char>(b[at + 1]));
}
std::int16_t I16(std::string_view b, std::size_t at) {
  return static_cast<std::int16_t>(U16(b, at));
}
std::uint32_t U32(std::string_view b, std::size_t at) {
  return (std::uint32_t{U16(b, at)} << 16) | U16(b, at + 2);
}
float F32(std::string_view b, std::size_t at) {
  const std::uint32_t bits = U32(b, at);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// Text without trailing spaces and NULs.
std::string Trimmed(std::string_view text) {
  std::string out(text.substr(0, text.find('\0')));
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// Modified Julian date (day 1 = 1970-01-01) and milliseconds of the day.
double Epoch(std::uint32_t date, std::uint32_t ms) {
  return (static_cast<double>(date) - 1.0) * 86400.0 + static_cast<double>(ms) / 1000.0;
}

Status Error(ErrorCode code, const std::string& where, const std::string& what) {
  Location location;
  location.field = where;
  return Status(code, where + ": " + what, location);
}

// Message 31's data moment block at `at` of `body` (28-byte header, then the
// gates).
Status MomentBlock(std::string_view body, std::size_t at, const std::string& where, Moment* m) {
  if (at + 28 > body.size())
    return Error(ErrorCode::kMalformed, where, "data block runs past the message");
  m->name = Trimmed(body.substr(at + 1, 3));
  m->gates = U16(body, at + 8);
  m->first_m = I16(body, at + 10);
  m->step_m = I16(body, at + 12);
  m->bits = static_cast<unsigned char>(body[at + 19]);
  m->scale = F32(body, at + 20);
  m->offset = F32(body, at + 24);
  if (m->bits != 8 && m->bits != 16) {
    return Error(ErrorCode::kMalformed, where + " " + m->name,
                 "data word size " + std::to_string(m->bits) + " (8 or 16 expected)");
  }
  if (!(m->scale != 0 && std::isfinite(m->scale) && std::isfinite(m->offset))) {
    return Error(ErrorCode::kMalformed, where + " " + m->name, "scale 0 or not a number");
  }
  const std::size_t bytes = static_cast<std::size_t>(m->gates) * (m->bits / 8);
  if (at + 28 + bytes > body.size()) {
    return Error(ErrorCode::kMalformed, where + " " + m->name,
                 std::to_string(m->gates) + " gates run past the message");
  }
  m->codes.assign(body.substr(at + 28, bytes));
  return Status::Ok();
}

}  // namespace

Status Decoder::Spend(std::uint64_t bytes) {
  if (bytes > budget_) {
    return Status(ErrorCode::kTooLarge, "NEXRAD data decompress to more than the input can hold");
  }
  budget_ -= bytes;
  return Status::Ok();
}

Status Decoder::Header(std::string_view bytes) {
  if (bytes.size() < kVolumeHeader)
    return Error(ErrorCode::kTruncated, "volume header", "cut short");
  if (bytes.substr(0, 4) != "AR2V" && bytes.substr(0, 8) != "ARCHIVE2") {
    return Error(ErrorCode::kMalformed, "volume header",
                 "not a NEXRAD Level II file (no AR2V or ARCHIVE2)");
  }
  has_header_ = true;
  const std::string site = Trimmed(bytes.substr(20, 4));
  Instrument* in = volume_.mutable_instrument();
  in->set_instrument_type(Instrument::INSTR_RADAR);
  if (!site.empty()) in->set_name(site);
  identity_ = std::string(bytes.substr(12, 12));
  const double t = Epoch(U32(bytes, 12), U32(bytes, 16));
  notes_.push_back({NoteKind::kNotCarried, "volume header", "",
                    "volume header time " + FormatIso(static_cast<std::int64_t>(std::floor(t))) +
                        " not carried: the rays keep their collection times"});
  return Status::Ok();
}

Status Decoder::Records(std::string_view bytes, bool* last) {
  std::size_t pos = 0;
  std::string plain;
  while (pos < bytes.size() && !*last) {
    const std::string where = "record at byte " + std::to_string(pos);
    if (bytes.size() - pos < 4) return Error(ErrorCode::kTruncated, where, "size word cut short");
    const auto size = static_cast<std::int32_t>(U32(bytes, pos));
    if (size == 0 || size == std::numeric_limits<std::int32_t>::min()) {
      return Error(ErrorCode::kMalformed, where, "record size " + std::to_string(size));
    }
    *last = size < 0;
    const std::uint64_t length = size < 0 ? -static_cast<std::int64_t>(size) : size;
    const std::string_view record = bytes.substr(pos + 4, length);  // short when cut
    plain.clear();
    Status s = Bunzip(record, budget_, &plain);
    if (record.size() < length) {
      s = Error(
          ErrorCode::kTruncated, where,
          std::to_string(length) + " bytes declared, " + std::to_string(record.size()) + " left");
    } else if (!s.ok()) {
      s = Error(s.code(), where, s.message());
    }
    // Messages decoded before the damage are kept; the record's damage
    // explains a message it cut short.
    Status spent = Spend(plain.size());
    if (spent.ok()) spent = Messages(plain);
    if (!s.ok()) return s;
    if (!spent.ok()) return spent;
    pos += 4 + length;
  }
  return Status::Ok();
}

Status Decoder::Messages(std::string_view bytes) {
  std::size_t pos = 0;
  while (bytes.size() - pos >= kFrameHeader + kMessageHeader) {
    const std::string_view head = bytes.substr(pos + kFrameHeader, kMessageHeader);
    const int type = static_cast<unsigned char>(head[3]);
    const std::size_t size = std::size_t{U16(head, 0)} * 2;
    std::size_t frame = kFixedFrame;
    if (type == 31) {
      if (size < kMessageHeader) {
        return Error(ErrorCode::kMalformed, "message 31 at byte " + std::to_string(pos),
                     "size " + std::to_string(size) + " bytes");
      }
      frame = kFrameHeader + size;
    }
    const std::size_t end = std::min(bytes.size(), pos + frame);
    const std::string_view body = bytes.substr(pos + kFrameHeader + kMessageHeader,
                                               end - pos - kFrameHeader - kMessageHeader);
    Status s;
    if (type == 31 && pos + frame > bytes.size()) {
      return Error(ErrorCode::kTruncated, "message 31 at byte " + std::to_string(pos), "cut short");
    }
    if (type == 31) s = Message31(body);
    if (type == 1) s = Message1(body);
    if (type == 5) Message5(body);
    if (!s.ok()) return s;
    pos = end;
  }
  return Status::Ok();
}

Status Decoder::Message31(std::string_view body) {
  const std::string where = "message 31";
  if (body.size() < 32) return Error(ErrorCode::kMalformed, where, "data header cut short");
  Radial r;
  r.time = Epoch(U16(body, 8), U32(body, 4));
  r.azimuth = F32(body, 12);
  const int spacing = static_cast<unsigned char>(body[20]);
  r.spacing = spacing == 1 ? 0.5 : spacing == 2 ? 1.0 : 0.0;
  r.status = static_cast<unsigned char>(body[21]);
  r.cut = static_cast<unsigned char>(body[22]);
  r.elevation = F32(body, 24);
  const int blocks = U16(body, 30);
  if (blocks > kMaxBlocks || 32 + 4 * static_cast<std::size_t>(blocks) > body.size()) {
    return Error(ErrorCode::kMalformed, where, std::to_string(blocks) + " data blocks");
  }
  if (!std::isfinite(r.azimuth) || !std::isfinite(r.elevation)) {
    return Error(ErrorCode::kMalformed, where, "azimuth or elevation not a number");
  }
  for (int i = 0; i < blocks; ++i) {
    const std::size_t at = U32(body, 32 + 4 * i);
    if (at == 0) continue;
    if (at + 4 > body.size())
      return Error(ErrorCode::kMalformed, where, "data block pointer past the message");
    const std::string_view kind = body.substr(at, 4);
    if (kind[0] == 'D') {
      Moment m;
      Status s = MomentBlock(body, at, where, &m);
      if (!s.ok()) return s;
      r.moments.push_back(std::move(m));
    } else if (kind == "RVOL" && at + 20 <= body.size() && !located_) {
      located_ = true;
      auto* loc = volume_.mutable_instrument()->mutable_location();
      loc->mutable_lat_lon()->set_latitude_deg(F32(body, at + 8));
      loc->mutable_lat_lon()->set_longitude_deg(F32(body, at + 12));
      loc->set_altitude_m(I16(body, at + 16) + U16(body, at + 18));
      if (at + 42 <= body.size()) {
        volume_.mutable_volume_config()->set_name("VCP " + std::to_string(U16(body, at + 40)));
      }
      notes_.push_back(
          {NoteKind::kNotCarried, "RVOL", "",
           "volume data block: calibration constant, transmitter powers, system ZDR and "
           "PhiDP not carried"});
    } else if (kind == "RELV" && !elevation_noted_) {
      elevation_noted_ = true;
      notes_.push_back({NoteKind::kNotCarried, "RELV", "",
                        "elevation data block: atmospheric attenuation and calibration constant "
                        "not carried"});
    } else if (kind == "RRAD" && at + 20 <= body.size()) {
      r.unamb_range_km = U16(body, at + 6) / 10.0;
      r.noise_h = F32(body, at + 8);
      r.noise_v = F32(body, at + 12);
      r.nyquist = U16(body, at + 16) / 100.0;
    }
  }
  if (!has_header_ && volume_.instrument().name().empty()) {
    volume_.mutable_instrument()->set_name(Trimmed(body.substr(0, 4)));
  }
  return AddRadial(std::move(r));
}

// Legacy digital radar data: reflectivity, velocity and spectrum width at
// fixed scales (codes 0 and 1 as in message 31).
Status Decoder::Message1(std::string_view body) {
  const std::string where = "message 1";
  if (body.size() < 100) return Error(ErrorCode::kMalformed, where, "header cut short");
  Radial r;
  r.time = Epoch(U16(body, 4), U32(body, 0));
  r.unamb_range_km = U16(body, 6) / 10.0;
  r.azimuth = U16(body, 8) * kCodedAngle;
  r.status = U16(body, 12);
  r.elevation = U16(body, 14) * kCodedAngle;
  r.cut = U16(body, 16);
  r.nyquist = U16(body, 60) / 100.0;
  const int resolution = U16(body, 42);
  struct Field {
    const char* name;
    int first_at, step_at, gates_at, pointer_at;
    double scale;
  };
  const Field fields[] = {{"REF", 18, 22, 26, 36, 2.0},
                          {"VEL", 20, 24, 28, 38, resolution == 4 ? 1.0 : 2.0},
                          {"SW", 20, 24, 28, 40, 2.0}};
  for (const Field& f : fields) {
    const std::size_t pointer = U16(body, f.pointer_at);
    const int gates = U16(body, f.gates_at);
    if (pointer == 0 || gates == 0) continue;
    if (pointer + static_cast<std::size_t>(gates) > body.size()) {
      return Error(ErrorCode::kMalformed, where + " " + f.name,
                   std::to_string(gates) + " gates run past the message");
    }
    Moment m;
    m.name = f.name;
    m.gates = gates;
    m.first_m = I16(body, f.first_at);
    m.step_m = U16(body, f.step_at);
    m.scale = f.scale;
    m.offset = f.name[0] == 'R' ? 66.0 : 129.0;
    m.codes.assign(body.substr(pointer, static_cast<std::size_t>(gates)));
    r.moments.push_back(std::move(m));
  }
  return AddRadial(std::move(r));
}

// Volume coverage pattern: the target elevation of each cut.
void Decoder::Message5(std::string_view body) {
  if (body.size() < 22 || !targets_.empty()) return;
  const int cuts = U16(body, 6);
  for (int i = 0; i < cuts && 22 + 46 * static_cast<std::size_t>(i + 1) <= body.size(); ++i) {
    targets_.push_back(U16(body, 22 + 46 * i) * kCodedAngle);
  }
  if (volume_.volume_config().name().empty()) {
    volume_.mutable_volume_config()->set_name("VCP " + std::to_string(U16(body, 4)));
  }
}

Status Decoder::AddRadial(Radial&& radial) {
  if (!cut_.empty() && cut_.back().cut != radial.cut) {
    Status s = FinishCut();
    if (!s.ok()) return s;
  }
  const bool ends = radial.status == 2 || radial.status == 4;
  cut_.push_back(std::move(radial));
  return ends ? FinishCut() : Status::Ok();
}

Status Decoder::FinishCut() {
  if (cut_.empty()) return Status::Ok();
  const std::size_t index = static_cast<std::size_t>(cut_.front().cut) - 1;
  std::optional<double> target;
  if (cut_.front().cut >= 1 && index < targets_.size()) target = targets_[index];
  Status s = BuildCut(&cut_, target, &budget_, &done_, &notes_);
  cut_.clear();
  return s;
}

namespace {

Status Flow(int rc, const char* what) {
  return Status(rc == BZ_MEM_ERROR ? ErrorCode::kTooLarge : ErrorCode::kMalformed,
                std::string("not a valid ") + what + " stream");
}

}  // namespace

Status Bunzip(std::string_view record, std::uint64_t cap, std::string* out) {
  bz_stream z{};
  if (BZ2_bzDecompressInit(&z, 0, 0) != BZ_OK) return Status(ErrorCode::kIo, "cannot start bzip2");
  z.next_in = const_cast<char*>(record.data());
  z.avail_in = static_cast<unsigned>(
      std::min<std::size_t>(record.size(), std::numeric_limits<unsigned>::max()));
  char chunk[1 << 16];
  int rc = BZ_OK;
  while (rc == BZ_OK) {
    z.next_out = chunk;
    z.avail_out = sizeof chunk;
    rc = BZ2_bzDecompress(&z);
    out->append(chunk, sizeof chunk - z.avail_out);
    if (out->size() > cap) rc = BZ_MEM_ERROR;
    if (rc == BZ_OK && z.avail_in == 0 && z.avail_out != 0) break;  // input used up
  }
  const unsigned left = z.avail_in;
  BZ2_bzDecompressEnd(&z);
  if (rc == BZ_MEM_ERROR)
    return Status(ErrorCode::kTooLarge, "bzip2 data decompress to more than the input can hold");
  if (rc == BZ_OK) return Status(ErrorCode::kMalformed, "bzip2 stream runs past the record");
  if (rc != BZ_STREAM_END) return Flow(rc, "bzip2");
  if (left != 0) {
    return Status(ErrorCode::kMalformed,
                  "bzip2 stream ends " + std::to_string(left) + " bytes before the record's end");
  }
  return Status::Ok();
}

Status Gunzip(std::string_view bytes, std::uint64_t cap, std::string* out) {
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) return Status(ErrorCode::kIo, "cannot start zlib");
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  z.avail_in =
      static_cast<uInt>(std::min<std::size_t>(bytes.size(), std::numeric_limits<uInt>::max()));
  char chunk[1 << 16];
  int rc = Z_OK;
  while (rc == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(chunk);
    z.avail_out = sizeof chunk;
    rc = inflate(&z, Z_NO_FLUSH);
    out->append(chunk, sizeof chunk - z.avail_out);
    if (out->size() > cap) rc = Z_MEM_ERROR;
    // Members of a multi-member file follow one another.
    if (rc == Z_STREAM_END && z.avail_in > 0) rc = inflateReset(&z);
    if (rc == Z_OK && z.avail_in == 0 && z.avail_out != 0) rc = Z_BUF_ERROR;
  }
  inflateEnd(&z);
  if (rc == Z_STREAM_END) return Status::Ok();
  if (rc == Z_MEM_ERROR)
    return Status(ErrorCode::kTooLarge, "gzip data decompress to more than the input can hold");
  if (rc == Z_BUF_ERROR) return Status(ErrorCode::kTruncated, "gzip stream cut short");
  return Status(ErrorCode::kMalformed, "not a valid gzip stream");
}

namespace {

bool IsGzip(std::string_view b) { return b.size() >= 2 && b[0] == '\x1f' && b[1] == '\x8b'; }

bool IsArchive(std::string_view b) {
  return b.substr(0, 4) == "AR2V" || b.substr(0, 8) == "ARCHIVE2";
}

// Whole file: header, then LDM records or plain messages.
Status ReadArchive(std::string_view bytes, Decoder* decoder) {
  Status s = decoder->Header(bytes);
  if (!s.ok()) return s;
  const std::string_view rest = bytes.substr(kVolumeHeader);
  if (rest.size() >= 7 && rest.substr(4, 3) == "BZh") {
    bool last = false;
    return decoder->Records(rest, &last);
  }
  return decoder->Messages(rest);
}

// The sweeps built into `volume`, configurations by index.
void MoveSweeps(std::vector<BuiltSweep>* built, Volume* volume) {
  auto* config = volume->mutable_volume_config();
  for (BuiltSweep& b : *built) {
    const int index = volume->sweep_size();
    b.sweep.mutable_description()->mutable_config()->set_sweep_config_index(index);
    b.sweep_config.add_ray_config_ref()->set_ray_config_index(index);
    for (auto& ray : *b.sweep.mutable_rays()) ray.set_ray_config_index(index);
    *config->add_sweep_descriptions() = b.sweep.description();
    *config->add_sweep_config() = std::move(b.sweep_config);
    *config->add_ray_config() = std::move(b.ray_config);
    *volume->add_sweep() = std::move(b.sweep);
  }
  built->clear();
}

}  // namespace
}  // namespace nexrad

bool IsNexradHeader(std::string_view head) {
  return nexrad::IsArchive(head) || nexrad::IsGzip(head);
}

Status ReadNexradBytes(std::string_view bytes, const ReadOptions& options, Volume* volume,
                       Notes* notes) {
  volume->Clear();
  // One bound for everything the input decompresses to, gzip and bzip2
  // inside it together, and the samples built.
  std::uint64_t budget = static_cast<std::uint64_t>(MaxSampleBytes(bytes.size()));
  std::string plain;
  Status unzipped;
  if (nexrad::IsGzip(bytes)) {
    unzipped = nexrad::Gunzip(bytes, budget, &plain);
    budget -= std::min<std::uint64_t>(budget, plain.size());
    bytes = plain;  // what came out before any damage is read
  }
  nexrad::Decoder decoder(budget);
  Status s = nexrad::ReadArchive(bytes, &decoder);
  // The cut being read when the data ended (or broke off) is kept too.
  const Status finished = decoder.FinishCut();
  if (s.ok()) s = finished;
  if (!unzipped.ok()) s = unzipped;  // the cause of whatever else broke
  *volume = decoder.volume();
  nexrad::MoveSweeps(decoder.done(), volume);
  if (s.ok() && volume->sweep_size() == 0) {
    s = Status(ErrorCode::kMalformed, "no radials (message 31 or 1) in the file");
  }
  if (s.ok() && decoder.volume().instrument().has_location() == false) {
    decoder.notes()->push_back({NoteKind::kNotCarried, "instrument.location", "",
                                "the file holds no site position (no volume data block)"});
  }
  if (notes != nullptr)
    notes->insert(notes->end(), decoder.notes()->begin(), decoder.notes()->end());
  if (options.progress) options.progress(volume->sweep_size(), volume->sweep_size());
  return s;
}

// ---- Chunks -----------------------------------------------------------------

struct NexradChunkReader::State {
  nexrad::Decoder decoder{0};
  bool closed = false;
  int taken = 0;
  Volume head;
};

NexradChunkReader::NexradChunkReader() : state_(std::make_unique<State>()) {}
NexradChunkReader::~NexradChunkReader() = default;

namespace {

// A name-based UUID (version 8) from the site and the volume header's time.
void SetUuid(const std::string& identity, Volume* volume) {
  std::uint64_t a = 1469598103934665603ULL, b = 1099511628211ULL * 31;
  for (unsigned char c : identity) {
    a = (a ^ c) * 1099511628211ULL;
    b = (b ^ c) * 1469598103934665603ULL + 0x9e3779b97f4a7c15ULL;
  }
  a = (a & ~0xf000ULL) | 0x8000ULL;
  b = (b & ~(0xc000000000000000ULL)) | 0x8000000000000000ULL;
  volume->mutable_uuid()->set_most_significant_bits(static_cast<std::int64_t>(a));
  volume->mutable_uuid()->set_least_significant_bits(static_cast<std::int64_t>(b));
}

}  // namespace

Status NexradChunkReader::Feed(std::string_view chunk, bool last) {
  State& st = *state_;
  if (st.closed) return Status(ErrorCode::kProtocol, "the volume was closed by its end chunk");
  st.decoder.AddBudget(static_cast<std::uint64_t>(MaxSampleBytes(chunk.size())));
  Status s;
  if (!st.decoder.has_header()) {
    s = st.decoder.Header(chunk);
    if (!s.ok()) return s.Wrap("start chunk: ");
    chunk.remove_prefix(nexrad::kVolumeHeader);
  }
  bool ended = false;
  s = st.decoder.Records(chunk, &ended);
  if (s.ok() && (last || ended)) {
    s = st.decoder.FinishCut();
    st.closed = last;
  }
  return s;
}

const Volume& NexradChunkReader::volume() const {
  State& st = *state_;
  st.head = st.decoder.volume();
  st.head.clear_sweep();
  if (!st.decoder.identity().empty()) {
    SetUuid(st.head.instrument().name() + st.decoder.identity(), &st.head);
  }
  return st.head;
}

int NexradChunkReader::TakeSweeps(Volume* part, Notes* notes) {
  State& st = *state_;
  *part = volume();
  part->mutable_volume_config()->clear_sweep_config();
  int n = 0;
  for (nexrad::BuiltSweep& b : *st.decoder.done()) {
    kyt::pb::common::Sweep* sweep = part->add_sweep();
    *sweep = std::move(b.sweep);
    auto* config = sweep->mutable_description()->mutable_config()->mutable_sweep_config();
    *config = std::move(b.sweep_config);
    *config->add_ray_config_ref()->mutable_ray_config() = std::move(b.ray_config);
    for (auto& ray : *sweep->mutable_rays()) ray.clear_RayConfigReference();
    ++n;
  }
  st.decoder.done()->clear();
  st.taken += n;
  if (notes != nullptr) {
    notes->insert(notes->end(), st.decoder.notes()->begin(), st.decoder.notes()->end());
  }
  st.decoder.notes()->clear();
  return n;
}

int NexradChunkReader::sweeps_taken() const { return state_->taken; }
bool NexradChunkReader::closed() const { return state_->closed; }

}  // namespace formats
}  // namespace common_dto
