// Framing: exact bytes, interop with the runtime's delimited functions,
// the diagnosis of a frame, damaged input, UTF-8 refusal and bounded memory
// on long streams.
#include "common_dto/stream/framing.h"

#include <fcntl.h>
#include <google/protobuf/io/zero_copy_stream_impl.h>
#include <google/protobuf/util/delimited_message_util.h>
#include <unistd.h>

#include <deque>
#include <fstream>
#include <iterator>
#include <sstream>

#include "instrument_data.pb.h"
#include "stream_testing.h"

namespace common_dto_test {
namespace {

using common_dto::ErrorCode;
using common_dto::Status;
using common_dto::stream::DelimitedWriter;
using common_dto::stream::ReaderOptions;
using google::protobuf::io::ArrayInputStream;
using google::protobuf::io::StringOutputStream;

// Every writer writes the bytes of the runtime's delimited writer, and every
// reader reads them back.
TEST(Framing, BytesAndInteropWithTheRuntime) {
  // No payload (a zero-length frame), an empty RayEnd, a ray header with an
  // index, and a frame long enough for a two-byte length prefix.
  std::vector<RayStreamMessage> sent(4);
  sent[1].mutable_ray_end();
  sent[2].mutable_ray_header()->set_ray_index(5);
  sent[3].mutable_parameter_data()->mutable_data()->set_data(std::string(300, 'x'));
  std::string theirs;
  {
    StringOutputStream out(&theirs);
    for (const auto& m : sent) {
      ASSERT_TRUE(google::protobuf::util::SerializeDelimitedToZeroCopyStream(m, &out));
    }
  }
  EXPECT_EQ(Hex(theirs.substr(0, 12)), "00 02 2a 00 04 1a 02 18 05 b5 02 22");

  const std::string path = ::testing::TempDir() + "/framing." + std::to_string(::getpid());
  std::string zero_copy;
  std::ostringstream os;
  {
    StringOutputStream out(&zero_copy);
    DelimitedWriter writers[] = {DelimitedWriter::ToZeroCopyStream(&out),
                                 DelimitedWriter::ToStream(os), DelimitedWriter::ToFile(path)};
    for (DelimitedWriter& writer : writers) {
      for (const auto& m : sent) ASSERT_TRUE(writer.Write(m).ok());
      EXPECT_EQ(writer.messages_written(), 4u);
      EXPECT_EQ(writer.bytes_written(), theirs.size());
      ASSERT_TRUE(writer.Close().ok());
      EXPECT_FALSE(writer.Write(sent[0]).ok()) << "write after Close";
    }
  }
  std::ifstream file(path, std::ios::binary);
  for (const std::string& bytes :
       {zero_copy, os.str(), std::string(std::istreambuf_iterator<char>(file), {})}) {
    EXPECT_TRUE(bytes == theirs) << Hex(bytes);
  }

  ArrayInputStream array(theirs.data(), static_cast<int>(theirs.size()));
  std::istringstream is(theirs);
  const int fd = ::open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  DelimitedReader readers[] = {DelimitedReader::FromZeroCopyStream(&array),
                               DelimitedReader::FromBytes(theirs), DelimitedReader::FromStream(is),
                               DelimitedReader::FromFile(path), DelimitedReader::FromFd(fd)};
  for (DelimitedReader& reader : readers) {
    SCOPED_TRACE(&reader - readers);
    ReadResult last;
    const std::vector<RayStreamMessage> got = ReadAll(reader, &last);
    EXPECT_TRUE(last.is_end_of_stream()) << last.error();
    ASSERT_EQ(got.size(), sent.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].SerializeAsString(), sent[i].SerializeAsString()) << "message " << i;
    }
    EXPECT_EQ(reader.byte_offset(), theirs.size());
  }
  ::close(fd);
  ::unlink(path.c_str());

  DelimitedReader missing = DelimitedReader::FromFile(path);
  EXPECT_FALSE(missing.status().ok());
  RayStreamMessage m;
  EXPECT_TRUE(missing.Read(&m).is_error());
}

