// schema_render: writes the schema that libcommon-dto registers in the
// generated descriptor pool as stable, line-oriented text, for review and for
// comparison with the committed baseline (compat/schema-baseline.txt).
//
//   schema_render [--out FILE]
//
// Files come in name order; inside a file everything comes in declaration
// order (messages, then enums; inside a message its fields, then nested
// messages, then nested enums). Map entry messages are not listed: the map
// field names its key and value types.
//
//   file ray.proto
//     package kyt.pb.common
//     syntax proto3
//     import uuid.proto
//     option java_package: "com.quandel.larch.protobuf.common"
//     message kyt.pb.common.Ray
//       field index = 3 int32
//       field ray_config_uuid = 6 kyt.pb.common.UUID oneof RayConfigReference
//       field noise_dbm = 8 repeated double packed
//       field thresholds = 9 map<string, float>
//     enum kyt.pb.common.DataType
//       value CUSTOM_TYPE = 0

#include <google/protobuf/descriptor.h>
#include <google/protobuf/descriptor.pb.h>
#include <google/protobuf/descriptor_database.h>
#include <google/protobuf/text_format.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "ray_stream_message.pb.h"

namespace {

namespace pb = google::protobuf;

std::string Pad(int depth) { return std::string(2 * depth, ' '); }

// " option {...}" for options that are set, nothing otherwise.
std::string OptionsSuffix(const pb::Message& options) {
  const std::string text = options.ShortDebugString();
  return text.empty() ? "" : " option {" + text + "}";
}

std::string TypeOf(const pb::FieldDescriptor* field) {
  if (field->message_type() != nullptr) return field->message_type()->full_name();
  if (field->enum_type() != nullptr) return field->enum_type()->full_name();
  return field->type_name();
}

std::string RenderField(const pb::FieldDescriptor* field) {
  std::string line = "field " + field->name() + " = " + std::to_string(field->number()) + " ";
  if (field->is_map()) {
    const pb::Descriptor* entry = field->message_type();
    line += "map<" + TypeOf(entry->map_key()) + ", " + TypeOf(entry->map_value()) + ">";
  } else {
    if (field->is_repeated()) {
      line += "repeated ";
    } else if (field->has_optional_keyword()) {
      line += "optional ";
    }
    line += TypeOf(field);
    if (field->is_packed()) line += " packed";
    if (field->real_containing_oneof() != nullptr) {
      line += " oneof " + field->real_containing_oneof()->name();
    }
  }
  if (field->has_json_name()) line += " json_name " + field->json_name();
  if (field->is_extension()) line += " extends " + field->containing_type()->full_name();
  return line + OptionsSuffix(field->options());
}

void RenderEnum(const pb::EnumDescriptor* type, int depth, std::ostream& out) {
  out << Pad(depth) << "enum " << type->full_name() << OptionsSuffix(type->options()) << "\n";
  for (int i = 0; i < type->value_count(); ++i) {
    const pb::EnumValueDescriptor* value = type->value(i);
    out << Pad(depth + 1) << "value " << value->name() << " = " << value->number()
        << OptionsSuffix(value->options()) << "\n";
  }
  for (int i = 0; i < type->reserved_range_count(); ++i) {
    out << Pad(depth + 1) << "reserved " << type->reserved_range(i)->start << " to "
        << type->reserved_range(i)->end << "\n";
  }
  for (int i = 0; i < type->reserved_name_count(); ++i) {
    out << Pad(depth + 1) << "reserved name " << type->reserved_name(i) << "\n";
  }
}

void RenderMessage(const pb::Descriptor* message, int depth, std::ostream& out) {
  out << Pad(depth) << "message " << message->full_name() << OptionsSuffix(message->options())
      << "\n";
  for (int i = 0; i < message->field_count(); ++i) {
    out << Pad(depth + 1) << RenderField(message->field(i)) << "\n";
  }
  for (int i = 0; i < message->oneof_decl_count(); ++i) {
    const std::string options = OptionsSuffix(message->oneof_decl(i)->options());
    if (!options.empty()) {
      out << Pad(depth + 1) << "oneof " << message->oneof_decl(i)->name() << options << "\n";
    }
  }
  for (int i = 0; i < message->extension_count(); ++i) {
    out << Pad(depth + 1) << RenderField(message->extension(i)) << "\n";
  }
  for (int i = 0; i < message->reserved_range_count(); ++i) {
    // Message reserved ranges are half-open; written inclusive like the schema.
    out << Pad(depth + 1) << "reserved " << message->reserved_range(i)->start << " to "
        << message->reserved_range(i)->end - 1 << "\n";
  }
  for (int i = 0; i < message->reserved_name_count(); ++i) {
    out << Pad(depth + 1) << "reserved name " << message->reserved_name(i) << "\n";
  }
  for (int i = 0; i < message->extension_range_count(); ++i) {
    out << Pad(depth + 1) << "extensions " << message->extension_range(i)->start << " to "
        << message->extension_range(i)->end - 1 << "\n";
  }
  for (int i = 0; i < message->nested_type_count(); ++i) {
    if (message->nested_type(i)->options().map_entry()) continue;
    RenderMessage(message->nested_type(i), depth + 1, out);
  }
  for (int i = 0; i < message->enum_type_count(); ++i) {
    RenderEnum(message->enum_type(i), depth + 1, out);
  }
}

void RenderFile(const pb::FileDescriptor* file, std::ostream& out) {
  out << "file " << file->name() << "\n";
  out << Pad(1) << "package " << file->package() << "\n";
  out << Pad(1) << "syntax " << pb::FileDescriptor::SyntaxName(file->syntax()) << "\n";
  for (int i = 0; i < file->dependency_count(); ++i) {
    out << Pad(1) << "import " << file->dependency(i)->name() << "\n";
  }
  for (int i = 0; i < file->public_dependency_count(); ++i) {
    out << Pad(1) << "import public " << file->public_dependency(i)->name() << "\n";
  }
  for (int i = 0; i < file->weak_dependency_count(); ++i) {
    out << Pad(1) << "import weak " << file->weak_dependency(i)->name() << "\n";
  }
  // One line per option, so that a changed option shows as one changed line.
  const pb::FileOptions& options = file->options();
  std::vector<const pb::FieldDescriptor*> set_options;
  options.GetReflection()->ListFields(options, &set_options);
  for (const pb::FieldDescriptor* option : set_options) {
    const int count =
        option->is_repeated() ? options.GetReflection()->FieldSize(options, option) : 1;
    for (int i = 0; i < count; ++i) {
      std::string value;
      pb::TextFormat::PrintFieldValueToString(options, option, option->is_repeated() ? i : -1,
                                              &value);
      out << Pad(1) << "option " << option->name() << ": " << value << "\n";
    }
  }
  if (options.unknown_fields().field_count() > 0) {
    pb::FileOptions unknown;
    unknown.mutable_unknown_fields()->MergeFrom(options.unknown_fields());
    out << Pad(1) << "option " << unknown.ShortDebugString() << "\n";
  }
  for (int i = 0; i < file->message_type_count(); ++i) {
    RenderMessage(file->message_type(i), 1, out);
  }
  for (int i = 0; i < file->enum_type_count(); ++i) RenderEnum(file->enum_type(i), 1, out);
  for (int i = 0; i < file->extension_count(); ++i) {
    out << Pad(1) << RenderField(file->extension(i)) << "\n";
  }
  for (int i = 0; i < file->service_count(); ++i) {
    const pb::ServiceDescriptor* service = file->service(i);
    out << Pad(1) << "service " << service->full_name() << OptionsSuffix(service->options())
        << "\n";
    for (int j = 0; j < service->method_count(); ++j) {
      const pb::MethodDescriptor* method = service->method(j);
      out << Pad(2) << "rpc " << method->name() << " " << method->input_type()->full_name()
          << " -> " << method->output_type()->full_name() << OptionsSuffix(method->options())
          << "\n";
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string out_path;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--out" && i + 1 < argc) {
      out_path = argv[++i];
    } else {
      std::cerr << "usage: schema_render [--out FILE]\n";
      return 2;
    }
  }

  // Using one class keeps the library a needed dependency of this program;
  // loading it registers every schema file of the library.
  const pb::Descriptor* anchor = kyt::pb::stream::RayStreamMessage::descriptor();
  const pb::DescriptorPool* pool = anchor->file()->pool();

  // Every file registered by generated code, except the runtime's own.
  std::vector<std::string> names;
  pb::DescriptorPool::internal_generated_database()->FindAllFileNames(&names);
  names.erase(std::remove_if(
                  names.begin(), names.end(),
                  [](const std::string& name) { return name.rfind("google/protobuf/", 0) == 0; }),
              names.end());
  std::sort(names.begin(), names.end());

  std::ostringstream text;
  text << "# The schema of libcommon-dto as registered in the generated descriptor pool.\n"
       << "# Written by compat/schema_render; update with:\n"
       << "#   cmake --build <build-dir> --target update-schema-baseline\n";
  for (const std::string& name : names) {
    const pb::FileDescriptor* file = pool->FindFileByName(name);
    if (file == nullptr) {
      std::cerr << "schema_render: " << name << " is registered but does not build\n";
      return 1;
    }
    RenderFile(file, text);
  }

  if (out_path.empty()) {
    std::cout << text.str();
    return std::cout ? 0 : 1;
  }
  std::ofstream file(out_path, std::ios::binary | std::ios::trunc);
  file << text.str();
  file.close();
  if (!file) {
    std::cerr << "schema_render: cannot write " << out_path << "\n";
    return 1;
  }
  return 0;
}
