// LZ4 decoding and encoding of sample buffers, sample widths and fill values.
#include "common_dto/model/buffers.h"

#include <lz4.h>
#include <lz4frame.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

namespace common_dto {
namespace {

using kyt::pb::common::DataBuffer;

constexpr std::size_t kMaxInt32 =
    static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());

std::string Bytes(std::size_t n) { return std::to_string(n) + " bytes"; }

// The most `compressed` bytes of LZ4 can decode to (kLz4MaxRatio per byte
// plus a small constant for the shortest blocks and frame headers).
std::uint64_t Lz4DecodeBound(std::size_t compressed) {
  return static_cast<std::uint64_t>(compressed) * kLz4MaxRatio + 64;
}

// A declared decoded size that the compressed bytes cannot produce is an
// error before anything is allocated for it.
Status CheckDeclared(const char* what, std::uint64_t declared, std::size_t compressed,
                     std::size_t max_size) {
  if (declared > max_size) {
    return Status(ErrorCode::kTooLarge, std::string(what) + " declares " +
                                            Bytes(static_cast<std::size_t>(declared)) +
                                            ", more than the limit of " + Bytes(max_size));
  }
  if (declared > Lz4DecodeBound(compressed)) {
    return Status(ErrorCode::kMalformed,
                  std::string(what) + " declares " + Bytes(static_cast<std::size_t>(declared)) +
                      ", more than its " + Bytes(compressed) + " of LZ4 data can hold");
  }
  return Status::Ok();
}

// Every LZ4 frame call's result goes through here: an error result is a
// `code` error naming the call and LZ4's reason.
Status Lz4FrameCheck(std::size_t result, const char* call, ErrorCode code) {
  if (!LZ4F_isError(result)) return Status::Ok();
  return Status(code, std::string("LZ4 frame: ") + call + ": " + LZ4F_getErrorName(result));
}

// Frees a decompression context; its result says nothing about the data.
struct DctxDeleter {
  void operator()(LZ4F_dctx* ctx) const { LZ4F_freeDecompressionContext(ctx); }
};

// Reads the first frame's header off `src`: its declared content size (0
// when it states none), checked against the limit and the data.
Status ReadFrameHeader(LZ4F_dctx* ctx, std::size_t max_size, std::string_view* src,
                       std::size_t* declared) {
  LZ4F_frameInfo_t info{};
  std::size_t header_size = src->size();
  Status status = Lz4FrameCheck(LZ4F_getFrameInfo(ctx, &info, src->data(), &header_size),
                                "LZ4F_getFrameInfo", ErrorCode::kMalformed);
  if (!status.ok()) return status;
  status = CheckDeclared("LZ4 frame", info.contentSize, src->size(), max_size);
  if (!status.ok()) return status;
  src->remove_prefix(header_size);
  *declared = static_cast<std::size_t>(info.contentSize);
  return Status::Ok();
}

// Decodes one or more concatenated LZ4 frames from `src` onto the end of *out.
Status AppendLz4Frames(std::string_view src, std::size_t max_size, std::string* out) {
  LZ4F_dctx* raw = nullptr;
  Status status = Lz4FrameCheck(LZ4F_createDecompressionContext(&raw, LZ4F_VERSION),
                                "LZ4F_createDecompressionContext", ErrorCode::kIo);
  std::unique_ptr<LZ4F_dctx, DctxDeleter> ctx(raw);
  if (!status.ok()) return status;

  // The first frame's header may state the content size; then the output is
  // allocated once.
  std::size_t declared = 0;
  status = ReadFrameHeader(ctx.get(), max_size, &src, &declared);
  if (!status.ok()) return status;

  // Without a declared size the output grows with what is decoded, never
  // beyond what the remaining input can produce.
  const std::size_t base = out->size();
  const std::size_t ceiling =
      static_cast<std::size_t>(std::min<std::uint64_t>(max_size, Lz4DecodeBound(src.size())));
  std::size_t avail = declared > 0 ? declared : std::min<std::size_t>(ceiling, 64 * 1024);
  out->resize(base + avail);
  std::size_t produced = 0;
  char scratch[64];
  std::size_t hint = 1;
  bool exact = declared > 0;  // Output must end exactly at the declared size.
  for (;;) {
    char* dst = nullptr;
    std::size_t dst_size = 0;
    if (produced < avail) {
      dst = &(*out)[base + produced];
      dst_size = avail - produced;
    } else if (exact || avail >= ceiling) {
      // Full: anything still to come is more than the frame declared or the
      // limit allows; decode into scratch space to find out.
      dst = scratch;
      dst_size = sizeof scratch;
    } else {
      avail = std::min(ceiling, avail * 2);
      out->resize(base + avail);
      continue;
    }
    std::size_t src_size = src.size();
    hint = LZ4F_decompress(ctx.get(), dst, &dst_size, src.data(), &src_size, nullptr);
    status = Lz4FrameCheck(hint, "LZ4F_decompress", ErrorCode::kMalformed);
    if (!status.ok()) {
      out->resize(base);
      return status;
    }
    src.remove_prefix(src_size);
    if (dst == scratch && dst_size > 0) {
      out->resize(base);
      if (exact && avail < max_size) {
        return Status(ErrorCode::kMalformed,
                      "LZ4 frame decodes to more than its declared " + Bytes(declared));
      }
      return avail >= max_size
                 ? Status(ErrorCode::kTooLarge,
                          "LZ4 frame decodes to more than the limit of " + Bytes(max_size))
                 : Status(ErrorCode::kMalformed, "LZ4 frame decodes to more than its data can");
    }
    produced += dst == scratch ? 0 : dst_size;
    if (hint == 0 && src.empty()) break;
    if (hint == 0) exact = false;  // Another frame follows; its size is not known yet.
    if (dst_size == 0 && src_size == 0 && src.empty()) {
      out->resize(base);
      return Status(ErrorCode::kTruncated, "LZ4 frame: truncated (the data ends inside a frame)");
    }
  }
  if (exact && produced != declared) {
    out->resize(base);
    return Status(ErrorCode::kMalformed, "LZ4 frame decodes to " + Bytes(produced) + ", not the declared " +
                         Bytes(declared));
  }
  out->resize(base + produced);
  return Status::Ok();
}

Status AppendLz4Block(std::string_view src, std::int32_t uncompressed_size, std::size_t max_size,
                      std::string* out) {
  if (uncompressed_size < 0) {
    return Status(ErrorCode::kMalformed, "LZ4 block with negative uncompressed_size " +
                         std::to_string(uncompressed_size));
  }
  const auto n = static_cast<std::size_t>(uncompressed_size);
  Status status = CheckDeclared("LZ4 block", n, src.size(), max_size);
  if (!status.ok()) return status;
  if (src.size() > static_cast<std::size_t>(LZ4_MAX_INPUT_SIZE)) {
    return Status(ErrorCode::kTooLarge, "LZ4 block of " + Bytes(src.size()) + " is too large to decode");
  }
  if (n == 0 && src.empty()) return Status::Ok();
  const std::size_t base = out->size();
  char empty = 0;
  out->resize(base + n);
  const int r = LZ4_decompress_safe(src.data(), n > 0 ? &(*out)[base] : &empty,
                                    static_cast<int>(src.size()), static_cast<int>(n));
  if (r < 0 || static_cast<std::size_t>(r) != n) {
    out->resize(base);
    return Status(ErrorCode::kMalformed, r < 0 ? "LZ4 block: malformed data, or more than uncompressed_size " +
                                     Bytes(n)
                               : "LZ4 block decodes to " + Bytes(static_cast<std::size_t>(r)) +
                                     ", not uncompressed_size " + Bytes(n));
  }
  return Status::Ok();
}

}  // namespace

