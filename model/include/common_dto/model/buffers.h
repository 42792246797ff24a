// Sample buffers: LZ4 compression, storage-type widths and the layout of a
// sweep's moment buffers.
//
// Sweep buffer layout
// -------------------
// A stored sweep (kyt.pb.common.Sweep) keeps one DataBuffer per data moment
// in `sweep_moments`, keyed by the moment's short name. This library fixes
// how the samples of the sweep's rays are arranged in such a buffer:
//
//   * The (uncompressed) bytes are the rays' sample blocks concatenated in
//     the order of `Sweep.rays`, which is ascending ray index: ray 0's
//     samples, then ray 1's, and so on. Row-major [ray][gate].
//   * Every ray contributes the same number of bytes, so the buffer of a
//     sweep with R rays and G samples per ray holds R * G * width bytes and
//     ray r's samples start at byte r * G * width. G may differ between
//     moments of the same sweep.
//   * `endian` and `type` are those of the rays' samples (all rays of a
//     moment agree on them); samples are not converted.
//   * `compression` is stated explicitly, NONE or LZ4, and
//     `uncompressed_size` is always the byte length of the uncompressed
//     samples (R * G * width). An LZ4 buffer is the whole concatenation
//     compressed as one LZ4 frame or one LZ4 block.
//
// A buffer in this form is "canonical"; the assembler writes only canonical
// buffers, and the splitter slices a buffer into R equal parts.
//
// LZ4 input
// ---------
// For `compression` = LZ4 both LZ4 formats are accepted: data that starts
// with the LZ4 frame magic number (bytes 04 22 4d 18) is decoded as one or
// more LZ4 frames (a nonzero `uncompressed_size` must then match the decoded
// length); anything else is decoded as one raw LZ4 block whose decoded size
// is `uncompressed_size`. `compression` = NONE or UNKNOWN_COMPRESSION means
// the data is taken as it is. Other compression numbers are an error.
//
// Decoding is bounded by the compressed bytes: LZ4 cannot expand data more
// than about 255:1, so a declared size (`uncompressed_size` of a block, the
// content size of a frame) beyond kLz4MaxRatio times the compressed bytes is
// an error (kMalformed) before anything is allocated, and frames without a
// declared size decode into a buffer that grows with the output. Decoding n
// compressed bytes costs at most about 255 * n bytes of memory.
//
// LZ4 output
// ----------
// Frames written by SetSamples() (Compression::kLz4Frame) record the content
// size and use independent blocks (block-independence flag set), so that
// decoders without linked-block support (lz4-java) read them.
#pragma once

#include "common_dto/model/export.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common_dto/model/status.h"
#include "data_buffer.pb.h"

namespace common_dto {

// The LZ4 frame format's magic number, stored little-endian at the start.
inline constexpr std::uint32_t kLz4FrameMagic = 0x184D2204;

// How many times its size LZ4 data can decode to, at most.
inline constexpr std::uint64_t kLz4MaxRatio = 255;

// Largest decoded buffer accepted unless told otherwise: 256 MiB.
inline constexpr std::size_t kDefaultMaxBufferSize = std::size_t{256} << 20;

// How buffers written by this library are compressed.
enum class Compression {
  kNone,      // compression = NONE
  kLz4Frame,  // compression = LZ4, one LZ4 frame (content size recorded)
  kLz4Block,  // compression = LZ4, one raw LZ4 block
};

// True when `data` starts with the LZ4 frame magic number.
COMMON_DTO_MODEL_EXPORT bool IsLz4Frame(std::string_view data);

// Bytes per sample of a storage type: UINT8 1, UINT16 2, INT32 4, INT64 8,
// FLOAT 4, DOUBLE 8. 0 for the types without a fixed layout (UNKNOWN_TYPE,
// STRING, BOOLEAN) and for numbers outside the enum; for those, buffers are
// handled as plain bytes and cannot be padded.
COMMON_DTO_MODEL_EXPORT int SampleWidth(int storage_type);

// Appends the uncompressed samples of `buffer` to *out, decoding LZ4 straight
// into the end of *out. A decoded size above `max_size` is an error (checked
// before allocating, for frames while decoding). On error *out is unchanged.
COMMON_DTO_MODEL_EXPORT Status AppendUncompressed(const kyt::pb::common::DataBuffer& buffer, std::string* out,
                          std::size_t max_size = kDefaultMaxBufferSize);
// The same for a buffer given by its fields (`compression` a
// DataBuffer::CompressionType), such as one read in place from a message.
COMMON_DTO_MODEL_EXPORT Status AppendUncompressed(int compression, std::int32_t uncompressed_size,
                                                  std::string_view data, std::string* out,
                                                  std::size_t max_size = kDefaultMaxBufferSize);

// Compresses `samples` into *buffer as `compression` says: sets `data`,
// `compression` and `uncompressed_size`; leaves `endian` and `type` alone.
// Samples of 2 GiB or more are an error (`uncompressed_size` is an int32).
COMMON_DTO_MODEL_EXPORT Status SetSamples(std::string_view samples, Compression compression,
                  kyt::pb::common::DataBuffer* buffer);
// As above, taking the samples over without a copy when compression is kNone.
COMMON_DTO_MODEL_EXPORT Status SetSamples(std::string&& samples, Compression compression,
                  kyt::pb::common::DataBuffer* buffer);

// Decompresses *buffer in place: afterwards `compression` is NONE and
// `uncompressed_size` the data length.
COMMON_DTO_MODEL_EXPORT Status Decompress(kyt::pb::common::DataBuffer* buffer,
                  std::size_t max_size = kDefaultMaxBufferSize);

// Appends `count` copies of `value` encoded as one sample of `storage_type`
// in byte order `endian` (UNKNOWN_ENDIANNESS is written little-endian).
// Integer types take the value rounded to the nearest integer; a value that
// the type cannot hold, NaN in an integer type, and a type without a fixed
// width (SampleWidth() == 0) are errors.
COMMON_DTO_MODEL_EXPORT Status AppendFill(double value, int storage_type, int endian, std::size_t count, std::string* out);

}  // namespace common_dto
