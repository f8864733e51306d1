#include "network/batch.hpp"

#include <algorithm>
#include <cstddef>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "network/activation_math.hpp"
#include "network/isa.hpp"
#include "network/plan.hpp"

namespace tessavo {

namespace {

constexpr int L = batch_lanes;

using activation_detail::bits;
using activation_detail::from_bits;
using activation_detail::pick;

// A node's activation on every lane of a block, and the writes of its sum
// and value.
template <bool Fma>
[[gnu::always_inline]] inline void finish_node(const BatchBlock& b, int32_t j, int32_t inputs,
                                               const double* acc, double* __restrict values,
                                               double* __restrict sums) {
    const std::size_t row = static_cast<std::size_t>(inputs + j) * L;
    const int32_t* code = b.code.data() + static_cast<std::size_t>(j) * L;
    const uint8_t kinds = b.kinds[j];
    double out[L];
    for (int l = 0; l < L; ++l) {
        sums[row + l] = acc[l];
        out[l] = 0.0;
    }
    // Sigmoid and tanh lanes packed together, eight at a time: each
    // function runs on the vectors that hold its lanes only.
    const uint8_t* order = b.order.data() + static_cast<std::size_t>(j) * L;
    const int32_t n_sigmoid = b.counts[2 * static_cast<std::size_t>(j)];
    const int32_t n_tanh = b.counts[2 * static_cast<std::size_t>(j) + 1];
    if (n_sigmoid + n_tanh > 0) {
        double packed[L + 8], result[L + 8];
        for (int k = 0; k < L; ++k) packed[k] = acc[order[k]];
        for (int k = L; k < L + 8; ++k) packed[k] = 0.0;
        for (int32_t c = 0; c < n_sigmoid; c += 8) sigmoid_lanes<8>(packed + c, result + c);
        for (int32_t c = n_sigmoid; c < n_sigmoid + n_tanh; c += 8) {
            tanh_lanes<8, Fma>(packed + c, result + c);
        }
        for (int32_t k = 0; k < n_sigmoid + n_tanh; ++k) out[order[k]] = result[k];
    }
    if (kinds & (1u << ACTIVATION_RELU)) {
        for (int l = 0; l < L; ++l) {
            out[l] = pick(code[l] == ACTIVATION_RELU, acc[l] > 0.0 ? acc[l] : 0.0, out[l]);
        }
    }
    if (kinds & (1u << ACTIVATION_LINEAR)) {
        for (int l = 0; l < L; ++l) out[l] = pick(code[l] == ACTIVATION_LINEAR, acc[l], out[l]);
    }
    for (int l = 0; l < L; ++l) values[row + l] = out[l];
}

// One pass of every lane of a block: per node, each lane's sum in its own
// plan's order (bias, then sources in increasing index, one rounded product
// at a time), then the activations of all lanes as vectors.
template <bool Fma>
[[gnu::always_inline]] inline void block_pass(const BatchBlock& b, int32_t inputs,
                                              double* __restrict values, double* __restrict sums) {
    const int32_t* index = b.index.data();
    const double* weight = b.weight.data();
    const uint64_t* valid = b.valid.data();
    for (int32_t j = 0; j < b.steps; ++j) {
        double acc[L];
        for (int l = 0; l < L; ++l) acc[l] = b.bias[static_cast<std::size_t>(j) * L + l];
        const uint32_t end = b.step_rows[j + 1];
        for (uint32_t r = b.step_rows[j]; r < end; ++r) {
            const std::size_t at = static_cast<std::size_t>(r) * L;
            for (int l = 0; l < L; ++l) {
                const double sum = acc[l] + weight[at + l] * values[index[at + l]];
                acc[l] = from_bits((bits(sum) & valid[at + l]) | (bits(acc[l]) & ~valid[at + l]));
            }
        }
        finish_node<Fma>(b, j, inputs, acc, values, sums);
    }
}

#if defined(__x86_64__) || defined(__i386__)
// The same with the sources gathered two vectors at a time; the masked add
// leaves a lane without that edge exactly as it was.
__attribute__((target("avx512f,fma"))) void block_avx512_gather(const BatchBlock& b, int32_t inputs,
                                                                double* values, double* sums) {
    static_assert(L == 16);
    const int32_t* index = b.index.data();
    const double* weight = b.weight.data();
    const uint16_t* mask = b.mask.data();
    for (int32_t j = 0; j < b.steps; ++j) {
        const double* bias = b.bias.data() + static_cast<std::size_t>(j) * L;
        __m512d a0 = _mm512_loadu_pd(bias);
        __m512d a1 = _mm512_loadu_pd(bias + 8);
        const uint32_t end = b.step_rows[j + 1];
        for (uint32_t r = b.step_rows[j]; r < end; ++r) {
            const std::size_t at = static_cast<std::size_t>(r) * L;
            const __m256i i0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(index + at));
            const __m256i i1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(index + at + 8));
            const auto m0 = static_cast<__mmask8>(mask[r] & 0xff);
            const auto m1 = static_cast<__mmask8>(mask[r] >> 8);
            const __m512d zero = _mm512_setzero_pd();
            const __m512d v0 = _mm512_mask_i32gather_pd(zero, m0, i0, values, 8);
            const __m512d v1 = _mm512_mask_i32gather_pd(zero, m1, i1, values, 8);
            const __m512d p0 = _mm512_mul_pd(_mm512_loadu_pd(weight + at), v0);
            const __m512d p1 = _mm512_mul_pd(_mm512_loadu_pd(weight + at + 8), v1);
            a0 = _mm512_mask_add_pd(a0, m0, a0, p0);
            a1 = _mm512_mask_add_pd(a1, m1, a1, p1);
        }
        alignas(64) double acc[L];
        _mm512_store_pd(acc, a0);
        _mm512_store_pd(acc + 8, a1);
        finish_node<true>(b, j, inputs, acc, values, sums);
    }
}
#endif

