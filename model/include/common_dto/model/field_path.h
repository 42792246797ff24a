// Field paths as errors and findings name them: "volume.sweep[2].rays[0]",
// "sweep_moments[\"DBZH\"]". The one way every layer writes them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace common_dto {

// `path` with field `name` below it; `name` alone at the top.
inline std::string FieldPath(std::string_view path, std::string_view name) {
  std::string out(path);
  if (!out.empty()) out += '.';
  out += name;
  return out;
}

// Element `index` of the repeated field `name` below `path`.
inline std::string FieldPath(std::string_view path, std::string_view name, std::size_t index) {
  return FieldPath(path, name) + '[' + std::to_string(index) + ']';
}

// Entry `key` of the map field `name` below `path`.
inline std::string FieldPathKey(std::string_view path, std::string_view name,
                                std::string_view key) {
  std::string out = FieldPath(path, name);
  out += "[\"";
  out += key;
  out += "\"]";
  return out;
}

}  // namespace common_dto
