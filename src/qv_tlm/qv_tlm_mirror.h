// The telemetry ring's memory: storage mapped twice, back to back, so that a
// run of records that wraps past the end is one contiguous copy. The only
// part of the telemetry core that depends on the operating system; Linux's
// is qv_tlm_mirror_linux.cpp (CONTRIBUTING.md says what another system needs).
// Not exported.
#pragma once

#include <cstddef>

namespace qv::tlm {

// The granule of a mapping: ring storage is a whole number of them.
size_t page_bytes();

// 2 * bytes of address space whose halves show the same new storage of
// `bytes` (a multiple of page_bytes()), zeroed and reserved up front, so that
// a ring the system cannot hold fails here rather than at some later write;
// nullptr if it cannot be had.
void *map_mirrored(size_t bytes);

// Releases what map_mirrored(bytes) returned.
void unmap_mirrored(void *base, size_t bytes);

// In a child made by fork(), whose mappings still share the parent's
// storage: puts a private copy of the storage under both halves, at the same
// addresses. false if it cannot, and then the mapping may be either.
bool own_copy_after_fork(void *base, size_t bytes);

}  // namespace qv::tlm
