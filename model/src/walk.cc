// The reflection walk over a message and its sub-messages.
#include "common_dto/model/walk.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "common_dto/model/field_path.h"

namespace common_dto {
namespace {

using google::protobuf::Descriptor;
using google::protobuf::FieldDescriptor;
using google::protobuf::Message;
using google::protobuf::Reflection;

// The field lists of the levels being walked, kept from walk to walk on
// each thread so that steady walks allocate none. A stack: walks nest.
class FieldLists {
 public:
  std::vector<const FieldDescriptor*>& Push() {
    if (depth_ == lists_.size()) {
      lists_.push_back(std::make_unique<std::vector<const FieldDescriptor*>>());
    }
    std::vector<const FieldDescriptor*>& fields = *lists_[depth_++];
    fields.clear();
    return fields;
  }
  void Pop() { --depth_; }

 private:
  std::vector<std::unique_ptr<std::vector<const FieldDescriptor*>>> lists_;
  std::size_t depth_ = 0;
};

// How a map entry's key appears in its path: quoted strings, numbers.
std::string KeyLabel(const Message& entry, const FieldDescriptor* key, int position) {
  const Reflection* r = entry.GetReflection();
  switch (key->cpp_type()) {
    case FieldDescriptor::CPPTYPE_STRING:
      return "\"" + r->GetString(entry, key) + "\"";
    case FieldDescriptor::CPPTYPE_INT32:
      return std::to_string(r->GetInt32(entry, key));
    case FieldDescriptor::CPPTYPE_INT64:
      return std::to_string(r->GetInt64(entry, key));
    case FieldDescriptor::CPPTYPE_UINT32:
      return std::to_string(r->GetUInt32(entry, key));
    case FieldDescriptor::CPPTYPE_UINT64:
      return std::to_string(r->GetUInt64(entry, key));
    case FieldDescriptor::CPPTYPE_BOOL:
      return r->GetBool(entry, key) ? "true" : "false";
    default:
      return std::to_string(position);
  }
}

class Walk {
 public:
  Walk(FieldVisitor* visitor, const WalkOptions& options) : visitor_(visitor), options_(options) {}

  bool Message(const google::protobuf::Message& message, const std::string& path) {
    if (!visitor_->EnterMessage(message, path)) return true;
    thread_local FieldLists lists;
    std::vector<const FieldDescriptor*>& fields = lists.Push();
    message.GetReflection()->ListFields(message, &fields);
    bool go_on = true;
    for (std::size_t i = 0; go_on && i < fields.size(); ++i) go_on = Field(message, fields[i], path);
    lists.Pop();
    return go_on;
  }

 private:
  std::string Path(const std::string& path, const FieldDescriptor* field, int index = -1) const {
    if (!options_.paths) return std::string();
    return index < 0 ? FieldPath(path, field->name())
                     : FieldPath(path, field->name(), static_cast<std::size_t>(index));
  }

  bool Field(const google::protobuf::Message& message, const FieldDescriptor* field,
             const std::string& path) {
    const Reflection* r = message.GetReflection();
    const bool holds_messages = field->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE;
    if (holds_messages && !visitor_->MayMatter(field->message_type())) return true;
    if (field->is_map()) return Map(message, field, path);
    if (!field->is_repeated()) {
      return holds_messages ? Message(r->GetMessage(message, field), Path(path, field))
                            : visitor_->VisitValue(message, field, -1, Path(path, field));
    }
    const int n = r->FieldSize(message, field);
    for (int i = 0; i < n; ++i) {
      const bool go_on = holds_messages
                             ? Message(r->GetRepeatedMessage(message, field, i), Path(path, field, i))
                             : visitor_->VisitValue(message, field, i, Path(path, field, i));
      if (!go_on) return false;
    }
    return true;
  }

  // Entries by key (in storage order without paths): the key at its
  // position, the value under its key.
  bool Map(const google::protobuf::Message& message, const FieldDescriptor* field,
           const std::string& path) {
    const Reflection* r = message.GetReflection();
    const FieldDescriptor* key = field->message_type()->map_key();
    const FieldDescriptor* value = field->message_type()->map_value();
    std::vector<std::pair<std::string, int>> entries;
    const int n = r->FieldSize(message, field);
    entries.reserve(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
      const google::protobuf::Message& entry = r->GetRepeatedMessage(message, field, i);
      entries.emplace_back(options_.paths ? KeyLabel(entry, key, i) : std::string(), i);
    }
    if (options_.paths) {
      std::stable_sort(entries.begin(), entries.end(),
                       [](const auto& a, const auto& b) { return NaturalLess(a.first, b.first); });
    }
    for (const auto& [label, position] : entries) {
      const google::protobuf::Message& entry = r->GetRepeatedMessage(message, field, position);
      if (!visitor_->VisitValue(entry, key, -1,
                                options_.paths ? Path(path, field, position) + ".key" : std::string())) {
        return false;
      }
      const std::string here =
          options_.paths ? FieldPath(path, field->name()) + "[" + label + "]" : std::string();
      const bool go_on = value->cpp_type() == FieldDescriptor::CPPTYPE_MESSAGE
                             ? Message(entry.GetReflection()->GetMessage(entry, value), here)
                             : visitor_->VisitValue(entry, value, -1, here);
      if (!go_on) return false;
    }
    return true;
  }

  FieldVisitor* visitor_;
  const WalkOptions& options_;
};

}  // namespace

FieldVisitor::~FieldVisitor() = default;
bool FieldVisitor::MayMatter(const Descriptor*) { return true; }
bool FieldVisitor::EnterMessage(const Message&, const std::string&) { return true; }
bool FieldVisitor::VisitValue(const Message&, const FieldDescriptor*, int, const std::string&) {
  return true;
}

bool WalkFields(const Message& message, FieldVisitor* visitor, const WalkOptions& options,
                const std::string& path) {
  if (!visitor->MayMatter(message.GetDescriptor())) return true;
  return Walk(visitor, options).Message(message, path);
}

bool NaturalLess(const std::string& a, const std::string& b) {
  auto digit = [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; };
  std::size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      std::size_t ei = i, ej = j;
      while (ei < a.size() && digit(a[ei])) ++ei;
      while (ej < b.size() && digit(b[ej])) ++ej;
      const std::string_view na(a.data() + i, ei - i), nb(b.data() + j, ej - j);
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ei;
      j = ej;
      continue;
    }
    if (a[i] != b[j]) return a[i] < b[j];
    ++i;
    ++j;
  }
  return a.size() - i < b.size() - j;
}

}  // namespace common_dto
