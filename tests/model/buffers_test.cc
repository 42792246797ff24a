// Sample buffers: LZ4 frames and blocks as written and as other producers
// write them, declarations the compressed bytes cannot back, limits, and
// the output left as it was on every error.
#include <gtest/gtest.h>
#include <lz4frame.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common_dto/model/buffers.h"
#include "data_buffer.pb.h"
#include "wire_testing.h"

namespace {

using common_dto::AppendUncompressed;
using common_dto::Compression;
using common_dto::ErrorCode;
using common_dto::SetSamples;
using common_dto::Status;
using common_dto_test::Unhex;
using kyt::pb::common::DataBuffer;

TEST(Buffers, Lz4FramesAndBlocksDecodeOntoTheEndOrNotAtAll) {
  std::string samples;
  for (int i = 0; i < 1000; ++i) samples += static_cast<char>(i % 7 == 0 ? i : 'a');
  for (Compression c : {Compression::kLz4Frame, Compression::kLz4Block}) {
    DataBuffer buffer;
    ASSERT_TRUE(SetSamples(samples, c, &buffer).ok());
    EXPECT_EQ(buffer.compression(), DataBuffer::LZ4);
    EXPECT_EQ(buffer.uncompressed_size(), 1000);
    EXPECT_EQ(common_dto::IsLz4Frame(buffer.data()), c == Compression::kLz4Frame);
    std::string decoded = "abc";
    ASSERT_TRUE(AppendUncompressed(buffer, &decoded).ok());
    EXPECT_TRUE(decoded == "abc" + samples) << "decoded onto the end";
  }
  // Frames without a content size, two concatenated; uncompressed_size unset.
  const std::string frame = Unhex(
      "04 22 4d 18 60 40 82 0f 00 00 00 69 72 61 64 61 72 20 06 00 50 61 64 61 72 21 00 00 00 00");
  DataBuffer two;
  two.set_compression(DataBuffer::LZ4);
  two.set_data(frame + frame);
  std::string both;
  ASSERT_TRUE(AppendUncompressed(two, &both).ok());
  EXPECT_EQ(both, "radar radar radar radar!radar radar radar radar!");

  struct Bad {
    const char* what;
    DataBuffer buffer;
    std::size_t limit;
    std::string error;
  };
  auto lz4 = [](std::string data, int size) {
    DataBuffer b;
    b.set_compression(DataBuffer::LZ4);
    b.set_data(std::move(data));
    b.set_uncompressed_size(size);
    return b;
  };
  DataBuffer block;
  ASSERT_TRUE(SetSamples(samples, Compression::kLz4Block, &block).ok());
  DataBuffer framed;
  ASSERT_TRUE(SetSamples(samples, Compression::kLz4Frame, &framed).ok());
  DataBuffer unknown;
  unknown.set_compression(static_cast<DataBuffer::CompressionType>(7));
  const std::vector<Bad> bad = {
      {"block size too small", lz4(block.data(), 999), 1 << 20,
       "LZ4 block: malformed data, or more than uncompressed_size 999 bytes"},
      {"block over the limit", lz4(block.data(), 1000), 999,
       "LZ4 block declares 1000 bytes, more than the limit of 999 bytes"},
      {"frame over the limit", framed, 999,
       "LZ4 frame declares 1000 bytes, more than the limit of 999 bytes"},
      {"frame without size over the limit", lz4(frame, 0), 20,
       "LZ4 frame decodes to more than the limit of 20 bytes"},
      {"truncated frame", lz4(frame.substr(0, 20), 0), 1 << 20,
       "LZ4 frame: truncated (the data ends inside a frame)"},
      {"frame size mismatch", lz4(frame, 23), 1 << 20,
       "LZ4 frame decodes to 24 bytes, not uncompressed_size 23"},
      {"unknown compression", unknown, 1 << 20, "unknown compression 7"},
  };
  for (const Bad& b : bad) {
    std::string kept = "abc";
    EXPECT_EQ(AppendUncompressed(b.buffer, &kept, b.limit).message(), b.error) << b.what;
    EXPECT_EQ(kept, "abc") << b.what << ": output unchanged on error";
  }
}

// An LZ4 block of `n` (> 25) zero bytes: one literal, one long match, five
// closing literals; 11 + (n - 25) / 255 bytes.
std::string ZerosBlock(std::size_t n) {
  const std::size_t match = n - 1 - 5 - 4;
  std::string out = {'\x1f', '\0', '\x01', '\0'};
  const std::size_t rest = match - 15;
  out.append(rest / 255, '\xff');
  out.push_back(static_cast<char>(rest % 255));
  out.push_back('\x50');
  out.append(5, '\0');
  return out;
}

DataBuffer Lz4Block(std::string data, std::int32_t declared) {
  DataBuffer buffer;
  buffer.set_compression(DataBuffer::LZ4);
  buffer.set_type(DataBuffer::UINT8);
  buffer.set_data(std::move(data));
  buffer.set_uncompressed_size(declared);
  return buffer;
}

TEST(Buffers, Lz4DeclarationsAreBoundedByTheCompressedBytes) {
  // 11 bytes cannot hold 255 MiB, whatever limit the caller allows.
  for (const std::size_t limit : {common_dto::kDefaultMaxBufferSize, std::size_t{1} << 40}) {
    std::string out = "kept";
    const Status status = common_dto::AppendUncompressed(
        Lz4Block(ZerosBlock(100), 255 << 20), &out, limit);
    EXPECT_EQ(status.code(), ErrorCode::kMalformed);
    EXPECT_EQ(status.message(),
              "LZ4 block declares 267386880 bytes, more than its 11 bytes of LZ4 data can hold");
    EXPECT_EQ(out, "kept");
  }
  // The limit still comes first when it is the smaller bound.
  std::string out;
  EXPECT_EQ(common_dto::AppendUncompressed(Lz4Block(ZerosBlock(100), 100), &out, 50).code(),
            ErrorCode::kTooLarge);
  // Data at LZ4's highest ratio decodes.
  const std::size_t n = std::size_t{1} << 20;
  EXPECT_TRUE(common_dto::AppendUncompressed(Lz4Block(ZerosBlock(n), n), &out).ok());
  EXPECT_EQ(out, std::string(n, '\0'));

  // A frame without a content size grows its output as it decodes.
  std::string samples;
  for (int i = 0; i < 300000; ++i) samples.push_back(static_cast<char>(i * 7 % 251));
  LZ4F_preferences_t prefs{};
  std::string frame(LZ4F_compressFrameBound(samples.size(), &prefs), '\0');
  frame.resize(LZ4F_compressFrame(&frame[0], frame.size(), samples.data(), samples.size(), &prefs));
  out.clear();
  EXPECT_TRUE(common_dto::AppendUncompressed(Lz4Block(frame, 0), &out).ok());
  EXPECT_EQ(out, samples);
}

TEST(Buffers, FramesAreWrittenWithIndependentBlocks) {
  std::string samples;
  for (int i = 0; i < 1 << 20; ++i) samples.push_back(static_cast<char>((i * 2654435761u) >> 24));
  DataBuffer buffer;
  ASSERT_TRUE(common_dto::SetSamples(samples, common_dto::Compression::kLz4Frame, &buffer).ok());
  ASSERT_TRUE(common_dto::IsLz4Frame(buffer.data()));
  // FLG byte after the magic number: bit 5 is block independence.
  EXPECT_EQ(static_cast<unsigned char>(buffer.data()[4]) & 0x20, 0x20);
  // BD byte: blocks of at most 64 KiB, so 1 MiB makes 16 of them.
  EXPECT_EQ((static_cast<unsigned char>(buffer.data()[5]) >> 4) & 7, 4);
  std::string out;
  ASSERT_TRUE(common_dto::AppendUncompressed(buffer, &out).ok());
  EXPECT_EQ(out, samples);
}

}  // namespace
