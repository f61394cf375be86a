#include "util/util_core.h"

qv_cf32 square_clip(qv_cf32 y, float lin) { return qv::square_clip(y, lin); }
size_t next_pow_two(size_t n) { return qv::next_pow_two(n); }
double saturate(double v, double lo, double hi, double nan_to) { return qv::saturate(v, lo, hi, nan_to); }
double ema_step(double state, double x, double alpha) { return qv::ema_step(state, x, alpha); }
double ema_alpha_decim(double alpha, size_t d) { return qv::ema_alpha_decim(alpha, d); }
