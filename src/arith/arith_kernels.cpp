// The exported kernels: each forwards to the active variant, chosen once at
// load (qv::choose). The plain loops are a variant of their own, the
// reference the others are tested on.
#include "arith/arith_kernels.h"

#include "arith/arith_scalar.h"
#include "arith/arith_variants.h"

namespace qv::arith {

QV_DEFINE_ACTIVE_VARIANT(QV_ARITH_VARIANT)

}  // namespace qv::arith

// The call's arguments, named as in QV_ARITH_SIGNATURE_<kind>.
#define QV_ARITH_ARGS_binary a, na, b, nb, out
#define QV_ARITH_ARGS_shift a, len, out, n
#define QV_ARITH_ARGS_dot a, na, b, nb
#define QV_ARITH_FORWARD_(name, kind, T, operation) \
    QV_ARITH_SIGNATURE_##kind(name, T) { return qv::arith::active->name(QV_ARITH_ARGS_##kind); }
QV_ARITH_KERNELS(QV_ARITH_FORWARD_)
