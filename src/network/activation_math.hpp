// exp and tanh of our own: plain IEEE double arithmetic (no fused
// multiply-add, no libm), so every machine and every vector width gives the
// same bits. Both stay within 1 ulp of the correctly rounded value (below
// 0.52 ulp as measured). The bodies are branch-free so that a loop over
// lanes vectorises.
#pragma once

#include <bit>
#include <cstdint>

namespace tessavo {

namespace activation_detail {

// Adding this rounds a double below 2^51 to an integer kept in the low bits.
inline constexpr double round_shift = 0x1.8p52;
// Veltkamp splitter: 2^27 + 1.
inline constexpr double splitter = 134217729.0;
// Largest x whose e^x is finite.
inline constexpr double max_finite_exp = 0x1.62e42fefa39efp+9;
inline constexpr double inf = __builtin_inf();
// One NaN for every NaN result, whatever the input's sign and payload, so
// that scalar and vector code agree bit for bit there too.
inline constexpr double quiet_nan = __builtin_nan("");

[[gnu::always_inline]] inline uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }
[[gnu::always_inline]] inline double from_bits(uint64_t b) { return std::bit_cast<double>(b); }

// c ? a : b through bit masks. A plain conditional lets the compiler sink
// the work of one side into a branch, which blocks vectorisation unless
// floating-point traps are switched off.
[[gnu::always_inline]] inline double pick(bool c, double a, double b) {
    const uint64_t mask = uint64_t{0} - uint64_t{c};
    return from_bits((bits(a) & mask) | (bits(b) & ~mask));
}

inline constexpr double inv_step = 0x1.71547652b82fep+6;  // 64 / ln 2
// ln2/64 split so that k * step_hi is exact for |k| < 2^21.
inline constexpr double step_hi = 0x1.62e42fee00000p-7;
inline constexpr double step_lo = 0x1.a39ef35793c76p-39;
// Below this x, e^x is below 2^-1022: a subnormal result.
inline constexpr double subnormal_below = -0x1.6232bdd7abcd2p+9;

// 2^(j/64) as a pair: rounded value, then what the rounding lost.
alignas(64) inline constexpr double pow2_table[128] = {
    0x1.0000000000000p+0, 0x0.0p+0,
    0x1.02c9a3e778061p+0, -0x1.19083535b085dp-56,
    0x1.059b0d3158574p+0, 0x1.d73e2a475b465p-55,
    0x1.0874518759bc8p+0, 0x1.186be4bb284ffp-57,
    0x1.0b5586cf9890fp+0, 0x1.8a62e4adc610bp-54,
    0x1.0e3ec32d3d1a2p+0, 0x1.03a1727c57b53p-59,
    0x1.11301d0125b51p+0, -0x1.6c51039449b3ap-54,
    0x1.1429aaea92de0p+0, -0x1.32fbf9af1369ep-54,
    0x1.172b83c7d517bp+0, -0x1.19041b9d78a76p-55,
    0x1.1a35beb6fcb75p+0, 0x1.e5b4c7b4968e4p-55,
    0x1.1d4873168b9aap+0, 0x1.e016e00a2643cp-54,
    0x1.2063b88628cd6p+0, 0x1.dc775814a8495p-55,
    0x1.2387a6e756238p+0, 0x1.9b07eb6c70573p-54,
    0x1.26b4565e27cddp+0, 0x1.2bd339940e9d9p-55,
    0x1.29e9df51fdee1p+0, 0x1.612e8afad1255p-55,
    0x1.2d285a6e4030bp+0, 0x1.0024754db41d5p-54,
    0x1.306fe0a31b715p+0, 0x1.6f46ad23182e4p-55,
    0x1.33c08b26416ffp+0, 0x1.32721843659a6p-54,
    0x1.371a7373aa9cbp+0, -0x1.63aeabf42eae2p-54,
    0x1.3a7db34e59ff7p+0, -0x1.5e436d661f5e3p-56,
    0x1.3dea64c123422p+0, 0x1.ada0911f09ebcp-55,
    0x1.4160a21f72e2ap+0, -0x1.ef3691c309278p-58,
    0x1.44e086061892dp+0, 0x1.89b7a04ef80d0p-59,
    0x1.486a2b5c13cd0p+0, 0x1.3c1a3b69062f0p-56,
    0x1.4bfdad5362a27p+0, 0x1.d4397afec42e2p-56,
    0x1.4f9b2769d2ca7p+0, -0x1.4b309d25957e3p-54,
    0x1.5342b569d4f82p+0, -0x1.07abe1db13cadp-55,
    0x1.56f4736b527dap+0, 0x1.9bb2c011d93adp-54,
    0x1.5ab07dd485429p+0, 0x1.6324c054647adp-54,
    0x1.5e76f15ad2148p+0, 0x1.ba6f93080e65ep-54,
    0x1.6247eb03a5585p+0, -0x1.383c17e40b497p-54,
    0x1.6623882552225p+0, -0x1.bb60987591c34p-54,
    0x1.6a09e667f3bcdp+0, -0x1.bdd3413b26456p-54,
    0x1.6dfb23c651a2fp+0, -0x1.bbe3a683c88abp-57,
    0x1.71f75e8ec5f74p+0, -0x1.16e4786887a99p-55,
    0x1.75feb564267c9p+0, -0x1.0245957316dd3p-54,
    0x1.7a11473eb0187p+0, -0x1.41577ee04992fp-55,
    0x1.7e2f336cf4e62p+0, 0x1.05d02ba15797ep-56,
    0x1.82589994cce13p+0, -0x1.d4c1dd41532d8p-54,
    0x1.868d99b4492edp+0, -0x1.fc6f89bd4f6bap-54,
    0x1.8ace5422aa0dbp+0, 0x1.6e9f156864b27p-54,
    0x1.8f1ae99157736p+0, 0x1.5cc13a2e3976cp-55,
    0x1.93737b0cdc5e5p+0, -0x1.75fc781b57ebcp-57,
    0x1.97d829fde4e50p+0, -0x1.d185b7c1b85d1p-54,
    0x1.9c49182a3f090p+0, 0x1.c7c46b071f2bep-56,
    0x1.a0c667b5de565p+0, -0x1.359495d1cd533p-54,
    0x1.a5503b23e255dp+0, -0x1.d2f6edb8d41e1p-54,
    0x1.a9e6b5579fdbfp+0, 0x1.0fac90ef7fd31p-54,
    0x1.ae89f995ad3adp+0, 0x1.7a1cd345dcc81p-54,
    0x1.b33a2b84f15fbp+0, -0x1.2805e3084d708p-57,
    0x1.b7f76f2fb5e47p+0, -0x1.5584f7e54ac3bp-56,
    0x1.bcc1e904bc1d2p+0, 0x1.23dd07a2d9e84p-55,
    0x1.c199bdd85529cp+0, 0x1.11065895048ddp-55,
    0x1.c67f12e57d14bp+0, 0x1.2884dff483cadp-54,
    0x1.cb720dcef9069p+0, 0x1.503cbd1e949dbp-56,
    0x1.d072d4a07897cp+0, -0x1.cbc3743797a9cp-54,
    0x1.d5818dcfba487p+0, 0x1.2ed02d75b3707p-55,
    0x1.da9e603db3285p+0, 0x1.c2300696db532p-54,
    0x1.dfc97337b9b5fp+0, -0x1.1a5cd4f184b5cp-54,
    0x1.e502ee78b3ff6p+0, 0x1.39e8980a9cc8fp-55,
    0x1.ea4afa2a490dap+0, -0x1.e9c23179c2893p-54,
    0x1.efa1bee615a27p+0, 0x1.dc7f486a4b6b0p-54,
    0x1.f50765b6e4540p+0, 0x1.9d3e12dd8a18bp-54,
    0x1.fa7c1819e90d8p+0, 0x1.74853f3a5931ep-55,
};

// The table step shared by exp and tanh: x = (64 e + j) ln2/64 + r with
// |r| <= ln2/128 (r as an exact pair), so e^x = 2^e 2^(j/64) e^r. `k_bits`
// holds 2^51 + 64 e + j in its low bits.
struct TableStep {
    uint64_t k_bits;
    double r_hi, r_lo;
    double t_hi, t_lo;  // 2^(j/64)
};

[[gnu::always_inline]] inline TableStep table_step(double x) {
    const double shifted = x * inv_step + round_shift;
    const double k = shifted - round_shift;
    const uint64_t k_bits = bits(shifted);
    // x - k step_hi is exact; two-sum with the rest.
    const double r1 = x - k * step_hi;
    const double r2 = -(k * step_lo);
    const double r_hi = r1 + r2;
    const double r2_part = r_hi - r1;
    const double r_lo = (r1 - (r_hi - r2_part)) + (r2 - r2_part);
    const uint64_t j = k_bits & 63u;
    return {k_bits, r_hi, r_lo, pow2_table[2 * j], pow2_table[2 * j + 1]};
}

// e^r - 1 - r for |r| <= ln2/128, within 2^-75 (the series to r^7).
// Estrin's scheme: a shorter chain of dependent operations than Horner's.
[[gnu::always_inline]] inline double expm1_tail(double r) {
    const double r2 = r * r;
    const double r4 = r2 * r2;
    const double a = 0.5 + r * 0x1.5555555555555p-3;
    const double b = 0x1.5555555555555p-5 + r * 0x1.1111111111111p-7;
    const double c = 0x1.6c16c16c16c17p-10 + r * 0x1.a01a01a01a01ap-13;
    return r2 * ((a + r2 * b) + r4 * c);
}

// a * b - p exactly, for p = a * b rounded: Dekker's product, or one fused
// multiply-add where the processor has it. Both are exact (no overflow or
// underflow can occur where they are used), so both give the same bits.
template <bool Fma>
[[gnu::always_inline]] inline double product_error(double a, double b, double p) {
    if constexpr (Fma) {
        return __builtin_fma(a, b, -p);
    } else {
        const double ca = a * splitter;
        const double a_h = ca - (ca - a);
        const double a_l = a - a_h;
        const double cb = b * splitter;
        const double b_h = cb - (cb - b);
        const double b_l = b - b_h;
        return ((a_h * b_h - p) + a_h * b_l + a_l * b_h) + a_l * b_l;
    }
}

// 2^e as the bits to add to a double's exponent field (two's complement).
[[gnu::always_inline]] inline uint64_t exponent_field(uint64_t k_bits) {
    return (k_bits >> 6) << 52;
}

}  // namespace activation_detail

