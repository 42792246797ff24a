// Ray-level messages written from their parts and read in place: the frames
// are byte for byte those of the messages, and reading serialized messages
// gives exactly what parsing them and adding the messages gives, for the
// runtime's encodings and for every other encoding the runtime accepts.
// (ReadBytes() and bytes that do not parse are checked against Read() and
// the runtime by stream_reader_fuzzer, and through the tool by
// tests/tools/damage_test.sh.)
#include <google/protobuf/unknown_field_set.h>
#include <random>

#include "common_dto/synthetic/volumes.h"
#include "stream_testing.h"

namespace common_dto_test {
namespace {

using common_dto::Compression;
using common_dto::ErrorCode;
using common_dto::Status;
using common_dto::stream::AssembledVolume;
using common_dto::stream::Assembler;
using common_dto::stream::AssemblerOptions;
using common_dto::stream::DelimitedReader;
using common_dto::stream::DelimitedWriter;
using common_dto::stream::SplitOptions;
using common_dto::stream::SplitVolumePart;
using common_dto::stream::VolumePart;
using common_dto::stream::WriterOptions;
using google::protobuf::io::StringOutputStream;

// ---- Writing ----------------------------------------------------------------

// The stream of `part` of `volume` (by default all of it), written from the
// parts or message by message (as the splitter hands them to a sink), and
// its status; *boundaries counts the calls at message boundaries.
std::string Frames(const Volume& volume, bool from_parts, Status* status,
                   const SplitOptions& options = {}, const WriterOptions& writer_options = {},
                   const VolumePart& part = {}, int* boundaries = nullptr) {
  std::string bytes;
  StringOutputStream out(&bytes);
  auto writer = DelimitedWriter::ToZeroCopyStream(&out, writer_options);
  auto boundary = [&] {
    if (boundaries != nullptr) ++*boundaries;
    return Status::Ok();
  };
  *status = from_parts ? SplitVolumePart(volume, part, options, &writer, nullptr, boundary)
                       : SplitVolumePart(volume, part, options, [&](RayStreamMessage&& m) {
                           return writer.Write(m);
                         });
  return bytes;
}

// Volumes that reach every field of the ray-level messages and their edge
// values: absent and all-zero UUIDs, rays with unknown fields, empty
// samples, moments without a descriptor (type 0, left out), long names,
// ray indexes past one varint byte, big-endian DOUBLE samples, maps of
// several entries in the headers' configurations.
std::vector<std::pair<std::string, Volume>> Variants() {
  std::vector<std::pair<std::string, Volume>> out;
  const Volume plain = MakeVolume(2, 3, 4);
  out.emplace_back("plain", plain);
  Volume v = plain;
  v.mutable_uuid()->Clear();
  out.emplace_back("all-zero uuid", v);
  v = plain;
  v.clear_uuid();
  out.emplace_back("no uuid", v);
  v = plain;
  auto* ray = v.mutable_sweep(0)->mutable_rays(1);
  ray->GetReflection()->MutableUnknownFields(ray)->AddVarint(99, 7);
  auto* time = v.mutable_sweep(0)->mutable_rays(2)->mutable_aq_end_time();
  time->GetReflection()->MutableUnknownFields(time)->AddFixed32(9, 1);
  v.mutable_sweep(1)->mutable_rays(0)->clear_aq_end_time();
  out.emplace_back("unknown fields in a ray and an end time, a ray without end time", v);
  v = plain;
  for (auto& sweep : *v.mutable_sweep()) {
    DataBuffer& empty = (*sweep.mutable_sweep_moments())["EMPTY"];
    empty.set_type(DataBuffer::UINT8);
    DataBuffer& wide = (*sweep.mutable_sweep_moments())[std::string(200, 'W')];
    wide.set_endian(DataBuffer::BIG);
    wide.set_type(DataBuffer::DOUBLE);
    wide.set_compression(DataBuffer::NONE);
    wide.set_data(std::string(8 * static_cast<std::size_t>(sweep.rays_size()), '\xa5'));
    wide.set_uncompressed_size(static_cast<int>(wide.data().size()));
  }
  out.emplace_back("empty samples, undescribed moments, long names", v);
  out.emplace_back("ray indexes past 127", MakeVolume(1, 300, 2));
  common_dto::synthetic::MakeVolume(common_dto::synthetic::VolumeD(), &v);
  out.emplace_back("configuration maps of several entries (the demo's)", v);
  return out;
}

// With the writer's UTF-8 check and without: what the message writer
// refuses is refused alike.
TEST(InPlace, FramesFromThePartsAreTheMessagesBytes) {
  auto variants = Variants();
  Volume bad = MakeVolume(1, 2, 2);
  (*bad.mutable_sweep(0)->mutable_sweep_moments())["DB\xffZ"] =
      bad.sweep(0).sweep_moments().at("DBZ");
  variants.emplace_back("a moment name of invalid UTF-8", bad);
  for (const auto& [name, volume] : variants) {
    for (const Compression compression :
         {Compression::kNone, Compression::kLz4Frame, Compression::kLz4Block}) {
      for (const bool check_utf8 : {true, false}) {
        SCOPED_TRACE(name + ", compression " + std::to_string(static_cast<int>(compression)) +
                     (check_utf8 ? "" : ", unchecked"));
        SplitOptions options;
        options.ray_compression = compression;
        options.volume_start.emplace().set_seconds(7);
        WriterOptions writer_options;
        writer_options.check_utf8 = check_utf8;
        Status built, direct;
        const std::string want = Frames(volume, false, &built, options, writer_options);
        const std::string got = Frames(volume, true, &direct, options, writer_options);
        EXPECT_EQ(direct.code(), built.code());
        EXPECT_EQ(direct.message(), built.message());
        ASSERT_EQ(got.size(), want.size());
        EXPECT_TRUE(got == want) << "first difference at byte "
                                 << std::mismatch(got.begin(), got.end(), want.begin()).first -
                                        got.begin();
        const bool refused = check_utf8 && &volume == &variants.back().second;
        EXPECT_EQ(built.code(), refused ? ErrorCode::kInvalidUtf8 : ErrorCode::kOk);
        if (refused) {
          EXPECT_EQ(built.location().field, "parameter_data.data_type.short_name");
          continue;
        }
        // And what they carry is the volume's: each RayEnd its ray's end
        // time as it is (unknown fields too).
        auto reader = DelimitedReader::FromBytes(got);
        RayStreamMessage m;
        int sweep = -1;
        LogCapture quiet;  // The runtime logs the invalid UTF-8 it reads.
        while (reader.Read(&m)) {
          if (m.has_sweep_header()) ++sweep;
          if (!m.has_ray_end()) continue;
          const auto& ray = volume.sweep(sweep).rays(m.ray_end().ray_index());
          EXPECT_EQ(m.ray_end().has_end(), ray.has_aq_end_time());
          EXPECT_EQ(Hex(m.ray_end().end().SerializeAsString()),
                    Hex(ray.aq_end_time().SerializeAsString()));
        }
      }
    }
  }
}

// Sweep by sweep, each part a one-sweep Volume, both ways of writing.
TEST(InPlace, VolumePartsMakeTheStreamOfTheWholeVolume) {
  const Volume whole = MakeVolume(3, 2, 3);
  Status status;
  const std::string want = Frames(whole, false, &status);
  ASSERT_TRUE(status.ok());
  for (const bool from_parts : {false, true}) {
    std::string got;
    for (int s = 0; s < whole.sweep_size(); ++s) {
      Volume part = whole;
      part.clear_sweep();
      *part.add_sweep() = whole.sweep(s);
      const VolumePart where{s, s == 0, s + 1 == whole.sweep_size()};
      int boundaries = 0;
      got += Frames(part, from_parts, &status, {}, {}, where, &boundaries);
      ASSERT_TRUE(status.ok()) << status.message();
      // After each RayEnd, SweepHeader and SweepEnd, and the volume's header
      // and end in the first and last parts.
      EXPECT_EQ(boundaries, from_parts ? 2 + 2 + (s == 0) + (s == 2) : 0);
    }
    EXPECT_TRUE(got == want) << "from the parts: " << from_parts;
  }
}

// ---- Reading ----------------------------------------------------------------

std::string Describe(const Status& s) {
  const auto& l = s.location();
  return std::to_string(static_cast<int>(s.code())) + " " + s.message() + " [" + l.sweep_uuid +
         " " + (l.ray_index ? std::to_string(*l.ray_index) : "-") + " " + l.moment + " " +
         l.field + "]";
}

std::string Describe(std::vector<AssembledVolume> volumes) {
  std::string out;
  for (const auto& v : volumes) {
    out += Hex(SerializeDeterministic(v.volume)) + (v.complete ? " complete" : " incomplete");
    for (const auto* list : {&v.missing, &v.warnings, &v.unknown_left_out}) {
      for (const auto& item : *list) out += "\n  " + item;
    }
    out += "\n";
  }
  return out;
}

// `messages` (serialized) added as parsed messages, or as bytes: everything
// the assembler says (a line per message: code, text, location) and hands
// back, as text.
std::string Assemble(const std::vector<std::string>& messages, bool serialized,
                     AssemblerOptions options = {}) {
  Assembler assembler(options);
  std::string outcome;
  for (const std::string& bytes : messages) {
    Status status;
    RayStreamMessage message;
    if (serialized) {
      status = assembler.AddSerialized(bytes);
    } else if (message.ParseFromString(bytes)) {
      status = assembler.Add(std::move(message));
    } else {
      status = Status(ErrorCode::kUnparsable, "");
    }
    // What the runtime refuses is refused alike (the texts are compared
    // elsewhere).
    outcome += (status.code() == ErrorCode::kUnparsable ? "unparsable" : Describe(status)) + "\n";
  }
  assembler.Finish();
  return outcome + Describe(assembler.TakeVolumes());
}

std::vector<std::string> Serialized(const std::vector<RayStreamMessage>& messages) {
  std::vector<std::string> out;
  for (const auto& m : messages) out.push_back(m.SerializeAsString());
  return out;
}

// Wire pieces for encodings the runtime does not write but reads.
std::string Field(int number, int wire_type, const std::string& body) {
  std::string out = Varint(static_cast<std::uint64_t>(number << 3 | wire_type));
  if (wire_type == 2) out += Varint(body.size());
  return out + body;
}
std::string Envelope(int payload, const std::string& body) { return Field(payload, 2, body); }

// A ParameterData of `stream` by its fields, in the order given.
std::string ParameterDataFields(const RayStreamMessage& m, const std::vector<std::string>& order) {
  const auto& p = m.parameter_data();
  std::string out;
  for (const std::string& f : order) {
    if (f == "uuid") out += Field(1, 2, p.sweep_uuid().SerializeAsString());
    if (f == "index") out += Field(2, 0, Varint(static_cast<std::uint64_t>(p.ray_index())));
    if (f == "index+padding") {  // The same value in three bytes.
      out += Field(2, 0, std::string(1, static_cast<char>(p.ray_index() | 0x80)) + "\x80" +
                             std::string(1, '\0'));
    }
    if (f == "type") out += Field(3, 2, p.data_type().SerializeAsString());
    if (f == "data") out += Field(4, 2, p.data().SerializeAsString());
  }
  return Envelope(4, out);
}

// Unknown groups nested `depth` deep, as unknown fields of a Ray.
std::string NestedGroups(int depth) {
  std::string out;
  for (int i = 0; i < depth; ++i) out += Varint(50 << 3 | 3);
  for (int i = 0; i < depth; ++i) out += Varint(50 << 3 | 4);
  return out;
}

// A RayHeader whose ray holds unknown groups nested `depth` deep: around
// the runtime's nesting limit of 100, counted from the envelope.
std::string RayHeaderWithGroups(const RayStreamMessage& header, int depth) {
  return Envelope(3, Field(1, 2, header.ray_header().ray().SerializeAsString() + NestedGroups(depth)) +
                         Field(2, 2, header.ray_header().sweep_uuid().SerializeAsString()) +
                         Field(3, 0, Varint(1)));
}

TEST(InPlace, SerializedMessagesAssembleAsParsedOnes) {
  const Volume volume = MakeVolume(2, 3, 4);
  const auto messages = Split(volume);
  std::vector<std::pair<std::string, std::vector<std::string>>> cases;
  cases.emplace_back("the split stream", Serialized(messages));
  SplitOptions lz4;
  lz4.ray_compression = Compression::kLz4Frame;
  cases.emplace_back("LZ4 rays", Serialized(Split(volume, lz4)));

  // Ray-level messages shuffled, then repeated: errors in the same words.
  std::vector<std::string> shuffled = Serialized(messages);
  std::mt19937 random(7);
  std::shuffle(shuffled.begin() + 2, shuffled.begin() + 11, random);
  for (int i : {3, 4, 5}) shuffled.insert(shuffled.begin() + 12, shuffled[i]);
  cases.emplace_back("shuffled and repeated", shuffled);

  // Other encodings of the same ParameterData, RayHeader and RayEnd (ray 1
  // of sweep 0: messages 6 to 9), and messages naming no open sweep.
  const RayStreamMessage& data = messages[7];
  const RayStreamMessage& header = messages[6];
  const RayStreamMessage& end = messages[9];
  const std::vector<std::pair<std::string, std::string>> variants = {
      {"fields reversed", ParameterDataFields(data, {"data", "type", "index", "uuid"})},
      {"index twice", ParameterDataFields(data, {"uuid", "index", "index", "type", "data"})},
      {"index padded", ParameterDataFields(data, {"uuid", "index+padding", "type", "data"})},
      {"no uuid, no type", ParameterDataFields(data, {"index", "data"})},
      {"buffer twice, the second with an unknown field",
       Envelope(4, data.parameter_data().SerializeAsString() + Field(4, 2, Field(9, 0, Varint(1))))},
      {"unknown field in the envelope", data.SerializeAsString() + Field(12, 0, Varint(3))},
      {"explicit empty samples",
       Envelope(4, Field(1, 2, data.parameter_data().sweep_uuid().SerializeAsString()) +
                       Field(2, 0, Varint(2)) + Field(4, 2, Field(5, 2, "")))},
      {"header: uuid before ray",
       Envelope(3, Field(2, 2, header.ray_header().sweep_uuid().SerializeAsString()) +
                       Field(1, 2, header.ray_header().ray().SerializeAsString()) +
                       Field(3, 0, Varint(1)))},
      {"header: groups 97 deep in the ray", RayHeaderWithGroups(header, 97)},
      {"header: groups 98 deep in the ray", RayHeaderWithGroups(header, 98)},
      {"header: groups 99 deep in the ray", RayHeaderWithGroups(header, 99)},
      {"end: index 10 bytes long", Envelope(5, Field(1, 2, end.ray_end().sweep_uuid().SerializeAsString()) +
                                               Field(2, 0, Varint(~std::uint64_t{0})))},
      {"end: time fields reversed",
       Envelope(5, Field(1, 2, end.ray_end().sweep_uuid().SerializeAsString()) +
                       Field(2, 0, Varint(1)) +
                       Field(3, 2, Field(2, 0, Varint(5)) + Field(1, 0, Varint(9))))},
      {"unknown sweep", Envelope(4, Field(1, 2, Field(1, 0, Varint(8))) + Field(2, 0, Varint(1)))},
      {"no payload", ""},
  };
  for (const auto& [name, bytes] : variants) {
    std::vector<std::string> stream = Serialized(messages);
    stream.insert(stream.begin() + 6, bytes);
    cases.emplace_back(name, stream);
  }

  for (const auto& [name, stream] : cases) {
    SCOPED_TRACE(name);
    for (bool keep_samples : {true, false}) {
      AssemblerOptions options;
      options.keep_samples = keep_samples;
      EXPECT_EQ(Assemble(stream, true, options), Assemble(stream, false, options));
    }
  }
  // The plain stream gives the volume back.
  EXPECT_NE(Assemble(cases[0].second, true).find(Hex(SerializeDeterministic(volume))),
            std::string::npos);
}

}  // namespace
}  // namespace common_dto_test
