// Symbol export for the model library. Everything is hidden by default;
// COMMON_DTO_MODEL_EXPORT marks the public API.
#pragma once

#if defined(COMMON_DTO_MODEL_BUILDING)
#define COMMON_DTO_MODEL_EXPORT __attribute__((visibility("default")))
#else
#define COMMON_DTO_MODEL_EXPORT
#endif
