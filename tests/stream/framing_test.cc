// Framing: exact bytes, interop with the runtime's delimited functions,
// damaged input, UTF-8 refusal and bounded memory on long streams.
#include "common_dto/stream/framing.h"

#include <google/protobuf/util/delimited_message_util.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "stream_testing.h"

namespace common_dto_test {
namespace {

using common_dto::stream::DelimitedReader;
using common_dto::stream::DelimitedWriter;
using common_dto::stream::ReaderOptions;
using common_dto::stream::ReadResult;
using google::protobuf::io::ArrayInputStream;
using google::protobuf::io::StringOutputStream;

// Three messages: no payload (a zero-length frame), an empty RayEnd, and a
// ray header with an index.
std::vector<RayStreamMessage> Sample() {
  std::vector<RayStreamMessage> out(3);
  out[1].mutable_ray_end();
  out[2].mutable_ray_header()->set_ray_index(5);
  return out;
}
constexpr char kSampleHex[] = "00 02 2a 00 04 1a 02 18 05";

// Reads all messages of `bytes`; returns them and the final result.
std::vector<RayStreamMessage> ReadAll(DelimitedReader& reader, ReadResult* last) {
  std::vector<RayStreamMessage> out;
  RayStreamMessage message;
  while ((*last = reader.Read(&message))) out.push_back(message);
  return out;
}

std::string TempPath(const char* name) {
  return ::testing::TempDir() + "/" + name + "." + std::to_string(::getpid());
}

TEST(Framing, BytesAndInteropWithTheRuntime) {
  // Our writer: exact bytes, read back by the runtime's parser.
  std::string bytes;
  {
    StringOutputStream out(&bytes);
    DelimitedWriter writer = DelimitedWriter::ToZeroCopyStream(&out);
    for (const auto& m : Sample()) ASSERT_TRUE(writer.Write(m).ok());
    EXPECT_EQ(writer.messages_written(), 3u);
    EXPECT_EQ(writer.bytes_written(), 9u);
  }
  EXPECT_EQ(Hex(bytes), kSampleHex);
  {
    ArrayInputStream in(bytes.data(), static_cast<int>(bytes.size()));
    RayStreamMessage m;
    bool clean_eof = false;
    int count = 0;
    while (google::protobuf::util::ParseDelimitedFromZeroCopyStream(&m, &in, &clean_eof)) {
      EXPECT_EQ(m.SerializeAsString(), Sample()[count].SerializeAsString()) << "message " << count;
      ++count;
    }
    EXPECT_EQ(count, 3);
    EXPECT_TRUE(clean_eof);
  }

  // The runtime's writer, read by ours; a large frame takes a two-byte prefix.
  std::string theirs;
  std::vector<RayStreamMessage> sent = Sample();
  sent.emplace_back();
  sent.back().mutable_parameter_data()->mutable_data()->set_data(std::string(300, 'x'));
  {
    StringOutputStream out(&theirs);
    for (const auto& m : sent) {
      ASSERT_TRUE(google::protobuf::util::SerializeDelimitedToZeroCopyStream(m, &out));
    }
  }
  ArrayInputStream in(theirs.data(), static_cast<int>(theirs.size()));
  DelimitedReader reader = DelimitedReader::FromZeroCopyStream(&in);
  ReadResult last;
  std::vector<RayStreamMessage> got = ReadAll(reader, &last);
  EXPECT_TRUE(last.is_end_of_stream()) << last.error();
  ASSERT_EQ(got.size(), sent.size());
  EXPECT_EQ(got[3].parameter_data().data().data().size(), 300u);
  EXPECT_EQ(reader.byte_offset(), theirs.size());

  // File path, file descriptor, std::ostream and std::istream give the same bytes.
  const std::string path = TempPath("framing");
  {
    DelimitedWriter writer = DelimitedWriter::ToFile(path);
    for (const auto& m : Sample()) ASSERT_TRUE(writer.Write(m).ok());
    ASSERT_TRUE(writer.Close().ok());
    EXPECT_FALSE(writer.Write(Sample()[0]).ok()) << "write after Close";
  }
  std::ostringstream os;
  {
    DelimitedWriter writer = DelimitedWriter::ToStream(os);
    for (const auto& m : Sample()) ASSERT_TRUE(writer.Write(m).ok());
    ASSERT_TRUE(writer.Flush().ok());
  }
  EXPECT_EQ(Hex(os.str()), kSampleHex);
  std::ifstream file(path, std::ios::binary);
  DelimitedReader from_stream = DelimitedReader::FromStream(file);
  EXPECT_EQ(ReadAll(from_stream, &last).size(), 3u);
  EXPECT_TRUE(last.is_end_of_stream()) << last.error();
  DelimitedReader from_path = DelimitedReader::FromFile(path);
  EXPECT_EQ(ReadAll(from_path, &last).size(), 3u);
  EXPECT_TRUE(last.is_end_of_stream()) << last.error();
  ::unlink(path.c_str());

  DelimitedReader missing = DelimitedReader::FromFile(path);
  EXPECT_FALSE(missing.status().ok());
  RayStreamMessage m;
  EXPECT_TRUE(missing.Read(&m).is_error());
}

// The texts, codes and locations of each kind of damage, from a file, are
// pinned by the cross-check with Python (tests/python/test_stream.py); here
// the input comes byte by byte, where nothing can be read twice.
TEST(Framing, DamagedInputNamesMessageAndOffset) {
  const std::string good = Unhex("02 2a 00");  // One intact message first.
  struct Case {
    const char* what;
    std::string tail;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"empty input", "", ""},
      {"frame past the end at a field boundary", Unhex("04 2a 00"),
       "message 1 at byte offset 3: truncated: length 4 runs past the end of the input (2 bytes "
       "left)"},
      {"oversized length", Unhex("ff ff ff ff 0f"),
       "message 1 at byte offset 3: length 4294967295 exceeds the maximum message size 1048576"},
      {"invalid UTF-8, not read again", Unhex("07 0a 05 22 03 12 01 ff"),
       "message 1 at byte offset 3: unparsable kyt.pb.stream.RayStreamMessage (length 7): "
       "malformed wire data or invalid UTF-8 in a string field"},
  };
  ReaderOptions options;
  options.max_message_size = 1 << 20;
  for (const Case& c : cases) {
    const std::string bytes = (c.tail.empty() && c.error.empty()) ? "" : good + c.tail;
    ArrayInputStream in(bytes.data(), static_cast<int>(bytes.size()), 1);  // Byte by byte.
    DelimitedReader reader = DelimitedReader::FromZeroCopyStream(&in, options);
    ReadResult last;
    std::vector<RayStreamMessage> got;
    {
      LogCapture quiet;  // The runtime logs the invalid UTF-8 itself.
      got = ReadAll(reader, &last);
    }
    if (c.error.empty()) {
      EXPECT_TRUE(last.is_end_of_stream()) << c.what;
      EXPECT_TRUE(got.empty()) << c.what;
      continue;
    }
    EXPECT_EQ(got.size(), 1u) << c.what << ": the intact message comes first";
    EXPECT_EQ(last.error(), c.error) << c.what;
    RayStreamMessage m;
    EXPECT_EQ(reader.Read(&m).error(), c.error) << c.what << ": the error is sticky";
  }
}

TEST(Framing, WriterRefusesInvalidUtf8) {
  std::string bytes;
  StringOutputStream out(&bytes);
  DelimitedWriter writer = DelimitedWriter::ToZeroCopyStream(&out);
  RayStreamMessage bad;
  bad.mutable_volume_header()->mutable_volume_config_uri()->set_endpoint("caf\xe9");
  auto status = writer.Write(bad);
  EXPECT_EQ(status.message(),
            "message 0: invalid UTF-8 in field kyt.pb.stream.VolumeConfigUri.endpoint "
            "(at volume_header.volume_config_uri.endpoint)");
  // Deep inside maps: a threshold name in a sweep configuration.
  RayStreamMessage deep;
  auto* config = deep.mutable_volume_header()->mutable_volume_config()->add_sweep_config();
  (*(*config->mutable_data_moments())["DBZ"].mutable_thresholds())["\xc0\x80"] = 1.0f;
  EXPECT_EQ(writer.Write(deep).message(),
            "message 0: invalid UTF-8 in field kyt.pb.common.DataDescriptor.ThresholdsEntry.key "
            "(at volume_header.volume_config.sweep_config[0].data_moments[\"DBZ\"]."
            "thresholds[0].key)");
  EXPECT_EQ(writer.bytes_written(), 0u) << "nothing of a refused message is written";
  EXPECT_TRUE(writer.Write(Sample()[1]).ok()) << "the writer stays usable";
  EXPECT_EQ(writer.messages_written(), 1u);
  // What is valid UTF-8 is the model library's to say (tests/model).
}

// Serves `count` copies of one frame without holding more than the frame.
class RepeatingStream : public google::protobuf::io::ZeroCopyInputStream {
 public:
  RepeatingStream(std::string frame, std::int64_t count) : frame_(std::move(frame)), left_(count) {}
  bool Next(const void** data, int* size) override {
    if (pos_ == frame_.size()) {
      if (left_ == 0) return false;
      --left_;
      pos_ = 0;
    }
    const std::size_t n = std::min<std::size_t>(frame_.size() - pos_, 1 << 16);
    *data = frame_.data() + pos_;
    *size = static_cast<int>(n);
    pos_ += n;
    total_ += static_cast<std::int64_t>(n);
    return true;
  }
  void BackUp(int count) override {
    pos_ -= static_cast<std::size_t>(count);
    total_ -= count;
  }
  bool Skip(int count) override {
    const void* data;
    int size;
    while (count > 0) {
      if (!Next(&data, &size)) return false;
      if (size > count) BackUp(size - count);
      count -= std::min(size, count);
    }
    return true;
  }
  std::int64_t ByteCount() const override { return total_; }