// Chosen once by the processor, as the single-network passes are; fused
// multiply-adds only serve tanh's exact products.
#if defined(__x86_64__) || defined(__i386__)
#define TESSAVO_BLOCK_PASS(name, fma)                                              \
    void name(const BatchBlock& b, int32_t inputs, double* values, double* sums) { \
        block_pass<fma>(b, inputs, values, sums);                                  \
    }
__attribute__((target("avx2,fma"))) TESSAVO_BLOCK_PASS(block_avx2_fma, true)
    __attribute__((target("avx512f"))) TESSAVO_BLOCK_PASS(block_avx512, false)
        __attribute__((target("avx2"))) TESSAVO_BLOCK_PASS(block_avx2, false)
#endif
            void block_generic(const BatchBlock& b, int32_t inputs, double* values, double* sums) {
    block_pass<false>(b, inputs, values, sums);
}

using BlockFunction = void (*)(const BatchBlock&, int32_t, double*, double*);

BlockFunction widest_block() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    const bool fma = __builtin_cpu_supports("fma");
    switch (widest_isa()) {
        case Isa::avx512:
            return fma ? block_avx512_gather : block_avx512;
        case Isa::avx2:
            return fma ? block_avx2_fma : block_avx2;
        case Isa::generic:
            break;
    }
#endif
    return block_generic;
}

}  // namespace

