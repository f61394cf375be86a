#include "arith/acc_core.h"

#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "arith/arith_kernels.h"
#include "common/state_blob.h"

namespace {

// The two register widths. Additions go through the unsigned type of the
// register, so both wrap modulo 2^width (the Q8 register's defined behaviour;
// the Q15 register would need 2^48 full-scale samples to get there).
struct Q15 {
    using Rec = acc_q15_t;
    using Sample = int16_t;
    using Reg = int64_t;
    static constexpr qv::BlobKind kBlob{qv::fourcc("AC15"), 1, QV_ACC_Q15_STATE_BYTES};
    static Reg dot(const Sample *a, size_t na, const Sample *b, size_t nb) { return dot_q15(a, na, b, nb); }
};

struct Q8 {
    using Rec = acc_q8_t;
    using Sample = int8_t;
    using Reg = int32_t;
    static constexpr qv::BlobKind kBlob{qv::fourcc("ACC8"), 1, QV_ACC_Q8_STATE_BYTES};
    static Reg dot(const Sample *a, size_t na, const Sample *b, size_t nb) { return dot_q8(a, na, b, nb); }
};

template <class W>
struct Acc {
    using Rec = typename W::Rec;
    using Reg = typename W::Reg;
    using Unsigned = std::make_unsigned_t<Reg>;
    static constexpr size_t kRegOffset = 16;
    static_assert(kRegOffset + sizeof(Reg) == W::kBlob.size);

    static Reg wrap_add(Reg a, Reg b) { return Reg(Unsigned(a) + Unsigned(b)); }

    static Rec *create(Reg initial) {
        auto *rec = static_cast<Rec *>(std::calloc(1, sizeof(Rec)));
        if (rec) rec->acc = initial;
        return rec;
    }

    static void steps(Rec *rec, const typename W::Sample *x, size_t n) {
        Unsigned sum = 0;  // lanes of any width give the same sum modulo 2^width
        for (size_t i = 0; i < n; ++i) sum += Unsigned(Reg(x[i]));
        rec->acc = wrap_add(rec->acc, Reg(sum));
    }

    // The products summed exactly as the inner-product kernel of the width.
    static void madd(Rec *rec, const typename W::Sample *a, size_t na, const typename W::Sample *b, size_t nb) {
        rec->acc = wrap_add(rec->acc, W::dot(a, na, b, nb));
    }

    static Reg dump(Rec *rec) {
        const Reg value = rec->acc;
        rec->acc = 0;
        return value;
    }

    static void get_state(const Rec *rec, void *blob) {
        qv::write_blob_header(blob, W::kBlob);
        std::memcpy(static_cast<char *>(blob) + kRegOffset, &rec->acc, sizeof(Reg));
    }

    static int set_state(Rec *rec, const void *blob) {
        if (!qv::blob_header_ok(blob, W::kBlob)) return QV_REJECTED;
        std::memcpy(&rec->acc, static_cast<const char *>(blob) + kRegOffset, sizeof(Reg));
        return 0;
    }
};

}  // namespace

// The exported C names of one width.
#define QV_ACC_EXPORTS(p, W)                                                                            \
    p##_t *p##_create(W::Reg acc) { return Acc<W>::create(acc); }                                       \
    void p##_destroy(p##_t *a) { std::free(a); }                                                        \
    void p##_reset(p##_t *a) { a->acc = 0; }                                                            \
    size_t p##_state_bytes(p##_t *) { return W::kBlob.size; }                                           \
    void p##_get_state(p##_t *a, void *blob) { Acc<W>::get_state(a, blob); }                            \
    int p##_set_state(p##_t *a, const void *blob) { return Acc<W>::set_state(a, blob); }                \
    void p##_steps(p##_t *a, const W::Sample *x, size_t n) { Acc<W>::steps(a, x, n); }                  \
    W::Reg p##_get_acc(p##_t *a) { return a->acc; }                                                     \
    void p##_set_acc(p##_t *a, W::Reg acc) { a->acc = acc; }                                            \
    W::Reg p##_get(p##_t *a) { return a->acc; }                                                         \
    W::Reg p##_dump(p##_t *a) { return Acc<W>::dump(a); }                                               \
    void p##_madd(p##_t *a, const W::Sample *x, size_t nx, const W::Sample *y, size_t ny) {             \
        Acc<W>::madd(a, x, nx, y, ny);                                                                  \
    }

QV_ACC_EXPORTS(acc_q15, Q15)
QV_ACC_EXPORTS(acc_q8, Q8)
