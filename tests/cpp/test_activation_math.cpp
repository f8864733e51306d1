#include <gtest/gtest.h>
#include <quadmath.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "network/activation_math.hpp"

namespace tessavo {
namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// Error of `got` in units of the last place of the exact value (its binade;
// the subnormal spacing below 2^-1022).
template <class Wide>
double ulp_error(double got, Wide exact) {
    int exponent = 0;
    std::frexp(static_cast<double>(exact), &exponent);
    const int unit = static_cast<double>(exact) == 0.0 ? -1074 : std::max(exponent - 53, -1074);
    // 2^-unit in two factors that each fit a double; scale before narrowing.
    const Wide scale = Wide(std::ldexp(1.0, -unit / 2)) * Wide(std::ldexp(1.0, -unit + unit / 2));
    const Wide diff = (static_cast<Wide>(got) - exact) * scale;
    return std::fabs(static_cast<double>(diff));
}

struct Function {
    const char* name;
    double (*ours)(double);
    long double (*reference)(long double);
    __float128 (*precise)(__float128);
    // Argument ranges: [lo, hi] uniform, as many draws as `count`.
    std::vector<std::tuple<double, double, int>> uniform;
    double log2_min, log2_max;  // |x| uniform in exponent and mantissa
};

double exp_fn(double x) { return exp_ieee(x); }
double tanh_fn(double x) { return tanh_ieee(x); }

const Function functions[] = {
    {"exp",
     exp_fn,
     [](long double x) { return expl(x); },
     expq,
     {{-745.2, 709.78, 3000000},
      {-1e-3, 1e-3, 200000},
      {709.0, 709.7827, 200000},   // overflow edge
      {-709.1, -707.7, 200000},    // normal to subnormal
      {-745.133, -744.0, 200000},  // last subnormals
      {-0.02, 0.02, 200000}},      // first table steps
     -60.0,
     9.47},
    {"tanh",
     tanh_fn,
     [](long double x) { return tanhl(x); },
     tanhq,
     {{-20.0, 20.0, 2200000},
      {0.0, 0.7, 1200000},         // switch-over points 0.17, 0.52
      {0x1p-28, 0x1p-26, 200000},  // the x-itself cut-off
      {18.5, 19.5, 200000},        // rounding to 1
      {-0.7, 0.0, 200000}},
     -40.0,
     5.0},
};

void PrintTo(const Function& f, std::ostream* os) { *os << f.name; }

class Accuracy : public ::testing::TestWithParam<Function> {};

std::vector<double> accuracy_arguments(const Function& f) {
    std::mt19937_64 rng(20261209);
    std::vector<double> args;
    for (auto [lo, hi, count] : f.uniform) {
        std::uniform_real_distribution<double> draw(lo, hi);
        for (int i = 0; i < count; ++i) args.push_back(draw(rng));
    }
    std::uniform_real_distribution<double> log2_draw(f.log2_min, f.log2_max);
    for (int i = 0; i < 1000000; ++i) {
        const double x = std::exp2(log2_draw(rng));
        args.push_back(rng() & 1 ? x : -x);
    }
    return args;
}

// 5 million arguments each, against long double; cases that look worse
// than half an ulp are measured again against quad precision.
TEST_P(Accuracy, WithinHalfUlpAndABit) {
    const Function& f = GetParam();
    const std::vector<double> args = accuracy_arguments(f);
    ASSERT_GE(args.size(), 5000000u);
    double worst = 0.0, worst_x = 0.0;
    for (double x : args) {
        const double got = f.ours(x);
        double err = ulp_error(got, f.reference(x));
        if (err > 0.5) err = ulp_error(got, f.precise(x));
        if (err > worst || std::isnan(err)) {
            worst = err;
            worst_x = x;
        }
    }
    std::printf("%s: max error %.4f ulp at %a over %zu arguments\n", f.name, worst, worst_x,
                args.size());
    EXPECT_LT(worst, 0.55) << f.name << " at " << worst_x;
}

INSTANTIATE_TEST_SUITE_P(ActivationMath, Accuracy, ::testing::ValuesIn(functions),
                         [](const auto& info) { return std::string(info.param.name); });

uint64_t bits(double x) { return std::bit_cast<uint64_t>(x); }

TEST(ActivationMath, SpecialValues) {
    const double max_finite = 0x1.62e42fefa39efp+9;       // e^x still finite
    const double last_subnormal = -0x1.74910d52d3051p+9;  // rounds up to 2^-1074
    struct Case {
        double x, exp, tanh;
    } cases[] = {
        {0.0, 1.0, 0.0},
        {-0.0, 1.0, -0.0},
        {inf, inf, 1.0},
        {-inf, 0.0, -1.0},
        {max_finite, 0x1.fffffffffff2ap+1023, 1.0},
        {std::nextafter(max_finite, inf), inf, 1.0},
        {1e308, inf, 1.0},
        {last_subnormal, 0x1p-1074, -1.0},
        {std::nextafter(last_subnormal, -inf), 0.0, -1.0},
        {-1e308, 0.0, -1.0},
        {5e-324, 1.0, 5e-324},
        {-0x1p-1022, 1.0, -0x1p-1022},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bits(exp_ieee(c.x)), bits(c.exp)) << std::hexfloat << c.x;
        EXPECT_EQ(bits(tanh_ieee(c.x)), bits(c.tanh)) << std::hexfloat << c.x;
    }
    EXPECT_TRUE(std::isnan(exp_ieee(nan)));
    EXPECT_TRUE(std::isnan(tanh_ieee(nan)));
    EXPECT_TRUE(std::isnan(sigmoid_ieee(nan)));
    // Subnormal results are the correctly rounded ones across the range.
    for (double x = -745.1; x < -708.3; x += 0.37) {
        EXPECT_EQ(exp_ieee(x), static_cast<double>(expq(x))) << std::hexfloat << x;
    }
    // The sigmoid keeps its order: e^1000 overflows and 1 / inf is 0.
    EXPECT_EQ(bits(sigmoid_ieee(-1000.0)), bits(0.0));
    EXPECT_EQ(sigmoid_ieee(-inf), 0.0);
    EXPECT_EQ(sigmoid_ieee(inf), 1.0);
    EXPECT_EQ(sigmoid_ieee(0.0), 0.5);
}