// e^x, the correctly rounded value or its neighbour; +inf above ~709.78,
// gradual underflow down to ~-745.13, +0 below.
[[gnu::always_inline]] inline double exp_ieee(double x) {
    using namespace activation_detail;
    // Out-of-range lanes compute garbage and are replaced at the end (a clamp
    // here would let the compiler fold constants into a branchy loop).
    const TableStep step = table_step(x);
    // 2^(j/64) e^r = t_hi + tail, rounded once; the parts that do not wait
    // for the series are added first.
    const double t_hi = step.t_hi;
    const double early = (step.t_lo + t_hi * step.r_lo) + t_hi * step.r_hi;
    const double series = expm1_tail(step.r_hi);
    const double tail = early + t_hi * series;
    const double y = t_hi + tail;
    const uint64_t e_field = exponent_field(step.k_bits);
    const double normal = from_bits(bits(y) + e_field);
    // Subnormal result: work in units of 2^-1022 (scale = 2^(e + 1022)),
    // where adding 1 makes the one rounding land on the subnormal grid; then
    // w - 1 in [0, 1] is already the bit pattern of the result below 1.
    // Other lanes take scale 1: their wrapped exponents would make subnormal
    // operands, which cost microcode assists.
    const bool subnormal = x < subnormal_below;
    const double scale = pick(subnormal, from_bits(e_field + (uint64_t{1022 + 1023} << 52)), 1.0);
    const double a = t_hi * scale;
    const double b = early * scale + a * series;
    const double one_a = 1.0 + a;
    const double a_err = a - (one_a - 1.0);
    const double w = one_a + (a_err + b);
    const double tiny = from_bits(bits(w) - bits(1.0));
    const double result = pick(subnormal, tiny, normal);
    // Overflow, full underflow and NaN, decided from x alone.
    const bool in_range = (x >= -746.0) & (x <= max_finite_exp);
    const double outside = pick(x > 0.0, inf, pick(x == x, 0.0, quiet_nan));
    return pick(in_range, result, outside);
}

