// COMMON_DTO_SANITIZED is defined in a build with AddressSanitizer or
// ThreadSanitizer (g++ and clang mark them differently), where tests that
// limit the address space or count allocations must do otherwise.
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define COMMON_DTO_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define COMMON_DTO_SANITIZED 1
#endif
#endif
