// One walk over a message and every message below it, by reflection: the
// walk that the checks over all fields share (UTF-8 of strings, enum
// values, times, unknown fields of newer schemas).
//
// Set fields come in the order ListFields() gives them (field number
// order), repeated fields element by element. A map's entries come in the
// order of their keys (as NaturalLess orders the key labels below); of each
// entry the key, then the value. Paths name every place as field_path.h
// writes them: "volume.sweep[2].rays[0].index", "sweep_moments[\"DBZH\"]"
// for a map value, "sweep_moments[3].key" for a map key (by position, since
// its text may be what is wrong with it).
#pragma once

#include <google/protobuf/descriptor.h>
#include <google/protobuf/message.h>

#include <string>

#include "common_dto/model/export.h"

namespace common_dto {

class COMMON_DTO_MODEL_EXPORT FieldVisitor {
 public:
  virtual ~FieldVisitor();
  // Whether anything inside a message of `type` matters; false skips every
  // field of that type (checked before a message field's elements or a
  // map's entries are walked). The default looks everywhere.
  virtual bool MayMatter(const google::protobuf::Descriptor* type);
  // A message about to be walked, at `path` ("" at the top). False skips
  // its fields.
  virtual bool EnterMessage(const google::protobuf::Message& message, const std::string& path);
  // A set field of `message` that holds no message (a number, string, enum,
  // map key or map value): singular when `index` is -1, else element
  // `index` of a repeated field. False ends the walk.
  virtual bool VisitValue(const google::protobuf::Message& message,
                          const google::protobuf::FieldDescriptor* field, int index,
                          const std::string& path);
};

struct WalkOptions {
  // Without paths every `path` is empty and map entries come in storage
  // order: for walks that only want an answer, which then build no strings.
  bool paths = true;
};

// Walks `message` (at `path`); false when the visitor ended the walk early.
// Re-entrant, and steady walks allocate nothing beyond their paths.
COMMON_DTO_MODEL_EXPORT bool WalkFields(const google::protobuf::Message& message,
                                        FieldVisitor* visitor, const WalkOptions& options = {},
                                        const std::string& path = std::string());

// "a2" before "a10": text compared with runs of digits taken as numbers;
// the order of map keys in walks and of paths in reports.
COMMON_DTO_MODEL_EXPORT bool NaturalLess(const std::string& a, const std::string& b);

}  // namespace common_dto
