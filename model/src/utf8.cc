// UTF-8 validation of strings and of whole messages.
#include "common_dto/model/utf8.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/reflection.h>

#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common_dto/model/walk.h"
#include "ray_stream_message.pb.h"

namespace common_dto {
namespace {

using google::protobuf::Descriptor;
using google::protobuf::DescriptorPool;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

// ---- UTF-8 check over a message, by reflection ----------------------------
//
// Two passes. The first walks the message without building any field path
// and skips sub-messages whose type cannot hold a string; it only answers
// whether all strings are valid. Only when one is not does the second pass
// walk again, building the paths, to name the first bad field.

// Whether a message of `type` can hold a string anywhere inside: a string
// field, or a message field (singular, repeated, oneof or map entry) whose
// type can. A type with extension ranges can, since an extension may be a
// string.
bool ComputeMayHoldStrings(const Descriptor* type) {
  std::vector<const Descriptor*> pending{type};
  std::unordered_set<const Descriptor*> seen{type};
  while (!pending.empty()) {
    const Descriptor* d = pending.back();
    pending.pop_back();
    if (d->extension_range_count() > 0) return true;
    for (int i = 0; i < d->field_count(); ++i) {
      const FieldDescriptor* field = d->field(i);
      if (field->type() == FieldDescriptor::TYPE_STRING) return true;
      if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE &&
          seen.insert(field->message_type()).second) {
        pending.push_back(field->message_type());
      }
    }
  }
  return false;
}

// The answers for the generated pool's types, which live as long as the
// process; shared by all threads.
bool SharedMayHoldStrings(const Descriptor* type) {
  static std::mutex mutex;
  static auto* const cache = new std::unordered_map<const Descriptor*, bool>();
  std::lock_guard<std::mutex> lock(mutex);
  auto it = cache->find(type);
  if (it == cache->end()) it = cache->emplace(type, ComputeMayHoldStrings(type)).first;
  return it->second;
}

// A memo of ComputeMayHoldStrings in front of the shared cache, so that a
// walk takes no lock for types it has seen. Types of other pools (which may
// be destroyed, and their addresses reused) are remembered for one check
// only: call StartCheck() before each.
class StringTypes {
 public:
  void StartCheck() {
    if (!other_pools_.empty()) other_pools_.clear();
  }

  bool MayHoldStrings(const Descriptor* type) {
    auto it = generated_.find(type);
    if (it != generated_.end()) return it->second;
    if (type->file()->pool() == DescriptorPool::generated_pool()) {
      return generated_.emplace(type, SharedMayHoldStrings(type)).first->second;
    }
    it = other_pools_.find(type);
    if (it == other_pools_.end()) {
      it = other_pools_.emplace(type, ComputeMayHoldStrings(type)).first;
    }
    return it->second;
  }

 private:
  std::unordered_map<const Descriptor*, bool> generated_;
  std::unordered_map<const Descriptor*, bool> other_pools_;
};

// The string at element `index` of `field` (-1: singular).
const std::string& StringAt(const Message& message, const FieldDescriptor* field, int index,
                            std::string* scratch) {
  const Reflection* r = message.GetReflection();
  return index < 0 ? r->GetStringReference(message, field, scratch)
                   : r->GetRepeatedStringReference(message, field, index, scratch);
}

// The first pass: whether every string field, map key and map value is
// valid, without paths, skipping messages whose type cannot hold a string.
class AllStringsValid : public FieldVisitor {
 public:
  explicit AllStringsValid(StringTypes* types) : types_(types) {}
  bool MayMatter(const Descriptor* type) override { return types_->MayHoldStrings(type); }
  bool VisitValue(const Message& message, const FieldDescriptor* field, int index,
                  const std::string&) override {
    return field->type() != FieldDescriptor::TYPE_STRING ||
           IsValidUtf8(StringAt(message, field, index, &scratch_));
  }

