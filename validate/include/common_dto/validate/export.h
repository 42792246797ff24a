// Symbol export for the validation library. Everything is hidden by
// default; COMMON_DTO_VALIDATE_EXPORT marks the public API.
#pragma once

#if defined(COMMON_DTO_VALIDATE_BUILDING)
#define COMMON_DTO_VALIDATE_EXPORT __attribute__((visibility("default")))
#else
#define COMMON_DTO_VALIDATE_EXPORT
#endif
