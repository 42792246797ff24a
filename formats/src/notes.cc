// Notes as lines, and comparing a volume with what its file reads back as.
#include "notes.h"

#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/timestamp.pb.h>
#include <google/protobuf/util/field_comparator.h>
#include <google/protobuf/util/message_differencer.h>

#include <algorithm>
#include <set>

namespace common_dto {
namespace formats {

using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;
using google::protobuf::util::DefaultFieldComparator;
using google::protobuf::util::MessageDifferencer;
using kyt::pb::common::Sweep;
using kyt::pb::common::Volume;

namespace {

// Timestamps to the microsecond, in place.
void RoundTimes(Message* message) {
  if (message->GetDescriptor()->full_name() == "google.protobuf.Timestamp") {
    auto* t = static_cast<google::protobuf::Timestamp*>(message);
    const std::int32_t micros = (t->nanos() + 500) / 1000;
    t->set_nanos(0);
    t->set_seconds(t->seconds() + micros / 1000000);
    t->set_nanos((micros % 1000000) * 1000);
    return;
  }
  const Reflection* reflection = message->GetReflection();
  std::vector<const FieldDescriptor*> fields;
  reflection->ListFields(*message, &fields);
  for (const FieldDescriptor* field : fields) {
    if (field->cpp_type() != FieldDescriptor::CPPTYPE_MESSAGE || field->is_map()) continue;
    if (field->is_repeated()) {
      for (int i = 0; i < reflection->FieldSize(*message, field); ++i) {
        RoundTimes(reflection->MutableRepeatedMessage(message, field, i));
      }
    } else {
      RoundTimes(reflection->MutableMessage(message, field));
    }
  }
}

class PathReporter : public MessageDifferencer::Reporter {
 public:
  PathReporter(std::set<std::string>* paths, std::set<std::string>* added)
      : paths_(paths), added_(added) {}
  void ReportAdded(const Message&, const Message&,
                   const std::vector<MessageDifferencer::SpecificField>& path) override {
    const std::string text = Text(path);
    if (!text.empty()) added_->insert(text);
  }
  void ReportDeleted(const Message&, const Message&,
                     const std::vector<MessageDifferencer::SpecificField>& path) override {
    Add(path);
  }
  void ReportModified(const Message&, const Message&,
                      const std::vector<MessageDifferencer::SpecificField>& path) override {
    Add(path);
  }