bool IsLz4Frame(std::string_view data) {
  return data.size() >= 4 && static_cast<unsigned char>(data[0]) == 0x04 &&
         static_cast<unsigned char>(data[1]) == 0x22 &&
         static_cast<unsigned char>(data[2]) == 0x4d && static_cast<unsigned char>(data[3]) == 0x18;
}

int SampleWidth(int storage_type) {
  switch (storage_type) {
    case DataBuffer::UINT8:
      return 1;
    case DataBuffer::UINT16:
      return 2;
    case DataBuffer::INT32:
    case DataBuffer::FLOAT:
      return 4;
    case DataBuffer::INT64:
    case DataBuffer::DOUBLE:
      return 8;
    default:
      return 0;
  }
}

Status AppendUncompressed(const DataBuffer& buffer, std::string* out, std::size_t max_size) {
  return AppendUncompressed(buffer.compression(), buffer.uncompressed_size(), buffer.data(), out,
                            max_size);
}

Status AppendUncompressed(int compression, std::int32_t uncompressed_size, std::string_view data,
                          std::string* out, std::size_t max_size) {
  switch (compression) {
    case DataBuffer::UNKNOWN_COMPRESSION:
    case DataBuffer::NONE:
      if (data.size() > max_size) {
        return Status(ErrorCode::kTooLarge, "buffer of " + Bytes(data.size()) + " exceeds the limit of " +
                             Bytes(max_size));
      }
      out->append(data);
      return Status::Ok();
    case DataBuffer::LZ4:
      if (IsLz4Frame(data)) {
        const std::size_t base = out->size();
        Status status = AppendLz4Frames(data, max_size, out);
        if (status.ok() && uncompressed_size != 0 &&
            static_cast<std::int64_t>(out->size() - base) != uncompressed_size) {
          const std::size_t got = out->size() - base;
          out->resize(base);
          return Status(ErrorCode::kMalformed, "LZ4 frame decodes to " + Bytes(got) + ", not uncompressed_size " +
                               std::to_string(uncompressed_size));
        }
        return status;
      }
      return AppendLz4Block(data, uncompressed_size, max_size, out);
    default:
      return Status(ErrorCode::kUnsupported, "unknown compression " + std::to_string(compression));
  }
}