BatchPlan make_batch_plan(const std::vector<const Network*>& networks) {
    BatchPlan out;
    out.count = static_cast<int64_t>(networks.size());
    if (networks.empty()) return out;
    out.inputs = networks[0]->inputs;
    out.outputs = networks[0]->outputs;
    const int32_t inputs = out.inputs;
    std::vector<Plan> plans(L);
    for (std::size_t first = 0; first < networks.size(); first += L) {
        BatchBlock& block = out.blocks.emplace_back();
        block.used = static_cast<int32_t>(std::min<std::size_t>(L, networks.size() - first));
        for (int32_t l = 0; l < block.used; ++l) {
            make_plan_into(plans[l], *networks[first + l]);
            block.rows = std::max(block.rows, plans[l].size);
            block.steps = std::max(block.steps, plans[l].size - inputs);
        }
        auto nodes = [&](int32_t l) { return l < block.used ? plans[l].size - inputs : 0; };
        block.step_rows.push_back(0);
        for (int32_t j = 0; j < block.steps; ++j) {
            uint32_t most = 0;
            for (int32_t l = 0; l < block.used; ++l) {
                if (j < nodes(l))
                    most = std::max(most, plans[l].starts[j + 1] - plans[l].starts[j]);
            }
            for (uint32_t e = 0; e < most; ++e) {
                uint16_t row_mask = 0;
                for (int32_t l = 0; l < L; ++l) {
                    const bool has =
                        j < nodes(l) && e < plans[l].starts[j + 1] - plans[l].starts[j];
                    // Padding reads a cell of its own lane and is never kept.
                    const int32_t source = has ? plans[l].sources[plans[l].starts[j] + e] : 0;
                    block.index.push_back(source * L + l);
                    block.weight.push_back(has ? plans[l].weights[plans[l].starts[j] + e] : 0.0);
                    block.valid.push_back(has ? ~uint64_t{0} : 0);
                    if (has) row_mask = static_cast<uint16_t>(row_mask | (1u << l));
                }
                block.mask.push_back(row_mask);
            }
            out.edges += static_cast<int64_t>(most) * L;
            block.step_rows.push_back(static_cast<uint32_t>(block.index.size() / L));
            uint8_t kinds = 0;
            int32_t counts[2] = {0, 0};
            for (int32_t code : {ACTIVATION_SIGMOID, ACTIVATION_TANH}) {
                for (int32_t l = 0; l < L; ++l) {
                    if (j < nodes(l) && plans[l].activations[j] == code) {
                        block.order.push_back(static_cast<uint8_t>(l));
                        ++counts[code == ACTIVATION_TANH];
                    }
                }
            }
            for (int32_t l = 0; l < L; ++l) {
                const int32_t code = j < nodes(l) ? plans[l].activations[j] : -1;
                if (code != ACTIVATION_SIGMOID && code != ACTIVATION_TANH) {
                    block.order.push_back(static_cast<uint8_t>(l));
                }
            }
            block.counts.push_back(counts[0]);
            block.counts.push_back(counts[1]);
            for (int32_t l = 0; l < L; ++l) {
                const bool has = j < nodes(l);
                const int32_t code = has ? plans[l].activations[j] : -1;
                block.bias.push_back(has ? plans[l].biases[j] : 0.0);
                block.code.push_back(code);
                if (code >= 0 && code < 8) kinds = static_cast<uint8_t>(kinds | (1u << code));
            }
            block.kinds.push_back(kinds);
        }
        for (int32_t o = 0; o < out.outputs; ++o) {
            for (int32_t l = 0; l < L; ++l) {
                block.output_rows.push_back(l < block.used ? plans[l].size - out.outputs + o : 0);
            }
        }
        out.edges += static_cast<int64_t>(block.steps) * L;
    }
    return out;
}

void run_batch(const BatchPlan& plan, std::size_t first, std::size_t last, const double* x,
               int64_t samples, const std::vector<std::size_t>& offsets, double* values,
               double* sums, double* out) {
    static const BlockFunction pass = widest_block();
    const int32_t inputs = plan.inputs;
    const int32_t outputs = plan.outputs;
    for (std::size_t b = first; b < last; ++b) {
        const BatchBlock& block = plan.blocks[b];
        double* v = values + offsets[b];
        double* s = sums + offsets[b];
        const int64_t network0 = static_cast<int64_t>(b) * L;
        for (int64_t t = 0; t < samples; ++t) {
            for (int32_t l = 0; l < block.used; ++l) {
                const double* in = x + ((network0 + l) * samples + t) * inputs;
                for (int32_t k = 0; k < inputs; ++k) v[static_cast<std::size_t>(k) * L + l] = in[k];
            }
            pass(block, inputs, v, s);
            for (int32_t l = 0; l < block.used; ++l) {
                double* o = out + ((network0 + l) * samples + t) * outputs;
                for (int32_t j = 0; j < outputs; ++j) {
                    o[j] = v[static_cast<std::size_t>(
                                 block.output_rows[static_cast<std::size_t>(j) * L + l]) *
                                 L +
                             l];
                }
            }
        }
    }
}

}  // namespace tessavo
