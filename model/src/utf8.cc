// UTF-8 validation of strings and of whole messages.
#include "common_dto/model/utf8.h"

#include <google/protobuf/descriptor.h>
#include <google/protobuf/reflection.h>

#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common_dto/model/field_path.h"
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

  // The field list of each level of the walk, kept from check to check so
  // that checking a steady stream of messages allocates nothing.
  std::vector<const FieldDescriptor*>& PushFields() {
    if (depth_ == lists_.size()) lists_.push_back(std::make_unique<std::vector<const FieldDescriptor*>>());
    std::vector<const FieldDescriptor*>& fields = *lists_[depth_++];
    fields.clear();
    return fields;
  }
  void PopFields() { --depth_; }

 private:
  std::unordered_map<const Descriptor*, bool> generated_;
  std::unordered_map<const Descriptor*, bool> other_pools_;
  std::vector<std::unique_ptr<std::vector<const FieldDescriptor*>>> lists_;
  std::size_t depth_ = 0;
};

// One level's field list, for as long as the level is walked.
class FieldList {
 public:
  explicit FieldList(StringTypes* types) : types_(types), fields_(types->PushFields()) {}
  ~FieldList() { types_->PopFields(); }
  FieldList(const FieldList&) = delete;
  FieldList& operator=(const FieldList&) = delete;
  std::vector<const FieldDescriptor*>& fields() { return fields_; }

 private:
  StringTypes* types_;
  std::vector<const FieldDescriptor*>& fields_;
};

bool AllStringsValid(const Message& message, StringTypes* types);

// A map entry as CheckMapEntry below sees it: a string key, and a string or
// message value.
bool MapEntryValid(const Message& entry, StringTypes* types) {
  const Descriptor* d = entry.GetDescriptor();
  const Reflection* r = entry.GetReflection();
  const FieldDescriptor* key = d->FindFieldByNumber(1);
  const FieldDescriptor* value = d->FindFieldByNumber(2);
  std::string scratch;
  if (key != nullptr && key->type() == FieldDescriptor::TYPE_STRING &&
      !IsValidUtf8(r->GetStringReference(entry, key, &scratch))) {
    return false;
  }
  if (value == nullptr) return true;
  if (value->type() == FieldDescriptor::TYPE_STRING) {
    return IsValidUtf8(r->GetStringReference(entry, value, &scratch));
  }
  if (value->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
    return AllStringsValid(r->GetMessage(entry, value), types);
  }
  return true;
}

// The first pass: the fields CheckMessageUtf8 looks at, in the same way.
bool AllStringsValid(const Message& message, StringTypes* types) {
  if (!types->MayHoldStrings(message.GetDescriptor())) return true;
  const Reflection* r = message.GetReflection();
  FieldList list(types);
  std::vector<const FieldDescriptor*>& fields = list.fields();
  r->ListFields(message, &fields);
  std::string scratch;
  for (const FieldDescriptor* field : fields) {
    if (field->type() == FieldDescriptor::TYPE_STRING) {
      if (field->is_repeated()) {
        const int n = r->FieldSize(message, field);
        for (int i = 0; i < n; ++i) {
          if (!IsValidUtf8(r->GetRepeatedStringReference(message, field, i, &scratch))) {
            return false;
          }
        }
      } else if (!IsValidUtf8(r->GetStringReference(message, field, &scratch))) {
        return false;
      }
    } else if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
      if (!types->MayHoldStrings(field->message_type())) continue;
      if (field->is_repeated()) {
        const int n = r->FieldSize(message, field);
        for (int i = 0; i < n; ++i) {
          const Message& element = r->GetRepeatedMessage(message, field, i);
          if (!(field->is_map() ? MapEntryValid(element, types)
                                : AllStringsValid(element, types))) {
            return false;
          }
        }
      } else if (!AllStringsValid(r->GetMessage(message, field), types)) {
        return false;
      }
    }
  }
  return true;
}

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
  return AllStringsValid(message, types);
}

// The second pass: names the first bad field and its path.

Status Utf8Error(const FieldDescriptor* field, const std::string& path) {
  Location location;
  location.field = path;
  return Status(ErrorCode::kInvalidUtf8,
                "invalid UTF-8 in field " + field->full_name() + " (at " + path + ")",
                std::move(location));
}


Status CheckMessageUtf8(const Message& message, const std::string& path);

Status CheckMapEntry(const Message& entry, const FieldDescriptor* map_field, int index,
                     const std::string& path) {
  const Descriptor* d = entry.GetDescriptor();
  const Reflection* r = entry.GetReflection();
  const FieldDescriptor* key = d->FindFieldByNumber(1);
  const FieldDescriptor* value = d->FindFieldByNumber(2);
  std::string scratch;
  std::string where = FieldPath(path, map_field->name(), static_cast<std::size_t>(index));
  if (key != nullptr && key->type() == FieldDescriptor::TYPE_STRING) {
    const std::string& k = r->GetStringReference(entry, key, &scratch);
    if (!IsValidUtf8(k)) return Utf8Error(key, where + ".key");
    where = FieldPathKey(path, map_field->name(), k);
  }
  if (value == nullptr) return Status::Ok();
  if (value->type() == FieldDescriptor::TYPE_STRING) {
    if (!IsValidUtf8(r->GetStringReference(entry, value, &scratch))) {
      return Utf8Error(value, where);
    }
  } else if (value->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
    return CheckMessageUtf8(r->GetMessage(entry, value), where);
  }
  return Status::Ok();
}

Status CheckMessageUtf8(const Message& message, const std::string& path) {
  const Reflection* r = message.GetReflection();
  std::vector<const FieldDescriptor*> fields;
  r->ListFields(message, &fields);
  std::string scratch;
  for (const FieldDescriptor* field : fields) {
    const std::string here = FieldPath(path, field->name());
    if (field->type() == FieldDescriptor::TYPE_STRING) {
      if (field->is_repeated()) {
        const int n = r->FieldSize(message, field);
        for (int i = 0; i < n; ++i) {
          if (!IsValidUtf8(r->GetRepeatedStringReference(message, field, i, &scratch))) {
            return Utf8Error(field, here + "[" + std::to_string(i) + "]");
          }
        }
      } else if (!IsValidUtf8(r->GetStringReference(message, field, &scratch))) {
        return Utf8Error(field, here);
      }
    } else if (field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE) {
      if (field->is_map()) {
        const int n = r->FieldSize(message, field);
        for (int i = 0; i < n; ++i) {
          Status s = CheckMapEntry(r->GetRepeatedMessage(message, field, i), field, i, path);
          if (!s.ok()) return s;
        }
      } else if (field->is_repeated()) {
        const int n = r->FieldSize(message, field);
        for (int i = 0; i < n; ++i) {
          Status s = CheckMessageUtf8(r->GetRepeatedMessage(message, field, i),
                                      here + "[" + std::to_string(i) + "]");
          if (!s.ok()) return s;
        }
      } else {
        Status s = CheckMessageUtf8(r->GetMessage(message, field), here);
        if (!s.ok()) return s;
      }
    }
  }
  return Status::Ok();
}

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
  return CheckMessageUtf8(message, std::string());
}

}  // namespace common_dto