// Room for a compressor's output, left uninitialised: the bound is as large
// as the samples, but only the pages the compressor writes are touched, so
// that compressing costs memory for its output, not for the bound (a
// zero-filled std::string of the bound would double the peak).
static std::unique_ptr<char[]> UntouchedBuffer(std::size_t size) {
  return std::unique_ptr<char[]>(new char[size]);
}

Status SetSamples(std::string_view samples, Compression compression, DataBuffer* buffer) {
  if (compression == Compression::kNone)
    return SetSamples(std::string(samples), compression, buffer);
  const std::size_t n = samples.size();
  if (n > kMaxInt32) {
    return Status(ErrorCode::kTooLarge, "samples of " + Bytes(n) + " exceed the 2 GiB a buffer can declare");
  }
  std::string data;
  if (compression == Compression::kLz4Block) {
    if (n > static_cast<std::size_t>(LZ4_MAX_INPUT_SIZE)) {
      return Status(ErrorCode::kTooLarge, "samples of " + Bytes(n) + " are too large for one LZ4 block");
    }
    const auto bound = static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(n)));
    const std::unique_ptr<char[]> out = UntouchedBuffer(bound);
    const int r = LZ4_compress_default(samples.data(), out.get(), static_cast<int>(n),
                                       static_cast<int>(bound));
    if (r <= 0) return Status(ErrorCode::kIo, "LZ4 block compression failed");
    data.assign(out.get(), static_cast<std::size_t>(r));
  } else {
    LZ4F_preferences_t prefs;
    std::memset(&prefs, 0, sizeof prefs);
    prefs.frameInfo.contentSize = n;
    // Independent blocks: decoders that cannot link blocks (lz4-java) read them.
    prefs.frameInfo.blockMode = LZ4F_blockIndependent;
    const std::size_t bound = LZ4F_compressFrameBound(n, &prefs);
    const std::unique_ptr<char[]> out = UntouchedBuffer(bound);
    const std::size_t r = LZ4F_compressFrame(out.get(), bound, samples.data(), n, &prefs);
    Status status = Lz4FrameCheck(r, "LZ4F_compressFrame", ErrorCode::kIo);
    if (!status.ok()) return status;
    data.assign(out.get(), r);
  }
  buffer->set_data(std::move(data));
  buffer->set_compression(DataBuffer::LZ4);
  buffer->set_uncompressed_size(static_cast<std::int32_t>(n));
  return Status::Ok();
}