TEST(Framing, DiagnosisNamesTheFieldAndItsPath) {
  // InstrumentData { volume { instrument { name: "a\377b" } } }
  const std::string bad("\012\007\022\005\032\003a\377b", 9);
  std::string path;
  const Status problem = common_dto::stream::DiagnoseWire(
      kyt::pb::common::InstrumentData::descriptor(), bad, &path);
  EXPECT_EQ(problem.code(), ErrorCode::kInvalidUtf8);
  EXPECT_EQ(problem.message(), "invalid UTF-8 in field kyt.pb.common.Instrument.name");
  EXPECT_EQ(problem.location().field, "kyt.pb.common.Instrument.name");
  EXPECT_EQ(problem.location().byte_offset, 6u);
  EXPECT_EQ(path, "volume.instrument.name");
  EXPECT_TRUE(common_dto::stream::DiagnoseWire(kyt::pb::common::InstrumentData::descriptor(),
                                               std::string("\012\000", 2))
                  .ok());
  // A 10-byte varint whose last byte carries bits beyond 64: the runtime
  // drops them, and so does the diagnosis.
  const std::string wide = "\x08" + std::string(9, '\xff') + "\x7f";
  kyt::pb::common::UUID uuid;
  ASSERT_TRUE(uuid.ParseFromString(wide));
  EXPECT_TRUE(common_dto::stream::DiagnoseWire(uuid.GetDescriptor(), wide).ok());
}

// Each kind of damage after one intact message, the input coming byte by
// byte, where nothing can be read twice. (The texts, codes and locations
// from a file are pinned by the cross-check with Python,
// tests/python/test_stream.py.)
TEST(Framing, DamagedInputNamesMessageAndOffset) {
  struct Case {
    const char* what;
    std::string tail;
    ErrorCode code;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"frame past the end at a field boundary", Unhex("04 2a 00"), ErrorCode::kTruncated,
       "message 1 at byte offset 3: truncated: length 4 runs past the end of the input (2 bytes "
       "left)"},
      {"malformed length prefix", std::string(10, '\xff'), ErrorCode::kMalformed,
       "message 1 at byte offset 3: malformed length prefix"},
      {"oversized length", Unhex("ff ff ff ff 0f"), ErrorCode::kTooLarge,
       "message 1 at byte offset 3: length 4294967295 exceeds the maximum message size 1048576"},
      {"invalid UTF-8, not read again", Unhex("07 0a 05 22 03 12 01 ff"), ErrorCode::kUnparsable,
       "message 1 at byte offset 3: unparsable kyt.pb.stream.RayStreamMessage (length 7): "
       "malformed wire data or invalid UTF-8 in a string field"},
  };
  ReaderOptions options;
  options.max_message_size = 1 << 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string bytes = Unhex("02 2a 00") + c.tail;
    ArrayInputStream in(bytes.data(), static_cast<int>(bytes.size()), 1);  // Byte by byte.
    DelimitedReader reader = DelimitedReader::FromZeroCopyStream(&in, options);
    ReadResult last;
    std::vector<RayStreamMessage> got;
    {
      LogCapture quiet;  // The runtime logs the invalid UTF-8 itself.
      got = ReadAll(reader, &last);
    }
    EXPECT_EQ(got.size(), 1u) << "the intact message comes first";
    EXPECT_EQ(last.status().code(), c.code);
    EXPECT_EQ(last.error(), c.error);
    EXPECT_EQ(last.status().location().byte_offset, 3u);
    EXPECT_EQ(reader.byte_offset(), 3u) << "not past the bytes of the damaged frame";
    EXPECT_EQ(reader.messages_read(), 1u);
    RayStreamMessage m;
    EXPECT_EQ(reader.Read(&m).error(), c.error) << "the error is sticky";
  }
  // An empty input is a stream of no messages.
  RayStreamMessage m;
  EXPECT_TRUE(DelimitedReader::FromBytes("").Read(&m).is_end_of_stream());
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
  EXPECT_TRUE(writer.Write(RayStreamMessage()).ok()) << "the writer stays usable";
  EXPECT_EQ(writer.messages_written(), 1u);
  // What is valid UTF-8 is the model library's to say (tests/model).
}

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
  // The one frame, `count` times over, served 64 KiB at a time.
  const int count = 2560;
  std::deque<ArrayInputStream> copies;
  std::vector<google::protobuf::io::ZeroCopyInputStream*> parts;
  for (int i = 0; i < count; ++i) {
    parts.push_back(&copies.emplace_back(frame.data(), static_cast<int>(frame.size()), 1 << 16));
  }
  google::protobuf::io::ConcatenatingInputStream in(parts.data(), count);
  ResetPeakResident();  // Where allowed.
  const std::uint64_t before = ResidentKiB("VmHWM");

  DelimitedReader reader = DelimitedReader::FromZeroCopyStream(&in);
  RayStreamMessage got;
  int n = 0;
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
