// Symbol export for the NATS transport library. Everything is hidden by
// default; COMMON_DTO_NATS_EXPORT marks the public API.
#pragma once

#if defined(COMMON_DTO_NATS_BUILDING)
#define COMMON_DTO_NATS_EXPORT __attribute__((visibility("default")))
#else
#define COMMON_DTO_NATS_EXPORT
#endif
