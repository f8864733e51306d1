#include "network/isa.hpp"

#include <algorithm>
#include <cstdlib>

namespace tessavo {

namespace {

Isa supported_isa() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return Isa::avx512;
    if (__builtin_cpu_supports("avx2")) return Isa::avx2;
#endif
    return Isa::generic;
}

Isa choose_isa() {
    const Isa supported = supported_isa();
    const char* cap = std::getenv("TESSAVO_ISA");
    if (cap == nullptr) return supported;
    const std::optional<Isa> parsed = parse_isa(cap);
    return parsed ? std::min(supported, *parsed) : supported;
}

}  // namespace

std::optional<Isa> parse_isa(std::string_view name) {
    if (name == "generic") return Isa::generic;
    if (name == "avx2") return Isa::avx2;
    if (name == "avx512") return Isa::avx512;
    return std::nullopt;
}

Isa widest_isa() {
    static const Isa isa = choose_isa();
    return isa;
}

}  // namespace tessavo