// One value at a time, kept scalar, against blocks of lanes in a function
// built for the widest vectors the processor has.
[[gnu::noinline, gnu::optimize("no-tree-vectorize")]] void scalar_all(const double* in, double* out,
                                                                      std::size_t n, int which) {
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = which == 0 ? exp_ieee(in[i]) : which == 1 ? tanh_ieee(in[i]) : sigmoid_ieee(in[i]);
    }
}

// Clone resolvers run while the program is relocated, before a sanitizer's
// runtime is ready: sanitizer builds test the default clone only.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define LANE_CLONES
#else
#define LANE_CLONES gnu::target_clones("avx512f", "avx2", "default")
#endif

template <int L>
[[gnu::noinline, LANE_CLONES]] void lanes_all(const double* in, double* out, std::size_t n,
                                              int which) {
    for (std::size_t i = 0; i + L <= n; i += L) {
        if (which == 0) exp_lanes<L>(in + i, out + i);
        if (which == 1) tanh_lanes<L>(in + i, out + i);
        if (which == 2) sigmoid_lanes<L>(in + i, out + i);
    }
}

TEST(ActivationMath, LanesMatchScalarBitForBit) {
    std::mt19937_64 rng(5);
    std::vector<double> in = {0.0,     -0.0,   inf,    -inf,   nan,   710.0, -746.0,
                              -745.13, -708.5, 709.78, 1e-300, -3e-9, 19.07, -0.173};
    std::uniform_real_distribution<double> wide(-750.0, 750.0), narrow(-25.0, 25.0);
    while (in.size() < 4096) {
        in.push_back(wide(rng));
        in.push_back(narrow(rng));
        in.push_back(std::bit_cast<double>(rng()));  // any bit pattern
        in.push_back(narrow(rng) * 1e-9);
    }
    in.resize(4096);  // whole blocks
    std::vector<double> one(in.size()), eight(in.size()), sixteen(in.size());
    for (int which = 0; which < 3; ++which) {
        scalar_all(in.data(), one.data(), in.size(), which);
        lanes_all<8>(in.data(), eight.data(), in.size(), which);
        lanes_all<16>(in.data(), sixteen.data(), in.size(), which);
        for (std::size_t i = 0; i < in.size(); ++i) {
            ASSERT_EQ(bits(one[i]), bits(eight[i])) << which << " " << std::hexfloat << in[i];
            ASSERT_EQ(bits(one[i]), bits(sixteen[i])) << which << " " << std::hexfloat << in[i];
        }
    }
}

// Every code path the passes may take, whole blocks of 16 lanes.
#define PATH(name, isa, fused)                                                            \
    [[gnu::noinline, gnu::target(isa)]] void name(      const double* in, double* out,       \
                                                      std::size_t n, int which) {          \
        for (std::size_t i = 0; i + 16 <= n; i += 16) {                                     \
            if (which == 0) exp_lanes<16>(in + i, out + i);                                 \
            if (which == 1) tanh_lanes<16, fused>(in + i, out + i);                         \
            if (which == 2) sigmoid_lanes<16>(in + i, out + i);                             \
        }                                                                                   \
    }
PATH(path_generic, "arch=x86-64", false)
PATH(path_avx2, "avx2", false)
PATH(path_avx2_fma, "avx2,fma", true)
PATH(path_avx512, "avx512f", false)
PATH(path_avx512_fma, "avx512f,fma", true)
#undef PATH

TEST_P(Accuracy, EveryPathGivesTheBitsOfTheScalarCode) {
    const Function& f = GetParam();
    std::vector<double> args = accuracy_arguments(f);
    args.resize(args.size() / 16 * 16);
    const int which = f.ours == exp_fn ? 0 : 1;
    std::vector<double> reference(args.size()), got(args.size());
    scalar_all(args.data(), reference.data(), args.size(), which);
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2"), fma = __builtin_cpu_supports("fma");
    const bool avx512 = __builtin_cpu_supports("avx512f");
    const struct {
        const char* name;
        bool available;
        void (*run)(const double*, double*, std::size_t, int);
    } paths[] = {{"generic", true, path_generic},
                 {"avx2", avx2, path_avx2},
                 {"avx2+fma", avx2 && fma, path_avx2_fma},
                 {"avx512", avx512, path_avx512},
                 {"avx512+fma", avx512 && fma, path_avx512_fma}};
    for (const auto& path : paths) {
        if (!path.available) continue;
        path.run(args.data(), got.data(), args.size(), which);
        for (std::size_t i = 0; i < args.size(); ++i) {
            ASSERT_EQ(bits(got[i]), bits(reference[i]))
                << f.name << " on " << path.name << " at " << std::hexfloat << args[i];
        }
    }
}

}  // namespace
}  // namespace tessavo