 private:
  void Add(const std::vector<MessageDifferencer::SpecificField>& path) {
    const std::string text = Text(path);
    if (!text.empty()) paths_->insert(text);
  }
  static std::string Text(const std::vector<MessageDifferencer::SpecificField>& path) {
    std::string text;
    for (const auto& part : path) {
      if (part.field == nullptr) continue;  // unknown fields
      if (part.field->containing_type()->options().map_entry()) continue;  // key/value
      if (!text.empty()) text += '.';
      text += part.field->name();
      if (part.field->is_repeated()) text += "[*]";
    }
    return text;
  }
  std::set<std::string>* paths_;
  std::set<std::string>* added_;
};

// Rays are compared on a sample: what a format carries of a ray does not
// depend on which ray it is, and comparing every ray of a large volume would
// cost more than writing it.
constexpr int kSampledRays = 32;

void SampleRays(Sweep* sweep) {
  const int n = sweep->rays_size();
  if (n <= kSampledRays) return;
  google::protobuf::RepeatedPtrField<kyt::pb::common::Ray> kept;
  for (int k = 0; k < kSampledRays; ++k) {
    kept.Add()->Swap(sweep->mutable_rays(static_cast<int>(
        static_cast<std::int64_t>(k) * (n - 1) / (kSampledRays - 1))));
  }
  sweep->mutable_rays()->Swap(&kept);
}

}  // namespace

const char* NoteKindName(NoteKind kind) {
  switch (kind) {
    case NoteKind::kNotCarried:
      return "not_carried";
    case NoteKind::kDerived:
      return "derived";
    case NoteKind::kAssumed:
      return "assumed";
    case NoteKind::kConverted:
      return "converted";
    case NoteKind::kUnknownName:
      return "unknown_name";
  }
  return "unknown";
}

std::string NoteText(const Note& note) {
  if (note.kind == NoteKind::kNotCarried && note.text.empty()) return "not carried: " + note.field;
  if (!note.moment.empty()) return "moment " + note.moment + ": " + note.text;
  return note.text;
}

Volume MetadataOf(const Volume& volume, const Volume* like) {
  Volume meta;
  *meta.mutable_uuid() = volume.uuid();
  if (volume.has_instrument()) *meta.mutable_instrument() = volume.instrument();
  if (volume.has_volume_config()) *meta.mutable_volume_config() = volume.volume_config();
  if (!volume.has_uuid()) meta.clear_uuid();
  for (int i = 0; i < volume.sweep_size(); ++i) {
    const Sweep& sweep = volume.sweep(i);
    Sweep* out = meta.add_sweep();
    if (sweep.has_description()) *out->mutable_description() = sweep.description();
    out->set_task_name(sweep.task_name());
    out->set_index_in_task(sweep.index_in_task());
    if (sweep.has_task_start()) *out->mutable_task_start() = sweep.task_start();
    if (sweep.has_input_timespan()) *out->mutable_input_timespan() = sweep.input_timespan();
    // Only the rays a comparison with `like` looks at (see SampleRays).
    const int n = sweep.rays_size();
    if (like != nullptr && i < like->sweep_size() && like->sweep(i).rays_size() == n && n > kSampledRays) {
      for (int k = 0; k < kSampledRays; ++k) {
        *out->add_rays() = sweep.rays(static_cast<int>(static_cast<std::int64_t>(k) * (n - 1) / (kSampledRays - 1)));
      }
    } else {
      *out->mutable_rays() = sweep.rays();
    }
    out->set_first_azimuth_gate_index(sweep.first_azimuth_gate_index());
    out->set_rotation_direction(sweep.rotation_direction());
    out->set_time_reference(sweep.time_reference());
    out->set_ray_accumulation_time(sweep.ray_accumulation_time());
    for (const auto& [name, buffer] : sweep.sweep_moments()) {
      auto& b = (*out->mutable_sweep_moments())[name];
      b.set_type(buffer.type());
      b.set_endian(buffer.type() == kyt::pb::common::DataBuffer::UINT8
                       ? kyt::pb::common::DataBuffer::LITTLE
                       : buffer.endian());
    }
  }
  return meta;
}

void AddNotCarried(const Volume& volume, Volume read_back, Notes* notes,
                   const std::function<void(Volume*)>& as_written) {
  Volume written = MetadataOf(volume, &read_back);
  if (as_written) as_written(&written);
  for (int i = 0; i < std::min(written.sweep_size(), read_back.sweep_size()); ++i) {
    if (volume.sweep(i).rays_size() != read_back.sweep(i).rays_size()) continue;
    SampleRays(read_back.mutable_sweep(i));
  }
  RoundTimes(&written);
  RoundTimes(&read_back);
  for (Volume* v : {&written, &read_back}) {
    for (Sweep& sweep : *v->mutable_sweep()) {
      for (auto& [name, buffer] : *sweep.mutable_sweep_moments()) {
        buffer.clear_data();
        buffer.clear_compression();
        buffer.clear_uncompressed_size();
      }
    }
  }
  std::set<std::string> paths, added;
  DefaultFieldComparator comparator;
  comparator.set_float_comparison(DefaultFieldComparator::APPROXIMATE);
  comparator.SetDefaultFractionAndMargin(1e-9, 1e-9);
  MessageDifferencer differencer;
  differencer.set_field_comparator(&comparator);
  PathReporter reporter(&paths, &added);
  differencer.ReportDifferencesTo(&reporter);
  differencer.Compare(written, read_back);
  // A message is reported along with the fields inside it that differ (or
  // were added by the reader); name only the fields.
  std::set<std::string> all = paths;
  all.insert(added.begin(), added.end());
  for (const std::string& path : paths) {
    const auto next = all.upper_bound(path);
    if (next != all.end() && next->rfind(path + ".", 0) == 0) continue;
    notes->push_back({NoteKind::kNotCarried, path, "", ""});
  }
}

}  // namespace formats
}  // namespace common_dto
