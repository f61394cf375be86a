// Marks the C functions a core exports (everything else stays hidden) and
// holds what every core shares with its C callers. C and C++.
#pragma once

#ifdef __cplusplus
#define QV_API extern "C" __attribute__((visibility("default")))
#else
#define QV_API __attribute__((visibility("default")))
#endif

// The status by which every core function that returns int refuses a call.
enum { QV_REJECTED = -4 };
