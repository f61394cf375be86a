// When the vectorised loops write around the caches. Plain C++: cores include it.
#pragma once

#include <cstddef>

namespace qv {

// Outputs of at least this many bytes are written with streaming stores:
// little of them would stay in the caches for a reader, their lines are not
// read before being overwritten, and they do not push the inputs out.
constexpr size_t kStreamBytes = size_t(8) << 20;

}  // namespace qv