// tanh(x), the correctly rounded value or its neighbour; keeps the sign of
// zero, +-1 for large |x| and the infinities. Fma only in functions built
// for processors that have it.
template <bool Fma = false>
[[gnu::always_inline]] inline double tanh_ieee(double x) {
    using namespace activation_detail;
    constexpr uint64_t sign_mask = 0x8000000000000000u;
    const uint64_t sign = bits(x) & sign_mask;
    const double mag = from_bits(bits(x) & ~sign_mask);
    // e^2a = 2^e M with M = 2^(j/64) e^r, and tanh a = (M - 2^-e) / (M + 2^-e),
    // numerator and denominator kept as exact pairs.
    // Clamped so that huge lanes do not compute with subnormal 2^-e.
    const double a = pick(mag > 20.0, 20.0, mag);
    const TableStep step = table_step(a + a);
    const double t_hi = step.t_hi, t_lo = step.t_lo, r_hi = step.r_hi;
    const double inv_pow = from_bits(bits(1.0) - exponent_field(step.k_bits));  // 2^-e
    // e^r - 1 = p_hi + p_lo.
    const double q = expm1_tail(r_hi);
    const double p_hi = r_hi + q;
    const double p_lo = (q - (p_hi - r_hi)) + (step.r_lo + step.r_lo * r_hi);
    // t_hi p_hi exactly, and what is left of M - t_hi.
    const double tp = t_hi * p_hi;
    const double tp_err = product_error<Fma>(t_hi, p_hi, tp);
    const double rest = ((tp_err + t_lo) + t_hi * p_lo) + t_lo * p_hi;
    // Numerator n1 + n_rest = (t_hi - 2^-e) + tp + rest, where t_hi >= 1 >= 2^-e.
    const double u = t_hi - inv_pow;
    const double u_err = (t_hi - u) - inv_pow;
    const double n1 = u + tp;
    const double n_part = n1 - u;
    const double n_rest = ((u - (n1 - n_part)) + (tp - n_part)) + (u_err + rest);
    // Denominator d1 + d_rest = (t_hi + 2^-e) + tp + rest, at least 1.
    const double v = t_hi + inv_pow;
    const double v_err = inv_pow - (v - t_hi);
    const double d1 = v + tp;
    const double d_rest = (tp - (d1 - v)) + (v_err + rest);
    // Quotient: a first guess from the leading parts, its exact remainder,
    // one correction. The small parts only enter the remainder, which keeps
    // them off the longest chain.
    const double inv = 1.0 / d1;
    const double q1 = n1 * inv;
    const double prod = q1 * d1;
    const double prod_err = product_error<Fma>(q1, d1, prod);
    const double rem = ((n1 - prod) - prod_err) + (n_rest - q1 * d_rest);
    const double quotient = q1 + rem * inv;
    // Below 2^-27, tanh x rounds to x itself (and -0 stays -0).
    const double result = from_bits(bits(quotient) | sign);
    const double small_or_nan = pick(mag == mag, x, quiet_nan);
    // tanh rounds to +-1 from 19.07 on.
    const double big_or_result = pick(mag > 20.0, from_bits(bits(1.0) | sign), result);
    return pick(mag >= 0x1p-27, big_or_result, small_or_nan);
}

// One block of lanes, for callers that vectorise over samples.
template <int L>
[[gnu::always_inline]] inline void exp_lanes(const double* in, double* out) {
    for (int i = 0; i < L; ++i) out[i] = exp_ieee(in[i]);
}

template <int L, bool Fma = false>
[[gnu::always_inline]] inline void tanh_lanes(const double* in, double* out) {
    for (int i = 0; i < L; ++i) out[i] = tanh_ieee<Fma>(in[i]);
}

// 1 / (e^-x + 1) in that order, so a very negative x gives exactly 0.
[[gnu::always_inline]] inline double sigmoid_ieee(double x) { return 1.0 / (exp_ieee(-x) + 1.0); }

template <int L>
[[gnu::always_inline]] inline void sigmoid_lanes(const double* in, double* out) {
    for (int i = 0; i < L; ++i) out[i] = sigmoid_ieee(in[i]);
}

}  // namespace tessavo