 private:
  StringTypes* types_;
  std::string scratch_;
};

// Whether the shortcut for RayStreamMessage below is exact: RayHeader,
// RayEnd, SweepEnd and VolumeEnd hold no strings, and the only string of
// ParameterData is data_type.short_name. Worked out once from the
// descriptors, so that a change of these types turns the shortcut off
// rather than making it wrong.
bool RayStreamShortcutHolds() {
  static const bool holds = [] {
    for (const Descriptor* d :
         {kyt::pb::stream::RayHeader::descriptor(), kyt::pb::stream::RayEnd::descriptor(),
          kyt::pb::stream::SweepEnd::descriptor(), kyt::pb::stream::VolumeEnd::descriptor()}) {
      if (ComputeMayHoldStrings(d)) return false;
    }
    const Descriptor* data = kyt::pb::stream::ParameterData::descriptor();
    const FieldDescriptor* data_type = data->FindFieldByName("data_type");
    if (data->extension_range_count() > 0) return false;
    for (int i = 0; i < data->field_count(); ++i) {
      const FieldDescriptor* field = data->field(i);
      if (field != data_type) {
        if (field->type() == FieldDescriptor::TYPE_STRING) return false;
        if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE &&
            ComputeMayHoldStrings(field->message_type())) {
          return false;
        }
        continue;
      }
      const Descriptor* type = field->message_type();
      if (field->is_repeated() || type != kyt::pb::common::DataTypeRequest::descriptor() ||
          type->extension_range_count() > 0) {
        return false;
      }
      for (int j = 0; j < type->field_count(); ++j) {
        const FieldDescriptor* inner = type->field(j);
        if (inner->name() == "short_name") {
          if (inner->type() != FieldDescriptor::TYPE_STRING || inner->is_repeated()) return false;
        } else if (inner->type() == FieldDescriptor::TYPE_STRING ||
                   (inner->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE &&
                    ComputeMayHoldStrings(inner->message_type()))) {
          return false;
        }
      }
    }
    return true;
  }();
  return holds;
}

// The first pass over any message, with a shortcut for the envelopes of a
// ray stream, nearly all of which carry ray-level pieces.
bool MessageStringsValid(const Message& message, StringTypes* types) {
  using kyt::pb::stream::RayStreamMessage;
  if (message.GetDescriptor() == RayStreamMessage::descriptor() && RayStreamShortcutHolds()) {
    if (const auto* envelope =
            google::protobuf::DynamicCastToGenerated<RayStreamMessage>(&message)) {
      switch (envelope->payload_case()) {
        case RayStreamMessage::kRayHeader:
        case RayStreamMessage::kRayEnd:
        case RayStreamMessage::kSweepEnd:
        case RayStreamMessage::kVolumeEnd:
        case RayStreamMessage::PAYLOAD_NOT_SET:
          return true;
        case RayStreamMessage::kParameterData:
          return IsValidUtf8(envelope->parameter_data().data_type().short_name());
        default:
          break;  // VolumeHeader and SweepHeader: walked like any message.
      }
    }
  }
  AllStringsValid visitor(types);
  WalkOptions options;
  options.paths = false;
  return WalkFields(message, &visitor, options);
}

// The second pass: names the first bad field and its path.

Status Utf8Error(const FieldDescriptor* field, const std::string& path) {
  Location location;
  location.field = path;
  return Status(ErrorCode::kInvalidUtf8,
                "invalid UTF-8 in field " + field->full_name() + " (at " + path + ")",
                std::move(location));
}


// The second pass: the first bad string, named by its path.
class FirstBadString : public FieldVisitor {
 public:
  bool VisitValue(const Message& message, const FieldDescriptor* field, int index,
                  const std::string& path) override {
    if (field->type() != FieldDescriptor::TYPE_STRING ||
        IsValidUtf8(StringAt(message, field, index, &scratch_))) {
      return true;
    }
    status_ = Utf8Error(field, path);
    return false;
  }
  const Status& status() const { return status_; }

 private:
  Status status_;
  std::string scratch_;
};

}  // namespace

bool IsValidUtf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const unsigned char* end = p + text.size();
  while (p < end) {
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    int extra = 0;
    unsigned char lo = 0x80, hi = 0xbf;  // Range of the second byte.
    if (c >= 0xc2 && c <= 0xdf) {
      extra = 1;
    } else if (c >= 0xe0 && c <= 0xef) {
      extra = 2;
      if (c == 0xe0) lo = 0xa0;  // No overlong forms.
      if (c == 0xed) hi = 0x9f;  // No surrogates.
    } else if (c >= 0xf0 && c <= 0xf4) {
      extra = 3;
      if (c == 0xf0) lo = 0x90;
      if (c == 0xf4) hi = 0x8f;  // Nothing above U+10FFFF.
    } else {
      return false;
    }
    if (end - p <= extra) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (int i = 2; i <= extra; ++i) {
      if (p[i] < 0x80 || p[i] > 0xbf) return false;
    }
    p += extra + 1;
  }
  return true;
}

Status CheckUtf8(const Message& message) {
  // One memo per thread, kept from check to check.
  thread_local StringTypes types;
  types.StartCheck();
  if (MessageStringsValid(message, &types)) return Status::Ok();
  FirstBadString visitor;
  WalkFields(message, &visitor);
  return visitor.status();
}

}  // namespace common_dto
