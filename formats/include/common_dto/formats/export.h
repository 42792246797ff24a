// Symbol export for the formats library. Everything is hidden by default;
// COMMON_DTO_FORMATS_EXPORT marks the public API.
#pragma once

#if defined(COMMON_DTO_FORMATS_BUILDING)
#define COMMON_DTO_FORMATS_EXPORT __attribute__((visibility("default")))
#else
#define COMMON_DTO_FORMATS_EXPORT
#endif
