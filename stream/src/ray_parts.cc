#include "ray_parts.h"

#include <google/protobuf/io/coded_stream.h>

#include <cstring>

#include "common_dto/model/utf8.h"

namespace common_dto {
namespace stream {
namespace internal {
namespace {

using google::protobuf::io::CodedOutputStream;

// Field numbers of the envelope's payloads.
constexpr std::uint32_t kRayHeaderField = 3;
constexpr std::uint32_t kParameterDataField = 4;
constexpr std::uint32_t kRayEndField = 5;

constexpr std::uint32_t kVarint = 0;
constexpr std::uint32_t kLength = 2;

constexpr std::uint32_t Tag(std::uint32_t field, std::uint32_t wire_type) {
  return field << 3 | wire_type;
}

// Sizes as the runtime computes them: int32 and enum values are written as
// sign-extended 64-bit varints, sint64 zigzag-encoded; zero is left out.
std::size_t Int32Size(std::int32_t v) {
  return v == 0 ? 0 : 1 + CodedOutputStream::VarintSize32SignExtended(v);
}
std::uint64_t ZigZag(std::int64_t v) {
  return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
std::size_t LengthSize(std::size_t n) {  // Tag, length and contents.
  return 1 + CodedOutputStream::VarintSize32(static_cast<std::uint32_t>(n)) + n;
}

std::size_t DataTypeSize(const ParameterDataParts& p) {
  return Int32Size(p.data_type) + (p.short_name.empty() ? 0 : LengthSize(p.short_name.size()));
}
std::size_t BufferSize(const ParameterDataParts& p) {
  return Int32Size(p.endian) + Int32Size(p.storage) + Int32Size(p.compression) +
         Int32Size(p.uncompressed_size) + (p.samples.empty() ? 0 : LengthSize(p.samples.size()));
}

// Writers into an array with room enough (sizes as above).
std::uint8_t* WriteInt32(std::uint32_t field, std::int32_t v, std::uint8_t* p) {
  if (v == 0) return p;
  p = CodedOutputStream::WriteTagToArray(Tag(field, kVarint), p);
  return CodedOutputStream::WriteVarint32SignExtendedToArray(v, p);
}
std::uint8_t* WriteSint64(std::uint32_t field, std::int64_t v, std::uint8_t* p) {
  if (v == 0) return p;
  p = CodedOutputStream::WriteTagToArray(Tag(field, kVarint), p);
  return CodedOutputStream::WriteVarint64ToArray(ZigZag(v), p);
}
std::uint8_t* WriteLength(std::uint32_t field, std::size_t n, std::uint8_t* p) {
  p = CodedOutputStream::WriteTagToArray(Tag(field, kLength), p);
  return CodedOutputStream::WriteVarint32ToArray(static_cast<std::uint32_t>(n), p);
}
std::uint8_t* WriteBytes(std::uint32_t field, std::string_view bytes, std::uint8_t* p) {
  if (bytes.empty()) return p;
  p = WriteLength(field, bytes.size(), p);
  std::memcpy(p, bytes.data(), bytes.size());
  return p + bytes.size();
}
std::uint8_t* WriteRaw(std::string_view bytes, std::uint8_t* p) {
  std::memcpy(p, bytes.data(), bytes.size());
  return p + bytes.size();
}
// A UUID field's tag, length and fields (as UuidMemo::Encoded gives them).
std::size_t UuidFieldSize(bool has, std::string_view uuid) { return has ? LengthSize(uuid.size()) : 0; }
std::uint8_t* WriteUuid(std::uint32_t field, std::string_view uuid, std::uint8_t* p) {
  return WriteRaw(uuid, WriteLength(field, uuid.size(), p));
}

// *out resized to `size` bytes, as an array to write them to.
std::uint8_t* Room(std::string* out, std::size_t size) {
  out->resize(size);
  return reinterpret_cast<std::uint8_t*>(&(*out)[0]);
}

// Reads the fields of one message in ascending number order, each at most
// once, as the runtime writes them. Anything else makes it fail.
class FieldReader {
 public:
  explicit FieldReader(std::string_view bytes)
      : p_(reinterpret_cast<const std::uint8_t*>(bytes.data())), end_(p_ + bytes.size()) {}

  bool done() const { return p_ == end_; }

  // The next field if it is `field` of `wire_type`; leaves it for later
  // otherwise. Fails (ok() false) on a malformed or out-of-order tag.
  bool Next(std::uint32_t field, std::uint32_t wire_type) {
    if (!ok_ || p_ == end_) return false;
    std::uint64_t tag = 0;
    const std::uint8_t* q = p_;
    if (!Varint(&q, &tag)) return Fail();
    if (tag == Tag(field, wire_type)) {
      p_ = q;
      return true;
    }
    if ((tag >> 3) <= field) return Fail();  // Repeated, out of order or wrong type.
    return false;
  }
  bool Int32(std::int32_t* v) {
    std::uint64_t x = 0;
    if (!Varint(&p_, &x)) return Fail();
    *v = static_cast<std::int32_t>(x);  // The runtime keeps the low 32 bits.
    return true;
  }
  bool Int64(std::int64_t* v) {
    std::uint64_t x = 0;
    if (!Varint(&p_, &x)) return Fail();
    *v = static_cast<std::int64_t>(x);
    return true;
  }
  bool Sint64(std::int64_t* v) {
    std::uint64_t x = 0;
    if (!Varint(&p_, &x)) return Fail();
    *v = static_cast<std::int64_t>(x >> 1) ^ -static_cast<std::int64_t>(x & 1);
    return true;
  }
  bool Bytes(std::string_view* v) {
    std::uint64_t n = 0;
    if (!Varint(&p_, &n) || n > static_cast<std::uint64_t>(end_ - p_)) return Fail();
    *v = std::string_view(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(n));
    p_ += n;
    return true;
  }
  bool ok() const { return ok_; }

 private:
  bool Fail() { return ok_ = false; }
  bool Varint(const std::uint8_t** q, std::uint64_t* v) const {
    if (*q < end_ && **q < 0x80) {  // Tags, lengths and small values: one byte.
      *v = *(*q)++;
      return true;
    }
    std::uint64_t x = 0;
    for (int shift = 0; shift < 70 && *q < end_; shift += 7) {
      const std::uint8_t b = *(*q)++;
      if (shift == 63 && b > 1) return false;  // Beyond 64 bits: the runtime decides.
      x |= static_cast<std::uint64_t>(b & 0x7f) << shift;
      if ((b & 0x80) == 0) {
        *v = x;
        return true;
      }
    }
    return false;
  }

  const std::uint8_t* p_;
  const std::uint8_t* end_;
  bool ok_ = true;
};

// Moment names are mostly ASCII, which needs no closer look.
bool IsAscii(std::string_view text) {
  unsigned char any = 0;
  for (char c : text) any |= static_cast<unsigned char>(c);
  return any < 0x80;
}

bool DecodeDataType(std::string_view bytes, ParameterDataParts* p) {
  FieldReader r(bytes);
  if (r.Next(1, kVarint) && !r.Int32(&p->data_type)) return false;
  if (r.Next(2, kLength) && !r.Bytes(&p->short_name)) return false;
  // The runtime refuses a string that is not UTF-8; let it say so.
  return r.ok() && r.done() && (IsAscii(p->short_name) || IsValidUtf8(p->short_name));
}

bool DecodeBuffer(std::string_view bytes, ParameterDataParts* p) {
  FieldReader r(bytes);
  if (r.Next(1, kVarint) && !r.Int32(&p->endian)) return false;
  if (r.Next(2, kVarint) && !r.Int32(&p->storage)) return false;
  if (r.Next(3, kVarint) && !r.Int32(&p->compression)) return false;
  if (r.Next(4, kVarint) && !r.Int32(&p->uncompressed_size)) return false;
  if (r.Next(5, kLength) && !r.Bytes(&p->samples)) return false;
  return r.ok() && r.done();
}

}  // namespace

std::string_view UuidMemo::Encoded(const UuidParts& uuid) {
  if (size_ == 0 || uuid.lsb != parts_.lsb || uuid.msb != parts_.msb) {
    auto* start = reinterpret_cast<std::uint8_t*>(bytes_);
    size_ = static_cast<std::size_t>(WriteSint64(2, uuid.msb, WriteSint64(1, uuid.lsb, start)) - start);
    parts_ = uuid;
  }
  return std::string_view(bytes_, size_);
}

bool UuidMemo::Decode(std::string_view bytes, UuidParts* uuid) {
  if (size_ != 0 && bytes.size() == size_ && std::memcmp(bytes.data(), bytes_, size_) == 0) {
    *uuid = parts_;
    return true;
  }
  FieldReader r(bytes);
  UuidParts parts;
  if (r.Next(1, kVarint) && !r.Sint64(&parts.lsb)) return false;
  if (r.Next(2, kVarint) && !r.Sint64(&parts.msb)) return false;
  if (!r.ok() || !r.done()) return false;
  *uuid = parts;
  // The runtime's encoding fits; remembered only then (an empty UUID is not).
  if (bytes.size() <= kMaxSize) {
    std::memcpy(bytes_, bytes.data(), bytes.size());
    size_ = bytes.size();
    parts_ = parts;
  }
  return true;
}

std::string_view EncodeHead(const ParameterDataParts& p, UuidMemo* memo, std::string* head) {
  const std::string_view uuid = p.has_sweep_uuid ? memo->Encoded(p.sweep_uuid) : std::string_view();
  const std::size_t data_type = p.has_data_type ? DataTypeSize(p) : 0;
  const std::size_t buffer = p.has_data ? BufferSize(p) : 0;
  const std::size_t payload = UuidFieldSize(p.has_sweep_uuid, uuid) + Int32Size(p.ray_index) +
                              (p.has_data_type ? LengthSize(data_type) : 0) +
                              (p.has_data ? LengthSize(buffer) : 0);
  const std::size_t tail = p.has_data ? p.samples.size() : 0;
  std::uint8_t* const start = Room(head, LengthSize(payload) - tail);
  std::uint8_t* q = WriteLength(kParameterDataField, payload, start);
  if (p.has_sweep_uuid) q = WriteUuid(1, uuid, q);
  q = WriteInt32(2, p.ray_index, q);
  if (p.has_data_type) {
    q = WriteLength(3, data_type, q);
    q = WriteInt32(1, p.data_type, q);
    q = WriteBytes(2, p.short_name, q);
  }
  if (p.has_data) {
    q = WriteLength(4, buffer, q);
    q = WriteInt32(1, p.endian, q);
    q = WriteInt32(2, p.storage, q);
    q = WriteInt32(3, p.compression, q);
    q = WriteInt32(4, p.uncompressed_size, q);
    // The samples' tag and length; the samples follow.
    if (!p.samples.empty()) q = WriteLength(5, p.samples.size(), q);
  }
  return std::string_view(p.has_data ? p.samples : std::string_view());
}

namespace {
}  // namespace

void Encode(const RayHeaderParts& p, UuidMemo* memo, std::string* out) {
  const std::string_view uuid = p.has_sweep_uuid ? memo->Encoded(p.sweep_uuid) : std::string_view();
  const std::size_t ray_size = p.ray->ByteSizeLong();
  const std::size_t payload =
      LengthSize(ray_size) + UuidFieldSize(p.has_sweep_uuid, uuid) + Int32Size(p.ray_index);
  std::uint8_t* q = Room(out, LengthSize(payload));
  q = WriteLength(kRayHeaderField, payload, q);
  q = WriteLength(1, ray_size, q);
  q = p.ray->SerializeWithCachedSizesToArray(q);
  if (p.has_sweep_uuid) q = WriteUuid(2, uuid, q);
  WriteInt32(3, p.ray_index, q);
}

namespace {

// The payload of an envelope holding only field `field`.
bool Payload(std::string_view envelope, std::uint32_t field, std::string_view* payload) {
  FieldReader outer(envelope);
  return outer.Next(field, kLength) && outer.Bytes(payload) && outer.done();
}

// An optional UUID field.
bool NextUuid(FieldReader* r, std::uint32_t field, UuidMemo* memo, bool* has, UuidParts* uuid) {
  if (!r->Next(field, kLength)) return r->ok();
  std::string_view bytes;
  if (!r->Bytes(&bytes) || !memo->Decode(bytes, uuid)) return false;
  *has = true;
  return true;
}

}  // namespace

bool Decode(std::string_view envelope, UuidMemo* memo, RayHeaderView* p) {
  *p = RayHeaderView();
  std::string_view payload;
  if (!Payload(envelope, kRayHeaderField, &payload)) return false;
  FieldReader r(payload);
  if (r.Next(1, kLength) && !r.Bytes(&p->ray)) return false;
  if (!NextUuid(&r, 2, memo, &p->has_sweep_uuid, &p->sweep_uuid)) return false;
  if (r.Next(3, kVarint) && !r.Int32(&p->ray_index)) return false;
  return r.ok() && r.done();
}

bool Decode(std::string_view envelope, UuidMemo* memo, RayEndParts* p) {
  *p = RayEndParts();
  std::string_view payload;
  if (!Payload(envelope, kRayEndField, &payload)) return false;
  FieldReader r(payload);
  if (!NextUuid(&r, 1, memo, &p->has_sweep_uuid, &p->sweep_uuid)) return false;
  if (r.Next(2, kVarint) && !r.Int32(&p->ray_index)) return false;
  if (r.Next(3, kLength)) {
    std::string_view bytes;
    if (!r.Bytes(&bytes)) return false;
    FieldReader t(bytes);  // google.protobuf.Timestamp
    if (t.Next(1, kVarint) && !t.Int64(&p->end_seconds)) return false;
    if (t.Next(2, kVarint) && !t.Int32(&p->end_nanos)) return false;
    if (!t.ok() || !t.done()) return false;
    p->has_end = true;
  }
  return r.ok() && r.done();
}

namespace {
std::size_t TimestampSize(const RayEndParts& p) {
  return (p.end_seconds == 0 ? 0 : 1 + CodedOutputStream::VarintSize64(
                                           static_cast<std::uint64_t>(p.end_seconds))) +
         Int32Size(p.end_nanos);
}
}  // namespace

void Encode(const RayEndParts& p, UuidMemo* memo, std::string* out) {
  const std::string_view uuid = p.has_sweep_uuid ? memo->Encoded(p.sweep_uuid) : std::string_view();
  const std::size_t payload = UuidFieldSize(p.has_sweep_uuid, uuid) + Int32Size(p.ray_index) +
                              (p.has_end ? LengthSize(TimestampSize(p)) : 0);
  std::uint8_t* q = Room(out, LengthSize(payload));
  q = WriteLength(kRayEndField, payload, q);
  if (p.has_sweep_uuid) q = WriteUuid(1, uuid, q);
  q = WriteInt32(2, p.ray_index, q);
  if (p.has_end) {
    q = WriteLength(3, TimestampSize(p), q);
    if (p.end_seconds != 0) {
      q = CodedOutputStream::WriteTagToArray(Tag(1, kVarint), q);
      q = CodedOutputStream::WriteVarint64ToArray(static_cast<std::uint64_t>(p.end_seconds), q);
    }
    WriteInt32(2, p.end_nanos, q);
  }
}

bool Decode(std::string_view envelope, UuidMemo* memo, ParameterDataParts* p) {
  *p = ParameterDataParts();
  std::string_view payload;
  if (!Payload(envelope, kParameterDataField, &payload)) return false;
  FieldReader r(payload);
  std::string_view bytes;
  if (!NextUuid(&r, 1, memo, &p->has_sweep_uuid, &p->sweep_uuid)) return false;
  if (r.Next(2, kVarint) && !r.Int32(&p->ray_index)) return false;
  if (r.Next(3, kLength)) {
    if (!r.Bytes(&bytes) || !DecodeDataType(bytes, p)) return false;
    p->has_data_type = true;
  }
  if (r.Next(4, kLength)) {
    if (!r.Bytes(&bytes) || !DecodeBuffer(bytes, p)) return false;
    p->has_data = true;
  }
  return r.ok() && r.done();
}

}  // namespace internal
}  // namespace stream
}  // namespace common_dto
