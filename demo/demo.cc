// common-dto demo: builds a ray record, sends it through the binary wire
// format, and prints what a receiver gets back in text and JSON form. Then
// builds a small volume, writes it to a file as a ray stream, reads the file
// back message by message as a receiver would, and reassembles the volume.
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/json_util.h>
#include <google/protobuf/util/message_differencer.h>
#include <google/protobuf/util/time_util.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <iostream>
#include <map>
#include <string>

#include "common_dto/stream/assembler.h"
#include "common_dto/stream/framing.h"
#include "common_dto/model/uuid.h"
#include "common_dto/stream/splitter.h"
#include "common_dto/synthetic/volumes.h"
#include "instrument.pb.h"
#include "ray.pb.h"
#include "ray_stream_message.pb.h"
#include "volume.pb.h"

namespace {

using kyt::pb::common::Ray;

Ray MakeRay() {
  Ray ray;
  ray.mutable_aq_start_time()->set_seconds(1767225600);  // 2026-01-01T00:00:00Z
  ray.mutable_aq_end_time()->set_seconds(1767225600);
  ray.mutable_aq_end_time()->set_nanos(2'500'000);
  ray.set_index(17);
  ray.mutable_az_range_deg()->set_start_deg(17.0);
  ray.mutable_az_range_deg()->set_span_deg(1.0);
  ray.mutable_el_range_deg()->set_start_deg(0.5);
  ray.mutable_el_range_deg()->set_span_deg(0.0);
  ray.set_ray_config_index(0);  // The first RayConfig of the volume.
  for (double noise : {-112.4, -111.9}) ray.add_noise_dbm(noise);
  for (double stddev : {0.3, 0.4}) ray.add_std_noise_dbm(stddev);
  return ray;
}

namespace cs = common_dto::stream;
using kyt::pb::common::DataBuffer;
using kyt::pb::common::Volume;
using kyt::pb::stream::RayStreamMessage;

std::string Short(const kyt::pb::common::UUID& uuid) { return common_dto::FormatUuid(uuid).substr(0, 8); }

// One line per message, as a receiver dispatching on the payload sees it.
void PrintMessage(std::uint64_t index, const RayStreamMessage& m) {
  const auto* field = m.GetDescriptor()->FindFieldByNumber(m.payload_case());
  std::string sweep = "-", ray = "-", moment = "-";
  switch (m.payload_case()) {
    case RayStreamMessage::kVolumeHeader:
      sweep = "(volume " + Short(m.volume_header().volume_uuid()) + ")";
      break;
    case RayStreamMessage::kSweepHeader:
      sweep = Short(m.sweep_header().sweep_uuid());
      break;
    case RayStreamMessage::kRayHeader:
      sweep = Short(m.ray_header().sweep_uuid());
      ray = std::to_string(m.ray_header().ray_index());
      break;
    case RayStreamMessage::kParameterData:
      sweep = Short(m.parameter_data().sweep_uuid());
      ray = std::to_string(m.parameter_data().ray_index());
      moment = m.parameter_data().data_type().short_name();
      break;
    case RayStreamMessage::kRayEnd:
      sweep = Short(m.ray_end().sweep_uuid());
      ray = std::to_string(m.ray_end().ray_index());
      break;
    case RayStreamMessage::kSweepEnd:
      sweep = Short(m.sweep_end().sweep_uuid());
      break;
    case RayStreamMessage::kVolumeEnd:
      sweep = "(volume " + Short(m.volume_end().volume_uuid()) + ")";
      break;
    default:
      break;
  }
  std::cout << std::setw(4) << index << "  " << std::left << std::setw(16)
            << (field != nullptr ? field->name() : "(none)") << std::setw(18) << sweep
            << std::setw(5) << ray << moment << std::right << "\n";
}

// The ray index of a ray-level message; -1 for headers and ends of sweeps
// and volumes.
int RayIndexOf(const RayStreamMessage& m) {
  switch (m.payload_case()) {
    case RayStreamMessage::kRayHeader:
      return m.ray_header().ray_index();
    case RayStreamMessage::kParameterData:
      return m.parameter_data().ray_index();
    case RayStreamMessage::kRayEnd:
      return m.ray_end().ray_index();
    default:
      return -1;
  }
}

void PrintVolume(const cs::AssembledVolume& got) {
  using google::protobuf::util::TimeUtil;
  const Volume& v = got.volume;
  std::cout << "volume " << common_dto::FormatUuid(v.uuid())
            << (got.complete ? ", complete" : ", INCOMPLETE") << ", " << v.sweep_size()
            << " sweeps, instrument \"" << v.instrument().name() << "\"\n";
  for (int s = 0; s < v.sweep_size(); ++s) {
    const auto& sweep = v.sweep(s);
    std::cout << "  sweep " << s << ": " << sweep.description().fixed_angle_deg() << " deg, "
              << TimeUtil::ToString(sweep.input_timespan().start()).substr(11) << " to "
              << TimeUtil::ToString(sweep.input_timespan().end()).substr(11) << ", "
              << sweep.rays_size() << " rays";
    for (const auto& entry : std::map<std::string, DataBuffer>(sweep.sweep_moments().begin(),
                                                               sweep.sweep_moments().end())) {
      const DataBuffer& b = entry.second;
      std::cout << ", " << entry.first << " " << DataBuffer::StorageType_Name(b.type()) << " "
                << sweep.rays_size() << "x"
                << b.data().size() / static_cast<std::size_t>(sweep.rays_size()) << " bytes";
    }
    std::cout << "\n";
  }
  for (const auto& what : got.missing) std::cout << "  missing: " << what << "\n";
  for (const auto& what : got.warnings) std::cout << "  warning: " << what << "\n";
}

int Fail(const std::string& what) {
  std::cerr << "demo: " << what << "\n";
  return EXIT_FAILURE;
}

// A ray through the wire format, then as text and JSON.
int ShowRay() {
  const Ray sent = MakeRay();
  std::string wire;
  if (!sent.SerializeToString(&wire)) return Fail("could not serialize the ray");
  std::cout << "== Ray on the wire: " << wire.size() << " bytes\n";

  Ray received;
  if (!received.ParseFromString(wire)) return Fail("could not parse the ray back");

  std::string text;
  google::protobuf::TextFormat::PrintToString(received, &text);
  std::cout << "\n== As text\n" << text;

  google::protobuf::util::JsonPrintOptions options;
  options.add_whitespace = true;
  options.preserve_proto_field_names = true;  // aq_start_time, not aqStartTime
  std::string json;
  if (!google::protobuf::util::MessageToJsonString(received, &json, options).ok()) {
    return Fail("could not print the ray as JSON");
  }
  std::cout << "\n== As JSON\n" << json;
  return EXIT_SUCCESS;
}

// A volume through a stream file and back.
int StreamVolume(const std::string& path) {
  // A small volume of synthetic weather (two sweeps of 36 rays, 40 gates,
  // reflectivity and radial velocity) as a ray stream in a file.
  Volume volume;
  common_dto::synthetic::MakeVolume(common_dto::synthetic::VolumeD(), &volume);
  cs::WriterOptions writer_options;
  writer_options.deterministic = true;  // Same volume, same bytes.
  cs::DelimitedWriter writer = cs::DelimitedWriter::ToFile(path, writer_options);
  cs::SplitReport report;
  common_dto::Status status = cs::SplitVolume(
      volume, {}, [&writer](RayStreamMessage&& m) { return writer.Write(m); }, &report);
  if (status.ok()) status = writer.Close();
  if (!status.ok()) return Fail("could not write the stream: " + status.message());
  std::cout << "\n== Volume " << Short(volume.uuid())
            << " as a ray stream: " << writer.messages_written() << " messages, "
            << writer.bytes_written() << " bytes in " << path
            << " (each message prefixed by its length)\n";
  for (const auto& what : report.not_carried) std::cout << "  not carried: " << what << "\n";

  std::cout << "\n== Read back, one line per message\n"
            << "   #  payload         sweep             ray  moment\n";
  cs::DelimitedReader reader = cs::DelimitedReader::FromFile(path);
  cs::Assembler assembler;
  RayStreamMessage message;
  cs::ReadResult read;
  std::uint64_t not_shown = 0;
  while ((read = reader.Read(&message))) {
    // Show the messages of the first two rays of each sweep and the headers
    // and ends around them; count the rest.
    if (RayIndexOf(message) < 2) {
      if (not_shown > 0) std::cout << "     ... " << not_shown << " more ray messages\n";
      not_shown = 0;
      PrintMessage(reader.messages_read() - 1, message);
    } else {
      ++not_shown;
    }
    status = assembler.Add(std::move(message));
    if (!status.ok()) std::cout << "  assembler: " << status.message() << "\n";
  }
  if (read.is_error()) return Fail(read.error());
  assembler.Finish();

  std::cout << "\n== Reassembled\n";
  const auto volumes = assembler.TakeVolumes();
  if (volumes.size() != 1) return Fail("expected one volume");
  PrintVolume(volumes[0]);
  // The stream carries everything but the sweep fields the splitter noted.
  Volume expected = volume;
  for (auto& sweep : *expected.mutable_sweep()) {
    sweep.clear_task_name();
    sweep.clear_task_start();
    sweep.clear_first_azimuth_gate_index();
    sweep.clear_rotation_direction();
    sweep.clear_time_reference();
    sweep.clear_ray_accumulation_time();
  }
  const bool same = google::protobuf::util::MessageDifferencer::Equals(expected, volumes[0].volume);
  std::cout << "same as the volume sent, less what was not carried: " << (same ? "yes" : "NO")
            << "\n";
  return same ? EXIT_SUCCESS : EXIT_FAILURE;
}

}  // namespace

// Usage: common-dto-demo [STREAM-FILE]   (default: demo-volume.rays)
// The stream file is kept, for the command-line tool and Python to read.
int main(int argc, char** argv) {
  GOOGLE_PROTOBUF_VERIFY_VERSION;
  const int status = ShowRay();
  if (status != EXIT_SUCCESS) return status;
  return StreamVolume(argc > 1 ? argv[1] : "demo-volume.rays");
}
