// Symbol export for the stream library. Everything is hidden by default;
// COMMON_DTO_STREAM_EXPORT marks the public API.
#pragma once

#if defined(COMMON_DTO_STREAM_BUILDING)
#define COMMON_DTO_STREAM_EXPORT __attribute__((visibility("default")))
#else
#define COMMON_DTO_STREAM_EXPORT
#endif
