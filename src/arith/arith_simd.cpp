// The fourteen kernels in explicit SIMD, compiled once per instruction set
// (QV_ISA names it). Whole vector blocks run where the overlap of the output
// with the inputs allows; the element rules of arith_scalar.h run elsewhere
// and on the remainder. Everything but the variant table has internal
// linkage (see cmake/isa.cmake).
#include <algorithm>
#include <cstring>
#include <type_traits>

#include "arith/arith_scalar.h"
#include "arith/arith_variants.h"
#include "arith/arith_vec.h"
#include "common/stream_stores.h"

namespace qv::arith::QV_ISA {
namespace {

using R = Vec::R;

template <class T>
constexpr size_t kLanes = Vec::kBytes / sizeof(T);

// Lanes twice as wide as T, where products and shifts of T are formed.
template <class T>
using Wider = std::conditional_t<sizeof(T) == 1, int16_t, int32_t>;

// Storing a whole block after loading it gives the forward element loop's
// result unless out starts less than a block after in: that store would
// overwrite input the element loop reads only after its own earlier writes.
bool block_store_safe(const void *out, const void *in) {
    const uintptr_t o = reinterpret_cast<uintptr_t>(out), i = reinterpret_cast<uintptr_t>(in);
    return o <= i || o - i >= Vec::kBytes;
}

// Elements before the first address in out aligned to a whole vector:
// stores that split cache lines cost more than loads that do.
template <class T>
size_t to_alignment(const T *out) {
    return (Vec::kBytes - reinterpret_cast<uintptr_t>(out) % Vec::kBytes) % Vec::kBytes / sizeof(T);
}

// out[i] = op(in[i]...) for i below n.
template <class T, class VecOp, class ElemOp, class... In>
void elementwise(size_t n, T *out, VecOp vec_op, ElemOp elem_op, const In *...in) {
    size_t i = 0;
    const auto blocks = [&](auto store) {
        for (; i + kLanes<T> <= n; i += kLanes<T>) store(out + i, vec_op(Vec::load(in + i)...));
    };
    if (n >= kLanes<T> && (block_store_safe(out, in) && ...)) {
        const size_t head = n >= 8 * kLanes<T> ? to_alignment(out) : 0;  // pays on long runs only
        for (; i < head; ++i) out[i] = elem_op(in[i]...);
        if (Vec::kStreams && n * sizeof(T) >= qv::kStreamBytes && to_alignment(out + i) == 0) {
            blocks([](T *p, R v) { Vec::stream(p, v); });
            Vec::fence();
        }
        blocks([](T *p, R v) { Vec::store(p, v); });
    }
    for (; i < n; ++i) out[i] = elem_op(in[i]...);
}

// f on the T lanes of x scaled by 2^bits(T) into lanes twice as wide, the
// two halves saturated back into T lanes.
template <class T, class F>
R widened(R x, F f) {
    return Vec::narrow<T>(f(Vec::zip_lo<T>(Vec::zero(), x)), f(Vec::zip_hi<T>(Vec::zero(), x)));
}
template <class T, class F>
R widened(R x, R y, F f) {
    const R z = Vec::zero();
    return Vec::narrow<T>(f(Vec::zip_lo<T>(z, x), Vec::zip_lo<T>(z, y)), f(Vec::zip_hi<T>(z, x), Vec::zip_hi<T>(z, y)));
}

// f on Q15 lanes: int16 as they are, int8 scaled by 2^8 (Q8 values in Q15).
template <class T, class F>
R on_q15(R x, F f) {
    if constexpr (sizeof(T) == 2) return f(x);
    else return widened<T>(x, f);
}

template <class T>
R mul_lanes(R a, R b) {
    // pmulhrsw is the Q15 rule but for -32768 * -32768, which wraps to -32768.
    if constexpr (sizeof(T) == 2) return Vec::min_to_max(Vec::mulhrs(a, b));
    // Q8: a*2^8 times b is (a*b*2^8 + 2^14) >> 15 = (a*b + 64) >> 7; packing
    // saturates the one result out of range, 128, to 127.
    else return widened<T>(a, b, [](R x, R y) { return Vec::mulhrs(x, Vec::sra<int16_t>(y, 8)); });
}

template <class T>
void add(const T *a, size_t na, const T *b, size_t nb, T *out) {
    elementwise(std::min(na, nb), out, [](R x, R y) { return Vec::adds<T>(x, y); },
                [](T x, T y) { return Fixed<T>::add(x, y); }, a, b);
}

template <class T>
void sub(const T *a, size_t na, const T *b, size_t nb, T *out) {
    elementwise(std::min(na, nb), out, [](R x, R y) { return Vec::subs<T>(x, y); },
                [](T x, T y) { return Fixed<T>::sub(x, y); }, a, b);
}

template <class T>
void mul(const T *a, size_t na, const T *b, size_t nb, T *out) {
    elementwise(std::min(na, nb), out, [](R x, R y) { return mul_lanes<T>(x, y); },
                [](T x, T y) { return Fixed<T>::mul(x, y); }, a, b);
}

template <class T>
void copy(const T *a, size_t len, T *out) {
    elementwise(len, out, [](R x) { return x; }, [](T x) { return x; }, a);
}

template <class T>
void shl(const T *a, size_t len, T *out, int n) {
    if (n <= 0) return copy(a, len, out);
    // x * 2^bits shifted right by bits - n is x * 2^n; narrowing saturates.
    // Counts from bits on saturate every nonzero x, as a shift by bits does.
    const int down = Fixed<T>::kBits - std::min(n, Fixed<T>::kBits);
    elementwise(len, out, [down](R x) { return widened<T>(x, [down](R w) { return Vec::sra<Wider<T>>(w, down); }); },
                [n](T x) { return Fixed<T>::shl(x, n); }, a);
}

template <class T>
void shr(const T *a, size_t len, T *out, int n) {
    if (n <= 0) return copy(a, len, out);
    const auto elem_op = [n](T x) { return Fixed<T>::shr(x, n); };
    if (n >= Fixed<T>::kBits) return elementwise(len, out, [](R x) { return Vec::sign<T>(x); }, elem_op, a);
    // pmulhrsw by 2^(15-s) is (x + 2^(s-1)) >> s; on Q8 scaled by 2^8, s = n + 8.
    const R k = Vec::splat<int16_t>(int16_t(1 << (Fixed<T>::kFrac - n)));
    elementwise(len, out, [k](R x) { return on_q15<T>(x, [k](R v) { return Vec::mulhrs(v, k); }); }, elem_op, a);
}

template <>
void shl<int64_t>(const int64_t *a, size_t len, int64_t *out, int n) {
    if (n <= 0) return copy(a, len, out);
    if (n >= 63) {  // every element clears, whatever it read
        if (len) std::memset(out, 0, len * sizeof *out);
        return;
    }
    elementwise(len, out, [n](R x) { return Vec::sll64(x, n); }, [n](int64_t x) { return Wide::shl(x, n); }, a);
}

template <>
void shr<int64_t>(const int64_t *a, size_t len, int64_t *out, int n) {
    if (n <= 0) return copy(a, len, out);
    const auto elem_op = [n](int64_t x) { return Wide::shr(x, n); };
    if (n >= 63) return elementwise(len, out, [](R x) { return Vec::sra<int64_t>(x, 63); }, elem_op, a);
    // r = floor(x / 2^(n-1)); r - floor(r / 2) = ceil(r / 2) is floor(x / 2^n)
    // plus the bit below the cut, with no intermediate out of range.
    elementwise(len, out, [n](R x) {
        const R r = Vec::sra<int64_t>(x, n - 1);
        return Vec::sub<int64_t>(r, Vec::sra<int64_t>(r, 1));
    }, elem_op, a);
}

// Inner products: vector partial sums of kStep elements at a time (step),
// their total modulo 2^bits(Acc) after `count` elements, the element loop after.
template <class T>
struct DotLanes;

template <>
struct DotLanes<int16_t> {
    using Acc = int64_t;
    static constexpr size_t kStep = kLanes<int16_t>;
    // pmaddwd pair sums lie in [-kBias, 2^31] and only 2^31 wraps; plus
    // kBias they fit 32 unsigned bits and zero-extend into 64-bit sums.
    static constexpr uint32_t kBias = 2147418112;  // -2 * 32767 * -32768
    static R step(R acc, const int16_t *a, const int16_t *b) {
        const R u = Vec::add<int32_t>(Vec::madd(Vec::load(a), Vec::load(b)), Vec::splat<int32_t>(int32_t(kBias)));
        const R z = Vec::zero();
        return Vec::add<int64_t>(acc, Vec::add<int64_t>(Vec::zip_lo<int32_t>(u, z), Vec::zip_hi<int32_t>(u, z)));
    }
    static uint64_t total(R acc, size_t count) { return Vec::hsum<uint64_t>(acc) - uint64_t(count / 2) * kBias; }
};

template <>
struct DotLanes<int8_t> {
    using Acc = int32_t;
    static constexpr size_t kStep = kLanes<int16_t>;
    // Sign-extended to int16, pairs never wrap in pmaddwd; the sums wrap
    // modulo 2^32 as the rule does.
    static R step(R acc, const int8_t *a, const int8_t *b) {
        return Vec::add<int32_t>(acc, Vec::madd(Vec::load_int8_as_int16(a), Vec::load_int8_as_int16(b)));
    }
    static uint32_t total(R acc, size_t) { return Vec::hsum<uint32_t>(acc); }
};

template <class T, class Acc = typename DotLanes<T>::Acc>
Acc dot(const T *a, size_t na, const T *b, size_t nb) {
    using U = std::make_unsigned_t<Acc>;
    constexpr size_t kStep = DotLanes<T>::kStep;
    const size_t n = std::min(na, nb);
    size_t i = 0;
    R acc = Vec::zero(), acc2 = Vec::zero();  // two chains: a step's latency is hidden
    for (; i + 2 * kStep <= n; i += 2 * kStep) {
        acc = DotLanes<T>::step(acc, a + i, b + i);
        acc2 = DotLanes<T>::step(acc2, a + i + kStep, b + i + kStep);
    }
    for (; i + kStep <= n; i += kStep) acc = DotLanes<T>::step(acc, a + i, b + i);
    return Acc(U(DotLanes<T>::total(Vec::add<Acc>(acc, acc2), i)) + U(dot_loop<Acc>(a + i, n - i, b + i, n - i)));
}

}  // namespace

extern const Variant variant = QV_ARITH_VARIANT;

}  // namespace qv::arith::QV_ISA