Status SetSamples(std::string&& samples, Compression compression, DataBuffer* buffer) {
  if (compression != Compression::kNone) {
    return SetSamples(std::string_view(samples), compression, buffer);
  }
  const std::size_t n = samples.size();
  if (n > kMaxInt32) {
    return Status(ErrorCode::kTooLarge, "samples of " + Bytes(n) + " exceed the 2 GiB a buffer can declare");
  }
  buffer->set_data(std::move(samples));
  buffer->set_compression(DataBuffer::NONE);
  buffer->set_uncompressed_size(static_cast<std::int32_t>(n));
  return Status::Ok();
}

Status Decompress(DataBuffer* buffer, std::size_t max_size) {
  if (buffer->compression() == DataBuffer::NONE ||
      buffer->compression() == DataBuffer::UNKNOWN_COMPRESSION) {
    if (buffer->data().size() > kMaxInt32) return Status(ErrorCode::kTooLarge, "buffer exceeds 2 GiB");
    buffer->set_compression(DataBuffer::NONE);
    buffer->set_uncompressed_size(static_cast<std::int32_t>(buffer->data().size()));
    return Status::Ok();
  }
  std::string samples;
  Status status = AppendUncompressed(*buffer, &samples, max_size);
  if (!status.ok()) return status;
  return SetSamples(std::move(samples), Compression::kNone, buffer);
}

Status AppendFill(double value, int storage_type, int endian, std::size_t count, std::string* out) {
  const int width = SampleWidth(storage_type);
  if (width == 0) {
    return Status(ErrorCode::kInvalidArgument, "storage type " + std::to_string(storage_type) +
                         " has no fixed sample width to fill");
  }
  std::uint64_t bits = 0;
  auto integer = [&](double lo, double hi) -> bool {
    if (std::isnan(value)) return false;
    const double r = std::nearbyint(value);
    if (r < lo || r > hi) return false;
    bits = static_cast<std::uint64_t>(static_cast<std::int64_t>(r));
    return true;
  };
  bool ok = true;
  switch (storage_type) {
    case DataBuffer::UINT8:
      ok = integer(0, 255);
      break;
    case DataBuffer::UINT16:
      ok = integer(0, 65535);
      break;
    case DataBuffer::INT32:
      ok = integer(-2147483648.0, 2147483647.0);
      break;
    case DataBuffer::INT64:
      // 2^63 itself does not fit; the largest double below it does.
      ok = integer(-9223372036854775808.0, 9223372036854774784.0);
      break;
    case DataBuffer::FLOAT: {
      if (std::isfinite(value) && std::fabs(value) > std::numeric_limits<float>::max()) {
        ok = false;
        break;
      }
      const auto f = static_cast<float>(value);
      std::uint32_t u = 0;
      std::memcpy(&u, &f, sizeof u);
      bits = u;
      break;
    }
    case DataBuffer::DOUBLE:
      std::memcpy(&bits, &value, sizeof bits);
      break;
  }
  if (!ok) {
    return Status(ErrorCode::kInvalidArgument, 
        "fill value " + std::to_string(value) + " does not fit storage type " +
        DataBuffer::StorageType_Name(static_cast<DataBuffer::StorageType>(storage_type)));
  }
  char sample[8];
  for (int i = 0; i < width; ++i) {
    const int shift = endian == DataBuffer::BIG ? 8 * (width - 1 - i) : 8 * i;
    sample[i] = static_cast<char>((bits >> shift) & 0xff);
  }
  out->reserve(out->size() + count * static_cast<std::size_t>(width));
  for (std::size_t i = 0; i < count; ++i) out->append(sample, static_cast<std::size_t>(width));
  return Status::Ok();
}

}  // namespace common_dto
