// Marks the C functions a core exports; everything else stays hidden.
#pragma once

#ifdef __cplusplus
#define QV_API extern "C" __attribute__((visibility("default")))
#else
#define QV_API __attribute__((visibility("default")))
#endif