 private:
  std::string frame_;
  std::int64_t left_;
  std::size_t pos_ = frame_.size();  // At the end of a frame before the first.
  std::int64_t total_ = 0;
};

TEST(Framing, LongStreamIsReadInBoundedMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer keeps freed memory in quarantine";
#endif
  // 2.5 GiB of 1 MiB frames: beyond the 2 GiB a single CodedInputStream can
  // count, and far beyond what the reader may hold.
  RayStreamMessage message;
  message.mutable_parameter_data()->set_ray_index(7);
  message.mutable_parameter_data()->mutable_data()->set_data(std::string((1 << 20) - 16, 'z'));
  std::string frame;
  {
    StringOutputStream out(&frame);
    ASSERT_TRUE(google::protobuf::util::SerializeDelimitedToZeroCopyStream(message, &out));
  }
  const std::int64_t count = 2560;
  RepeatingStream in(frame, count);
  ResetPeakResident();  // Where allowed.
  const std::uint64_t before = ResidentKiB("VmHWM");

  DelimitedReader reader = DelimitedReader::FromZeroCopyStream(&in);
  RayStreamMessage got;
  std::int64_t n = 0;
  ReadResult last;
  while ((last = reader.Read(&got))) {
    if (got.parameter_data().ray_index() != 7) break;
    ++n;
  }
  EXPECT_TRUE(last.is_end_of_stream()) << last.error();
  EXPECT_EQ(n, count);
  EXPECT_EQ(reader.byte_offset(), static_cast<std::uint64_t>(count) * frame.size());
  const std::uint64_t growth_kb = ResidentKiB("VmHWM") - before;
  EXPECT_LT(growth_kb, 32u * 1024) << "peak memory grew by " << growth_kb << " KiB reading " << count
                                  << " MiB";
}

}  // namespace
}  // namespace common_dto_test
